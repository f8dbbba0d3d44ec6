// control/automation: the control object, its automation surface, events, window; the port list.
// The control's state record (shared with the port, transfer and XModem
// code) and the dispatch identifiers of its properties.
#pragma once

#include <windows.h>

#include "port/state.h"

namespace qlr {

// Property identifiers of IQLRCom.
enum PropertyDispid : DISPID {
    kDispQcRecvQSize = 1,
    kDispQcSendQSize,
    kDispQcByteSize,
    kDispQcStopBits,
    kDispQcAutoOpen,
    kDispQcMode,
    kDispQcRecvTimeOut,
    kDispQcDTREnable,
    kDispQcProtocol,
    kDispQcProgress,
    kDispQcStatus,
    kDispQcNullDiscard,
    kDispQcRTSEnable,
    kDispQcParityReplace,
    kDispQcNotifyRecvChars,
    kDispQcLastMajorErrCode,
    kDispQcLastMinorErrCode,
    kDispQcProtocolNegd,
    kDispQcInBufferCount,
    kDispQcBaudRate,
    kDispQcDeviceName,
    kDispQcParity,
    kDispQcFlowControl,
    kDispQcDebugTrace,
    kDispHComm,
    kDispInput,
    kDispOutput,
    kDispInputLen,
    kDispQcNotifySendComplete,
    kDispQcShowErrorMessage,
    kDispQcFileTransferPriority,
    kDispQcSendTimeOut,
    kDispQcWatchPriority,
    kDispSendBuffer = 61,
    kDispRecvBuffer = 62,
    kDispQcRecvNotifyOnly = 63,
    kDispQcCustomBaudRate = 64,
    kDispQcRecvEventType = 67,
    kDispQcPortName = 68,
    kDispQcFrameMode = 69,
    kDispQcFrameDelimiter = 70,
    kDispQcFrameLength = 71,
    kDispQcFrameGap = 72,
};

}  // namespace qlr
