#include "transfer/send.h"

#include <olectl.h>

#include <cstring>

#include "port/errors.h"
#include "port/open_port.h"
#include "port/overlapped_io.h"
#include "transfer/byte_array.h"
#include "transfer/trace.h"

namespace qlr::transfer {
namespace {

// Writes the first count bytes of the send buffer, testing the send time-out
// after every completed write.
short WriteRun(ControlState& s, Reporter& r, DWORD count) {
    platform::Api& api = platform::Current();
    port::OpenPort& port = *s.port;
    const unsigned char* data = port.sendBuffer.get();
    const DWORD start = api.GetTickCount();
    DWORD position = 0;
    DWORD remaining = count;
    do {
        // A driver that ignores the write time-out is not waited for forever.
        const DWORD bound =
            s.QcSendTimeOut > 0 ? static_cast<DWORD>(s.QcSendTimeOut) : port::kWriteBoundMs;
        const port::IoResult io =
            port::WriteSome(port.dev(), port.write, data + position, remaining, bound, nullptr);
        if (!io.ok) {
            if (io.done) s.writeGeneration.fetch_add(1);
            return err::Report(r, err::kWriteFailed, static_cast<long>(io.error));
        }
        position += io.done;
        remaining -= io.done;
        s.writeGeneration.fetch_add(1);
        if (s.QcSendTimeOut > 0 && api.GetTickCount() - start > static_cast<DWORD>(s.QcSendTimeOut))
            return err::Report(r, err::kSendTimeOut);
    } while (remaining > 0);
    trace::Sent(s, data, count);
    return 0;
}

// The send buffer of the open port; null, with 111 reported, while closed,
// and with 125 while a file transfer owns the line (see rc).
port::OpenPort* OpenForSending(ControlState& s, Reporter& r, short* rc = nullptr) {
    if (rc) *rc = err::kNotOpen;
    if (!s.port) {
        err::Report(r, err::kNotOpen);
        return nullptr;
    }
    if (rc) *rc = err::kTransferRunning;
    return err::RequireNoTransfer(s, r) ? s.port.get() : nullptr;
}

}  // namespace

short SendString(ControlState& s, Reporter& r, BSTR text) {
    short refused = 0;
    port::OpenPort* port = OpenForSending(s, r, &refused);
    if (!port) return refused;
    const int units = static_cast<int>(SysStringLen(text));
    if (units == 0) return 0;
    char area[kAnsiAreaSize];
    const int count =
        WideCharToMultiByte(CP_ACP, 0, text, units, area, kAnsiAreaSize, nullptr, nullptr);
    if (count == 0 || count > port->sendCapacity)  // 0: did not fit the area
        return err::Report(r, err::kTooLong);
    unsigned char* out = port->sendBuffer.get();
    std::memcpy(out, area, static_cast<size_t>(count));
    DWORD total = static_cast<DWORD>(count);
    if (s.QcMode != 0) {
        out[total++] = 0x0D;
        out[total++] = 0x0A;
    }
    return WriteRun(s, r, total);
}

short SendUnicodeString(ControlState& s, Reporter& r, BSTR text) {
    short refused = 0;
    port::OpenPort* port = OpenForSending(s, r, &refused);
    if (!port) return refused;
    const long count = 2L * static_cast<long>(SysStringLen(text));
    if (count == 0) return 0;
    if (count > port->sendCapacity) return err::Report(r, err::kTooLong);
    unsigned char* out = port->sendBuffer.get();
    for (long i = 0; i < count / 2; ++i) {
        out[2 * i] = static_cast<unsigned char>(text[i] & 0xFF);
        out[2 * i + 1] = static_cast<unsigned char>(text[i] >> 8);
    }
    return WriteRun(s, r, static_cast<DWORD>(count));
}

short SendChar(ControlState& s, Reporter& r, BSTR text) {
    short rc = 0;
    int units = 0;
    while (text && text[units] != 0 && static_cast<UINT>(units) < SysStringLen(text)) ++units;
    const int length =
        units ? WideCharToMultiByte(CP_ACP, 0, text, units, nullptr, 0, nullptr, nullptr) : 0;
    if (!err::RequireOpen(s, r)) return err::kNotOpen;
    if (!err::RequireNoTransfer(s, r)) return err::kTransferRunning;
    if (length == 0) return 0;
    // The first byte: from the first character (two units for a surrogate pair).
    char first[8] = {0};
    const int firstUnits = (units > 1 && IS_HIGH_SURROGATE(text[0])) ? 2 : 1;
    WideCharToMultiByte(CP_ACP, 0, text, firstUnits, first, sizeof first, nullptr, nullptr);
    if (length != 1) {
        const unsigned session = s.openCount;
        rc = err::Report(r, err::kCharTooLong);
        // A handler of CommError may have closed the port, or opened another
        // one: then nothing is sent.
        if (!s.port || s.openCount != session) return rc;
    }
    platform::Api& api = platform::Current();
    port::Device* port = port::OwnedDevice(s);
    if (!port)
        rc = err::Report(r, err::kTransmitCharFailed, ERROR_INVALID_HANDLE);
    else if (!port->TransmitCommChar(first[0]))
        rc = err::Report(r, err::kTransmitCharFailed, static_cast<long>(api.GetLastError()));
    return rc;
}

short SendByte(ControlState& s, Reporter& r, short length) {
    if (length == 0) return 0;
    short refused = 0;
    port::OpenPort* port = OpenForSending(s, r, &refused);
    if (!port) return refused;
    // A negative length is refused like an over-long one: nothing outside
    // the send buffer is ever sent.
    if (length < 0 || length > port->sendCapacity) return err::Report(r, err::kTooLong);
    return WriteRun(s, r, static_cast<DWORD>(length));
}

short SendBinaryBytes(ControlState& s, Reporter& r, const VARIANT& buffer) {
    SAFEARRAY* array = ByteArrayOf(&buffer);
    if (!array) return err::kNotByteArray;

    LONG lower = 0, upper = -1;
    SafeArrayGetLBound(array, 1, &lower);
    SafeArrayGetUBound(array, 1, &upper);
    const long long elements = static_cast<long long>(upper) - lower + 1;
    if (elements <= 0) return 0;  // an empty array sends nothing
    const short count = elements > 0x7FFF ? static_cast<short>(-1) : static_cast<short>(elements);
    if (s.port && elements <= s.port->sendCapacity) {
        // An array whose elements cannot be reached sends nothing: the send
        // buffer holds whatever an earlier send left there.
        void* data = nullptr;
        const HRESULT access = SafeArrayAccessData(array, &data);
        if (FAILED(access)) return err::Report(r, err::kWriteFailed, static_cast<long>(access));
        std::memcpy(s.port->sendBuffer.get(), data, static_cast<size_t>(elements));
        SafeArrayUnaccessData(array);
    }
    // An array too long for a 16-bit count is refused as over-long.
    if (elements > 0x7FFF) {
        err::Report(r, s.port ? err::kTooLong : err::kNotOpen);
        return 0;
    }
    SendByte(s, r, count);
    return 0;
}

HRESULT GetSendBufferByte(const ControlState& s, short index, short* value) {
    if (!value) return E_POINTER;
    if (!s.port || index < 0 || index >= s.port->sendCapacity)
        return CTL_E_INVALIDPROPERTYARRAYINDEX;
    *value = s.port->sendBuffer[index];
    return S_OK;
}

HRESULT PutSendBufferByte(ControlState& s, short index, short value) {
    if (!s.port || index < 0 || index >= s.port->sendCapacity)
        return CTL_E_INVALIDPROPERTYARRAYINDEX;
    if (value > 255) return CTL_E_INVALIDPROPERTYVALUE;
    s.port->sendBuffer[index] = static_cast<unsigned char>(value & 0xFF);
    return S_OK;
}

}  // namespace qlr::transfer
