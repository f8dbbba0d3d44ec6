// control/automation: the control object, its automation surface, events, window; the port list.
// QLRPortList: the automation object that answers which serial ports this
// machine has (object creation: CreateQLRPortList in control/com/module.h).
#pragma once

#include <windows.h>

#include <oaidl.h>

#include <memory>
#include <vector>

#include "control/com/dispatch.h"
#include "control/com/object.h"
#include "platform/com_ptr.h"
#include "port/port_list.h"
#include "qlrcom32_h.h"

namespace qlr {

class QLRPortList final : public com::Object, public com::TypeInfoDispatch<IQLRPortList> {
public:
    explicit QLRPortList(IUnknown* outer);
    QLR_COM_DELEGATING_IUNKNOWN

    // IQLRPortList.
    STDMETHODIMP get_Count(long* pVal) override;
    STDMETHODIMP get_Item(long Index, BSTR* pVal) override;
    STDMETHODIMP get_DeviceNumber(long Index, long* pVal) override;
    STDMETHODIMP get_FriendlyName(long Index, BSTR* pVal) override;
    STDMETHODIMP get_UsbVendorId(long Index, long* pVal) override;
    STDMETHODIMP get_UsbProductId(long Index, long* pVal) override;
    STDMETHODIMP get_SerialNumber(long Index, BSTR* pVal) override;
    STDMETHODIMP Refresh() override;
    STDMETHODIMP get__NewEnum(IUnknown** ppEnum) override;

private:
    using PortTable = std::vector<port::PortInfo>;

    HRESULT FinalConstruct() override;
    void* FindInterface(REFIID iid) override;
    // The port at index, or null when index is outside 0 to Count - 1.
    const port::PortInfo* At(long index) const;
    HRESULT StringAt(long index, std::wstring port::PortInfo::*field, BSTR* out) const;
    HRESULT NumberAt(long index, long port::PortInfo::*field, long* out) const;

    // Replaced whole by Refresh: an enumerator keeps the table it started on.
    std::shared_ptr<const PortTable> ports_;
};

}  // namespace qlr
