#include "transfer/receive.h"

#include <olectl.h>

#include <algorithm>
#include <cstring>

#include "port/errors.h"
#include "port/line_settings.h"
#include "port/open_port.h"
#include "port/overlapped_io.h"
#include "transfer/byte_array.h"
#include "transfer/trace.h"

namespace qlr::transfer {
namespace {

enum class Kind {
    kNothing,     // refused or failed: no bytes
    kEverything,  // a read of everything (length 0)
    kPartial,     // a counted read ended by the time-out
    kComplete,    // a counted read that gathered its length
};

struct Outcome {
    Kind kind;
    DWORD count;
    // 115 is still to be reported: only once the caller is done with the
    // buffer, since a handler of CommError may close the port.
    bool timedOut = false;
};

void ReportLate(Reporter& r, const Outcome& read) {
    if (read.timedOut) err::Report(r, err::kRecvTimeOut);
}

constexpr Outcome kNothing{Kind::kNothing, 0};

// One read pass of want bytes into the receive buffer at offset. false after
// a read failure, reported as 105. A read left pending is waited for up to
// sliceMs, then cancelled; any bytes it took by then count.
bool Pass(port::OpenPort& port, Reporter& r, DWORD offset, DWORD want, DWORD sliceMs, DWORD& got,
          bool& pended) {
    const port::IoResult io = port::ReadSome(port.dev(), port.read, port.recvBuffer.get() + offset,
                                             want, sliceMs, nullptr);
    got = io.done;
    pended = io.pended;
    if (io.ok) return true;
    err::Report(r, err::kReadFailed, static_cast<long>(io.error));
    return false;
}

// The steps shared by every read: capacity, port, line errors, then a read of
// everything (length 0) or a counted read with the receive time-out.
// wholeUnits: a read of everything takes an even count, so that a UTF-16
// unit whose second byte is still on its way stays whole for the next read.
Outcome ReadCore(ControlState& s, Reporter& r, short length, bool wholeUnits = false) {
    if (length < 0 || length > ReceiveCapacity(s)) {
        err::Report(r, err::kRecvTooLong);
        return kNothing;
    }
    if (!s.port) {  // no open port, no buffer
        err::Report(r, err::kNotOpen);
        return kNothing;
    }
    if (!err::RequireNoTransfer(s, r)) return kNothing;
    port::OpenPort& port = *s.port;
    const port::HostRead claim(s);
    platform::Api& api = platform::Current();
    DWORD errors = 0;
    COMSTAT stat{};
    port.dev().ClearCommError(&errors, &stat);
    if (errors != 0) {
        err::Report(r, err::kReadFailed, static_cast<long>(errors));
        return kNothing;
    }

    DWORD got = 0;
    bool pended = false;
    if (length == 0) {
        DWORD want = std::min(stat.cbInQue, static_cast<DWORD>(port.recvCapacity));
        if (wholeUnits) want &= ~1UL;
        if (want == 0) return kNothing;
        if (!Pass(port, r, 0, want, kReadSliceMs, got, pended)) return kNothing;
        if (got) {
            port::NoteRead(s);
            trace::Received(s, port.recvBuffer.get(), got);  // only a read that found bytes
        }
        return Outcome{Kind::kEverything, got};
    }

    const DWORD wanted = static_cast<DWORD>(length);
    const DWORD timeout = s.QcRecvTimeOut > 0 ? static_cast<DWORD>(s.QcRecvTimeOut) : 0;
    const DWORD start = api.GetTickCount();
    DWORD gathered = 0;
    DWORD slice = timeout ? std::min(kReadSliceMs, timeout + 1) : kReadSliceMs;
    for (;;) {
        if (!Pass(port, r, gathered, wanted - gathered, slice, got, pended)) return kNothing;
        gathered += got;
        if (got) port::NoteRead(s);
        const DWORD elapsed = api.GetTickCount() - start;
        if (timeout && elapsed > timeout) return Outcome{Kind::kPartial, gathered, true};
        if (gathered >= wanted) break;
        // Until the time-out is due, but never longer than one slice.
        const DWORD left = timeout ? std::min(kReadSliceMs, timeout - elapsed + 1) : kReadSliceMs;
        slice = left;
        // A driver that answers at once with nothing is asked again shortly;
        // one that left the read pending has already waited.
        if (got == 0 && !pended) api.Sleep(std::min(kIdlePollMs, left));
    }
    port.recvBuffer[wanted] = 0;
    return Outcome{Kind::kComplete, wanted};
}

// RecvString's read: the number of bytes of its result, at the front of the
// receive buffer.
Outcome RecvStringBytes(ControlState& s, Reporter& r, short length) {
    Outcome read = ReadCore(s, r, length);
    if (read.kind != Kind::kComplete) return read;
    unsigned char* bytes = s.port->recvBuffer.get();
    DWORD count = read.count;
    if (s.QcMode != 0 && bytes[count - 1] == 0x0A) {
        bytes[--count] = 0;
        if (count > 0 && bytes[count - 1] == 0x0D) bytes[--count] = 0;
    }
    trace::Received(s, bytes, count);
    read.count = count;
    return read;
}

BSTR ByteString(const unsigned char* bytes, DWORD count) {
    BSTR text = SysAllocStringLen(nullptr, static_cast<UINT>(count));
    if (text)
        for (DWORD i = 0; i < count; ++i) text[i] = static_cast<wchar_t>(bytes[i]);
    return text;
}

// Length of RecvBinaryBytes; false for a type it does not take.
bool LengthOf(const VARIANT& length, short& out) {
    const VARIANT* v = &length;
    if (v->vt == (VT_BYREF | VT_VARIANT) && v->pvarVal) v = v->pvarVal;
    switch (v->vt) {
    case VT_ERROR: out = 0; return v->scode == DISP_E_PARAMNOTFOUND;
    case VT_I2: out = v->iVal; return true;
    case VT_I4: out = static_cast<short>(v->lVal); return true;
    case VT_BYREF | VT_I2: out = v->piVal ? *v->piVal : 0; return v->piVal != nullptr;
    case VT_BYREF | VT_I4:
        out = v->plVal ? static_cast<short>(*v->plVal) : 0;
        return v->plVal != nullptr;
    default: return false;
    }
}

}  // namespace

long ReceiveCapacity(const ControlState& s) {
    if (s.portOpen.load() && s.port) return s.port->recvCapacity;
    return port::QueueSize(s.QcRecvQSize);  // what the next OpenComm allocates
}

BSTR RecvString(ControlState& s, Reporter& r, short length) {
    const Outcome read = RecvStringBytes(s, r, length);
    BSTR text = ByteString(read.count ? s.port->recvBuffer.get() : nullptr, read.count);
    ReportLate(r, read);
    return text;
}

BSTR RecvUnicodeString(ControlState& s, Reporter& r, short length) {
    const Outcome read = ReadCore(s, r, length, true);
    if (read.count == 0) {
        ReportLate(r, read);
        return SysAllocStringLen(nullptr, 0);
    }
    unsigned char* bytes = s.port->recvBuffer.get();
    if (read.kind == Kind::kEverything) bytes[read.count] = 0;
    if (read.kind == Kind::kComplete) trace::Received(s, bytes, read.count);
    const UINT units = static_cast<UINT>(read.count / 2);
    BSTR text = SysAllocStringLen(nullptr, units);
    if (text)
        for (UINT i = 0; i < units; ++i)
            text[i] = static_cast<wchar_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    ReportLate(r, read);
    return text;
}

long ReadBytes(ControlState& s, Reporter& r, short length) {
    const Outcome read = ReadCore(s, r, length);
    if (read.kind == Kind::kComplete) trace::Received(s, s.port->recvBuffer.get(), read.count);
    ReportLate(r, read);  // the caller checks the port again before it looks at the bytes
    return static_cast<long>(read.count);
}

short RecvBinaryBytes(ControlState& s, Reporter& r, VARIANT* buffer, const VARIANT& length) {
    SAFEARRAY* array = ByteArrayOf(buffer);
    if (!array) return err::kNotByteArray;
    LONG lower = 0, upper = -1;
    SafeArrayGetLBound(array, 1, &lower);
    SafeArrayGetUBound(array, 1, &upper);
    const long long elements = std::max(0LL, static_cast<long long>(upper) - lower + 1);
    short wanted = 0;
    if (!LengthOf(length, wanted)) return err::kNotByteArray;

    short readLength = wanted;
    if (wanted == 0) {
        const short count = InBufferCount(s, r);
        if (count == 0) return err::kNothingReceived;
        // The count is a 16-bit quantity: a negative one stands for more than
        // 32767 bytes, more than any read takes.
        const long queued = count < 0 ? count + 65536L : count;
        // An empty array takes nothing: the bytes stay queued.
        if (elements == 0) return err::kNothingReceived;
        readLength = elements >= queued ? static_cast<short>(0)
                                        : static_cast<short>(std::min(elements, 0x7FFFLL));
    }
    // The array is reached before anything is read: one that cannot be
    // takes no bytes from the port.
    void* data = nullptr;
    const HRESULT access = SafeArrayAccessData(array, &data);
    if (FAILED(access)) return err::Report(r, err::kReadFailed, static_cast<long>(access));
    const Outcome read = RecvStringBytes(s, r, readLength);
    const size_t copied = static_cast<size_t>(std::min<long long>(elements, read.count));
    if (copied > 0 && s.port) std::memcpy(data, s.port->recvBuffer.get(), copied);
    SafeArrayUnaccessData(array);
    ReportLate(r, read);
    return read.count == 0 ? static_cast<short>(err::kNothingReceived) : static_cast<short>(0);
}

short InBufferCount(ControlState& s, Reporter& r) {
    if (!s.portOpen.load()) return 0;
    DWORD errors = 0;
    COMSTAT stat{};
    if (port::Device* port = port::OwnedDevice(s)) port->ClearCommError(&errors, &stat);
    if (errors != 0) {
        err::Report(r, err::kReadFailed, static_cast<long>(errors));
        return 0;
    }
    return static_cast<short>(stat.cbInQue);
}

HRESULT GetRecvBufferByte(const ControlState& s, short index, short* value) {
    if (!value) return E_POINTER;
    if (index < 0 || index >= ReceiveCapacity(s) || !s.portOpen.load() || !s.port)
        return CTL_E_INVALIDPROPERTYARRAYINDEX;
    *value = s.port->recvBuffer[index];
    return S_OK;
}

}  // namespace qlr::transfer
