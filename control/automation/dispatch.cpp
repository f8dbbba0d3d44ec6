// control/automation: the control object, its automation surface, events, window; the port list.

#include "control/automation/dispatch.h"

#include "platform/com_ptr.h"
#include "port/open_port.h"
#include "transfer/receive.h"

namespace qlr::dispatch {
namespace {

// CommRecv with a string that is freed after the event, whatever the sinks
// left in the variable.
void FireString(ReceiveEvents& events, BSTR text) {
    com::Variant holder;
    holder->vt = VT_BSTR;
    holder->bstrVal = text;
    events.CommRecv(&holder->bstrVal);
}

void FireStringVariant(ReceiveEvents& events, BSTR text) {
    com::Variant data;
    data->vt = VT_BSTR;
    data->bstrVal = text;
    events.CommRecvVar(*data.get());
}

}  // namespace

void ReceiveNotification(ControlState& s, Reporter& r, ReceiveEvents& events) {
    const long type = s.QcRecvEventType;
    if (s.QcRecvNotifyOnly != 0) {
        if (type == kAsString) {
            FireString(events, nullptr);
        } else {
            com::Variant empty;
            events.CommRecvVar(*empty.get());
        }
        return;
    }
    if (type != kAsString && type != kAsVariantString && type != kAsVariantBinary) return;

    const bool byteByByte = type == kAsVariantBinary || s.QcNotifyRecvChars.load() == 1;
    if (!byteByByte) {
        BSTR text = transfer::RecvString(s, r, 0);
        if (type == kAsString)
            FireString(events, text);
        else
            FireStringVariant(events, text);
        return;
    }

    // Every fire runs host code that may close the port or open another one:
    // the delivery ends as soon as the port is not the one it started on.
    // It may also take the bytes itself (a nested notification while it pumps
    // messages, its own Input, a transfer it started): each byte is looked
    // for again, since a counted read of one that is not there would wait
    // for the next one to arrive.
    const unsigned session = s.openCount;
    auto samePort = [&s, session] {
        return s.port && s.openCount == session && !s.inFileTransfer.load();
    };
    const short count = transfer::InBufferCount(s, r);
    for (short i = 0; i < count; ++i) {
        if (!samePort()) return;
        if (i > 0 && (transfer::InBufferCount(s, r) == 0 || !samePort())) return;
        if (type == kAsVariantBinary) {
            if (transfer::ReadBytes(s, r, 1) <= 0 || !samePort()) continue;
            com::Variant data;
            data->vt = VT_UI1;
            data->bVal = s.port->recvBuffer[0];
            events.CommRecvVar(*data.get());
        } else {
            BSTR text = transfer::RecvString(s, r, 1);
            if (type == kAsString)
                FireString(events, text);
            else
                FireStringVariant(events, text);
        }
    }
}

}  // namespace qlr::dispatch
