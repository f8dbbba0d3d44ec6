#include "port/overlapped_io.h"

#include <algorithm>

#include "platform/platform.h"

namespace qlr::port {
namespace {

// Waits for a pending operation's event: true when it completed, false when
// waitMs passed, the abort request was set or the wait itself failed.
bool WaitDone(platform::Api& api, HANDLE event, DWORD waitMs, const std::atomic<short>* abort) {
    if (!abort) {
        if (waitMs == 0) return false;
        if (waitMs != INFINITE) return api.WaitForSingleObject(event, waitMs) == WAIT_OBJECT_0;
        DWORD woke = WAIT_TIMEOUT;
        while ((woke = api.WaitForSingleObject(event, kIoSliceMs)) == WAIT_TIMEOUT) {}
        return woke == WAIT_OBJECT_0;
    }
    const DWORD start = waitMs == INFINITE ? 0 : api.GetTickCount();
    for (;;) {
        if (abort->load()) return false;
        DWORD slice = kAbortSliceMs;
        if (waitMs != INFINITE) {
            const DWORD elapsed = api.GetTickCount() - start;
            if (elapsed >= waitMs) return false;
            slice = std::min(slice, waitMs - elapsed);
        }
        const DWORD woke = api.WaitForSingleObject(event, slice);
        if (woke == WAIT_OBJECT_0) return true;
        if (woke != WAIT_TIMEOUT) return false;
    }
}

// Cancels a pending operation and waits, bounded, until the driver has
// finished with the record; false when it has not.
bool CancelAndCollect(platform::Api& api, Device& port, OVERLAPPED& record) {
    port.CancelIoEx(&record);
    return api.WaitForSingleObject(record.hEvent, kCancelBoundMs) != WAIT_TIMEOUT;
}

IoResult Failed(Device& port, DWORD error, DWORD done, bool pended) {
    port.ClearCommError(nullptr, nullptr);
    return IoResult{false, error, done, pended};
}

}  // namespace

IoResult ReadSome(Device& port, OVERLAPPED& record, void* buffer, DWORD want, DWORD waitMs,
                  const std::atomic<short>* abort) {
    platform::Api& api = platform::Current();
    api.ResetEvent(record.hEvent);
    DWORD done = 0;
    if (port.ReadFile(buffer, want, &done, &record))
        return IoResult{true, 0, std::min(done, want), false};
    DWORD error = api.GetLastError();
    if (error != ERROR_IO_PENDING) return Failed(port, error, 0, false);

    if (!WaitDone(api, record.hEvent, waitMs, abort) && !CancelAndCollect(api, port, record))
        return Failed(port, ERROR_TIMEOUT, 0, true);
    done = 0;
    if (port.GetOverlappedResult(&record, &done, FALSE))
        return IoResult{true, 0, std::min(done, want), true};
    error = api.GetLastError();
    if (error == ERROR_OPERATION_ABORTED)  // our own cancel; what it took counts
        return IoResult{true, 0, std::min(done, want), true};
    return Failed(port, error, 0, true);
}

IoResult WriteSome(Device& port, OVERLAPPED& record, const void* data, DWORD count, DWORD waitMs,
                   const std::atomic<short>* abort) {
    platform::Api& api = platform::Current();
    api.ResetEvent(record.hEvent);
    DWORD done = 0;
    if (port.WriteFile(data, count, &done, &record))
        return IoResult{true, 0, std::min(done, count), false};
    const DWORD error = api.GetLastError();
    if (error != ERROR_IO_PENDING) return Failed(port, error, 0, false);

    const DWORD start = api.GetTickCount();
    for (;;) {
        const DWORD elapsed = api.GetTickCount() - start;
        const DWORD left =
            waitMs == INFINITE ? INFINITE : (elapsed < waitMs ? waitMs - elapsed : 0);
        bool timedOut = false;
        if (!WaitDone(api, record.hEvent, left, abort)) {
            timedOut = !abort || !abort->load();
            if (!CancelAndCollect(api, port, record)) return Failed(port, ERROR_TIMEOUT, 0, true);
        }
        done = 0;
        if (port.GetOverlappedResult(&record, &done, FALSE) && (!timedOut || done >= count))
            return IoResult{true, 0, std::min(done, count), true};
        if (timedOut) return Failed(port, ERROR_TIMEOUT, std::min(done, count), true);
        const DWORD result = api.GetLastError();
        if (result == ERROR_IO_INCOMPLETE) continue;  // signalled early: wait on
        return Failed(port, result, std::min(done, count), true);
    }
}

}  // namespace qlr::port
