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

}  // namespace qlr
