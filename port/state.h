// The control's state record: one field per configuration property, and the
// session fields that the port, transfer and XModem code share. Everything the
// open port owns lives in its OpenPort, which exists from OpenComm to CloseComm.
#pragma once

#include <windows.h>
#include <atomic>
#include <memory>

#include "platform/com_ptr.h"
#include "platform/platform.h"
#include "port/received_chunks.h"

namespace qlr {
namespace port {
class OpenPort;
}

// Window messages that background threads post to the control's window.
enum : UINT {
    WM_COMM_TRANSFEREND = WM_USER + 1,
    WM_COMM_SENDEMPTY = WM_USER + 3,
    WM_COMM_RECV = WM_USER + 4,
    WM_COMM_NOTIFY = WM_USER + 5,
    WM_COMM_ERROR = WM_USER + 6,
    // Received bytes are queued for framing (ControlState::receivedChunks).
    WM_COMM_FRAME = WM_USER + 7,
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
    ~ControlState();
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
    com::Bstr QcPortName;  // empty: QcDeviceName chooses the port
    // Framing of received data into CommFrame events; taken at OpenComm.
    long QcFrameMode = 0;
    com::Bstr QcFrameDelimiter;  // "\r\n"
    long QcFrameLength = 4096;
    long QcFrameGap = 0;

    // Session. hComm is the value the property reports: it keeps its last value
    // after the port is closed; the open port owns the handle.
    std::atomic<HANDLE> hComm{nullptr};
    std::unique_ptr<port::OpenPort> port;
    std::atomic<short> portOpen{0};
    // Counts the opens, so that code running around host events can tell the
    // port it started with from one a host handler opened meanwhile.
    unsigned openCount = 0;
    std::atomic<short> inFileTransfer{0};
    std::atomic<short> abortRequested{0};
    // Set while CloseComm stops a transfer: the worker then ends without a
    // message box or an end message, since the host asked for the stop.
    std::atomic<short> transferClosing{0};
    platform::UniqueHandle transferThread;
    DWORD transferThreadId = 0;  // CloseComm answers the message boxes of this thread

    // Bumped by every read and write of the host, so that the watch thread can
    // tell new received bytes from bytes that merely stay queued, and notice a
    // transmit queue that ran empty between two looks.
    std::atomic<unsigned> readGeneration{0};
    std::atomic<unsigned> writeGeneration{0};

    // While framing, the watch thread reads the port itself and queues what
    // it read here for the host's thread. The host's own reads and a transfer
    // have the port to themselves: the watch thread reads only while neither
    // runs, and they wait for a read of the watch thread to end (see
    // port::HostRead).
    port::ChunkQueue receivedChunks;
    std::atomic<int> hostReading{0};
    std::atomic<int> watchReading{0};

    // Where background threads post their messages: the control's window while
    // it has one, otherwise its hidden message window on the host's thread.
    std::atomic<HWND> notifyWindow{nullptr};
};

}  // namespace qlr
