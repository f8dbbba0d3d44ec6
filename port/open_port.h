// The open port: everything the control owns from OpenComm to CloseComm (the
// device handle, the overlapped records and their events, the send and
// receive buffers and the event-watch thread) in one object. A closed control
// has none, so nothing can reach a stale handle or a freed buffer.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>

#include "port/overlapped_io.h"
#include "port/device.h"
#include "port/state.h"

namespace qlr::port {

// The largest single read or write of a file transfer: a streaming protocol's
// 8 KiB subpacket, escaped, goes out in one write, and a read takes a whole
// receive queue; each call costs the driver the same whatever its size.
constexpr DWORD kTransferIoBytes = 16384;
// The largest single read of the watch thread while it frames.
constexpr DWORD kFrameReadBytes = 4096;

class OpenPort {
public:
    explicit OpenPort(ControlState& state) : state(state) {}
    // Stops the watch thread, then closes the handle, then frees the records,
    // events and buffers (the members below go in reverse order).
    ~OpenPort();
    OpenPort(const OpenPort&) = delete;
    OpenPort& operator=(const OpenPort&) = delete;

    Device& dev() const { return *device; }
    // Starts the watch thread; false (the last error kept) when it cannot start.
    bool StartWatchThread(int priority);
    // Clears the run flag, ends a pending wait (mask 0, stop event) and waits
    // for the thread. Safe to repeat.
    void StopWatchThread();

    ControlState& state;

    // Send and receive capacities: the queue sizes as they were at OpenComm;
    // each buffer holds its capacity plus 2 bytes.
    long sendCapacity = 0;
    long recvCapacity = 0;
    std::unique_ptr<unsigned char[]> sendBuffer;
    std::unique_ptr<unsigned char[]> recvBuffer;
    DCB dcb{};

    // The host's reads and writes (sized by the capacities), and a transfer's
    // own: a transfer and the host never share a record or its event.
    IoRecord read;
    IoRecord write;
    IoRecord transferRead;
    IoRecord transferWrite;

    // The watch thread's own wait: its record and the event that tells it to
    // stop. They outlive the thread until the handle is closed, so a wait still
    // pending at that moment never writes into freed memory.
    IoRecord watch;
    DWORD watchEventMask = 0;  // the out mask of a pending wait
    platform::UniqueHandle watchStop;
    // Set by every read of the host (auto-reset): a watch thread that waits
    // for bytes that merely stay queued to be read looks again at once.
    platform::UniqueHandle readNoticed;
    std::atomic<short> watchRun{0};
    // Framing (QcFrameMode at OpenComm; 0: none): the watch thread reads what
    // arrives and queues it, and times the silence that ends a frame from the
    // line's settings (microseconds; 0 while not yet known).
    long frameMode = 0;
    IoRecord frameRead;  // the watch thread's own reads
    std::atomic<DWORD> frameGapUs{0};
    std::atomic<DWORD> frameCharUs{0};
    platform::UniqueHandle watchThread;
    DWORD watchThreadId = 0;

    // Declared last, closed first.
    std::unique_ptr<Device> device;
};

// The device the control owns: the open port's, none while closed. hComm keeps
// reporting the last handle, but Windows hands closed handle values out again
// at once, so only this device may reach the system.
inline Device* OwnedDevice(const ControlState& s) {
    return s.port && s.port->device ? s.port->device.get() : nullptr;
}

// Every read from the receive queue (the host's reads, FlushComm, a transfer's
// end) goes through here: what arrives next is new to the watch thread, and a
// watch thread that paused behind the queued bytes wakes.
void NoteRead(ControlState& s);

// Takes the port's receive queue for the host's thread for the life of the
// object: a framing watch thread stops reading and a read of it that has
// begun is waited for.
class HostRead {
public:
    explicit HostRead(ControlState& s);
    ~HostRead();
    HostRead(const HostRead&) = delete;
    HostRead& operator=(const HostRead&) = delete;

private:
    ControlState& s_;
};

// Waits until a read of the watch thread that may have begun before the
// caller set hostReading or inFileTransfer has ended.
void WaitForWatchRead(const ControlState& s);

// Framing timing from the applied line settings and QcFrameGap.
void UpdateFrameTiming(OpenPort& port);

}  // namespace qlr::port
