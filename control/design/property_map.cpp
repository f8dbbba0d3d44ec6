// control/design: design time: persistence, property page, view, in-place, data object, browsing.

#include "control/design/property_map.h"

#include <cwchar>
#include <iterator>

#include "control/automation/state.h"

namespace qlr {

const PersistedEntry kPersistedMap[] = {
    {L"_cx", PersistedEntry::kExtentWidth, 0, VT_UI4, false},
    {L"_cy", PersistedEntry::kExtentHeight, 0, VT_UI4, false},
    {L"QcRecvQSize", PersistedEntry::kProperty, kDispQcRecvQSize, VT_I2, true},
    {L"QcSendQSize", PersistedEntry::kProperty, kDispQcSendQSize, VT_I2, true},
    {L"QcByteSize", PersistedEntry::kProperty, kDispQcByteSize, VT_I4, false},
    {L"QcStopBits", PersistedEntry::kProperty, kDispQcStopBits, VT_I4, false},
    {L"QcAutoOpen", PersistedEntry::kProperty, kDispQcAutoOpen, VT_BOOL, false},
    {L"QcMode", PersistedEntry::kProperty, kDispQcMode, VT_I4, false},
    {L"QcRecvTimeOut", PersistedEntry::kProperty, kDispQcRecvTimeOut, VT_I4, true},
    {L"QcDTREnable", PersistedEntry::kProperty, kDispQcDTREnable, VT_BOOL, false},
    {L"QcProtocol", PersistedEntry::kProperty, kDispQcProtocol, VT_I4, false},
    {L"QcNullDiscard", PersistedEntry::kProperty, kDispQcNullDiscard, VT_BOOL, false},
    {L"QcRTSEnable", PersistedEntry::kProperty, kDispQcRTSEnable, VT_BOOL, false},
    {L"QcParityReplace", PersistedEntry::kProperty, kDispQcParityReplace, VT_BSTR, true},
    {L"QcNotifyRecvChars", PersistedEntry::kProperty, kDispQcNotifyRecvChars, VT_I4, true},
    {L"QcBaudRate", PersistedEntry::kProperty, kDispQcBaudRate, VT_I4, false},
    {L"QcDeviceName", PersistedEntry::kProperty, kDispQcDeviceName, VT_I4, false},
    {L"QcParity", PersistedEntry::kProperty, kDispQcParity, VT_I4, false},
    {L"QcFlowControl", PersistedEntry::kProperty, kDispQcFlowControl, VT_I4, false},
    {L"QcDebugTrace", PersistedEntry::kProperty, kDispQcDebugTrace, VT_BOOL, false},
    {L"QcNotifySendComplete", PersistedEntry::kProperty, kDispQcNotifySendComplete, VT_BOOL, false},
    {L"QcShowErrorMessage", PersistedEntry::kProperty, kDispQcShowErrorMessage, VT_BOOL, false},
    {L"QcFileTransferPriority", PersistedEntry::kProperty, kDispQcFileTransferPriority, VT_I4,
     false},
    {L"QcSendTimeOut", PersistedEntry::kProperty, kDispQcSendTimeOut, VT_I4, true},
    {L"QcWatchPriority", PersistedEntry::kProperty, kDispQcWatchPriority, VT_I4, false},
    {L"QcRecvNotifyOnly", PersistedEntry::kProperty, kDispQcRecvNotifyOnly, VT_BOOL, false},
    {L"QcCustomBaudRate", PersistedEntry::kProperty, kDispQcCustomBaudRate, VT_I4, false},
    {L"QcRecvEventType", PersistedEntry::kProperty, kDispQcRecvEventType, VT_I4, false},
};
const size_t kPersistedMapSize = std::size(kPersistedMap);

const PersistedEntry* FindPersistedEntry(DISPID dispid) {
    for (const PersistedEntry& entry : kPersistedMap)
        if (entry.kind == PersistedEntry::kProperty && entry.dispid == dispid) return &entry;
    return nullptr;
}

const ExtendedEntry kExtendedMap[] = {
    {L"QcPortName", kDispQcPortName, VT_BSTR, 0, L""},
    {L"QcFrameMode", kDispQcFrameMode, VT_I2, 0, nullptr},
    {L"QcFrameDelimiter", kDispQcFrameDelimiter, VT_BSTR, 0, L"\r\n"},
    {L"QcFrameLength", kDispQcFrameLength, VT_I4, 4096, nullptr},
    {L"QcFrameGap", kDispQcFrameGap, VT_I4, 0, nullptr},
};
const size_t kExtendedMapSize = std::size(kExtendedMap);

const ExtendedEntry* FindExtendedEntry(DISPID dispid) {
    for (const ExtendedEntry& entry : kExtendedMap)
        if (entry.dispid == dispid) return &entry;
    return nullptr;
}

HRESULT ExtendedDefault(const ExtendedEntry& entry, VARIANT* out) {
    VariantInit(out);
    switch (entry.savedType) {
    case VT_BSTR:
        out->bstrVal = SysAllocString(entry.defaultText);
        if (!out->bstrVal) return E_OUTOFMEMORY;
        break;
    case VT_I2: out->iVal = static_cast<SHORT>(entry.defaultNumber); break;
    default: out->lVal = entry.defaultNumber; break;
    }
    out->vt = entry.savedType;
    return S_OK;
}

bool DiffersFromDefault(const ExtendedEntry& entry, VARIANT* value) {
    if (FAILED(VariantChangeType(value, value, 0, entry.savedType))) return false;
    switch (entry.savedType) {
    case VT_BSTR: {
        const UINT length = SysStringLen(value->bstrVal);
        return length != wcslen(entry.defaultText) ||
               wmemcmp(value->bstrVal ? value->bstrVal : L"", entry.defaultText, length) != 0;
    }
    case VT_I2: return value->iVal != static_cast<SHORT>(entry.defaultNumber);
    default: return value->lVal != entry.defaultNumber;
    }
}

}  // namespace qlr
