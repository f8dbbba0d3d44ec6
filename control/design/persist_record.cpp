// control/design: design time: persistence, property page, view, in-place, data object, browsing.

#include "control/design/persist_record.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "platform/com_ptr.h"

namespace qlr::persist {

namespace {

constexpr ULONG kChunk = 64 * 1024;
constexpr ULONG kMaxStringChars = (0xFFFFFFFFu - 2) / 2;

// The bytes between the stream's position and its end, when it can tell.
bool RemainingBytes(IStream* stream, ULONGLONG& remaining) {
    STATSTG stat{};
    if (FAILED(stream->Stat(&stat, STATFLAG_NONAME))) return false;
    LARGE_INTEGER zero{};
    ULARGE_INTEGER position{};
    if (FAILED(stream->Seek(zero, STREAM_SEEK_CUR, &position))) return false;
    remaining =
        position.QuadPart <= stat.cbSize.QuadPart ? stat.cbSize.QuadPart - position.QuadPart : 0;
    return true;
}

// A string record's text: an even count, 0 for an absent string, otherwise
// the characters and their terminating zero.
HRESULT ReadStringValue(IStream* stream, com::Bstr& text) {
    ULONG count = 0;
    HRESULT hr = ReadExact(stream, &count, sizeof count);
    if (FAILED(hr)) return hr;
    if (count == 0) {
        text.reset();
        return S_OK;
    }
    if (count % 2 != 0) return E_FAIL;
    ULONGLONG remaining = 0;
    if (RemainingBytes(stream, remaining) && count > remaining) return E_FAIL;

    // Grown chunk by chunk as the bytes arrive: a count larger than the
    // stream never becomes an allocation of that size.
    std::vector<wchar_t> chars;
    try {
        ULONG done = 0;
        while (done < count) {
            const ULONG part = std::min(kChunk, count - done);
            chars.resize((done + part) / 2);
            hr = ReadExact(stream, reinterpret_cast<BYTE*>(chars.data()) + done, part);
            if (FAILED(hr)) return hr;
            done += part;
        }
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    if (chars.back() != L'\0') return E_FAIL;
    BSTR made = SysAllocStringLen(chars.data(), static_cast<UINT>(chars.size() - 1));
    if (!made) return E_OUTOFMEMORY;
    text = com::Bstr::Attach(made);
    return S_OK;
}

HRESULT WriteStringValue(IStream* stream, BSTR text) {
    const UINT length = SysStringLen(text);
    if (length > kMaxStringChars) return E_FAIL;
    const ULONG count = text ? length * 2 + 2 : 0;
    HRESULT hr = WriteExact(stream, &count, sizeof count);
    if (FAILED(hr) || count == 0) return hr;
    hr = WriteExact(stream, text, length * 2);
    if (FAILED(hr)) return hr;
    const wchar_t terminator = L'\0';
    return WriteExact(stream, &terminator, sizeof terminator);
}

bool Recordable(VARTYPE type) { return (type & (VT_BYREF | VT_ARRAY | VT_VECTOR)) == 0; }

// A value that has no record of its own travels as its text.
HRESULT AsText(const VARIANT& value, com::Variant& text) {
    return VariantChangeType(text.get(), const_cast<VARIANT*>(&value), 0, VT_BSTR);
}

}  // namespace

HRESULT ReadExact(IStream* stream, void* data, ULONG size) {
    BYTE* at = static_cast<BYTE*>(data);
    while (size > 0) {
        ULONG got = 0;
        const HRESULT hr = stream->Read(at, size, &got);
        if (FAILED(hr)) return hr;
        if (got == 0 || got > size) return E_FAIL;
        at += got;
        size -= got;
    }
    return S_OK;
}

HRESULT WriteExact(IStream* stream, const void* data, ULONG size) {
    ULONG written = 0;
    const HRESULT hr = stream->Write(data, size, &written);
    if (FAILED(hr)) return hr;
    return written == size ? S_OK : STG_E_MEDIUMFULL;
}

ULONG FixedValueSize(VARTYPE type) {
    switch (type) {
    case VT_I1:
    case VT_UI1: return 1;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL: return 2;
    case VT_I4:
    case VT_UI4:
    case VT_R4:
    case VT_INT:
    case VT_UINT:
    case VT_ERROR: return 4;
    case VT_R8:
    case VT_CY:
    case VT_DATE:
    case VT_I8:
    case VT_UI8: return 8;
    default: return 0;
    }
}

HRESULT WriteVariantRecord(IStream* stream, const VARIANT& value) {
    if (!Recordable(value.vt)) return E_FAIL;
    const VARTYPE type = value.vt;
    HRESULT hr = WriteExact(stream, &type, sizeof type);
    if (FAILED(hr)) return hr;
    if (const ULONG size = FixedValueSize(type)) return WriteExact(stream, &value.llVal, size);
    if (type == VT_BSTR) return WriteStringValue(stream, value.bstrVal);
    com::Variant text;
    hr = AsText(value, text);
    if (FAILED(hr)) return hr;
    return WriteStringValue(stream, text->bstrVal);
}

HRESULT VariantRecordSize(const VARIANT& value, ULONGLONG* size) {
    *size = 0;
    if (!Recordable(value.vt)) return E_FAIL;
    if (const ULONG fixed = FixedValueSize(value.vt)) {
        *size = sizeof(VARTYPE) + fixed;
        return S_OK;
    }
    BSTR text = value.bstrVal;
    com::Variant converted;
    if (value.vt != VT_BSTR) {
        const HRESULT hr = AsText(value, converted);
        if (FAILED(hr)) return hr;
        text = converted->bstrVal;
    }
    if (SysStringLen(text) > kMaxStringChars) return E_FAIL;
    *size = sizeof(VARTYPE) + sizeof(ULONG) + (text ? SysStringLen(text) * 2ull + 2 : 0);
    return S_OK;
}

HRESULT ReadVariantRecord(IStream* stream, VARIANT* out) {
    VariantClear(out);
    VARTYPE type = VT_EMPTY;
    HRESULT hr = ReadExact(stream, &type, sizeof type);
    if (FAILED(hr)) return hr;
    // A stored record cannot carry a pointer.
    if (type & VT_BYREF) return E_FAIL;

    if (const ULONG size = FixedValueSize(type)) {
        VARIANT value;
        std::memset(&value, 0, sizeof value);
        hr = ReadExact(stream, &value.llVal, size);
        if (FAILED(hr)) return hr;
        value.vt = type;
        *out = value;
        return S_OK;
    }

    com::Bstr text;
    hr = ReadStringValue(stream, text);
    if (FAILED(hr)) return hr;
    if (type == VT_BSTR) {
        out->vt = VT_BSTR;
        out->bstrVal = text.detach();
        return S_OK;
    }
    VARIANT source;
    VariantInit(&source);
    source.vt = VT_BSTR;
    source.bstrVal = text.get();  // still owned by text
    com::Variant converted;
    hr = VariantChangeType(converted.get(), &source, 0, type);
    if (FAILED(hr)) return hr;
    if (converted->vt != type) return DISP_E_TYPEMISMATCH;
    *out = *converted.get();
    converted->vt = VT_EMPTY;  // handed on to out
    return S_OK;
}

}  // namespace qlr::persist
