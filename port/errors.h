// The result codes of the control's methods (the CommError major codes) and
// the two helpers every operation reports through.
#pragma once

#include "port/state.h"

namespace qlr::err {

enum Code : short {
    kOk = 0,
    kOpenFailed = 100,          // the device cannot be opened; minor: last error
    kSettingsRejected = 101,    // BuildCommDCB refused the settings string
    kSettingsNotApplied = 102,  // SetCommState failed (minor: last error for QcBaudRate)
    kNoBuffer = 103,            // the send or receive buffer cannot be allocated
    kTooLong = 104,             // more data than the send capacity
    kReadFailed = 105,          // a read failed or line errors are pending; minor: error or flags
    kWriteFailed = 106,         // a write failed; minor: last error
    kClearBreakFailed = 107,    // minor: last error
    kSendBreakFailed = 108,
    kTransmitCharFailed = 109,  // minor: last error
    kCharTooLong = 110,         // SendChar's text is more than one byte (the first is sent)
    kNotOpen = 111,             // the port is not open
    kAlreadyOpen = 112,
    kNameTooLong = 113,     // a transfer's file name does not fit 259 bytes
    kRecvTimeOut = 115,     // QcRecvTimeOut passed; the bytes gathered are returned
    kNoEvent = 116,         // an event object cannot be created
    kRecvTooLong = 117,     // a read longer than the receive capacity
    kNoThread = 118,        // a thread cannot be started; minor: last error
    kClearDtrFailed = 119,  // minor: last error, as for 120 to 123
    kSetDtrFailed = 120,
    kClearRtsFailed = 121,
    kSetRtsFailed = 122,
    kModemStatusFailed = 123,
    kLineError = 124,  // a line-error event of the port; minor: error flags
    kTransferRunning = 125,
    kNoTransfer = 126,       // AbortTransfer with nothing running; never fired
    kSendTimeOut = 127,      // QcSendTimeOut passed before every byte was written
    kNotByteArray = 128,     // a byte-array argument of the wrong kind; never fired
    kNothingReceived = 129,  // RecvBinaryBytes found nothing; never fired
    kDeviceGone = 130,       // the device stopped working (unplugged); minor: system error
};

// Fires CommError(code, minor) and gives the code back: `return Report(r, ...)`.
inline short Report(Reporter& r, Code code, long minor = 0) {
    r.CommError(code, minor);
    return code;
}

// The precondition of every operation on the open port: false, with 111
// reported, while the port is closed.
inline bool RequireOpen(const ControlState& s, Reporter& r) {
    if (s.portOpen.load()) return true;
    Report(r, kNotOpen);
    return false;
}

// The host's own reads and writes while a file transfer owns the port are
// refused with 125: bytes the host took or put on the line would be lost to,
// or corrupt, the transfer. False, with 125 reported, while one runs.
inline bool RequireNoTransfer(const ControlState& s, Reporter& r) {
    if (!s.inFileTransfer.load()) return true;
    Report(r, kTransferRunning);
    return false;
}

}  // namespace qlr::err
