// The event-watch thread: waits on the open port and posts one window message
// per occurrence to the control's window on the host's thread.
#pragma once

#include <windows.h>

namespace qlr::port {

// Thread routine; the argument is the OpenPort it watches.
DWORD WINAPI WatchThreadMain(void* openPort);

// Pause between two looks at a port that cannot signal events, and after a
// wake-up that brought nothing new (a platform that keeps signalling received
// data while it stays queued).
constexpr DWORD kWatchPollMs = 10;
// The same while framing: arrivals are timed by these looks.
constexpr DWORD kFramePollMs = 1;

}  // namespace qlr::port
