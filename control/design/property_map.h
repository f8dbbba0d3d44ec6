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

// The extended entries: properties saved after those of the map above, and
// only when they differ from their defaults, so that a control whose extended
// properties are all at their defaults saves exactly what the map alone saves.
struct ExtendedEntry {
    const wchar_t* name;
    DISPID dispid;
    VARTYPE savedType;           // VT_BSTR, VT_I2 or VT_I4
    const wchar_t* defaultText;  // VT_BSTR
    long defaultNumber;          // the others
};

extern const ExtendedEntry kExtendedMap[];
extern const size_t kExtendedMapSize;

struct ExtendedEntries {
    const ExtendedEntry* begin() const { return kExtendedMap; }
    const ExtendedEntry* end() const { return kExtendedMap + kExtendedMapSize; }
};

const ExtendedEntry* FindExtendedEntry(DISPID dispid);
// The default as a variant of the saved type (null on failure to allocate).
HRESULT DefaultValue(const ExtendedEntry& entry, VARIANT& value);
// Whether value (as a get returns it) is the entry's default.
bool IsDefault(const ExtendedEntry& entry, const VARIANT& value);

}  // namespace qlr
