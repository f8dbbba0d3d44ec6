#include "port/open_port.h"

#include "port/watch.h"

namespace qlr {

ControlState::ControlState() : QcParityReplace(L"?") {}
ControlState::~ControlState() = default;

namespace port {

OpenPort::~OpenPort() { StopWatchThread(); }

void NoteRead(ControlState& s) {
    s.readGeneration.fetch_add(1);
    if (s.port && s.port->readNoticed) platform::Current().SetEvent(s.port->readNoticed.get());
}

bool OpenPort::StartWatchThread(int priority) {
    platform::Api& api = platform::Current();
    watchRun = 1;
    DWORD id = 0;
    platform::UniqueHandle thread(api.CreateThread(WatchThreadMain, this, &id));
    if (!thread) {
        watchRun = 0;
        return false;
    }
    watchThread = std::move(thread);
    watchThreadId = id;
    api.SetThreadPriority(watchThread.get(), priority);
    return true;
}

void OpenPort::StopWatchThread() {
    if (!watchThread) return;
    platform::Api& api = platform::Current();
    // The flag first, then the mask: the woken thread finds the flag clear.
    watchRun = 0;
    if (device) device->SetCommMask(0);
    if (watchStop) api.SetEvent(watchStop.get());
    api.WaitForSingleObject(watchThread.get(), INFINITE);
    watchThread.reset();
}

}  // namespace port
}  // namespace qlr
