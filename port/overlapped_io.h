// The one overlapped-I/O path of the port: every read and write of sends,
// receives and XModem goes through ReadSome and WriteSome, so that waiting,
// cancelling and collecting an operation is done in one place.
//
// Each user of the port (the host's reads, the host's writes, a transfer's
// reads, a transfer's writes, the watch thread) has its own record, event and
// buffer, so that one completion never wakes, or is reset by, another. The
// driver reads into and writes from the record's buffer, never the caller's:
// an operation whose cancel the driver does not finish in time keeps the
// record and its buffer (both live in the open port until its handle is
// closed), and the record is used again only once that operation has ended.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>

#include "platform/platform.h"

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

// An overlapped record with its own manual-reset event and the memory the
// driver reads into or writes from. It lives at a fixed address for as long
// as the handle it is used with.
struct IoRecord {
    OVERLAPPED overlapped{};
    platform::UniqueHandle event;
    std::unique_ptr<unsigned char[]> buffer;
    DWORD capacity = 0;  // one operation moves at most this many bytes
    // A cancelled operation that the driver had not finished within
    // kCancelBoundMs: it still owns the record and its buffer.
    bool outstanding = false;

    // A new event and a buffer of capacity bytes; false when either fails.
    bool Create(platform::Api& api, DWORD bytes);
};

struct IoResult {
    bool ok;  // false: the operation failed; error holds the reason (may be 0)
    DWORD error;
    DWORD done;   // bytes moved, never more than asked for
    bool pended;  // the driver left the operation pending
    // After a failure: the port's line-error flags, taken so that a driver
    // that stops I/O on errors goes on. The caller reports them.
    DWORD lineErrors = 0;
};

// One read of up to want bytes (at most the record's capacity) into buffer:
// what the driver gives at once, or what a read left pending takes within
// waitMs (INFINITE: until it completes). While abort is given the wait goes
// in slices and ends early when it is set. A read still pending then is
// cancelled and its completion collected; bytes it took still count, and our
// own cancel is no failure. A cancel the driver does not finish in time fails
// the read (ERROR_TIMEOUT) and leaves the record outstanding; a record still
// outstanding at the next call fails it with ERROR_BUSY.
IoResult ReadSome(Device& port, IoRecord& record, void* buffer, DWORD want, DWORD waitMs,
                  const std::atomic<short>* abort);

// One write of count bytes (at most the record's capacity), waited for until
// it completes, at most waitMs (then it is cancelled and fails with
// ERROR_TIMEOUT), or, with abort given, until the request is set (then
// cancelled). done is what the driver took. Outstanding records as ReadSome.
IoResult WriteSome(Device& port, IoRecord& record, const void* data, DWORD count, DWORD waitMs,
                   const std::atomic<short>* abort);

}  // namespace qlr::port
