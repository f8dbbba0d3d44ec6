// control/design: design time: persistence, property page, view, in-place, data object, browsing.
// The view: drawing at design time (picture 2) and at run time (the form's
// background colour), the view's advise sink, extents and hit testing.
#include <algorithm>

#include "control/design/gdi.h"
#include "control/automation/qlrcom.h"
#include "resources/resource_ids.h"

namespace qlr {

namespace {

// The face's own background, used where bounds exceed the picture.
constexpr COLORREF kFaceGrey = RGB(0xC0, 0xC0, 0xC0);

bool IsMetafile(HDC dc) {
    const DWORD type = GetObjectType(dc);
    return type == OBJ_METADC || type == OBJ_ENHMETADC ||
           GetDeviceCaps(dc, TECHNOLOGY) == DT_METAFILE;
}

void Fill(HDC dc, const RECT& rect, COLORREF color) {
    if (rect.right <= rect.left || rect.bottom <= rect.top) return;
    gdi::Object<HBRUSH> brush(CreateSolidBrush(color));
    if (brush) FillRect(dc, &rect, brush.get());
}

// Picture 2 at the top-left of bounds. In pixels it is never stretched (what
// the bounds leave uncovered gets the face's grey, so the view stays opaque);
// into a metafile it fills the bounds in the metafile's own units.
void DrawFace(HDC dc, const RECT& bounds, bool pixels) {
    gdi::Object<HBITMAP> face(static_cast<HBITMAP>(LoadImageW(
        ModuleInstance(), MAKEINTRESOURCEW(IDB_FACE), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION)));
    BITMAP info{};
    if (!face || !GetObjectW(face.get(), sizeof info, &info)) return;
    // A DIB section selects into a DC of any device; an old-style metafile DC
    // has no compatible memory DC, so the screen lends one.
    platform::UniqueMemoryDc memoryDc(CreateCompatibleDC(dc));
    if (!memoryDc) memoryDc.reset(CreateCompatibleDC(nullptr));
    HDC memory = memoryDc.get();
    if (!memory) return;
    gdi::Selection selected(memory, face.get());
    if (!selected.ok()) return;
    const int width = bounds.right - bounds.left, height = bounds.bottom - bounds.top;
    if (!pixels) {
        StretchBlt(dc, bounds.left, bounds.top, width, height, memory, 0, 0, info.bmWidth,
                   info.bmHeight, SRCCOPY);
        return;
    }
    const int w = std::min<int>(width, info.bmWidth), h = std::min<int>(height, info.bmHeight);
    BitBlt(dc, bounds.left, bounds.top, w, h, memory, 0, 0, SRCCOPY);
    Fill(dc, RECT{bounds.left + w, bounds.top, bounds.right, bounds.bottom}, kFaceGrey);
    Fill(dc, RECT{bounds.left, bounds.top + h, bounds.left + w, bounds.bottom}, kFaceGrey);
}

}  // namespace

HRESULT QLRCom::AmbientProperty(DISPID id, com::Variant& value) {
    value.clear();
    com::ComPtr<IDispatch> ambient;
    if (!clientSite_ || FAILED(clientSite_.As(ambient)) || !ambient) return E_NOINTERFACE;
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    return ambient->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none,
                           value.get(), nullptr, nullptr);
}

COLORREF QLRCom::AmbientBackColor() {
    com::Variant value;
    COLORREF color = 0;
    if (SUCCEEDED(AmbientProperty(DISPID_AMBIENT_BACKCOLOR, value)) &&
        SUCCEEDED(VariantChangeType(value.get(), value.get(), 0, VT_I4)) &&
        SUCCEEDED(OleTranslateColor(static_cast<OLE_COLOR>(value->lVal), nullptr, &color)))
        return color;
    // A form's usual background.
    return GetSysColor(COLOR_BTNFACE);
}

void QLRCom::DrawContent(HDC dc, const RECT& bounds) {
    const bool runMode = InRunMode();
    if (IsMetafile(dc)) {
        if (runMode)
            Fill(dc, bounds, AmbientBackColor());
        else
            DrawFace(dc, bounds, false);
        return;
    }
    // Screens and printers: draw in device pixels whatever the DC's mapping.
    RECT device = bounds;
    LPtoDP(dc, reinterpret_cast<POINT*>(&device), 2);
    if (device.left > device.right) std::swap(device.left, device.right);
    if (device.top > device.bottom) std::swap(device.top, device.bottom);
    gdi::SavedState saved(dc);
    if (GetGraphicsMode(dc) == GM_ADVANCED) ModifyWorldTransform(dc, nullptr, MWT_IDENTITY);
    SetMapMode(dc, MM_TEXT);
    SetWindowOrgEx(dc, 0, 0, nullptr);
    SetViewportOrgEx(dc, 0, 0, nullptr);
    if (runMode)
        Fill(dc, device, AmbientBackColor());
    else
        DrawFace(dc, device, true);
}

