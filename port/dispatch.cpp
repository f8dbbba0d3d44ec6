#include "port/dispatch.h"

#include "control/com/ptr.h"
#include "transfer/receive.h"

namespace qlr::port {
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
        if (type == kAsString) FireString(events, text);
        else FireStringVariant(events, text);
        return;
    }

    const short count = transfer::InBufferCount(s, r);
    for (short i = 0; i < count; ++i) {
        if (i > 0 && !s.portOpen.load()) return;  // a sink closed the port
        if (type == kAsVariantBinary) {
            if (transfer::ReadBytes(s, r, 1) <= 0) continue;
            com::Variant data;
            data->vt = VT_UI1;
            data->bVal = s.recvBuffer[0];
            events.CommRecvVar(*data.get());
        } else {
            BSTR text = transfer::RecvString(s, r, 1);
            if (type == kAsString) FireString(events, text);
            else FireStringVariant(events, text);
        }
    }
}

}  // namespace qlr::port
