#include "transfer/send.h"

#include <olectl.h>

#include <cstring>

#include "transfer/trace.h"

namespace qlr::transfer {
namespace {

short PortClosed(Reporter& r) {
    r.CommError(111, 0);
    return 111;
}

short TooLong(Reporter& r) {
    r.CommError(104, 0);
    return 104;
}

// Writes the first count bytes of sendBuffer, in 1000 ms slices, testing the
// send time-out after every completed write.
short WriteRun(ControlState& s, Reporter& r, DWORD count) {
    platform::Api& api = platform::Current();
    HANDLE port = s.hComm.load();
    const unsigned char* data = s.sendBuffer.get();
    const DWORD start = api.GetTickCount();
    DWORD position = 0;
    DWORD remaining = count;
    do {
        DWORD written = 0;
        DWORD error = 0;
        if (!api.WriteFile(port, data + position, remaining, &written, &s.writeOverlapped)) {
            error = api.GetLastError();
            if (error == ERROR_IO_PENDING) {
                while (api.WaitForSingleObject(s.writeEvent.get(), 1000) == WAIT_TIMEOUT) {
                }
                written = 0;
                error = 0;
                if (!api.GetOverlappedResult(port, &s.writeOverlapped, &written, FALSE)) {
                    error = api.GetLastError();
                    if (error == ERROR_IO_INCOMPLETE || error == ERROR_IO_PENDING) error = 0;
                }
            }
            if (error != 0) {
                api.ClearCommError(port, nullptr, nullptr);
                r.CommError(106, static_cast<long>(error));
                return 106;
            }
        }
        position += written;
        remaining -= written < remaining ? written : remaining;
        s.writeGeneration.fetch_add(1);
        if (s.QcSendTimeOut > 0 &&
            api.GetTickCount() - start > static_cast<DWORD>(s.QcSendTimeOut)) {
            r.CommError(127, 0);
            return 127;
        }
    } while (remaining > 0);
    trace::Sent(s, data, count);
    return 0;
}

}  // namespace

short SendString(ControlState& s, Reporter& r, BSTR text) {
    if (!s.portOpen.load()) return PortClosed(r);
    const int units = static_cast<int>(SysStringLen(text));
    if (units == 0) return 0;
    char area[kAnsiAreaSize];
    const int count = WideCharToMultiByte(CP_ACP, 0, text, units, area, kAnsiAreaSize, nullptr, nullptr);
    if (count == 0 || count > s.sendCapacity) return TooLong(r);  // 0: did not fit the area
    std::memcpy(s.sendBuffer.get(), area, static_cast<size_t>(count));
    DWORD total = static_cast<DWORD>(count);
    if (s.QcMode != 0) {
        s.sendBuffer[total++] = 0x0D;
        s.sendBuffer[total++] = 0x0A;
    }
    return WriteRun(s, r, total);
}

short SendUnicodeString(ControlState& s, Reporter& r, BSTR text) {
    if (!s.portOpen.load()) return PortClosed(r);
    const long count = 2L * static_cast<long>(SysStringLen(text));
    if (count == 0) return 0;
    if (count > s.sendCapacity) return TooLong(r);
    unsigned char* out = s.sendBuffer.get();
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
    if (!s.portOpen.load()) return PortClosed(r);
    if (length == 0) return 0;
    // The first byte: from the first character (two units for a surrogate pair).
    char first[8] = {0};
    const int firstUnits = (units > 1 && IS_HIGH_SURROGATE(text[0])) ? 2 : 1;
    WideCharToMultiByte(CP_ACP, 0, text, firstUnits, first, sizeof first, nullptr, nullptr);
    if (length != 1) {
        r.CommError(110, 0);
        rc = 110;
    }
    platform::Api& api = platform::Current();
    if (!api.TransmitCommChar(s.hComm.load(), first[0])) {
        r.CommError(109, static_cast<long>(api.GetLastError()));
        rc = 109;
    }
    return rc;
}

short SendByte(ControlState& s, Reporter& r, short length) {
    if (length == 0) return 0;
    if (!s.portOpen.load()) return PortClosed(r);
    // A negative length is refused like an over-long one: nothing outside
    // sendBuffer is ever sent.
    if (length < 0 || length > s.sendCapacity) return TooLong(r);
    return WriteRun(s, r, static_cast<DWORD>(length));
}

short SendBinaryBytes(ControlState& s, Reporter& r, const VARIANT& buffer) {
    const VARIANT* v = &buffer;
    // Script hosts pass variables by reference to a variant.
    if (v->vt == (VT_BYREF | VT_VARIANT) && v->pvarVal) v = v->pvarVal;
    SAFEARRAY* array = nullptr;
    if (v->vt == (VT_ARRAY | VT_UI1)) array = v->parray;
    else if (v->vt == (VT_BYREF | VT_ARRAY | VT_UI1) && v->pparray) array = *v->pparray;
    else return 128;
    if (!array || SafeArrayGetDim(array) != 1) return 128;

    LONG lower = 0, upper = -1;
    SafeArrayGetLBound(array, 1, &lower);
    SafeArrayGetUBound(array, 1, &upper);
    const long long elements = static_cast<long long>(upper) - lower + 1;
    if (elements <= 0) return 0;  // an empty array sends nothing
    const short count = elements > 0x7FFF ? static_cast<short>(-1) : static_cast<short>(elements);
    if (s.portOpen.load() && elements <= s.sendCapacity) {
        void* data = nullptr;
        if (SUCCEEDED(SafeArrayAccessData(array, &data))) {
            std::memcpy(s.sendBuffer.get(), data, static_cast<size_t>(elements));
            SafeArrayUnaccessData(array);
        }
    }
    // An array too long for a 16-bit count is refused as over-long.
    if (elements > 0x7FFF) {
        if (!s.portOpen.load()) PortClosed(r);
        else TooLong(r);
        return 0;
    }
    SendByte(s, r, count);
    return 0;
}

HRESULT GetSendBufferByte(const ControlState& s, short index, short* value) {
    if (!value) return E_POINTER;
    if (index < 0 || index >= s.sendCapacity || !s.sendBuffer) return CTL_E_INVALIDPROPERTYARRAYINDEX;
    *value = s.sendBuffer[index];
    return S_OK;
}

HRESULT PutSendBufferByte(ControlState& s, short index, short value) {
    if (index < 0 || index >= s.sendCapacity || !s.sendBuffer) return CTL_E_INVALIDPROPERTYARRAYINDEX;
    if (value > 255) return CTL_E_INVALIDPROPERTYVALUE;
    s.sendBuffer[index] = static_cast<unsigned char>(value & 0xFF);
    return S_OK;
}

}  // namespace qlr::transfer
