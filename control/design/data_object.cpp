// control/design: design time: persistence, property page, view, in-place, data object, browsing.
// IDataObject: the control's picture for containers that cache, copy or print
// an inactive control, as an enhanced metafile and as a metafile picture,
// drawn by the same step as the view. Data advise sinks are kept by an advise
// holder (which primes a new sink through GetData).
#include "control/automation/qlrcom.h"

#include <iterator>
#include <memory>
#include <type_traits>

#include "control/com/object.h"

namespace qlr {

namespace {

// The formats offered, the richer first.
const FORMATETC kPictureFormats[] = {
    {CF_ENHMETAFILE, nullptr, DVASPECT_CONTENT, -1, TYMED_ENHMF},
    {CF_METAFILEPICT, nullptr, DVASPECT_CONTENT, -1, TYMED_MFPICT},
};
constexpr ULONG kPictureFormatCount = static_cast<ULONG>(std::size(kPictureFormats));

// The offered format that answers a request, or why none does.
HRESULT MatchFormat(const FORMATETC& asked, const FORMATETC** match) {
    *match = nullptr;
    if (asked.dwAspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
    for (const FORMATETC& offered : kPictureFormats) {
        if (offered.cfFormat != asked.cfFormat) continue;
        if (!(asked.tymed & offered.tymed)) return DV_E_TYMED;
        *match = &offered;
        return S_OK;
    }
    return DV_E_FORMATETC;
}

struct EnhMetafileDeleter {
    void operator()(HENHMETAFILE h) const { DeleteEnhMetaFile(h); }
};
struct MetafileDeleter {
    void operator()(HMETAFILE h) const { DeleteMetaFile(h); }
};
struct GlobalDeleter {
    void operator()(HGLOBAL h) const { GlobalFree(h); }
};
using EnhMetafile = std::unique_ptr<std::remove_pointer_t<HENHMETAFILE>, EnhMetafileDeleter>;
using Metafile = std::unique_ptr<std::remove_pointer_t<HMETAFILE>, MetafileDeleter>;
using GlobalMemory = std::unique_ptr<void, GlobalDeleter>;

// The extent in screen pixels at the screen's logical resolution: the units
// of the metafile picture.
SIZE LogicalPixels(const SIZEL& extent) {
    HDC screen = GetDC(nullptr);
    const int dpiX = screen ? GetDeviceCaps(screen, LOGPIXELSX) : 96;
    const int dpiY = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 96;
    if (screen) ReleaseDC(nullptr, screen);
    const LONG cx = MulDiv(extent.cx, dpiX > 0 ? dpiX : 96, 2540);
    const LONG cy = MulDiv(extent.cy, dpiY > 0 ? dpiY : 96, 2540);
    return SIZE{cx > 0 ? cx : 1, cy > 0 ? cy : 1};
}

// The extent in the reference device's pixels as an enhanced metafile maps
// its frame to them (by the device's physical size), so that the drawing
// fills the frame exactly when it is played back.
SIZE ReferencePixels(HDC reference, const SIZEL& extent) {
    const int widthMm = GetDeviceCaps(reference, HORZSIZE),
              heightMm = GetDeviceCaps(reference, VERTSIZE);
    if (widthMm <= 0 || heightMm <= 0) return LogicalPixels(extent);
    const LONG cx = MulDiv(extent.cx, GetDeviceCaps(reference, HORZRES), widthMm * 100);
    const LONG cy = MulDiv(extent.cy, GetDeviceCaps(reference, VERTRES), heightMm * 100);
    return SIZE{cx > 0 ? cx : 1, cy > 0 ? cy : 1};
}

// Records draw(dc, bounds) into an enhanced metafile whose frame is the extent.
template <class Draw>
EnhMetafile RecordEnhMetafile(const SIZEL& extent, Draw&& draw) {
    const RECT frame{0, 0, extent.cx, extent.cy};
    HDC dc = CreateEnhMetaFileW(nullptr, nullptr, &frame, nullptr);
    if (!dc) return EnhMetafile();
    const SIZE pixels = ReferencePixels(dc, extent);
    draw(dc, RECT{0, 0, pixels.cx, pixels.cy});
    return EnhMetafile(CloseEnhMetaFile(dc));
}

// Records draw(dc, bounds) into a metafile picture that scales to the extent.
template <class Draw>
GlobalMemory RecordMetafilePicture(const SIZEL& extent, Draw&& draw) {
    HDC dc = CreateMetaFileW(nullptr);
    if (!dc) return GlobalMemory();
    const SIZE pixels = LogicalPixels(extent);
    SetWindowOrgEx(dc, 0, 0, nullptr);
    SetWindowExtEx(dc, pixels.cx, pixels.cy, nullptr);
    draw(dc, RECT{0, 0, pixels.cx, pixels.cy});
    Metafile metafile(CloseMetaFile(dc));
    if (!metafile) return GlobalMemory();
    GlobalMemory memory(GlobalAlloc(GMEM_MOVEABLE, sizeof(METAFILEPICT)));
    if (!memory) return GlobalMemory();
    auto* picture = static_cast<METAFILEPICT*>(GlobalLock(memory.get()));
    if (!picture) return GlobalMemory();
    picture->mm = MM_ANISOTROPIC;
    picture->xExt = extent.cx;
    picture->yExt = extent.cy;
    picture->hMF = metafile.release();
    GlobalUnlock(memory.get());
    return memory;
}

// A snapshot of the offered formats.
class PictureFormatEnum final : public com::Object, public IEnumFORMATETC {
public:
    explicit PictureFormatEnum(IUnknown*) : com::Object(nullptr) {}
    QLR_COM_DELEGATING_IUNKNOWN

    void SetPosition(ULONG position) { position_ = position; }

    STDMETHODIMP Next(ULONG count, FORMATETC* out, ULONG* fetched) override {
        if (!out || (count > 1 && !fetched)) return E_POINTER;
        ULONG n = 0;
        for (; n < count && position_ < kPictureFormatCount; ++n)
            out[n] = kPictureFormats[position_++];
        if (fetched) *fetched = n;
        return n == count ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG count) override {
        const ULONG left = kPictureFormatCount - position_;
        position_ += count < left ? count : left;
        return count <= left ? S_OK : S_FALSE;
    }
    STDMETHODIMP Reset() override {
        position_ = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(IEnumFORMATETC** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        com::ComPtr<IEnumFORMATETC> clone;
        const HRESULT hr = Create<PictureFormatEnum>(nullptr, IID_IEnumFORMATETC, clone.put_void());
        if (FAILED(hr)) return hr;
        static_cast<PictureFormatEnum*>(clone.get())->SetPosition(position_);
        *out = clone.detach();
        return S_OK;
    }

private:
    void* FindInterface(REFIID iid) override {
        return IsEqualIID(iid, IID_IEnumFORMATETC) ? static_cast<IEnumFORMATETC*>(this) : nullptr;
    }

    ULONG position_ = 0;
};

}  // namespace

STDMETHODIMP QLRCom::GetData(FORMATETC* format, STGMEDIUM* medium) {
    if (!format || !medium) return E_POINTER;
    *medium = STGMEDIUM{};
    const FORMATETC* offered = nullptr;
    const HRESULT hr = MatchFormat(*format, &offered);
    if (FAILED(hr)) return hr;
    const auto draw = [this](HDC dc, const RECT& bounds) { DrawContent(dc, bounds); };
    if (offered->tymed == TYMED_ENHMF) {
        EnhMetafile picture = RecordEnhMetafile(extent_, draw);
        if (!picture) return E_OUTOFMEMORY;
        medium->tymed = TYMED_ENHMF;
        medium->hEnhMetaFile = picture.release();
        return S_OK;
    }
    GlobalMemory picture = RecordMetafilePicture(extent_, draw);
    if (!picture) return E_OUTOFMEMORY;
    medium->tymed = TYMED_MFPICT;
    medium->hMetaFilePict = picture.release();
    return S_OK;
}

// Neither metafile can be drawn into a medium the caller allocated.
STDMETHODIMP QLRCom::GetDataHere(FORMATETC* format, STGMEDIUM* medium) {
    if (!format || !medium) return E_POINTER;
    const FORMATETC* offered = nullptr;
    const HRESULT hr = MatchFormat(*format, &offered);
    return FAILED(hr) ? hr : DV_E_TYMED;
}

STDMETHODIMP QLRCom::QueryGetData(FORMATETC* format) {
    if (!format) return E_POINTER;
    const FORMATETC* offered = nullptr;
    return MatchFormat(*format, &offered);
}

STDMETHODIMP QLRCom::GetCanonicalFormatEtc(FORMATETC*, FORMATETC* out) {
    if (!out) return E_POINTER;
    out->ptd = nullptr;
    return E_NOTIMPL;
}
STDMETHODIMP QLRCom::SetData(FORMATETC*, STGMEDIUM*, BOOL) { return E_NOTIMPL; }

STDMETHODIMP QLRCom::EnumFormatEtc(DWORD direction, IEnumFORMATETC** formats) {
    if (!formats) return E_POINTER;
    *formats = nullptr;
    if (direction != DATADIR_GET) return E_NOTIMPL;  // nothing can be set
    return com::Object::Create<PictureFormatEnum>(nullptr, IID_IEnumFORMATETC,
                                                  reinterpret_cast<void**>(formats));
}

STDMETHODIMP QLRCom::DAdvise(FORMATETC* format, DWORD flags, IAdviseSink* sink, DWORD* cookie) {
    if (!format || !sink || !cookie) return E_POINTER;
    *cookie = 0;
    if (!dataAdviseHolder_) {
        const HRESULT hr = CreateDataAdviseHolder(dataAdviseHolder_.put());
        if (FAILED(hr)) return hr;
    }
    return dataAdviseHolder_->Advise(static_cast<IDataObject*>(this), format, flags, sink, cookie);
}
STDMETHODIMP QLRCom::DUnadvise(DWORD cookie) {
    return dataAdviseHolder_ ? dataAdviseHolder_->Unadvise(cookie) : OLE_E_NOCONNECTION;
}
STDMETHODIMP QLRCom::EnumDAdvise(IEnumSTATDATA** advise) {
    if (!advise) return E_POINTER;
    *advise = nullptr;
    if (!dataAdviseHolder_) {
        const HRESULT hr = CreateDataAdviseHolder(dataAdviseHolder_.put());
        if (FAILED(hr)) return hr;
    }
    return dataAdviseHolder_->EnumAdvise(advise);
}

}  // namespace qlr
