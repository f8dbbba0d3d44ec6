#include "port/open_port.h"

#include <algorithm>

#include "framing/framer.h"
#include "port/watch.h"

namespace qlr {

ControlState::ControlState() : QcParityReplace(L"?"), QcFrameDelimiter(L"\r\n") {}
ControlState::~ControlState() = default;

namespace port {

OpenPort::~OpenPort() { StopWatchThread(); }

void NoteRead(ControlState& s) {
    s.readGeneration.fetch_add(1);
    if (s.port && s.port->readNoticed) platform::Current().SetEvent(s.port->readNoticed.get());
}

HostRead::HostRead(ControlState& s) : s_(s) {
    s_.hostReading.fetch_add(1);
    WaitForWatchRead(s_);
}

HostRead::~HostRead() { s_.hostReading.fetch_sub(1); }

void WaitForWatchRead(const ControlState& s) {
    // The watch thread's reads take what is queued and never wait for more,
    // so this lasts microseconds; bounded all the same.
    platform::Api& api = platform::Current();
    for (int round = 0; s.watchReading.load() && round < 2000; ++round) api.Sleep(round ? 1 : 0);
}

void UpdateFrameTiming(OpenPort& port) {
    const DCB& dcb = port.dcb;
    const unsigned stopTimes2 = dcb.StopBits == TWOSTOPBITS    ? 4
                                : dcb.StopBits == ONE5STOPBITS ? 3
                                                               : 2;
    const uint64_t charUs = framing::CharacterMicros(
        dcb.BaudRate, dcb.ByteSize, dcb.fParity && dcb.Parity != NOPARITY, stopTimes2);
    const uint64_t gapUs = framing::GapMicros(port.state.QcFrameGap, dcb.BaudRate, charUs);
    port.frameCharUs = static_cast<DWORD>(std::min<uint64_t>(charUs, MAXDWORD));
    port.frameGapUs = static_cast<DWORD>(std::min<uint64_t>(gapUs, MAXDWORD / 2));
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
