// control/design: design time: persistence, property page, view, in-place, data object, browsing.

#include "control/design/property_map.h"

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

}  // namespace qlr
