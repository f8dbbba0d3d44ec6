#include "transfer/receive.h"

#include <olectl.h>

#include <algorithm>
#include <cstring>

#include "port/line_settings.h"
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
};

constexpr Outcome kNothing{Kind::kNothing, 0};

// One read pass of want bytes into recvBuffer at offset. false after a read
// failure, reported as 105. A pending read is waited for up to sliceMs; if it
// is still pending then, it is cancelled and its completion awaited, and any
// bytes it took by then count.
bool Pass(ControlState& s, Reporter& r, DWORD offset, DWORD want, DWORD sliceMs, DWORD& got,
          bool& pended) {
    platform::Api& api = platform::Current();
    HANDLE port = s.hComm.load();
    HANDLE event = s.readEvent.get();
    got = 0;
    pended = false;
    api.ResetEvent(event);
    DWORD done = 0;
    if (api.ReadFile(port, s.recvBuffer.get() + offset, want, &done, &s.readOverlapped)) {
        got = std::min(done, want);
        return true;
    }
    DWORD error = api.GetLastError();
    if (error == ERROR_IO_PENDING) {
        pended = true;
        if (api.WaitForSingleObject(event, sliceMs) != WAIT_OBJECT_0) {
            api.CancelIoEx(port, &s.readOverlapped);
            while (api.WaitForSingleObject(event, kReadSliceMs) == WAIT_TIMEOUT) {
            }
        }
        done = 0;
        if (api.GetOverlappedResult(port, &s.readOverlapped, &done, FALSE)) {
            got = std::min(done, want);
            return true;
        }
        error = api.GetLastError();
        if (error == ERROR_OPERATION_ABORTED) {  // our own cancel
            got = std::min(done, want);
            return true;
        }
    }
    api.ClearCommError(port, nullptr, nullptr);
    r.CommError(105, static_cast<long>(error));
    return false;
}

// The steps shared by every read: capacity, port, line errors, then a read of
// everything (length 0) or a counted read with the receive time-out.
Outcome ReadCore(ControlState& s, Reporter& r, short length) {
    if (length < 0 || length > ReceiveCapacity(s)) {
        r.CommError(117, 0);
        return kNothing;
    }
    if (!s.portOpen.load() || !s.recvBuffer) {
        r.CommError(111, 0);
        return kNothing;
    }
    platform::Api& api = platform::Current();
    HANDLE port = s.hComm.load();
    DWORD errors = 0;
    COMSTAT stat{};
    api.ClearCommError(port, &errors, &stat);
    if (errors != 0) {
        r.CommError(105, static_cast<long>(errors));
        return kNothing;
    }

    DWORD got = 0;
    bool pended = false;
    if (length == 0) {
        if (stat.cbInQue == 0) return kNothing;
        const DWORD want = std::min(stat.cbInQue, static_cast<DWORD>(s.recvCapacity));
        if (!Pass(s, r, 0, want, kReadSliceMs, got, pended)) return kNothing;
        if (got) {
            s.readGeneration.fetch_add(1);
            trace::Received(s, s.recvBuffer.get(), got);  // only a read that found bytes
        }
        return Outcome{Kind::kEverything, got};
    }

    const DWORD wanted = static_cast<DWORD>(length);
    const DWORD timeout = s.QcRecvTimeOut > 0 ? static_cast<DWORD>(s.QcRecvTimeOut) : 0;
    const DWORD start = api.GetTickCount();
    DWORD gathered = 0;
    DWORD slice = timeout ? std::min(kReadSliceMs, timeout + 1) : kReadSliceMs;
    for (;;) {
        if (!Pass(s, r, gathered, wanted - gathered, slice, got, pended)) return kNothing;
        gathered += got;
        if (got) s.readGeneration.fetch_add(1);
        const DWORD elapsed = api.GetTickCount() - start;
        if (timeout && elapsed > timeout) {
            r.CommError(115, 0);
            return Outcome{Kind::kPartial, gathered};
        }
        if (gathered >= wanted) break;
        // Until the time-out is due, but never longer than one slice.
        const DWORD left = timeout ? std::min(kReadSliceMs, timeout - elapsed + 1) : kReadSliceMs;
        slice = left;
        // A driver that answers at once with nothing is asked again shortly;
        // one that left the read pending has already waited.
        if (got == 0 && !pended) api.Sleep(std::min(kIdlePollMs, left));
    }
    s.recvBuffer[wanted] = 0;
    return Outcome{Kind::kComplete, wanted};
}

// RecvString's read: the number of bytes of its result, at the front of
// recvBuffer.
DWORD RecvStringBytes(ControlState& s, Reporter& r, short length) {
    const Outcome read = ReadCore(s, r, length);
    if (read.kind != Kind::kComplete) return read.count;
    unsigned char* bytes = s.recvBuffer.get();
    DWORD count = read.count;
    if (s.QcMode != 0 && bytes[count - 1] == 0x0A) {
        bytes[--count] = 0;
        if (count > 0 && bytes[count - 1] == 0x0D) bytes[--count] = 0;
    }
    trace::Received(s, bytes, count);
    return count;
}

BSTR ByteString(const unsigned char* bytes, DWORD count) {
    BSTR text = SysAllocStringLen(nullptr, static_cast<UINT>(count));
    if (text)
        for (DWORD i = 0; i < count; ++i) text[i] = static_cast<wchar_t>(bytes[i]);
    return text;
}

