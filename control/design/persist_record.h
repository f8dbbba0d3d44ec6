// control/design: design time: persistence, property page, view, in-place, data object, browsing.
// The stream's building blocks: exact reads and writes, and the variant
// record (a 16-bit type word, then the value).
//
// Records come from files that travel between machines, so the reader trusts
// nothing: a string's byte count is checked against what the stream still
// holds before anything is allocated, and the bytes are read in bounded
// chunks, so memory never grows beyond what the stream really delivers.
#pragma once

#include <windows.h>
#include <objidl.h>
#include <oaidl.h>

namespace qlr::persist {

// Reads exactly size bytes. A stream that ends first gives E_FAIL; a failing
// read gives its own status.
HRESULT ReadExact(IStream* stream, void* data, ULONG size);
// Writes exactly size bytes; a short write without an error is STG_E_MEDIUMFULL.
HRESULT WriteExact(IStream* stream, const void* data, ULONG size);

// The bytes that follow the type word for the fixed-size automation types,
// 0 for every other type.
ULONG FixedValueSize(VARTYPE type);

// Writes value as a record. A fixed-size type writes its bytes, a string its
// count and text; any other plain type writes its text under its own type
// word. Arrays and references cannot be recorded (E_FAIL).
HRESULT WriteVariantRecord(IStream* stream, const VARIANT& value);
// The number of bytes WriteVariantRecord writes for value.
HRESULT VariantRecordSize(const VARIANT& value, ULONGLONG* size);

// Reads one record into out, which the caller has initialised and owns.
// A string record's count must be even and, when not 0, end with a zero
// character; a type word other than a fixed-size one or VT_BSTR carries text
// that is converted to that type. Any failure leaves out empty.
HRESULT ReadVariantRecord(IStream* stream, VARIANT* out);

}  // namespace qlr::persist
