// Drawing through IViewObject into DCs a container may hand over: mapped
// coordinates, bounds larger than the control, metafiles, and the run-time
// colour from the ambient BackColor (system colours included).
#include <gtest/gtest.h>

#include <olectl.h>

#include <vector>

#include "platform/com_ptr.h"
#include "control/com/module.h"
#include "control/automation/qlrcom.h"
#include "resources/resource_ids.h"
#include "tests/unit/fake_site.h"

namespace qlr::test {
namespace {

using com::ComPtr;

constexpr COLORREF kUntouched = RGB(0xFF, 0x00, 0xFF);

// A client site whose IDispatch answers UserMode and, when set, BackColor.
class AmbientSite final : public AmbientSiteBase {
public:
    AmbientSite(bool userMode, bool hasBackColor, OLE_COLOR backColor)
        : userMode_(userMode), hasBackColor_(hasBackColor), backColor_(backColor) {}
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS*, VARIANT* result, EXCEPINFO*,
                        UINT*) override {
        if (id == DISPID_AMBIENT_USERMODE) {
            result->vt = VT_BOOL;
            result->boolVal = userMode_ ? VARIANT_TRUE : VARIANT_FALSE;
            return S_OK;
        }
        if (id == DISPID_AMBIENT_BACKCOLOR && hasBackColor_) {
            result->vt = VT_I4;
            result->lVal = static_cast<LONG>(backColor_);
            return S_OK;
        }
        return DISP_E_MEMBERNOTFOUND;
    }

private:
    bool userMode_;
    bool hasBackColor_;
    OLE_COLOR backColor_;
};

// A 32-bit top-down DIB section in a memory DC, filled with kUntouched.
class Canvas {
public:
    Canvas(int width, int height) : width_(width), height_(height) {
        BITMAPINFO info{};
        info.bmiHeader = {sizeof info.bmiHeader, width, -height, 1, 32, BI_RGB};
        bitmap_ = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits_, nullptr, 0);
        dc_ = CreateCompatibleDC(nullptr);
        old_ = SelectObject(dc_, bitmap_);
        for (int i = 0; i < width * height; ++i) static_cast<DWORD*>(bits_)[i] = 0x00FF00FF;
    }
    ~Canvas() {
        SelectObject(dc_, old_);
        DeleteDC(dc_);
        DeleteObject(bitmap_);
    }
    HDC dc() const { return dc_; }
    COLORREF At(int x, int y) const {
        GdiFlush();
        const DWORD p = static_cast<const DWORD*>(bits_)[y * width_ + x];
        return RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
    }
    int width() const { return width_; }
    int height() const { return height_; }

private:
    int width_, height_;
    void* bits_ = nullptr;
    HBITMAP bitmap_;
    HDC dc_;
    HGDIOBJ old_;
};

class ViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        ASSERT_EQ(CreateQLRCom(nullptr, IID_IOleObject, object.put_void()), S_OK);
        ASSERT_EQ(object.As(view), S_OK);
        // Picture 2 as 32-bit pixels, the reference for the design-time face.
        HBITMAP face = static_cast<HBITMAP>(LoadImageW(ModuleInstance(), MAKEINTRESOURCEW(IDB_FACE),
                                                       IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
        ASSERT_TRUE(face);
        Canvas copy(32, 32);
        HDC memory = CreateCompatibleDC(nullptr);
        HGDIOBJ old = SelectObject(memory, face);
        BitBlt(copy.dc(), 0, 0, 32, 32, memory, 0, 0, SRCCOPY);
        SelectObject(memory, old);
        DeleteDC(memory);
        DeleteObject(face);
        for (int y = 0; y < 32; ++y)
            for (int x = 0; x < 32; ++x) picture[y][x] = copy.At(x, y);
    }
    void TearDown() override {
        object->SetClientSite(nullptr);
        view.reset();
        object.reset();
        CoUninitialize();
    }
    HRESULT Draw(HDC dc, RECTL bounds) {
        return view->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, dc, &bounds, nullptr,
                          nullptr, 0);
    }
    // Pixels of the canvas that differ from the face drawn 1:1 at (left, top).
    int FaceMismatches(const Canvas& canvas, int left, int top, int scale = 1) {
        int bad = 0;
        for (int y = 0; y < 32 * scale; ++y)
            for (int x = 0; x < 32 * scale; ++x)
                if (canvas.At(left + x, top + y) != picture[y / scale][x / scale]) ++bad;
        return bad;
    }

    AmbientSite designSite{false, true, 0x00112233};
    ComPtr<IOleObject> object;
    ComPtr<IViewObject> view;
    COLORREF picture[32][32]{};
};