// The array held by a byte-array variant, directly or by reference.
SAFEARRAY* ByteArray(VARIANT* buffer) {
    if (!buffer) return nullptr;
    VARIANT* v = buffer;
    if (v->vt == (VT_BYREF | VT_VARIANT) && v->pvarVal) v = v->pvarVal;
    SAFEARRAY* array = nullptr;
    if (v->vt == (VT_ARRAY | VT_UI1)) array = v->parray;
    else if (v->vt == (VT_BYREF | VT_ARRAY | VT_UI1) && v->pparray) array = *v->pparray;
    if (!array || SafeArrayGetDim(array) != 1 || SafeArrayGetElemsize(array) != 1) return nullptr;
    return array;
}

// Length of RecvBinaryBytes; false for a type it does not take.
bool LengthOf(const VARIANT& length, short& out) {
    const VARIANT* v = &length;
    if (v->vt == (VT_BYREF | VT_VARIANT) && v->pvarVal) v = v->pvarVal;
    switch (v->vt) {
    case VT_ERROR:
        out = 0;
        return v->scode == DISP_E_PARAMNOTFOUND;
    case VT_I2: out = v->iVal; return true;
    case VT_I4: out = static_cast<short>(v->lVal); return true;
    case VT_BYREF | VT_I2: out = v->piVal ? *v->piVal : 0; return v->piVal != nullptr;
    case VT_BYREF | VT_I4: out = v->plVal ? static_cast<short>(*v->plVal) : 0; return v->plVal != nullptr;
    default: return false;
    }
}

}  // namespace

long ReceiveCapacity(const ControlState& s) {
    if (s.portOpen.load() && s.recvBuffer) return s.recvCapacity;
    return port::QueueSize(s.QcRecvQSize);  // what the next OpenComm allocates
}

BSTR RecvString(ControlState& s, Reporter& r, short length) {
    const DWORD count = RecvStringBytes(s, r, length);
    return ByteString(count ? s.recvBuffer.get() : nullptr, count);
}

BSTR RecvUnicodeString(ControlState& s, Reporter& r, short length) {
    const Outcome read = ReadCore(s, r, length);
    if (read.count == 0) return SysAllocStringLen(nullptr, 0);
    const unsigned char* bytes = s.recvBuffer.get();
    if (read.kind == Kind::kEverything) s.recvBuffer[read.count] = 0;
    if (read.kind == Kind::kComplete) trace::Received(s, bytes, read.count);
    const UINT units = static_cast<UINT>(read.count / 2);
    BSTR text = SysAllocStringLen(nullptr, units);
    if (text)
        for (UINT i = 0; i < units; ++i)
            text[i] = static_cast<wchar_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    return text;
}

long ReadBytes(ControlState& s, Reporter& r, short length) {
    const Outcome read = ReadCore(s, r, length);
    if (read.kind == Kind::kComplete) trace::Received(s, s.recvBuffer.get(), read.count);
    return static_cast<long>(read.count);
}

short RecvBinaryBytes(ControlState& s, Reporter& r, VARIANT* buffer, const VARIANT& length) {
    SAFEARRAY* array = ByteArray(buffer);
    if (!array) return 128;
    LONG lower = 0, upper = -1;
    SafeArrayGetLBound(array, 1, &lower);
    SafeArrayGetUBound(array, 1, &upper);
    const long long elements = std::max(0LL, static_cast<long long>(upper) - lower + 1);
    short wanted = 0;
    if (!LengthOf(length, wanted)) return 128;

    short readLength = wanted;
    if (wanted == 0) {
        const short count = InBufferCount(s, r);
        if (count == 0) return 129;
        // The count is a 16-bit quantity: a negative one stands for more than
        // 32767 bytes, more than any read takes.
        const long queued = count < 0 ? count + 65536L : count;
        // An empty array takes nothing: the bytes stay queued.
        if (elements == 0) return 129;
        readLength = elements >= queued ? static_cast<short>(0)
                                        : static_cast<short>(std::min(elements, 0x7FFFLL));
    }
    const DWORD count = RecvStringBytes(s, r, readLength);
    if (count == 0) return 129;
    const size_t copied = static_cast<size_t>(std::min<long long>(elements, count));
    void* data = nullptr;
    if (copied > 0 && SUCCEEDED(SafeArrayAccessData(array, &data))) {
        std::memcpy(data, s.recvBuffer.get(), copied);
        SafeArrayUnaccessData(array);
    }
    return 0;
}

short InBufferCount(ControlState& s, Reporter& r) {
    if (!s.portOpen.load()) return 0;
    DWORD errors = 0;
    COMSTAT stat{};
    platform::Current().ClearCommError(s.hComm.load(), &errors, &stat);
    if (errors != 0) {
        r.CommError(105, static_cast<long>(errors));
        return 0;
    }
    return static_cast<short>(stat.cbInQue);
}

HRESULT GetRecvBufferByte(const ControlState& s, short index, short* value) {
    if (!value) return E_POINTER;
    if (index < 0 || index >= ReceiveCapacity(s) || !s.portOpen.load() || !s.recvBuffer)
        return CTL_E_INVALIDPROPERTYARRAYINDEX;
    *value = s.recvBuffer[index];
    return S_OK;
}

}  // namespace qlr::transfer
