// control/design: design time: persistence, property page, view, in-place, data object, browsing.
// The persisted property map: the extent and the 26 properties that the
// stream, property-bag and storage formats save, in the order they save them,
// with the property page each property belongs to.
#pragma once

#include <windows.h>
#include <oaidl.h>

namespace qlr {

struct PersistedEntry {
    enum Kind { kExtentWidth, kExtentHeight, kProperty };
    const wchar_t* name;
    Kind kind;
    DISPID dispid;        // 0 for the extent entries
    VARTYPE savedType;    // what the stream and the bag carry
    bool onSettingsPage;  // edited on the CommSettings page
};

extern const PersistedEntry kPersistedMap[];
extern const size_t kPersistedMapSize;

// The map in order, for range-based loops.
struct PersistedEntries {
    const PersistedEntry* begin() const { return kPersistedMap; }
    const PersistedEntry* end() const { return kPersistedMap + kPersistedMapSize; }
};

// The entry of a property, or null when the property is not persisted.
const PersistedEntry* FindPersistedEntry(DISPID dispid);

// Properties added after the map: saved only when they differ from their
// defaults, after the map's entries (a stream of version 0x701 gives their
// count and then each one's dispid and record; a bag one more name each), so
// that a control that leaves them alone saves exactly what it always saved.
struct ExtendedEntry {
    const wchar_t* name;
    DISPID dispid;
    VARTYPE savedType;  // VT_I2, VT_I4 or VT_BSTR
    long defaultNumber;
    const wchar_t* defaultText;  // for VT_BSTR
};

extern const ExtendedEntry kExtendedMap[];
extern const size_t kExtendedMapSize;

struct ExtendedEntries {
    const ExtendedEntry* begin() const { return kExtendedMap; }
    const ExtendedEntry* end() const { return kExtendedMap + kExtendedMapSize; }
};

const ExtendedEntry* FindExtendedEntry(DISPID dispid);
// The default as a variant of the saved type.
HRESULT ExtendedDefault(const ExtendedEntry& entry, VARIANT* out);
// Converts value (as its get delivers it) to the saved type in place; false
// when it then equals the default (nothing to save) or cannot be converted.
bool DiffersFromDefault(const ExtendedEntry& entry, VARIANT* value);

}  // namespace qlr