void QLRCom::OnWindowPaint(HDC dc, const RECT& client) { DrawContent(dc, client); }

void QLRCom::FireViewChange() {
    if (inPlaceActive_ && window_.get()) {
        InvalidateRect(window_.get(), nullptr, FALSE);
        return;
    }
    if (!viewSink_ || !(viewAspects_ & DVASPECT_CONTENT)) return;
    com::ComPtr<IAdviseSink> sink = viewSink_;
    if (viewAdviseFlags_ & ADVF_ONLYONCE) viewSink_.reset();
    sink->OnViewChange(DVASPECT_CONTENT, -1);
}

// ---- IViewObject, IViewObject2, IViewObjectEx ----

STDMETHODIMP QLRCom::Draw(DWORD aspect, LONG, void*, DVTARGETDEVICE*, HDC, HDC draw,
                          LPCRECTL bounds, LPCRECTL, BOOL(STDMETHODCALLTYPE*)(ULONG_PTR),
                          ULONG_PTR) {
    if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
    // Only windowless objects may be drawn without bounds; this one has a window.
    if (!draw || !bounds) return E_INVALIDARG;
    DrawContent(draw, RECT{bounds->left, bounds->top, bounds->right, bounds->bottom});
    return S_OK;
}

STDMETHODIMP QLRCom::GetColorSet(DWORD, LONG, void*, DVTARGETDEVICE*, HDC, LOGPALETTE** colors) {
    if (colors) *colors = nullptr;
    return E_NOTIMPL;
}
STDMETHODIMP QLRCom::Freeze(DWORD, LONG, void*, DWORD*) { return E_NOTIMPL; }
STDMETHODIMP QLRCom::Unfreeze(DWORD) { return E_NOTIMPL; }

STDMETHODIMP QLRCom::SetAdvise(DWORD aspects, DWORD flags, IAdviseSink* sink) {
    viewSink_ = com::ComPtr<IAdviseSink>(sink);
    viewAspects_ = aspects;
    viewAdviseFlags_ = flags;
    if (sink && (flags & ADVF_PRIMEFIRST)) FireViewChange();
    return S_OK;
}

STDMETHODIMP QLRCom::GetAdvise(DWORD* aspects, DWORD* flags, IAdviseSink** sink) {
    if (aspects) *aspects = viewAspects_;
    if (flags) *flags = viewAdviseFlags_;
    if (sink) *sink = com::ComPtr<IAdviseSink>(viewSink_).detach();
    return S_OK;
}

STDMETHODIMP QLRCom::GetExtent(DWORD aspect, LONG, DVTARGETDEVICE*, LPSIZEL size) {
    return GetExtent(aspect, size);
}

STDMETHODIMP QLRCom::GetRect(DWORD aspect, LPRECTL rect) {
    if (!rect) return E_POINTER;
    if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
    *rect = RECTL{0, 0, extent_.cx, extent_.cy};
    return S_OK;
}

STDMETHODIMP QLRCom::GetViewStatus(DWORD* status) {
    if (!status) return E_POINTER;
    *status = VIEWSTATUS_OPAQUE | VIEWSTATUS_SOLIDBKGND;
    return S_OK;
}

// Opaque and rectangular: a hit is anything inside the bounds.
STDMETHODIMP QLRCom::QueryHitPoint(DWORD aspect, LPCRECT bounds, POINT location, LONG, DWORD* hit) {
    if (!bounds || !hit) return E_POINTER;
    if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
    *hit = PtInRect(bounds, location) ? HITRESULT_HIT : HITRESULT_OUTSIDE;
    return S_OK;
}

STDMETHODIMP QLRCom::QueryHitRect(DWORD aspect, LPCRECT bounds, LPCRECT location, LONG,
                                  DWORD* hit) {
    if (!bounds || !location || !hit) return E_POINTER;
    if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
    RECT common;
    *hit = IntersectRect(&common, bounds, location) ? HITRESULT_HIT : HITRESULT_OUTSIDE;
    return S_OK;
}

STDMETHODIMP QLRCom::GetNaturalExtent(DWORD aspect, LONG, DVTARGETDEVICE*, HDC, DVEXTENTINFO* info,
                                      LPSIZEL size) {
    if (!info || !size) return E_POINTER;
    if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
    if (info->dwExtentMode != DVEXTENT_CONTENT) return E_NOTIMPL;
    *size = NaturalExtent();
    return S_OK;
}

}  // namespace qlr
