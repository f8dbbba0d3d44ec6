// control/automation: the control object, its automation surface, events, window; the port list.
// Firing _QLREvents and property-change notifications to connected sinks.
#pragma once

#include <windows.h>
#include <ocidl.h>

#include "control/com/connection_point.h"

namespace qlr {

enum EventDispid : DISPID {
    kDispCommError = 1,
    kDispCommRecv = 2,
    kDispCommTransferEnd = 3,
    kDispCommSend = 4,
    kDispCommNotify = 5,
    kDispCommRecvVar = 6,
    kDispCommFrame = 7,
};

// Calls every connected sink, slot by slot, on the caller's (the host's) thread.
// Each operation returns the status of the last sink call (S_OK with no sink);
// a failing sink does not stop the others.
class EventSource {
public:
    explicit EventSource(com::ConnectionPoint& events) : events_(events) {}

    HRESULT FireCommError(short major, long minor);
    // The sinks get a reference to *text and may replace the string in it; the
    // caller frees whatever *text holds afterwards.
    HRESULT FireCommRecv(BSTR* text);
    HRESULT FireCommTransferEnd(short status);
    HRESULT FireCommSend();
    HRESULT FireCommNotify(long mask);
    // Each sink gets its own copy of data.
    HRESULT FireCommRecvVar(const VARIANT& data);
    // Each sink gets its own copy of data (a string or a byte array).
    HRESULT FireCommFrame(const VARIANT& data, short status);

private:
    // args are in dispatch order (last parameter first); they are copied per sink.
    HRESULT Fire(DISPID id, const VARIANT* args, UINT count);

    com::ConnectionPoint& events_;
};

// OnChanged(dispid) to every IPropertyNotifySink of the point.
void NotifyPropertyChanged(com::ConnectionPoint& sinks, DISPID dispid);

}  // namespace qlr