TEST_F(ViewTest, DesignFaceIsDrawnInDevicePixelsAndTheDcIsLeftAsItWas) {
    ASSERT_EQ(object->SetClientSite(&designSite), S_OK);
    Canvas canvas(80, 80);
    // Logical units at half a device pixel, origin moved by (10, 10).
    SetMapMode(canvas.dc(), MM_ANISOTROPIC);
    SetWindowExtEx(canvas.dc(), 100, 100, nullptr);
    SetViewportExtEx(canvas.dc(), 200, 200, nullptr);
    SetViewportOrgEx(canvas.dc(), 10, 10, nullptr);
    ASSERT_EQ(Draw(canvas.dc(), RECTL{5, 5, 21, 21}), S_OK);  // device 20..52
    EXPECT_EQ(FaceMismatches(canvas, 20, 20), 0);
    EXPECT_EQ(canvas.At(19, 19), kUntouched);
    EXPECT_EQ(canvas.At(52, 52), kUntouched);
    EXPECT_EQ(GetMapMode(canvas.dc()), MM_ANISOTROPIC);
    POINT origin{};
    GetViewportOrgEx(canvas.dc(), &origin);
    EXPECT_EQ(origin.x, 10);
}

TEST_F(ViewTest, BoundsLargerThanThePictureAreFilledNotLeftUnpainted) {
    ASSERT_EQ(object->SetClientSite(&designSite), S_OK);
    Canvas canvas(48, 40);
    ASSERT_EQ(Draw(canvas.dc(), RECTL{0, 0, 48, 40}), S_OK);
    EXPECT_EQ(FaceMismatches(canvas, 0, 0), 0);  // not stretched
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 48; ++x)
            if (x >= 32 || y >= 32) {
                ASSERT_EQ(canvas.At(x, y), RGB(0xC0, 0xC0, 0xC0)) << x << "," << y;
            }
}

TEST_F(ViewTest, RunModeFillsWithTheTranslatedBackColorOrTheButtonFace) {
    struct Case {
        AmbientSite site;
        COLORREF expected;
    } cases[] = {
        {AmbientSite(true, true, 0x80000000 | COLOR_WINDOW), GetSysColor(COLOR_WINDOW)},
        {AmbientSite(true, true, 0x00123456), RGB(0x56, 0x34, 0x12)},
        {AmbientSite(true, false, 0), GetSysColor(COLOR_BTNFACE)},
    };
    for (auto& c : cases) {
        ASSERT_EQ(object->SetClientSite(&c.site), S_OK);
        Canvas canvas(32, 64);
        // y grows upwards: bounds (0,0)-(32,32) land on device rows 32..63.
        SetMapMode(canvas.dc(), MM_ANISOTROPIC);
        SetWindowExtEx(canvas.dc(), 1, 1, nullptr);
        SetViewportExtEx(canvas.dc(), 1, -1, nullptr);
        SetViewportOrgEx(canvas.dc(), 0, 64, nullptr);
        ASSERT_EQ(Draw(canvas.dc(), RECTL{0, 0, 32, 32}), S_OK);
        EXPECT_EQ(canvas.At(0, 32), c.expected);
        EXPECT_EQ(canvas.At(31, 63), c.expected);
        EXPECT_EQ(canvas.At(0, 31), kUntouched);
        ASSERT_EQ(object->SetClientSite(nullptr), S_OK);  // the site dies with the case
    }
}

