// control/automation: the control object, its automation surface, events, window; the port list.
// The receive notification: the handler of WM_COMM_RECV on the host's thread.
// It reads what the watch thread announced and delivers it as CommRecv or
// CommRecvVar events, as QcRecvNotifyOnly, QcNotifyRecvChars and
// QcRecvEventType say when the message is handled.
#pragma once

#include <oaidl.h>

#include "control/automation/state.h"

namespace qlr::dispatch {

// The two receive events, fired to every connected sink.
class ReceiveEvents {
public:
    virtual ~ReceiveEvents() = default;
    // The sinks may replace *text; the caller frees what it then holds.
    virtual void CommRecv(BSTR* text) = 0;
    // Each sink gets its own copy of data.
    virtual void CommRecvVar(const VARIANT& data) = 0;
};

// QcRecvEventType values.
enum : long { kAsString = 0, kAsVariantString = 1, kAsVariantBinary = 2 };

// Runs one receive notification. Read failures reach the host through r as
// CommError; the notification itself reports nothing. The byte-by-byte forms
// stop early when a sink closed the port meanwhile.
void ReceiveNotification(ControlState& s, Reporter& r, ReceiveEvents& events);

}  // namespace qlr::dispatch
