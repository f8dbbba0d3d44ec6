// control/design: design time: persistence, property page, view, in-place, data object, browsing.
// How the control advertises its property page, and the properties verb.
#include "control/automation/qlrcom.h"

#include <memory>

#include "control/design/property_map.h"
#include "platform/unique.h"

namespace qlr {

STDMETHODIMP QLRCom::GetPages(CAUUID* pages) {
    if (!pages) return E_POINTER;
    pages->cElems = 0;
    pages->pElems = nullptr;
    // One page edits every property the map marks for it.
    bool anyOnPage = false;
    for (size_t i = 0; i < kPersistedMapSize; ++i)
        anyOnPage = anyOnPage || kPersistedMap[i].onSettingsPage;
    if (!anyOnPage) return S_OK;
    pages->pElems = static_cast<GUID*>(CoTaskMemAlloc(sizeof(GUID)));
    if (!pages->pElems) return E_OUTOFMEMORY;
    pages->pElems[0] = CLSID_CommSettings;
    pages->cElems = 1;
    return S_OK;
}

LCID QLRCom::AmbientLocale() {
    com::ComPtr<IDispatch> ambient;
    if (!clientSite_ || FAILED(clientSite_.As(ambient)) || !ambient) return LOCALE_USER_DEFAULT;
    com::Variant value;
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    if (FAILED(ambient->Invoke(DISPID_AMBIENT_LOCALEID, IID_NULL, LOCALE_USER_DEFAULT,
                               DISPATCH_PROPERTYGET, &none, value.get(), nullptr, nullptr)) ||
        FAILED(VariantChangeType(value.get(), value.get(), 0, VT_I4)))
        return LOCALE_USER_DEFAULT;
    return static_cast<LCID>(value->lVal);
}

HRESULT QLRCom::ShowPropertyPages() {
    com::ComPtr<IOleControlSite> controlSite;
    if (clientSite_ && SUCCEEDED(clientSite_.As(controlSite)) && controlSite &&
        SUCCEEDED(controlSite->ShowPropertyFrame()))
        return S_OK;

    // The container may release the control while the modal frame runs.
    com::ComPtr<IUnknown> self(ControllingUnknown());
    CAUUID pages{};
    HRESULT hr = GetPages(&pages);
    const platform::UniqueTaskMemory<GUID> pageList(pages.pElems);
    if (FAILED(hr)) return hr;

    LPOLESTR rawCaption = nullptr;
    if (FAILED(ControlUserType(USERCLASSTYPE_SHORT, &rawCaption))) rawCaption = nullptr;
    const platform::UniqueTaskMemory<OLECHAR> caption(rawCaption);

    // Owned by the container's window when the control sits in one.
    HWND owner = nullptr;
    com::ComPtr<IOleInPlaceSite> inPlaceSite;
    if (clientSite_ && SUCCEEDED(clientSite_.As(inPlaceSite)) && inPlaceSite &&
        FAILED(inPlaceSite->GetWindow(&owner)))
        owner = nullptr;

    IUnknown* objects[1] = {self.get()};
    return OleCreatePropertyFrame(owner, 0, 0, caption ? caption.get() : L"", 1, objects,
                                  pages.cElems, pageList.get(), AmbientLocale(), 0, nullptr);
}

}  // namespace qlr
