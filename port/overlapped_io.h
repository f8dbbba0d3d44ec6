// The one overlapped-I/O path of the port: every read and write of sends,
// receives and XModem goes through ReadSome and WriteSome, so that waiting,
// cancelling and collecting an operation is done in one place.
#pragma once

#include <windows.h>

#include <atomic>

#include "port/device.h"

namespace qlr::port {

// Longest single wait while an abort request is watched.
constexpr DWORD kAbortSliceMs = 50;
// Slice of the waits that no abort request can end.
constexpr DWORD kIoSliceMs = 1000;
// Longest wait for a driver to finish an operation we cancelled; a driver
// that takes longer has failed the operation.
constexpr DWORD kCancelBoundMs = 2000;
// Bound of a write when the caller has none: the time-out record's 5000 ms
// write total plus a margin, for drivers that ignore the record.
constexpr DWORD kWriteBoundMs = 6000;

struct IoResult {
    bool ok;  // false: the operation failed; error holds the reason (may be 0)
    DWORD error;
    DWORD done;   // bytes moved, never more than asked for
    bool pended;  // the driver left the operation pending
};

// One read of up to want bytes: what the driver gives at once, or what a read
// left pending takes within waitMs (INFINITE: until it completes). While abort
// is given the wait goes in slices and ends early when it is set. A read still
// pending then is cancelled and its completion collected, so no read is ever
// left outstanding; bytes it took still count, and our own cancel is no
// failure. After a failure the port's error state is cleared.
IoResult ReadSome(Device& port, OVERLAPPED& record, void* buffer, DWORD want, DWORD waitMs,
                  const std::atomic<short>* abort);

// One write of count bytes, waited for until it completes, at most waitMs
// (then it is cancelled and fails with ERROR_TIMEOUT), or, with abort given,
// until the request is set (then cancelled). done is what the driver took.
// After a failure the port's error state is cleared.
IoResult WriteSome(Device& port, OVERLAPPED& record, const void* data, DWORD count, DWORD waitMs,
                   const std::atomic<short>* abort);

}  // namespace qlr::port
