#include "port/session.h"

#include <new>
#include <utility>
#include <string>

#include "port/errors.h"
#include "port/line_settings.h"
#include "port/open_device.h"
#include "port/open_port.h"

namespace qlr::port {

namespace {
constexpr DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
constexpr DWORD kWriteTimeOutMs = 5000;  // the time-out record's write total
constexpr DWORD kDrainPollMs = 10;

constexpr DWORD kStopSliceMs = 100;

BOOL CALLBACK AnswerMessageBox(HWND window, LPARAM) {
    wchar_t name[16] = {};
    if (GetClassNameW(window, name, 16) > 0 && std::wstring(name) == L"#32770")
        PostMessageW(window, WM_COMMAND, IDOK, 0);
    return TRUE;
}

// Chooses OK in every dialog box (message boxes are dialogs) of that thread.
void DismissMessageBoxes(DWORD threadId) {
    if (threadId != 0) EnumThreadWindows(threadId, &AnswerMessageBox, 0);
}

// Waits, bounded by the write time-out, until the driver has sent what the
// last writes queued: adapters complete a write when the bytes leave the PC,
// not the line. Ends at once on a port that cannot say (a vanished device).
void DrainTransmitQueue(platform::Api& api, Device& port) {
    const DWORD start = api.GetTickCount();
    for (;;) {
        DWORD errors = 0;
        COMSTAT stat{};
        if (!port.ClearCommError(&errors, &stat) || stat.cbOutQue == 0) return;
        if (api.GetTickCount() - start >= kWriteTimeOutMs) return;
        api.Sleep(kDrainPollMs);
    }
}
}  // namespace

short Session::OpenComm() {
    platform::Api& api = platform::Current();
    if (s_.portOpen.load()) return err::Report(reporter_, err::kAlreadyOpen);

    // Whatever is built below is released by the open port's destructor, in
    // its stop order, when a later step fails: before CommError is fired, so
    // that a handler that opens the port again finds the device free.
    std::unique_ptr<OpenPort> port(new (std::nothrow) OpenPort(s_));
    auto fail = [&](err::Code code, long minor) {
        port.reset();
        return err::Report(reporter_, code, minor);
    };
    if (!port) return err::Report(reporter_, err::kNoBuffer);
    const long recvQueue = QueueSize(s_.QcRecvQSize);
    const long sendQueue = QueueSize(s_.QcSendQSize);
    const std::pair<IoRecord*, long> records[] = {
        {&port->read, recvQueue + 2},
        {&port->write, sendQueue + 2},
        {&port->transferRead, static_cast<long>(kTransferIoBytes)},
        {&port->transferWrite, static_cast<long>(kTransferIoBytes)},
    };
    for (const auto& [record, bytes] : records) {
        if (record->Create(api, static_cast<DWORD>(bytes))) continue;
        return fail(record->event ? err::kNoBuffer : err::kNoEvent, 0);
    }
    const bool watchRecord = port->watch.Create(api, 0);
    port->watchStop.reset(api.CreateEventA(TRUE, FALSE));
    port->readNoticed.reset(api.CreateEventA(FALSE, FALSE));
    if (!watchRecord || !port->watchStop || !port->readNoticed) return fail(err::kNoEvent, 0);

    OpenedDevice opened = OpenDevice(s_);
    port->device = std::move(opened.device);
    // A port without a system handle reports 0: nothing a host could take
    // for a file handle.
    s_.hComm = port->device ? port->device->SystemHandle()
                            : (opened.local ? INVALID_HANDLE_VALUE : nullptr);
    if (!port->device) return fail(err::kOpenFailed, static_cast<long>(opened.error));
    Device& device = *port->device;

    device.SetCommMask(EV_RXCHAR);
    device.SetupComm(static_cast<DWORD>(recvQueue), static_cast<DWORD>(sendQueue));
    device.PurgeComm(kPurgeAll);
    COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, kWriteTimeOutMs};
    device.SetCommTimeouts(&timeouts);

