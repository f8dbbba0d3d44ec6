// The synchronous receive path: reads from the port into recvBuffer, on the
// host's thread, in passes of at most 1000 ms, with the receive time-out.
//
// Bounds, beyond the interface's own rules:
// - A negative length is refused like an over-long one (CommError 117): a read
//   asks for 0 to the receive capacity bytes, nothing else.
// - A read of everything takes at most the receive capacity, however many bytes
//   the driver reports queued; the rest stays queued for the next read.
// - Strings are built at the length read, so any receive capacity is served
//   whole (there is no fixed working area to overrun).
// - RecvBuffer while the port is closed fails with the index error: there is
//   no buffer then.
// - A read that the driver leaves pending is waited for; when its slice ends
//   first it is cancelled and its outcome collected, so no read is ever left
//   outstanding and bytes it took still count.
#pragma once

#include <oaidl.h>

#include "port/state.h"

namespace qlr::transfer {

// Pause after a pass that returned at once with nothing, before the next one.
constexpr DWORD kIdlePollMs = 10;
// Longest wait for one pending read.
constexpr DWORD kReadSliceMs = 1000;

// The largest length one read may ask for.
long ReceiveCapacity(const ControlState& s);

// RecvString: a byte-valued string (one character per byte); never null.
BSTR RecvString(ControlState& s, Reporter& r, short length);
// RecvUnicodeString: the bytes read, paired low byte first. A read of
// everything takes an even count (an odd last byte stays queued for the next
// read); a counted read of an odd length drops its last byte. Never null.
BSTR RecvUnicodeString(ControlState& s, Reporter& r, short length);
// The byte reader: the number of bytes now at the front of recvBuffer.
long ReadBytes(ControlState& s, Reporter& r, short length);
// RecvBinaryBytes: 0, 128 (not a one-dimensional byte array, or a length of
// another type) or 129 (nothing received).
short RecvBinaryBytes(ControlState& s, Reporter& r, VARIANT* buffer, const VARIANT& length);
// QcInBufferCount and InputLen: 0 while closed or after a line error (105).
short InBufferCount(ControlState& s, Reporter& r);

// RecvBuffer(index): S_OK or CTL_E_INVALIDPROPERTYARRAYINDEX.
HRESULT GetRecvBufferByte(const ControlState& s, short index, short* value);

}  // namespace qlr::transfer