TEST_F(ViewTest, MetafileGetsTheFaceScaledToItsBounds) {
    ASSERT_EQ(object->SetClientSite(&designSite), S_OK);
    // A frame of exactly 64 x 64 reference pixels, so that playing the
    // recording back onto 64 x 64 pixels maps it 1:1.
    HDC screen = GetDC(nullptr);
    const RECT frame{
        0, 0, MulDiv(64 * 100, GetDeviceCaps(screen, HORZSIZE), GetDeviceCaps(screen, HORZRES)),
        MulDiv(64 * 100, GetDeviceCaps(screen, VERTSIZE), GetDeviceCaps(screen, VERTRES))};
    HDC recorder = CreateEnhMetaFileW(screen, nullptr, &frame, nullptr);
    ReleaseDC(nullptr, screen);
    ASSERT_TRUE(recorder);
    ASSERT_EQ(Draw(recorder, RECTL{0, 0, 64, 64}), S_OK);
    HENHMETAFILE metafile = CloseEnhMetaFile(recorder);
    ASSERT_TRUE(metafile);
    Canvas canvas(64, 64);
    RECT target{0, 0, 64, 64};
    ASSERT_TRUE(PlayEnhMetaFile(canvas.dc(), metafile, &target));
    DeleteEnhMetaFile(metafile);
    EXPECT_EQ(FaceMismatches(canvas, 0, 0, 2), 0);
}

// Keeps the data a data advise holder hands to its sink.
class DataSink final : public IAdviseSink {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IAdviseSink))
            return *out = nullptr, E_NOINTERFACE;
        *out = static_cast<IAdviseSink*>(this);
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    void STDMETHODCALLTYPE OnDataChange(FORMATETC* format, STGMEDIUM* medium) override {
        formats.push_back(format->cfFormat);
        media.push_back(medium->tymed);
        if (medium->tymed == TYMED_ENHMF)
            headerBytes = GetEnhMetaFileHeader(medium->hEnhMetaFile, 0, nullptr);
    }
    void STDMETHODCALLTYPE OnViewChange(DWORD, LONG) override {}
    void STDMETHODCALLTYPE OnRename(IMoniker*) override {}
    void STDMETHODCALLTYPE OnSave() override {}
    void STDMETHODCALLTYPE OnClose() override {}
    std::vector<CLIPFORMAT> formats;
    std::vector<DWORD> media;
    UINT headerBytes = 0;
};

