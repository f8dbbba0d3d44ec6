// The synchronous transmit path: text, Unicode text, priority characters,
// prepared bytes and byte arrays, written from sendBuffer with the send
// time-out. No send allocates memory.
#pragma once

#include <oaidl.h>

#include "port/state.h"

namespace qlr::transfer {

// Largest converted text one SendString carries.
constexpr int kAnsiAreaSize = 5120;

short SendString(ControlState& s, Reporter& r, BSTR text);
short SendUnicodeString(ControlState& s, Reporter& r, BSTR text);
short SendChar(ControlState& s, Reporter& r, BSTR text);
// Sends the first length bytes of sendBuffer as they stand.
short SendByte(ControlState& s, Reporter& r, short length);
// 128 for anything but a one-dimensional byte array; 0 once the array is
// accepted, the send's own outcome reaching the host as CommError.
short SendBinaryBytes(ControlState& s, Reporter& r, const VARIANT& buffer);

// SendBuffer(index): S_OK, CTL_E_INVALIDPROPERTYARRAYINDEX (also while the
// port is closed: there is no buffer then) or CTL_E_INVALIDPROPERTYVALUE.
HRESULT GetSendBufferByte(const ControlState& s, short index, short* value);
HRESULT PutSendBufferByte(ControlState& s, short index, short value);

}  // namespace qlr::transfer
