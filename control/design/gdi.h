// control/design: design time: persistence, property page, view, in-place, data object, browsing.
// Owners for GDI objects and device-context state, so that no drawing path
// leaks a handle or leaves a container's DC changed.
#pragma once

#include <windows.h>
#include <utility>

#include "platform/unique.h"

namespace qlr::gdi {

// A bitmap, brush or region; deleted unless released to a new owner.
template <class Handle>
using Object = platform::UniqueGdiObject<Handle>;

// Selects an object into a DC for the scope.
class Selection {
public:
    Selection(HDC dc, HGDIOBJ object) : dc_(dc), old_(SelectObject(dc, object)) {}
    ~Selection() {
        if (old_ && old_ != HGDI_ERROR) SelectObject(dc_, old_);
    }
    Selection(const Selection&) = delete;
    Selection& operator=(const Selection&) = delete;
    bool ok() const { return old_ && old_ != HGDI_ERROR; }

private:
    HDC dc_;
    HGDIOBJ old_;
};

// SaveDC for the scope: mapping mode, origins and transform come back.
class SavedState {
public:
    explicit SavedState(HDC dc) : dc_(dc), id_(SaveDC(dc)) {}
    ~SavedState() {
        if (id_) RestoreDC(dc_, id_);
    }
    SavedState(const SavedState&) = delete;
    SavedState& operator=(const SavedState&) = delete;

private:
    HDC dc_;
    int id_;
};

}  // namespace qlr::gdi
