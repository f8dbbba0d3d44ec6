#include "port/line_control.h"

namespace qlr::port {
namespace {

short Escape(ControlState& s, Reporter& r, DWORD function, short failure) {
    platform::Api& api = platform::Current();
    // No open-port check: on a closed port the platform refuses the call and
    // the method reports its own code with the platform's reason.
    if (api.EscapeCommFunction(s.hComm.load(), function)) return 0;
    r.CommError(failure, static_cast<long>(api.GetLastError()));
    return failure;
}

}  // namespace

short SendBreak(ControlState& s, Reporter& r) {
    if (!s.portOpen.load()) {
        r.CommError(111, 0);
        return 111;
    }
    if (platform::Current().SetCommBreak(s.hComm.load())) return 0;
    r.CommError(108, 0);
    return 108;
}

short ClearBreak(ControlState& s, Reporter& r) {
    if (!s.portOpen.load()) {
        r.CommError(111, 0);
        return 111;
    }
    platform::Api& api = platform::Current();
    if (api.ClearCommBreak(s.hComm.load())) return 0;
    r.CommError(107, static_cast<long>(api.GetLastError()));
    return 107;
}

short SetDTR(ControlState& s, Reporter& r) { return Escape(s, r, SETDTR, 120); }
short ClearDTR(ControlState& s, Reporter& r) { return Escape(s, r, CLRDTR, 119); }
short SetRTS(ControlState& s, Reporter& r) { return Escape(s, r, SETRTS, 122); }
short ClearRTS(ControlState& s, Reporter& r) { return Escape(s, r, CLRRTS, 121); }

bool ModemLine(ControlState& s, Reporter& r, DWORD statusBit) {
    platform::Api& api = platform::Current();
    DWORD status = 0;
    if (!api.GetCommModemStatus(s.hComm.load(), &status)) {
        r.CommError(123, static_cast<long>(api.GetLastError()));
        status = 0;
    }
    return (status & statusBit) != 0;
}

}  // namespace qlr::port
