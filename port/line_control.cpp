#include "port/line_control.h"

#include "port/errors.h"
#include "port/open_port.h"

namespace qlr::port {
namespace {

short Escape(ControlState& s, Reporter& r, DWORD function, err::Code failure) {
    platform::Api& api = platform::Current();
    // No open-port check: on a closed port the call fails as the platform
    // fails it on a closed handle, with the method's own code.
    Device* port = OwnedDevice(s);
    if (!port) return err::Report(r, failure, ERROR_INVALID_HANDLE);
    if (port->EscapeCommFunction(function)) return 0;
    return err::Report(r, failure, static_cast<long>(api.GetLastError()));
}

}  // namespace

short SendBreak(ControlState& s, Reporter& r) {
    if (!err::RequireOpen(s, r)) return err::kNotOpen;
    Device* port = OwnedDevice(s);
    if (port && port->SetCommBreak()) return 0;
    return err::Report(r, err::kSendBreakFailed);
}

short ClearBreak(ControlState& s, Reporter& r) {
    if (!err::RequireOpen(s, r)) return err::kNotOpen;
    platform::Api& api = platform::Current();
    Device* port = OwnedDevice(s);
    if (port && port->ClearCommBreak()) return 0;
    return err::Report(r, err::kClearBreakFailed, static_cast<long>(api.GetLastError()));
}

short SetDTR(ControlState& s, Reporter& r) { return Escape(s, r, SETDTR, err::kSetDtrFailed); }
short ClearDTR(ControlState& s, Reporter& r) { return Escape(s, r, CLRDTR, err::kClearDtrFailed); }
short SetRTS(ControlState& s, Reporter& r) { return Escape(s, r, SETRTS, err::kSetRtsFailed); }
short ClearRTS(ControlState& s, Reporter& r) { return Escape(s, r, CLRRTS, err::kClearRtsFailed); }

bool ModemLine(ControlState& s, Reporter& r, DWORD statusBit) {
    platform::Api& api = platform::Current();
    DWORD status = 0;
    Device* port = OwnedDevice(s);
    if (!port) {
        err::Report(r, err::kModemStatusFailed, ERROR_INVALID_HANDLE);
        return false;
    }
    if (!port->GetCommModemStatus(&status)) {
        err::Report(r, err::kModemStatusFailed, static_cast<long>(api.GetLastError()));
        status = 0;
    }
    return (status & statusBit) != 0;
}

}  // namespace qlr::port