TEST_F(ViewTest, DataObjectGivesThePictureAsEnhancedMetafileAndMetafilePicture) {
    ASSERT_EQ(object->SetClientSite(&designSite), S_OK);
    ComPtr<IDataObject> data;
    ASSERT_EQ(object.As(data), S_OK);
    ComPtr<IEnumFORMATETC> formats;
    ASSERT_EQ(data->EnumFormatEtc(DATADIR_GET, formats.put()), S_OK);
    FORMATETC listed[3]{};
    ULONG count = 0;
    EXPECT_EQ(formats->Next(3, listed, &count), S_FALSE);
    ASSERT_EQ(count, 2u);
    EXPECT_EQ(listed[0].cfFormat, CF_ENHMETAFILE);
    EXPECT_EQ(listed[0].tymed, static_cast<DWORD>(TYMED_ENHMF));
    EXPECT_EQ(listed[1].cfFormat, CF_METAFILEPICT);
    EXPECT_EQ(listed[1].tymed, static_cast<DWORD>(TYMED_MFPICT));
    for (FORMATETC& f : listed) {
        if (!f.cfFormat) continue;
        EXPECT_EQ(f.dwAspect, static_cast<DWORD>(DVASPECT_CONTENT));
        EXPECT_EQ(f.lindex, -1);
        EXPECT_EQ(data->QueryGetData(&f), S_OK);
    }
    FORMATETC bitmap{CF_BITMAP, nullptr, DVASPECT_CONTENT, -1, TYMED_GDI};
    EXPECT_EQ(data->QueryGetData(&bitmap), DV_E_FORMATETC);
    FORMATETC wrongMedium{CF_ENHMETAFILE, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    EXPECT_EQ(data->QueryGetData(&wrongMedium), DV_E_TYMED);
    FORMATETC icon{CF_ENHMETAFILE, nullptr, DVASPECT_ICON, -1, TYMED_ENHMF};
    EXPECT_EQ(data->QueryGetData(&icon), DV_E_DVASPECT);

    SIZEL extent{};
    ASSERT_EQ(object->GetExtent(DVASPECT_CONTENT, &extent), S_OK);
    // The enhanced metafile: framed by the extent, the face filling the frame.
    STGMEDIUM medium{};
    ASSERT_EQ(data->GetData(&listed[0], &medium), S_OK);
    ASSERT_EQ(medium.tymed, static_cast<DWORD>(TYMED_ENHMF));
    ENHMETAHEADER header{};
    ASSERT_TRUE(GetEnhMetaFileHeader(medium.hEnhMetaFile, sizeof header, &header));
    EXPECT_NEAR(header.rclFrame.right - header.rclFrame.left, extent.cx, 2);
    EXPECT_NEAR(header.rclFrame.bottom - header.rclFrame.top, extent.cy, 2);
    {
        Canvas canvas(64, 64);
        RECT target{0, 0, 64, 64};
        ASSERT_TRUE(PlayEnhMetaFile(canvas.dc(), medium.hEnhMetaFile, &target));
        EXPECT_LT(FaceMismatches(canvas, 0, 0, 2), 64 * 64 / 20);
        EXPECT_NE(canvas.At(63, 63), kUntouched);
    }
    ReleaseStgMedium(&medium);

    // The metafile picture: scaled to the extent in HIMETRIC.
    medium = STGMEDIUM{};
    ASSERT_EQ(data->GetData(&listed[1], &medium), S_OK);
    ASSERT_EQ(medium.tymed, static_cast<DWORD>(TYMED_MFPICT));
    auto* picture = static_cast<METAFILEPICT*>(GlobalLock(medium.hMetaFilePict));
    ASSERT_NE(picture, nullptr);
    EXPECT_EQ(picture->mm, MM_ANISOTROPIC);
    EXPECT_EQ(picture->xExt, extent.cx);
    EXPECT_EQ(picture->yExt, extent.cy);
    {
        Canvas canvas(64, 64);
        SetMapMode(canvas.dc(), MM_ANISOTROPIC);
        SetViewportExtEx(canvas.dc(), 64, 64, nullptr);
        ASSERT_TRUE(PlayMetaFile(canvas.dc(), picture->hMF));
        SetMapMode(canvas.dc(), MM_TEXT);
        EXPECT_LT(FaceMismatches(canvas, 0, 0, 2), 64 * 64 / 20);
        EXPECT_NE(canvas.At(63, 63), kUntouched);
    }
    GlobalUnlock(medium.hMetaFilePict);
    ReleaseStgMedium(&medium);
    EXPECT_EQ(data->GetDataHere(&listed[0], &medium), DV_E_TYMED);

    // Run mode: the picture is the form's background.
    AmbientSite runSite{true, true, 0x00336699};
    ASSERT_EQ(object->SetClientSite(&runSite), S_OK);
    medium = STGMEDIUM{};
    ASSERT_EQ(data->GetData(&listed[0], &medium), S_OK);
    {
        Canvas canvas(32, 32);
        RECT target{0, 0, 32, 32};
        ASSERT_TRUE(PlayEnhMetaFile(canvas.dc(), medium.hEnhMetaFile, &target));
        EXPECT_EQ(canvas.At(16, 16), static_cast<COLORREF>(0x00336699));
    }
    ReleaseStgMedium(&medium);

    // The advise holder primes a new sink with the picture and lists it.
    DataSink sink;
    DWORD cookie = 0;
    ASSERT_EQ(data->DAdvise(&listed[0], ADVF_PRIMEFIRST, &sink, &cookie), S_OK);
    EXPECT_EQ(sink.formats, std::vector<CLIPFORMAT>{CF_ENHMETAFILE});
    EXPECT_EQ(sink.media, std::vector<DWORD>{TYMED_ENHMF});
    EXPECT_GT(sink.headerBytes, 0u);
    ComPtr<IEnumSTATDATA> advised;
    ASSERT_EQ(data->EnumDAdvise(advised.put()), S_OK);
    STATDATA stat{};
    ULONG got = 0;
    ASSERT_EQ(advised->Next(1, &stat, &got), S_OK);
    EXPECT_EQ(stat.dwConnection, cookie);
    if (stat.pAdvSink) stat.pAdvSink->Release();
    EXPECT_EQ(data->DUnadvise(cookie), S_OK);
}

}  // namespace
}  // namespace qlr::test