    // A mode the enumeration does not name frames nothing.
    port->frameMode = s_.QcFrameMode >= 1 && s_.QcFrameMode <= 4 ? s_.QcFrameMode : 0;
    if (port->frameMode && !port->frameRead.Create(api, kFrameReadBytes))
        return fail(port->frameRead.event ? err::kNoBuffer : err::kNoEvent, 0);
    if (!port->StartWatchThread(ThreadPriority(s_.QcWatchPriority)))
        return fail(err::kNoThread, static_cast<long>(api.GetLastError()));

    device.EscapeCommFunction(SETDTR);

    std::string settings;
    DCB dcb{};
    dcb.fBinary = 1;
    dcb.fParity = 1;
    dcb.DCBlength = sizeof(DCB);
    device.GetCommState(&dcb);
    if (!SettingsString(s_, settings) || !api.BuildCommDCBA(settings.c_str(), &dcb))
        return fail(err::kSettingsRejected, 0);
    ApplyLineProperties(s_, dcb);
    port->dcb = dcb;
    if (!device.SetCommState(&port->dcb)) return fail(err::kSettingsNotApplied, 0);
    UpdateFrameTiming(*port);

    port->sendBuffer.reset(new (std::nothrow) unsigned char[sendQueue + 2]());
    if (port->sendBuffer) port->recvBuffer.reset(new (std::nothrow) unsigned char[recvQueue + 2]());
    if (!port->sendBuffer || !port->recvBuffer) return fail(err::kNoBuffer, 0);
    port->sendCapacity = sendQueue;
    port->recvCapacity = recvQueue;

    s_.port = std::move(port);
    s_.portOpen = 1;
    ++s_.openCount;
    return 0;
}

void Session::StopTransferWorker() {
    // The transfer engines poll abortRequested between port operations and
    // bound every wait, so the worker ends by itself; waiting for it keeps
    // every later step of the close away from a port that the worker still
    // uses. A failure message the worker shows has no owner and may sit
    // behind other windows: it is answered with OK for the user, so the wait
    // never depends on someone finding it.
    platform::Api& api = platform::Current();
    s_.transferClosing = 1;
    s_.abortRequested = 1;
    if (s_.transferThread) {
        while (api.WaitForSingleObject(s_.transferThread.get(), kStopSliceMs) == WAIT_TIMEOUT)
            DismissMessageBoxes(s_.transferThreadId);
    }
    s_.transferThread.reset();
    s_.inFileTransfer = 0;
    s_.transferClosing = 0;
}

short Session::CloseComm() {
    if (!s_.portOpen.load() || !s_.port) return err::Report(reporter_, err::kNotOpen);

    const bool transferStopped = s_.inFileTransfer.load() || s_.transferThread;
    if (transferStopped) StopTransferWorker();
    OpenPort& port = *s_.port;
    port.StopWatchThread();
    platform::Api& api = platform::Current();
    if (!transferStopped) DrainTransmitQueue(api, port.dev());
    port.dev().EscapeCommFunction(CLRDTR);
    port.dev().PurgeComm(kPurgeAll);

    s_.portOpen = 0;
    s_.port.reset();
    return 0;
}

short Session::FlushComm(short flags) {
    Device* port = OwnedDevice(s_);
    if (!port) return 0;  // nothing of ours to empty
    port->PurgeComm(static_cast<DWORD>(static_cast<long>(flags)));
    // Counts as a read: a message of the length last announced is new again.
    NoteRead(s_);
    return 0;
}

void Session::ReapplyBaudRate() {
    if (!s_.portOpen.load() || !s_.port) return;
    if (!reporter_.InRunMode()) return;
    platform::Api& api = platform::Current();
    OpenPort& port = *s_.port;
    port.dev().GetCommState(&port.dcb);
    if (s_.QcBaudRate >= 0 && s_.QcBaudRate < kBaudTableSize)
        port.dcb.BaudRate = static_cast<DWORD>(kBaudTable[s_.QcBaudRate]);
    if (!port.dev().SetCommState(&port.dcb))
        reporter_.CommError(err::kSettingsNotApplied, static_cast<long>(api.GetLastError()));
    else
        UpdateFrameTiming(port);
}

}  // namespace qlr::port
