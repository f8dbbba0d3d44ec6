// The property page object CommSettings. The page's dialog and its
// Apply logic come with the design-time features; until then the object
// exists, is creatable and aggregatable, and keeps its site and objects.
#include <ocidl.h>
#include <olectl.h>

#include <vector>

#include "control/com/object.h"
#include "control/com/ptr.h"
#include "control/module.h"

namespace qlr {
namespace {

class CommSettings final : public com::Object, public IPropertyPage {
public:
    explicit CommSettings(IUnknown* outer) : com::Object(outer) {}
    QLR_COM_DELEGATING_IUNKNOWN

    STDMETHODIMP SetPageSite(IPropertyPageSite* site) override {
        site_ = com::ComPtr<IPropertyPageSite>(site);
        return S_OK;
    }
    STDMETHODIMP Activate(HWND, LPCRECT, BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP Deactivate() override { return E_NOTIMPL; }
    STDMETHODIMP GetPageInfo(PROPPAGEINFO*) override { return E_NOTIMPL; }
    STDMETHODIMP SetObjects(ULONG count, IUnknown** objects) override {
        if (count && !objects) return E_POINTER;
        objects_.clear();
        for (ULONG i = 0; i < count; ++i) objects_.emplace_back(objects[i]);
        return S_OK;
    }
    STDMETHODIMP Show(UINT) override { return E_NOTIMPL; }
    STDMETHODIMP Move(LPCRECT) override { return E_NOTIMPL; }
    STDMETHODIMP IsPageDirty() override { return S_FALSE; }
    STDMETHODIMP Apply() override { return E_NOTIMPL; }
    STDMETHODIMP Help(LPCOLESTR) override { return E_NOTIMPL; }
    STDMETHODIMP TranslateAccelerator(MSG*) override { return E_NOTIMPL; }

private:
    void* FindInterface(REFIID iid) override {
        return IsEqualIID(iid, IID_IPropertyPage) ? static_cast<IPropertyPage*>(this) : nullptr;
    }

    com::ComPtr<IPropertyPageSite> site_;
    std::vector<com::ComPtr<IUnknown>> objects_;
};

}  // namespace

HRESULT CreateCommSettings(IUnknown* outer, REFIID iid, void** out) {
    return com::Object::Create<CommSettings>(outer, iid, out);
}

}  // namespace qlr
