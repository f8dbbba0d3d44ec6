// Screenshots for test artifacts: a window (with its children) or a bitmap
// written as a PNG file. Windows are rendered through WM_PRINT into a memory
// bitmap, child by child, so the picture does not depend on a display being
// attached (Wine's null graphics driver draws nothing on screen).
// Header-only; link windowscodecs ole32 gdi32 user32.
#pragma once

#include <windows.h>
#include <wincodec.h>

#include <vector>

namespace screenshot {

namespace detail {

template <class T>
struct Releaser {
    T* p = nullptr;
    ~Releaser() {
        if (p) p->Release();
    }
    T** operator&() { return &p; }
    T* operator->() const { return p; }
};

struct MemoryDc {
    HDC dc;
    explicit MemoryDc(HDC compatible) : dc(CreateCompatibleDC(compatible)) {}
    ~MemoryDc() {
        if (dc) DeleteDC(dc);
    }
};

struct Bitmap {
    HBITMAP bitmap = nullptr;
    ~Bitmap() {
        if (bitmap) DeleteObject(bitmap);
    }
};

// Runs paint on a scratch bitmap whose origin is the device origin (standard
// controls clip to their client rectangle in device units, so they must not
// be drawn through a shifted viewport) and copies the result to dc at x, y.
template <class Paint>
void PaintAt(HDC dc, int x, int y, int width, int height, Paint paint) {
    if (width <= 0 || height <= 0) return;
    MemoryDc scratch(dc);
    Bitmap bitmap;
    bitmap.bitmap = CreateCompatibleBitmap(dc, width, height);
    if (!scratch.dc || !bitmap.bitmap) return;
    HGDIOBJ old = SelectObject(scratch.dc, bitmap.bitmap);
    BitBlt(scratch.dc, 0, 0, width, height, dc, x, y, SRCCOPY);
    paint(scratch.dc);
    BitBlt(dc, x, y, width, height, scratch.dc, 0, 0, SRCCOPY);
    SelectObject(scratch.dc, old);
}

// Wine's WM_PRINT leaves the non-client area alone: draw borders and the
// caption the way the window's styles ask for them.
inline void DrawFrame(HWND hwnd, HDC dc, const RECT& window, POINT clientOrigin) {
    const LONG style = GetWindowLongW(hwnd, GWL_STYLE);
    const LONG exStyle = GetWindowLongW(hwnd, GWL_EXSTYLE);
    RECT frame{0, 0, window.right - window.left, window.bottom - window.top};
    if (frame.right == 0 || clientOrigin.x == window.left) return;  // no frame at all
    if (exStyle & WS_EX_CLIENTEDGE) {
        DrawEdge(dc, &frame, EDGE_SUNKEN, BF_RECT | BF_ADJUST);
    } else if ((style & WS_CAPTION) == WS_CAPTION || (style & DS_MODALFRAME) ||
               (exStyle & WS_EX_DLGMODALFRAME)) {
        DrawEdge(dc, &frame, EDGE_RAISED, BF_RECT | BF_MIDDLE | BF_ADJUST);
    } else if (style & WS_BORDER) {
        FrameRect(dc, &frame, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
    }
    if ((style & WS_CAPTION) == WS_CAPTION) {
        const int border = clientOrigin.x - window.left;
        RECT caption{border, border, (window.right - window.left) - border,
                     clientOrigin.y - window.top - 1};
        if (caption.bottom > caption.top)
            DrawCaption(hwnd, dc, &caption, DC_ACTIVE | DC_TEXT | DC_GRADIENT);
    }
}

// Paints hwnd and its visible children (bottom of the z-order first) into dc,
// whose origin is the top-left corner of root's window rectangle.
inline void PrintTree(HWND hwnd, HDC dc, const RECT& rootRect) {
    RECT rect, client;
    GetWindowRect(hwnd, &rect);
    GetClientRect(hwnd, &client);
    POINT clientOrigin{0, 0};
    ClientToScreen(hwnd, &clientOrigin);
    PaintAt(dc, rect.left - rootRect.left, rect.top - rootRect.top, rect.right - rect.left,
            rect.bottom - rect.top, [&](HDC target) {
                SendMessageW(hwnd, WM_PRINT, reinterpret_cast<WPARAM>(target), PRF_NONCLIENT);
                DrawFrame(hwnd, target, rect, clientOrigin);
            });
    PaintAt(dc, clientOrigin.x - rootRect.left, clientOrigin.y - rootRect.top, client.right,
            client.bottom, [hwnd](HDC target) {
                SendMessageW(hwnd, WM_ERASEBKGND, reinterpret_cast<WPARAM>(target), 0);
                // Standard controls paint into the DC a WM_PAINT carries; not
                // all of them answer WM_PRINTCLIENT.
                SendMessageW(hwnd, WM_PAINT, reinterpret_cast<WPARAM>(target), 0);
            });
    HWND child = GetWindow(hwnd, GW_CHILD);
    if (!child) return;
    for (HWND last = GetWindow(child, GW_HWNDLAST); last; last = GetWindow(last, GW_HWNDPREV))
        if (IsWindowVisible(last)) PrintTree(last, dc, rootRect);
}

}  // namespace detail

// Writes a device-dependent or DIB-section bitmap as a 32-bit PNG.
inline bool SaveBitmapPng(HBITMAP bitmap, const wchar_t* path) {
    BITMAP info{};
    if (!GetObjectW(bitmap, sizeof info, &info) || info.bmWidth <= 0 || info.bmHeight <= 0)
        return false;
    const UINT width = static_cast<UINT>(info.bmWidth), height = static_cast<UINT>(info.bmHeight);
    BITMAPINFO header{};
    header.bmiHeader.biSize = sizeof header.bmiHeader;
    header.bmiHeader.biWidth = info.bmWidth;
    header.bmiHeader.biHeight = -info.bmHeight;  // top-down rows
    header.bmiHeader.biPlanes = 1;
    header.bmiHeader.biBitCount = 32;
    header.bmiHeader.biCompression = BI_RGB;
    std::vector<BYTE> pixels(size_t(width) * height * 4);
    HDC screen = GetDC(nullptr);
    const int rows = GetDIBits(screen, bitmap, 0, height, pixels.data(), &header, DIB_RGB_COLORS);
    ReleaseDC(nullptr, screen);
    if (rows != static_cast<int>(height)) return false;
    for (size_t i = 3; i < pixels.size(); i += 4) pixels[i] = 0xFF;  // GDI leaves alpha 0

    const HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    bool saved = false;
    {
        detail::Releaser<IWICImagingFactory> factory;
        detail::Releaser<IWICStream> stream;
        detail::Releaser<IWICBitmapEncoder> encoder;
        detail::Releaser<IWICBitmapFrameEncode> frame;
        WICPixelFormatGUID format = GUID_WICPixelFormat32bppBGRA;
        saved =
            SUCCEEDED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                       IID_IWICImagingFactory,
                                       reinterpret_cast<void**>(&factory))) &&
            SUCCEEDED(factory->CreateStream(&stream)) &&
            SUCCEEDED(stream->InitializeFromFilename(path, GENERIC_WRITE)) &&
            SUCCEEDED(factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, &encoder)) &&
            SUCCEEDED(encoder->Initialize(stream.p, WICBitmapEncoderNoCache)) &&
            SUCCEEDED(encoder->CreateNewFrame(&frame, nullptr)) &&
            SUCCEEDED(frame->Initialize(nullptr)) && SUCCEEDED(frame->SetSize(width, height)) &&
            SUCCEEDED(frame->SetPixelFormat(&format)) &&
            IsEqualGUID(format, GUID_WICPixelFormat32bppBGRA) &&
            SUCCEEDED(frame->WritePixels(height, width * 4, UINT(pixels.size()), pixels.data())) &&
            SUCCEEDED(frame->Commit()) && SUCCEEDED(encoder->Commit());
    }
    if (SUCCEEDED(init)) CoUninitialize();
    return saved;
}

// Renders hwnd, frame and children included, and writes it as a PNG.
inline bool SaveWindowPng(HWND hwnd, const wchar_t* path) {
    RECT rect;
    if (!IsWindow(hwnd) || !GetWindowRect(hwnd, &rect)) return false;
    const int width = rect.right - rect.left, height = rect.bottom - rect.top;
    if (width <= 0 || height <= 0) return false;
    HDC screen = GetDC(nullptr);
    detail::MemoryDc memory(screen);
    detail::Bitmap bitmap;
    bitmap.bitmap = CreateCompatibleBitmap(screen, width, height);
    ReleaseDC(nullptr, screen);
    if (!memory.dc || !bitmap.bitmap) return false;
    HGDIOBJ old = SelectObject(memory.dc, bitmap.bitmap);
    RECT all{0, 0, width, height};
    FillRect(memory.dc, &all, GetSysColorBrush(COLOR_3DFACE));
    detail::PrintTree(hwnd, memory.dc, rect);
    SelectObject(memory.dc, old);
    return SaveBitmapPng(bitmap.bitmap, path);
}

}  // namespace screenshot
