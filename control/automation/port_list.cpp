// control/automation: the control object, its automation surface, events, window; the port list.

#include "control/automation/port_list.h"

#include <olectl.h>

#include <new>
#include <string>
#include <utility>

#include "control/com/module.h"
#include "platform/port_devices.h"

namespace qlr {
namespace {

// For Each over the names of one port table.
class PortNameEnum final : public com::Object, public IEnumVARIANT {
public:
    using PortTable = std::vector<port::PortInfo>;

    explicit PortNameEnum(IUnknown* outer) : com::Object(outer) {}
    QLR_COM_DELEGATING_IUNKNOWN

    void Start(std::shared_ptr<const PortTable> ports, size_t position) {
        ports_ = std::move(ports);
        position_ = position;
    }

    STDMETHODIMP Next(ULONG count, VARIANT* items, ULONG* fetched) override {
        if (fetched) *fetched = 0;
        if (count == 0) return S_OK;
        if (!items || (!fetched && count != 1)) return E_POINTER;
        ULONG done = 0;
        while (done < count && position_ < ports_->size()) {
            const std::wstring& name = (*ports_)[position_].name;
            BSTR copy = SysAllocStringLen(name.data(), static_cast<UINT>(name.size()));
            if (!copy) {
                for (ULONG i = 0; i < done; ++i) VariantClear(&items[i]);
                position_ -= done;
                return E_OUTOFMEMORY;
            }
            VariantInit(&items[done]);
            items[done].vt = VT_BSTR;
            items[done].bstrVal = copy;
            ++done;
            ++position_;
        }
        if (fetched) *fetched = done;
        return done == count ? S_OK : S_FALSE;
    }

    STDMETHODIMP Skip(ULONG count) override {
        const size_t left = ports_->size() - position_;
        if (count > left) {
            position_ = ports_->size();
            return S_FALSE;
        }
        position_ += count;
        return S_OK;
    }

    STDMETHODIMP Reset() override {
        position_ = 0;
        return S_OK;
    }

    STDMETHODIMP Clone(IEnumVARIANT** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        return Make(ports_, position_, IID_IEnumVARIANT, reinterpret_cast<void**>(out));
    }

    static HRESULT Make(std::shared_ptr<const PortTable> ports, size_t position, REFIID iid,
                        void** out) {
        com::ComPtr<IEnumVARIANT> made;
        HRESULT hr = com::Object::Create<PortNameEnum>(nullptr, IID_IEnumVARIANT, made.put_void());
        if (FAILED(hr)) return hr;
        static_cast<PortNameEnum*>(made.get())->Start(std::move(ports), position);
        return made->QueryInterface(iid, out);
    }

private:
    void* FindInterface(REFIID iid) override {
        return IsEqualIID(iid, IID_IEnumVARIANT) ? static_cast<IEnumVARIANT*>(this) : nullptr;
    }

    std::shared_ptr<const PortTable> ports_;
    size_t position_ = 0;
};

}  // namespace

QLRPortList::QLRPortList(IUnknown* outer) : com::Object(outer) {}

HRESULT QLRPortList::FinalConstruct() {
    com::ComPtr<ITypeLib> library;
    HRESULT hr = LoadModuleTypeLib(library.put());
    if (FAILED(hr)) return hr;
    hr = library->GetTypeInfoOfGuid(IID_IQLRPortList, typeInfo_.put());
    if (FAILED(hr)) return hr;
    return Refresh();
}

void* QLRPortList::FindInterface(REFIID iid) {
    if (IsEqualIID(iid, IID_IQLRPortList) || IsEqualIID(iid, IID_IDispatch))
        return static_cast<IQLRPortList*>(this);
    return nullptr;
}

// ---- IQLRPortList ----

const port::PortInfo* QLRPortList::At(long index) const {
    if (index < 0 || static_cast<unsigned long>(index) >= ports_->size()) return nullptr;
    return &(*ports_)[static_cast<size_t>(index)];
}

HRESULT QLRPortList::StringAt(long index, std::wstring port::PortInfo::*field, BSTR* out) const {
    if (!out) return E_POINTER;
    *out = nullptr;
    const port::PortInfo* port = At(index);
    if (!port) return CTL_E_INVALIDPROPERTYARRAYINDEX;
    const std::wstring& text = port->*field;
    *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *out ? S_OK : E_OUTOFMEMORY;
}

HRESULT QLRPortList::NumberAt(long index, long port::PortInfo::*field, long* out) const {
    if (!out) return E_POINTER;
    *out = 0;
    const port::PortInfo* port = At(index);
    if (!port) return CTL_E_INVALIDPROPERTYARRAYINDEX;
    *out = port->*field;
    return S_OK;
}

STDMETHODIMP QLRPortList::get_Count(long* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = static_cast<long>(ports_->size());
    return S_OK;
}

STDMETHODIMP QLRPortList::get_Item(long Index, BSTR* pVal) {
    return StringAt(Index, &port::PortInfo::name, pVal);
}

STDMETHODIMP QLRPortList::get_DeviceNumber(long Index, long* pVal) {
    return NumberAt(Index, &port::PortInfo::deviceNumber, pVal);
}

STDMETHODIMP QLRPortList::get_FriendlyName(long Index, BSTR* pVal) {
    return StringAt(Index, &port::PortInfo::friendlyName, pVal);
}

STDMETHODIMP QLRPortList::get_UsbVendorId(long Index, long* pVal) {
    return NumberAt(Index, &port::PortInfo::usbVendorId, pVal);
}

STDMETHODIMP QLRPortList::get_UsbProductId(long Index, long* pVal) {
    return NumberAt(Index, &port::PortInfo::usbProductId, pVal);
}

STDMETHODIMP QLRPortList::get_SerialNumber(long Index, BSTR* pVal) {
    return StringAt(Index, &port::PortInfo::serialNumber, pVal);
}

STDMETHODIMP QLRPortList::Refresh() {
    try {
        ports_ =
            std::make_shared<const PortTable>(port::ListPorts(platform::CurrentPortDeviceSource()));
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

STDMETHODIMP QLRPortList::get__NewEnum(IUnknown** ppEnum) {
    if (!ppEnum) return E_POINTER;
    *ppEnum = nullptr;
    return PortNameEnum::Make(ports_, 0, IID_IUnknown, reinterpret_cast<void**>(ppEnum));
}

HRESULT CreateQLRPortList(IUnknown* outer, REFIID iid, void** out) {
    return com::Object::Create<QLRPortList>(outer, iid, out);
}

}  // namespace qlr
