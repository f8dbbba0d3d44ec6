#include "port/session.h"

#include <new>
#include <string>

#include "port/line_settings.h"
#include "port/watch.h"

namespace qlr::port {

namespace {
constexpr DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
}

short Session::Fail(short major, long minor) {
    reporter_.CommError(major, minor);
    return major;
}

short Session::OpenComm() {
    platform::Api& api = platform::Current();
    if (s_.portOpen.load()) return Fail(112, 0);

    s_.readOverlapped = OVERLAPPED{};
    s_.writeOverlapped = OVERLAPPED{};
    platform::UniqueHandle readEvent(api.CreateEventA(TRUE, FALSE));
    if (!readEvent) return Fail(116, 0);
    platform::UniqueHandle writeEvent(api.CreateEventA(TRUE, FALSE));
    if (!writeEvent) return Fail(116, 0);
    platform::UniqueHandle watchEvent(api.CreateEventA(TRUE, FALSE));
    platform::UniqueHandle watchStop(api.CreateEventA(TRUE, FALSE));
    if (!watchEvent || !watchStop) return Fail(116, 0);

    const std::string device = DeviceName(s_.QcDeviceName);
    HANDLE handle = api.CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
                                    FILE_FLAG_OVERLAPPED);
    s_.hComm = handle;
    if (handle == INVALID_HANDLE_VALUE) return Fail(100, static_cast<long>(api.GetLastError()));
    platform::UniqueHandle comm(handle);

    const long recvQueue = QueueSize(s_.QcRecvQSize);
    const long sendQueue = QueueSize(s_.QcSendQSize);
    api.SetCommMask(handle, EV_RXCHAR);
    api.SetupComm(handle, static_cast<DWORD>(recvQueue), static_cast<DWORD>(sendQueue));
    api.PurgeComm(handle, kPurgeAll);
    COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, 5000};
    api.SetCommTimeouts(handle, &timeouts);

    // The thread needs its wait objects before it starts.
    s_.watchOverlapped = OVERLAPPED{};
    s_.watchEvent = std::move(watchEvent);
    s_.watchStop = std::move(watchStop);
    s_.watchRun = 1;
    DWORD threadId = 0;
    platform::UniqueHandle thread(api.CreateThread(WatchThreadMain, &s_, &threadId));
    if (!thread) {
        const long error = static_cast<long>(api.GetLastError());
        s_.watchRun = 0;
        comm.reset();
        s_.watchEvent.reset();
        s_.watchStop.reset();
        return Fail(118, error);
    }
    s_.watchThread = std::move(thread);
    s_.watchThreadId = threadId;
    api.SetThreadPriority(s_.watchThread.get(), ThreadPriority(s_.QcWatchPriority));

    // From here a failure must stop the thread before the handle goes.
    auto failStarted = [&](short major) {
        StopWatchThread();
        comm.reset();
        s_.watchThread.reset();
        s_.watchEvent.reset();
        s_.watchStop.reset();
        return Fail(major, 0);
    };

    api.EscapeCommFunction(handle, SETDTR);

    std::string settings;
    DCB dcb{};
    dcb.fBinary = 1;
    dcb.fParity = 1;
    dcb.DCBlength = sizeof(DCB);
    api.GetCommState(handle, &dcb);
    if (!SettingsString(s_, settings) || !api.BuildCommDCBA(settings.c_str(), &dcb))
        return failStarted(101);
    ApplyLineProperties(s_, dcb);
    s_.dcb = dcb;
    if (!api.SetCommState(handle, &s_.dcb)) return failStarted(102);

    std::unique_ptr<unsigned char[]> sendBuffer(new (std::nothrow) unsigned char[sendQueue + 2]());
    std::unique_ptr<unsigned char[]> recvBuffer;
    if (sendBuffer) recvBuffer.reset(new (std::nothrow) unsigned char[recvQueue + 2]());
    if (!sendBuffer || !recvBuffer) return failStarted(103);

    s_.readOverlapped.hEvent = readEvent.get();
    s_.writeOverlapped.hEvent = writeEvent.get();
    s_.readEvent = std::move(readEvent);
    s_.writeEvent = std::move(writeEvent);
    s_.sendBuffer = std::move(sendBuffer);
    s_.recvBuffer = std::move(recvBuffer);
    s_.sendCapacity = sendQueue;
    s_.recvCapacity = recvQueue;
    s_.commOwner = std::move(comm);
    s_.portOpen = 1;
    return 0;
}

void Session::StopWatchThread() {
    platform::Api& api = platform::Current();
    // The flag first, then the mask: the woken thread finds the flag clear.
    s_.watchRun = 0;
    api.SetCommMask(s_.hComm.load(), 0);
    if (s_.watchStop) api.SetEvent(s_.watchStop.get());
    if (s_.watchThread) api.WaitForSingleObject(s_.watchThread.get(), INFINITE);
}

void Session::StopTransferWorker() {
    // The transfer engines poll abortRequested between port operations and
    // the worker ends by itself; waiting for it keeps every later step of the
    // close away from a port that the worker still uses.
    platform::Api& api = platform::Current();
    s_.transferClosing = 1;
    s_.abortRequested = 1;
    if (s_.transferThread) api.WaitForSingleObject(s_.transferThread.get(), INFINITE);
    s_.transferThread.reset();
    s_.inFileTransfer = 0;
    s_.transferClosing = 0;
}

short Session::CloseComm() {
    platform::Api& api = platform::Current();
    if (!s_.portOpen.load()) return Fail(111, 0);

    if (s_.inFileTransfer.load() || s_.transferThread) StopTransferWorker();
    StopWatchThread();

    HANDLE handle = s_.commOwner.get();
    api.EscapeCommFunction(handle, CLRDTR);
    api.PurgeComm(handle, kPurgeAll);

    s_.commOwner.reset();
    s_.watchThread.reset();
    s_.readEvent.reset();
    s_.writeEvent.reset();
    s_.readOverlapped.hEvent = nullptr;
    s_.writeOverlapped.hEvent = nullptr;
    s_.watchEvent.reset();
    s_.watchStop.reset();
    s_.sendBuffer.reset();
    s_.recvBuffer.reset();
    s_.sendCapacity = 0;
    s_.recvCapacity = 0;
    s_.portOpen = 0;
    return 0;
}

short Session::FlushComm(short flags) {
    platform::Current().PurgeComm(s_.hComm.load(), static_cast<DWORD>(static_cast<long>(flags)));
    return 0;
}

void Session::ReapplyBaudRate() {
    if (!s_.portOpen.load()) return;
    if (!reporter_.InRunMode()) return;
    platform::Api& api = platform::Current();
    HANDLE handle = s_.hComm.load();
    api.GetCommState(handle, &s_.dcb);
    if (s_.QcBaudRate >= 0 && s_.QcBaudRate < kBaudTableSize)
        s_.dcb.BaudRate = static_cast<DWORD>(kBaudTable[s_.QcBaudRate]);
    if (!api.SetCommState(handle, &s_.dcb))
        reporter_.CommError(102, static_cast<long>(api.GetLastError()));
}

}  // namespace qlr::port
