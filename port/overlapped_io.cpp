#include "port/overlapped_io.h"

#include <algorithm>
#include <cstring>
#include <new>

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
// finished with the record; false (the record stays outstanding) when it has not.
bool CancelAndCollect(platform::Api& api, Device& port, IoRecord& record) {
    port.CancelIoEx(&record.overlapped);
    if (api.WaitForSingleObject(record.event.get(), kCancelBoundMs) == WAIT_OBJECT_0) return true;
    record.outstanding = true;
    return false;
}

// True when the record is free: no operation of an earlier call still runs
// on it. One that has ended meanwhile is collected (its bytes are dropped).
bool Settled(platform::Api& api, Device& port, IoRecord& record) {
    if (!record.outstanding) return true;
    if (api.WaitForSingleObject(record.event.get(), 0) != WAIT_OBJECT_0) return false;
    DWORD ignored = 0;
    port.GetOverlappedResult(&record.overlapped, &ignored, FALSE);
    record.outstanding = false;
    return true;
}

IoResult Failed(Device& port, DWORD error, DWORD done, bool pended) {
    DWORD errors = 0;
    port.ClearCommError(&errors, nullptr);
    return IoResult{false, error, done, pended, errors};
}

}  // namespace

bool IoRecord::Create(platform::Api& api, DWORD bytes) {
    overlapped = OVERLAPPED{};
    event.reset(api.CreateEventA(TRUE, FALSE));
    overlapped.hEvent = event.get();
    buffer.reset(new (std::nothrow) unsigned char[bytes > 0 ? bytes : 1]());
    capacity = buffer ? bytes : 0;
    outstanding = false;
    return event.valid() && buffer != nullptr;
}

IoResult ReadSome(Device& port, IoRecord& record, void* buffer, DWORD want, DWORD waitMs,
                  const std::atomic<short>* abort) {
    platform::Api& api = platform::Current();
    if (!Settled(api, port, record)) return IoResult{false, ERROR_BUSY, 0, false};
    want = std::min(want, record.capacity);
    unsigned char* into = record.buffer.get();
    auto took = [&](DWORD done, bool pended) {
        done = std::min(done, want);
        if (done) std::memcpy(buffer, into, done);
        return IoResult{true, 0, done, pended};
    };
    api.ResetEvent(record.event.get());
    DWORD done = 0;
    if (port.ReadFile(into, want, &done, &record.overlapped)) return took(done, false);
    DWORD error = api.GetLastError();
    if (error != ERROR_IO_PENDING) return Failed(port, error, 0, false);

    if (!WaitDone(api, record.event.get(), waitMs, abort) && !CancelAndCollect(api, port, record))
        return Failed(port, ERROR_TIMEOUT, 0, true);
    done = 0;
    if (port.GetOverlappedResult(&record.overlapped, &done, FALSE)) return took(done, true);
    error = api.GetLastError();
    if (error == ERROR_OPERATION_ABORTED) return took(done, true);  // our own cancel
    return Failed(port, error, 0, true);
}

IoResult WriteSome(Device& port, IoRecord& record, const void* data, DWORD count, DWORD waitMs,
                   const std::atomic<short>* abort) {
    platform::Api& api = platform::Current();
    if (!Settled(api, port, record)) return IoResult{false, ERROR_BUSY, 0, false};
    count = std::min(count, record.capacity);
    if (count) std::memcpy(record.buffer.get(), data, count);
    api.ResetEvent(record.event.get());
    DWORD done = 0;
    if (port.WriteFile(record.buffer.get(), count, &done, &record.overlapped))
        return IoResult{true, 0, std::min(done, count), false};
    const DWORD error = api.GetLastError();
    if (error != ERROR_IO_PENDING) return Failed(port, error, 0, false);

    const DWORD start = api.GetTickCount();
    for (;;) {
        const DWORD elapsed = api.GetTickCount() - start;
        const DWORD left =
            waitMs == INFINITE ? INFINITE : (elapsed < waitMs ? waitMs - elapsed : 0);
        bool timedOut = false;
        if (!WaitDone(api, record.event.get(), left, abort)) {
            timedOut = !abort || !abort->load();
            if (!CancelAndCollect(api, port, record)) return Failed(port, ERROR_TIMEOUT, 0, true);
        }
        done = 0;
        if (port.GetOverlappedResult(&record.overlapped, &done, FALSE) &&
            (!timedOut || done >= count))
            return IoResult{true, 0, std::min(done, count), true};
        if (timedOut) return Failed(port, ERROR_TIMEOUT, std::min(done, count), true);
        const DWORD result = api.GetLastError();
        if (result == ERROR_IO_INCOMPLETE) continue;  // signalled early: wait on
        return Failed(port, result, std::min(done, count), true);
    }
}

}  // namespace qlr::port
