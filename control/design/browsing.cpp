// control/design: design time: persistence, property page, view, in-place, data object, browsing.
// IPerPropertyBrowsing: the texts a property browser shows for the values.
#include "control/automation/qlrcom.h"

#include <iterator>
#include <new>
#include <string>

#include "control/design/property_map.h"
#include "port/line_settings.h"

namespace qlr {

namespace {

const wchar_t* const kByteSizeText[] = {L"7bit", L"8bit"};
const wchar_t* const kStopBitsText[] = {L"1", L"1.5", L"2"};
const wchar_t* const kProtocolText[] = {L"XModem auto", L"XModem check sum", L"XModem CRC",
                                        L"XModem 1K",   L"YModem batch",     L"YModem-G streaming",
                                        L"ZModem"};
const wchar_t* const kParityText[] = {L"\u306A\u3057", L"\u5947\u6570", L"\u5076\u6570"};
const wchar_t* const kFlowControlText[] = {L"\u306A\u3057", L"Xon/XOff",
                                           L"\u30CF\u30FC\u30C9\u30A6\u30A7\u30A2"};
const wchar_t* const kPriorityText[] = {L"Lowest", L"BelowNormal", L"Normal", L"AboveNormal",
                                        L"Highest"};
// なし, 区切り文字, 固定長, 無通信時間, Modbus RTU (as the type library documents them)
const wchar_t* const kFrameModeText[] = {L"\u306A\u3057", L"\u533A\u5207\u308A\u6587\u5B57",
                                         L"\u56FA\u5B9A\u9577", L"\u7121\u901A\u4FE1\u6642\u9593",
                                         L"Modbus RTU"};

template <size_t N>
std::wstring FromTable(const wchar_t* const (&table)[N], long value) {
    if (value >= 0 && static_cast<size_t>(value) < N) return table[value];
    return std::to_wstring(value);  // a value the enumeration does not name
}

// The display text of an enumerated property, or false when id is not one.
bool EnumDisplayText(DISPID id, long value, std::wstring& text) {
    switch (id) {
    case kDispQcByteSize: text = FromTable(kByteSizeText, value); return true;
    case kDispQcStopBits: text = FromTable(kStopBitsText, value); return true;
    case kDispQcProtocol: text = FromTable(kProtocolText, value); return true;
    case kDispQcParity: text = FromTable(kParityText, value); return true;
    case kDispQcFlowControl: text = FromTable(kFlowControlText, value); return true;
    case kDispQcFileTransferPriority:
    case kDispQcWatchPriority: text = FromTable(kPriorityText, value); return true;
    case kDispQcFrameMode: text = FromTable(kFrameModeText, value); return true;
    case kDispQcBaudRate:
        text = value >= 0 && value < port::kBaudTableSize ? std::to_wstring(port::kBaudTable[value])
                                                          : std::to_wstring(value);
        return true;
    case kDispQcDeviceName:
        text = value >= 0 ? L"COM" + std::to_wstring(static_cast<long long>(value) + 1)
                          : std::to_wstring(value);
        return true;
    default: return false;
    }
}

// Properties whose get only reports a stored value. The gets of Input,
// InputLen and QcInBufferCount read the port (consuming data or pending line
// errors, and firing CommError); a browser's display text must do neither, so
// they, like every member that is no plain property, have no display text.
bool HasStoredValue(DISPID id) {
    return (id >= kDispQcRecvQSize && id <= kDispHComm && id != kDispQcInBufferCount) ||
           (id >= kDispQcNotifySendComplete && id <= kDispQcWatchPriority) ||
           id == kDispQcRecvNotifyOnly || id == kDispQcRecvEventType || id == kDispQcPortName ||
           (id >= kDispQcFrameDelimiter && id <= kDispQcFrameGap);
}

}  // namespace

HRESULT QLRCom::GetProperty(DISPID id, VARIANT& value) {
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    return typeInfo_->Invoke(static_cast<IQLRCom*>(this), id, DISPATCH_PROPERTYGET, &none, &value,
                             nullptr, nullptr);
}

STDMETHODIMP QLRCom::GetDisplayString(DISPID id, BSTR* text) {
    if (!text) return E_POINTER;
    *text = nullptr;
    if (id == kDispQcCustomBaudRate) return E_NOTIMPL;
    // The texts are built on the heap: a failed allocation is E_OUTOFMEMORY,
    // never an exception into the host.
    try {
        return DisplayString(id, text);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT QLRCom::DisplayString(DISPID id, BSTR* text) {
    std::wstring display;
    long enumValue = 0;
    bool enumerated = true;
    switch (id) {
    case kDispQcByteSize: enumValue = state_.QcByteSize; break;
    case kDispQcStopBits: enumValue = state_.QcStopBits; break;
    case kDispQcProtocol: enumValue = state_.QcProtocol; break;
    case kDispQcBaudRate: enumValue = state_.QcBaudRate; break;
    case kDispQcDeviceName: enumValue = state_.QcDeviceName; break;
    case kDispQcParity: enumValue = state_.QcParity; break;
    case kDispQcFlowControl: enumValue = state_.QcFlowControl; break;
    case kDispQcFileTransferPriority: enumValue = state_.QcFileTransferPriority; break;
    case kDispQcWatchPriority: enumValue = state_.QcWatchPriority; break;
    case kDispQcFrameMode: enumValue = state_.QcFrameMode; break;
    default: enumerated = false; break;
    }
    if (enumerated) {
        EnumDisplayText(id, enumValue, display);
    } else {
        if (!HasStoredValue(id)) return S_FALSE;
        com::Variant value;
        if (FAILED(GetProperty(id, *value.get()))) return S_FALSE;
        if (value->vt == VT_BOOL) {
            display = value->boolVal != VARIANT_FALSE ? L"True" : L"False";
        } else {
            if (FAILED(VariantChangeType(value.get(), value.get(), 0, VT_BSTR))) return S_FALSE;
            *text = value->bstrVal;
            value->vt = VT_EMPTY;  // ownership passed on
            return S_OK;
        }
    }
    *text = SysAllocStringLen(display.data(), static_cast<UINT>(display.size()));
    return *text ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP QLRCom::MapPropertyToPage(DISPID id, CLSID* page) {
    if (!page) return E_POINTER;
    *page = CLSID_NULL;
    // The page edits the send time-out too, but the browser edits it in place.
    if (id == kDispQcSendTimeOut) return E_INVALIDARG;
    if (id == kDispQcCustomBaudRate) return E_NOTIMPL;
    if (FindExtendedEntry(id)) return S_OK;  // persisted, on no page
    const PersistedEntry* entry = FindPersistedEntry(id);
    if (!entry) return E_INVALIDARG;
    if (entry->onSettingsPage) *page = CLSID_CommSettings;
    return S_OK;
}

STDMETHODIMP QLRCom::GetPredefinedStrings(DISPID, CALPOLESTR* strings, CADWORD* cookies) {
    if (!strings || !cookies) return E_POINTER;
    *strings = CALPOLESTR{0, nullptr};
    *cookies = CADWORD{0, nullptr};
    return E_NOTIMPL;
}

STDMETHODIMP QLRCom::GetPredefinedValue(DISPID, DWORD, VARIANT* value) {
    return value ? E_NOTIMPL : E_POINTER;
}

}  // namespace qlr
