// Framed receiving: the handler of WM_COMM_FRAME on the host's thread. It
// frames what the watch thread read (framing/) and fires one CommFrame per
// frame, in order, with the data as QcRecvEventType chooses.
#pragma once

#include <oaidl.h>

#include <deque>
#include <memory>

#include "control/automation/state.h"
#include "framing/framer.h"

namespace qlr::frames {

class FrameEvents {
public:
    virtual ~FrameEvents() = default;
    // Each sink gets its own copy of data.
    virtual void CommFrame(const VARIANT& data, short status) = 0;
};

class FrameReceiver {
public:
    // Before OpenComm: bytes a failed open may have queued are dropped.
    void BeforeOpen(ControlState& s);
    // After an OpenComm that succeeded: the framing settings are taken now.
    void Opened(ControlState& s);
    // The port closed (ended true) or a transfer took it: what was read is
    // framed, a partial frame is delivered as interrupted, and the frames
    // still to fire are announced.
    void Interrupt(ControlState& s, bool ended);
    // WM_COMM_FRAME. Re-entrant: a handler that pumps messages delivers the
    // next frames itself, still in order.
    void Deliver(ControlState& s, FrameEvents& events);

private:
    void Take(ControlState& s);

    std::unique_ptr<framing::Framer> framer_;
    std::deque<framing::Frame> frames_;  // complete, not yet fired
};

}  // namespace qlr::frames
