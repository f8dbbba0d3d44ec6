// The control's state record: one field per configuration property, and the
// session fields that the port, transfer and dispatch code share.
#pragma once

#include <windows.h>
#include <atomic>
#include <memory>

#include "control/com/ptr.h"
#include "platform/platform.h"

namespace qlr {

// Window messages that background threads post to the control's window.
enum : UINT {
    WM_COMM_TRANSFEREND = WM_USER + 1,
    WM_COMM_SENDEMPTY = WM_USER + 3,
    WM_COMM_RECV = WM_USER + 4,
    WM_COMM_NOTIFY = WM_USER + 5,
    WM_COMM_ERROR = WM_USER + 6,
};

// Property identifiers of IQLRCom.
enum PropertyDispid : DISPID {
    kDispQcRecvQSize = 1, kDispQcSendQSize, kDispQcByteSize, kDispQcStopBits, kDispQcAutoOpen,
    kDispQcMode, kDispQcRecvTimeOut, kDispQcDTREnable, kDispQcProtocol, kDispQcProgress,
    kDispQcStatus, kDispQcNullDiscard, kDispQcRTSEnable, kDispQcParityReplace,
    kDispQcNotifyRecvChars, kDispQcLastMajorErrCode, kDispQcLastMinorErrCode, kDispQcProtocolNegd,
    kDispQcInBufferCount, kDispQcBaudRate, kDispQcDeviceName, kDispQcParity, kDispQcFlowControl,
    kDispQcDebugTrace, kDispHComm, kDispInput, kDispOutput, kDispInputLen,
    kDispQcNotifySendComplete, kDispQcShowErrorMessage, kDispQcFileTransferPriority,
    kDispQcSendTimeOut, kDispQcWatchPriority,
    kDispSendBuffer = 61, kDispRecvBuffer = 62, kDispQcRecvNotifyOnly = 63,
    kDispQcCustomBaudRate = 64, kDispQcRecvEventType = 67,
};

// How the port logic reports to the control (and so to the host).
class Reporter {
public:
    virtual ~Reporter() = default;
    // CommError on the host's thread, synchronously.
    virtual void CommError(short major, long minor) = 0;
    // Ambient UserMode; true when the container does not say.
    virtual bool InRunMode() = 0;
};

struct ControlState {
    ControlState();
    ControlState(const ControlState&) = delete;
    ControlState& operator=(const ControlState&) = delete;

    // Configuration. Enumerations are held at the width the interface declares
    // (32 bits); booleans store true as 1 by default, as the stored forms do.
    short QcRecvQSize = 1024;
    short QcSendQSize = 1024;
    long QcByteSize = 1;
    long QcStopBits = 0;
    VARIANT_BOOL QcAutoOpen = 0;
    long QcMode = 0;
    long QcRecvTimeOut = 0;
    VARIANT_BOOL QcDTREnable = 1;
    long QcProtocol = 1;
    std::atomic<short> QcProgress{0};  // written by the transfer worker
    std::atomic<short> QcStatus{0};    // written by the transfer worker
    VARIANT_BOOL QcNullDiscard = 0;
    VARIANT_BOOL QcRTSEnable = 1;
    com::Bstr QcParityReplace;
    std::atomic<long> QcNotifyRecvChars{-1};  // read by the watch thread
    short QcLastMajorErrCode = 0;
    long QcLastMinorErrCode = 0;
    short QcProtocolNegd = 0;
    long QcBaudRate = 8;
    long QcDeviceName = 0;
    long QcParity = 0;
    long QcFlowControl = 0;
    VARIANT_BOOL QcDebugTrace = 0;
    std::atomic<VARIANT_BOOL> QcNotifySendComplete{0};  // read by the watch thread
    VARIANT_BOOL QcShowErrorMessage = 1;
    long QcFileTransferPriority = 2;
    long QcSendTimeOut = 0;
    long QcWatchPriority = 2;
    VARIANT_BOOL QcRecvNotifyOnly = 0;
    long QcCustomBaudRate = 0;
    long QcRecvEventType = 0;

    // Session. hComm is the value the property reports: it keeps its last value
    // after the port is closed; commOwner owns the open handle.
    std::atomic<HANDLE> hComm{nullptr};
    platform::UniqueHandle commOwner;
    std::atomic<short> portOpen{0};
    std::atomic<short> watchRun{0};
    platform::UniqueHandle watchThread;
    DWORD watchThreadId = 0;
    std::atomic<short> inFileTransfer{0};
    std::atomic<short> abortRequested{0};
    // Set while CloseComm stops a transfer: the worker then ends without a
    // message box or an end message, since the host asked for the stop.
    std::atomic<short> transferClosing{0};
    platform::UniqueHandle transferThread;
    OVERLAPPED readOverlapped{};
    platform::UniqueHandle readEvent;
    OVERLAPPED writeOverlapped{};
    platform::UniqueHandle writeEvent;
    std::unique_ptr<unsigned char[]> sendBuffer;
    std::unique_ptr<unsigned char[]> recvBuffer;
    // Send and receive capacities: the queue sizes as they were at OpenComm.
    long sendCapacity = 0;
    long recvCapacity = 0;
    DCB dcb{};

    // The watch thread's own wait: its overlapped record and event, and the
    // event that tells it to stop. They outlive the thread until the port
    // handle is closed, so a wait still pending at that moment never writes
    // into freed memory.
    OVERLAPPED watchOverlapped{};
    DWORD watchEventMask = 0;  // the out mask of a pending wait
    platform::UniqueHandle watchEvent;
    platform::UniqueHandle watchStop;

    // Bumped by every read and write of the host, so that the watch thread can
    // tell new received bytes from bytes that merely stay queued, and notice a
    // transmit queue that ran empty between two looks.
    std::atomic<unsigned> readGeneration{0};
    std::atomic<unsigned> writeGeneration{0};

    // Where background threads post their messages: the control's window while
    // it has one, otherwise its hidden message window on the host's thread.
    std::atomic<HWND> notifyWindow{nullptr};
};

inline ControlState::ControlState() : QcParityReplace(L"?") {}

}  // namespace qlr
