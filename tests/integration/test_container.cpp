// test_container: a container of our own with a full site for the registered
// control: quick activation with its sinks, size negotiation, design-time and
// run-time drawing, in-place and UI activation with the focus conversation,
// the properties verb (the site's frame first, else the control's own) and the
// About box, which must stay open until OK. Saves screenshots.
//
//   test_container PORT_INDEX FACE_BMP SCREENSHOT_DIR
//
// PORT_INDEX is the QcDeviceName of a port that can be opened (a pty bridge),
// FACE_BMP the committed picture 2. Prints one line per check; the exit status
// is the number of failures.
#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "host_check.h"
#include "qlrcom32_h.h"
#include "screenshot.h"

namespace {

using hostcheck::Check;
using hostcheck::failed;
using hostcheck::passed;

std::vector<std::string> calls;  // what the control asked of the container, in order
size_t Count(const std::string& name) {
    size_t n = 0;
    for (const auto& c : calls) n += c == name;
    return n;
}
bool Saw(const std::string& name, size_t since) {
    for (size_t i = since; i < calls.size(); ++i)
        if (calls[i] == name) return true;
    return false;
}

HWND host = nullptr;
const RECT kSiteRect{10, 10, 42, 42};

class Frame final : public IOleInPlaceFrame {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IOleWindow) ||
            IsEqualIID(iid, IID_IOleInPlaceUIWindow) || IsEqualIID(iid, IID_IOleInPlaceFrame)) {
            *out = static_cast<IOleInPlaceFrame*>(this);
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP GetWindow(HWND* hwnd) override { return *hwnd = host, S_OK; }
    STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP GetBorder(LPRECT) override { return INPLACE_E_NOTOOLSPACE; }
    STDMETHODIMP RequestBorderSpace(LPCBORDERWIDTHS) override { return INPLACE_E_NOTOOLSPACE; }
    STDMETHODIMP SetBorderSpace(LPCBORDERWIDTHS) override { return S_OK; }
    STDMETHODIMP SetActiveObject(IOleInPlaceActiveObject* object, LPCOLESTR) override {
        calls.push_back(object ? "frame.SetActiveObject" : "frame.SetActiveObject(null)");
        return S_OK;
    }
    STDMETHODIMP InsertMenus(HMENU, LPOLEMENUGROUPWIDTHS) override { return E_NOTIMPL; }
    STDMETHODIMP SetMenu(HMENU, HOLEMENU, HWND) override { return S_OK; }
    STDMETHODIMP RemoveMenus(HMENU) override { return E_NOTIMPL; }
    STDMETHODIMP SetStatusText(LPCOLESTR) override { return S_OK; }
    STDMETHODIMP EnableModeless(BOOL) override { return S_OK; }
    STDMETHODIMP TranslateAccelerator(LPMSG, WORD) override { return S_FALSE; }
} frame;

// Client site, in-place site, control site, ambient properties, property
// change sink and view advise sink in one.
class Site final : public IOleClientSite,
                   public IOleInPlaceSiteEx,
                   public IOleControlSite,
                   public IDispatch,
                   public IPropertyNotifySink,
                   public IAdviseSinkEx {
public:
    bool userMode = false;
    OLE_COLOR backColor = RGB(0x20, 0x80, 0x40);
    HRESULT frameResult = S_OK;

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IOleClientSite))
            *out = static_cast<IOleClientSite*>(this);
        else if (IsEqualIID(iid, IID_IOleWindow) || IsEqualIID(iid, IID_IOleInPlaceSite) ||
                 IsEqualIID(iid, IID_IOleInPlaceSiteEx))
            *out = static_cast<IOleInPlaceSiteEx*>(this);
        else if (IsEqualIID(iid, IID_IOleControlSite))
            *out = static_cast<IOleControlSite*>(this);
        else if (IsEqualIID(iid, IID_IDispatch))
            *out = static_cast<IDispatch*>(this);
        else if (IsEqualIID(iid, IID_IPropertyNotifySink))
            *out = static_cast<IPropertyNotifySink*>(this);
        else if (IsEqualIID(iid, IID_IAdviseSink) || IsEqualIID(iid, IID_IAdviseSinkEx))
            *out = static_cast<IAdviseSinkEx*>(this);
        else
            return *out = nullptr, E_NOINTERFACE;
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }

    // IOleClientSite
    STDMETHODIMP SaveObject() override { return S_OK; }
    STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker**) override { return E_NOTIMPL; }
    STDMETHODIMP GetContainer(IOleContainer** c) override { return *c = nullptr, E_NOINTERFACE; }
    STDMETHODIMP ShowObject() override { return S_OK; }
    STDMETHODIMP OnShowWindow(BOOL) override { return S_OK; }
    STDMETHODIMP RequestNewObjectLayout() override { return E_NOTIMPL; }

    // IOleInPlaceSiteEx
    STDMETHODIMP GetWindow(HWND* hwnd) override { return *hwnd = host, S_OK; }
    STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP CanInPlaceActivate() override { return Log("CanInPlaceActivate"), S_OK; }
    STDMETHODIMP OnInPlaceActivate() override { return Log("OnInPlaceActivate"), S_OK; }
    STDMETHODIMP OnUIActivate() override { return Log("OnUIActivate"), S_OK; }
    STDMETHODIMP GetWindowContext(IOleInPlaceFrame** f, IOleInPlaceUIWindow** doc, LPRECT pos,
                                  LPRECT clip, LPOLEINPLACEFRAMEINFO info) override {
        *f = &frame;
        *doc = nullptr;
        *pos = *clip = kSiteRect;
        info->fMDIApp = FALSE;
        info->hwndFrame = host;
        info->haccel = nullptr;
        info->cAccelEntries = 0;
        return S_OK;
    }
    STDMETHODIMP Scroll(SIZE) override { return E_NOTIMPL; }
    STDMETHODIMP OnUIDeactivate(BOOL) override { return Log("OnUIDeactivate"), S_OK; }
    STDMETHODIMP OnInPlaceDeactivate() override { return Log("OnInPlaceDeactivate"), S_OK; }
    STDMETHODIMP DiscardUndoState() override { return S_OK; }
    STDMETHODIMP DeactivateAndUndo() override { return S_OK; }
    STDMETHODIMP OnPosRectChange(LPCRECT) override { return S_OK; }
    STDMETHODIMP OnInPlaceActivateEx(BOOL* noRedraw, DWORD) override {
        if (noRedraw) *noRedraw = FALSE;
        return Log("OnInPlaceActivateEx"), S_OK;
    }
    STDMETHODIMP OnInPlaceDeactivateEx(BOOL) override { return Log("OnInPlaceDeactivateEx"), S_OK; }
    STDMETHODIMP RequestUIActivate() override { return S_OK; }

    // IOleControlSite
    STDMETHODIMP OnControlInfoChanged() override { return S_OK; }
    STDMETHODIMP LockInPlaceActive(BOOL) override { return S_OK; }
    STDMETHODIMP GetExtendedControl(IDispatch** d) override { return *d = nullptr, E_NOTIMPL; }
    STDMETHODIMP TransformCoords(POINTL*, POINTF*, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP TranslateAccelerator(MSG*, DWORD) override { return S_FALSE; }
    STDMETHODIMP OnFocus(BOOL got) override { return Log(got ? "OnFocus(1)" : "OnFocus(0)"), S_OK; }
    STDMETHODIMP ShowPropertyFrame() override { return Log("ShowPropertyFrame"), frameResult; }

    // IDispatch: the ambient properties
    STDMETHODIMP GetTypeInfoCount(UINT* n) override { return *n = 0, S_OK; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS*, VARIANT* result, EXCEPINFO*,
                        UINT*) override {
        if (!result) return E_POINTER;
        if (id == DISPID_AMBIENT_USERMODE) {
            V_VT(result) = VT_BOOL;
            V_BOOL(result) = userMode ? VARIANT_TRUE : VARIANT_FALSE;
            return S_OK;
        }
        if (id == DISPID_AMBIENT_BACKCOLOR) {
            V_VT(result) = VT_I4;
            V_I4(result) = static_cast<LONG>(backColor);
            return S_OK;
        }
        return DISP_E_MEMBERNOTFOUND;
    }

    // IPropertyNotifySink
    STDMETHODIMP OnChanged(DISPID id) override {
        return Log("OnChanged(" + std::to_string(id) + ")"), S_OK;
    }
    STDMETHODIMP OnRequestEdit(DISPID) override { return S_OK; }

    // IAdviseSink
    void STDMETHODCALLTYPE OnDataChange(FORMATETC*, STGMEDIUM*) override {}
    void STDMETHODCALLTYPE OnViewChange(DWORD, LONG) override { Log("OnViewChange"); }
    void STDMETHODCALLTYPE OnRename(IMoniker*) override {}
    void STDMETHODCALLTYPE OnSave() override {}
    void STDMETHODCALLTYPE OnClose() override {}
    void STDMETHODCALLTYPE OnViewStatusChange(DWORD) override {}

private:
    static void Log(const std::string& what) { calls.push_back(what); }
} site;

class EventSink final : public IDispatch {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) ||
            IsEqualIID(iid, DIID__QLREvents)) {
            *out = static_cast<IDispatch*>(this);
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP GetTypeInfoCount(UINT* n) override { return *n = 0, S_OK; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                        UINT*) override {
        calls.push_back("event(" + std::to_string(id) + ")");
        return S_OK;
    }
} events;

// A property bag holding only an extent.
class ExtentBag final : public IPropertyBag {
public:
    explicit ExtentBag(LONG size) : size_(size) {}
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IPropertyBag)) {
            *out = static_cast<IPropertyBag*>(this);
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP Read(LPCOLESTR name, VARIANT* value, IErrorLog*) override {
        if (wcscmp(name, L"_cx") != 0 && wcscmp(name, L"_cy") != 0) return E_INVALIDARG;
        V_VT(value) = VT_I4;
        V_I4(value) = size_;
        return S_OK;
    }
    STDMETHODIMP Write(LPCOLESTR, VARIANT*) override { return E_NOTIMPL; }

private:
    LONG size_;
};

// A 32-bit DIB section in a memory DC.
struct Canvas {
    int width, height;
    void* bits = nullptr;
    HBITMAP bitmap;
    HDC dc;
    HGDIOBJ old;
    Canvas(int w, int h) : width(w), height(h) {
        BITMAPINFO info{};
        info.bmiHeader = {sizeof info.bmiHeader, w, -h, 1, 32, BI_RGB};
        bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        dc = CreateCompatibleDC(nullptr);
        old = SelectObject(dc, bitmap);
    }
    ~Canvas() {
        SelectObject(dc, old);
        DeleteDC(dc);
        DeleteObject(bitmap);
    }
    COLORREF At(int x, int y) const {
        GdiFlush();
        const DWORD p = static_cast<const DWORD*>(bits)[y * width + x];
        return RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
    }
};

// Runs act on the first window find returns, on a thread of its own, while
// the host thread sits in a modal loop. Gives up after 10 s.
class Watcher {
public:
    Watcher(std::function<HWND()> find, std::function<void(HWND)> act)
        : thread_([this, find, act] {
              for (int i = 0; i < 500 && !found_; ++i) {
                  if (HWND w = find()) {
                      found_ = true;
                      act(w);
                      return;
                  }
                  Sleep(20);  // polling for a window another thread creates
              }
          }) {}
    ~Watcher() { thread_.join(); }
    bool found() const { return found_; }

private:
    std::atomic<bool> found_{false};
    std::thread thread_;
};

// Wine's property frame has no owner: any visible dialog of the host thread.
BOOL CALLBACK FindFrame(HWND w, LPARAM out) {
    wchar_t cls[16] = L"";
    GetClassNameW(w, cls, 16);
    if (w == host || !IsWindowVisible(w) || wcscmp(cls, L"#32770") != 0) return TRUE;
    *reinterpret_cast<HWND*>(out) = w;
    return FALSE;
}

LRESULT CALLBACK HostProcedure(HWND hwnd, UINT message, WPARAM wp, LPARAM lp) {
    return DefWindowProcW(hwnd, message, wp, lp);
}

std::wstring Widen(const char* s) {
    std::wstring w;
    while (*s) w += static_cast<wchar_t>(*s++);
    return w;
}

LONG Himetric(int pixels, int dpi) { return MulDiv(pixels, 2540, dpi); }

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::printf("usage: test_container PORT_INDEX FACE_BMP SCREENSHOT_DIR\n");
        return 100;
    }
    const long portIndex = std::atol(argv[1]);
    const std::wstring facePath = Widen(argv[2]);
    const std::wstring shots = Widen(argv[3]);
    OleInitialize(nullptr);

    WNDCLASSW wc{};
    wc.lpfnWndProc = HostProcedure;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
    wc.lpszClassName = L"QlrTestContainer";
    RegisterClassW(&wc);
    host = CreateWindowExW(0, wc.lpszClassName, L"test container", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                           0, 0, 240, 160, nullptr, nullptr, wc.hInstance, nullptr);
    HWND button = CreateWindowExW(0, L"BUTTON", L"other", WS_CHILD | WS_VISIBLE | WS_TABSTOP, 100,
                                  10, 80, 24, host, nullptr, wc.hInstance, nullptr);
    SetActiveWindow(host);
    HDC screen = GetDC(nullptr);
    const int dpiX = GetDeviceCaps(screen, LOGPIXELSX), dpiY = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    const SIZEL natural{Himetric(32, dpiX), Himetric(32, dpiY)};

    IOleObject* object = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_QLRCom, nullptr, CLSCTX_INPROC_SERVER, IID_IOleObject,
                                  reinterpret_cast<void**>(&object));
    Check(SUCCEEDED(hr) && object, "the control is created");
    if (!object) return 100;
    IQLRCom* control = nullptr;
    IViewObject* view = nullptr;
    IOleInPlaceObject* inPlace = nullptr;
    IQuickActivate* quick = nullptr;
    IPersistStreamInit* persist = nullptr;
    object->QueryInterface(IID_IQLRCom, reinterpret_cast<void**>(&control));
    object->QueryInterface(IID_IViewObject, reinterpret_cast<void**>(&view));
    object->QueryInterface(IID_IOleInPlaceObject, reinterpret_cast<void**>(&inPlace));
    object->QueryInterface(IID_IQuickActivate, reinterpret_cast<void**>(&quick));
    object->QueryInterface(IID_IPersistStreamInit, reinterpret_cast<void**>(&persist));
    if (!control || !view || !inPlace || !quick || !persist) return Check(false, "interfaces"), 100;

    // ---- quick activation: site, sinks, status bits ----
    QACONTAINER qac{};
    qac.cbSize = sizeof qac;
    qac.pClientSite = &site;
    qac.pAdviseSink = &site;
    qac.pPropertyNotifySink = &site;
    qac.pUnkEventSink = &events;
    QACONTROL qa{};
    qa.cbSize = sizeof qa;
    hr = quick->QuickActivate(&qac, &qa);
    Check(hr == S_OK, "QuickActivate succeeds");
    Check(qa.dwMiscStatus == 131473,
          "QuickActivate reports MiscStatus 131473 from the registry (got " +
              std::to_string(qa.dwMiscStatus) + ")");
    Check(qa.dwViewStatus == 3, "QuickActivate reports view status 3");
    Check(qa.dwEventCookie != 0 && qa.dwPropNotifyCookie != 0,
          "QuickActivate hands back both cookies");
    persist->InitNew();
    control->put_QcDeviceName(static_cast<enumDeviceName>(portIndex));
    control->put_QcAutoOpen(VARIANT_TRUE);
    control->put_QcRecvQSize(2048);
    Check(Count("OnChanged(1)") == 1,
          "the property sink connected by QuickActivate hears QcRecvQSize");
    short rc = 0;
    BSTR text = SysAllocString(L"x");
    control->SendString(text, &rc);  // port closed: CommError
    SysFreeString(text);
    bool fired = false;
    for (const auto& c : calls) fired |= c.rfind("event(", 0) == 0;
    Check(fired && rc != 0, "the event sink connected by QuickActivate receives CommError");

    // ---- size negotiation ----
    SIZEL asked{Himetric(100, dpiX), Himetric(50, dpiY)};
    hr = object->SetExtent(DVASPECT_CONTENT, &asked);
    Check(hr == E_FAIL && asked.cx == natural.cx && asked.cy == natural.cy,
          "SetExtent for 100 x 50 px fails and answers 32 x 32 px");
    SIZEL now{};
    object->GetExtent(DVASPECT_CONTENT, &now);
    Check(now.cx == natural.cx && now.cy == natural.cy, "the control keeps 32 x 32 px");
    asked = natural;
    Check(object->SetExtent(DVASPECT_CONTENT, &asked) == S_OK, "SetExtent for 32 x 32 px succeeds");
    {
        IOleObject* odd = nullptr;
        IPersistPropertyBag* bag = nullptr;
        CoCreateInstance(CLSID_QLRCom, nullptr, CLSCTX_INPROC_SERVER, IID_IOleObject,
                         reinterpret_cast<void**>(&odd));
        if (odd) odd->QueryInterface(IID_IPersistPropertyBag, reinterpret_cast<void**>(&bag));
        ExtentBag saved(natural.cx + 153);
        const bool loaded = bag && SUCCEEDED(bag->Load(&saved, nullptr));
        SIZEL got{}, again = natural, same{natural.cx + 153, natural.cy + 153};
        if (odd) odd->GetExtent(DVASPECT_CONTENT, &got);
        Check(loaded && got.cx == natural.cx + 153, "a loaded odd extent is kept and reported");
        Check(odd && odd->SetExtent(DVASPECT_CONTENT, &again) == E_FAIL &&
                  odd->SetExtent(DVASPECT_CONTENT, &same) == E_FAIL,
              "with a loaded odd extent every SetExtent fails");
        if (bag) bag->Release();
        if (odd) odd->Release();
    }

    // ---- drawing: design time the picture, run time the background colour ----
    Canvas face(32, 32);
    {
        HBITMAP file = static_cast<HBITMAP>(LoadImageW(nullptr, facePath.c_str(), IMAGE_BITMAP, 0,
                                                       0, LR_LOADFROMFILE | LR_CREATEDIBSECTION));
        HDC memory = CreateCompatibleDC(nullptr);
        HGDIOBJ old = SelectObject(memory, file);
        BitBlt(face.dc, 0, 0, 32, 32, memory, 0, 0, SRCCOPY);
        SelectObject(memory, old);
        DeleteDC(memory);
        Check(file != nullptr, "picture 2 loads from the source tree");
        DeleteObject(file);
    }
    auto drawn = [&](Canvas& canvas) {
        RECTL bounds{0, 0, 32, 32};
        return view->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, canvas.dc, &bounds,
                          nullptr, nullptr, 0);
    };
    {
        Canvas design(32, 32);
        site.userMode = false;
        Check(drawn(design) == S_OK, "Draw succeeds at design time");
        int bad = 0;
        for (int y = 0; y < 32; ++y)
            for (int x = 0; x < 32; ++x) bad += design.At(x, y) != face.At(x, y);
        Check(bad == 0,
              "at design time the pixels are picture 2 (" + std::to_string(bad) + " differ)");
        Canvas large(256, 256);
        StretchBlt(large.dc, 0, 0, 256, 256, design.dc, 0, 0, 32, 32, SRCCOPY);
        Check(screenshot::SaveBitmapPng(large.bitmap, (shots + L"\\face_design.png").c_str()),
              "screenshot face_design.png");
        Canvas run(32, 32);
        site.userMode = true;
        drawn(run);
        bad = 0;
        for (int y = 0; y < 32; ++y)
            for (int x = 0; x < 32; ++x)
                bad += run.At(x, y) != static_cast<COLORREF>(site.backColor);
        Check(bad == 0, "at run time every pixel is the ambient BackColor");
    }

    // ---- in-place activation at design time: window, no port ----
    site.userMode = false;
    calls.clear();
    hr = object->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, &site, 0, host, &kSiteRect);
    HWND window = nullptr;
    inPlace->GetWindow(&window);
    char cls[64] = "";
    if (window) GetClassNameA(window, cls, sizeof cls);
    const LONG style = window ? GetWindowLongW(window, GWL_STYLE) : 0;
    Check(hr == S_OK && Saw("CanInPlaceActivate", 0) && Saw("OnInPlaceActivateEx", 0),
          "DoVerb(INPLACEACTIVATE) asks the site and activates through IOleInPlaceSiteEx");
    Check(window && GetParent(window) == host && std::string(cls).rfind("QLRComWindow", 0) == 0,
          std::string("the control has its own child window (class ") + cls + ")");
    Check((style & (WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN)) ==
                  (WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN) &&
              GetWindowLongW(window, GWL_EXSTYLE) == 0 && GetWindowTextLengthW(window) == 0,
          "the window is a plain child with the four styles, no extended style, no title");
    VARIANT_BOOL open = VARIANT_TRUE;
    control->IsOpen(&open);
    Check(open == VARIANT_FALSE, "at design time the port stays closed although QcAutoOpen is set");
    RECT placed{};
    GetWindowRect(window, &placed);
    MapWindowPoints(nullptr, host, reinterpret_cast<POINT*>(&placed), 2);
    Check(EqualRect(&placed, &kSiteRect), "the window sits at the site's rectangle");
    const RECT moved{60, 40, 92, 72};
    inPlace->SetObjectRects(&moved, &moved);
    GetWindowRect(window, &placed);
    MapWindowPoints(nullptr, host, reinterpret_cast<POINT*>(&placed), 2);
    Check(EqualRect(&placed, &moved), "SetObjectRects moves the window");
    Check(screenshot::SaveWindowPng(host, (shots + L"\\container_design.png").c_str()),
          "screenshot container_design.png");

    // ---- UI activation and focus ----
    size_t mark = calls.size();
    object->DoVerb(OLEIVERB_UIACTIVATE, nullptr, &site, 0, host, &moved);
    Check(
        Saw("OnUIActivate", mark) && Saw("frame.SetActiveObject", mark) && Saw("OnFocus(1)", mark),
        "UIACTIVATE: OnUIActivate, the frame's SetActiveObject and OnFocus(TRUE)");
    Check(GetFocus() == window, "the control window has the focus");
    mark = calls.size();
    SetFocus(button);
    Check(Saw("OnFocus(0)", mark), "the focus leaving tells the site OnFocus(FALSE)");
    mark = calls.size();
    inPlace->UIDeactivate();
    Check(Saw("OnUIDeactivate", mark) && Saw("frame.SetActiveObject(null)", mark),
          "UIDeactivate: OnUIDeactivate and SetActiveObject(NULL)");
    mark = calls.size();
    SendMessageW(window, WM_MOUSEACTIVATE, reinterpret_cast<WPARAM>(host),
                 MAKELPARAM(HTCLIENT, WM_LBUTTONDOWN));
    Check(!Saw("OnUIActivate", mark), "a click at design time does not UI-activate");
    mark = calls.size();
    SetFocus(window);
    Check(Saw("OnUIActivate", mark) && Saw("OnFocus(1)", mark), "taking the focus UI-activates");
    inPlace->UIDeactivate();

    // ---- properties verb: the site's frame, else the control's own ----
    mark = calls.size();
    site.frameResult = S_OK;
    Check(object->DoVerb(OLEIVERB_PROPERTIES, nullptr, &site, 0, host, &moved) == S_OK &&
              Count("ShowPropertyFrame") == 1,
          "OLEIVERB_PROPERTIES asks the site's ShowPropertyFrame");
    Check(object->DoVerb(OLEIVERB_PRIMARY, nullptr, &site, 0, host, &moved) == S_OK &&
              Count("ShowPropertyFrame") == 2,
          "the primary verb at design time shows the properties");
    site.frameResult = E_NOTIMPL;
    {
        const DWORD thread = GetCurrentThreadId();
        Watcher watch(
            [thread]() -> HWND {
                HWND found = nullptr;
                EnumThreadWindows(thread, FindFrame, reinterpret_cast<LPARAM>(&found));
                return found;
            },
            [](HWND w) {
                SendMessageW(w, WM_COMMAND, IDCANCEL, 0);
                // The sheet's modal loop sees its end only with a posted message.
                PostMessageW(w, WM_NULL, 0, 0);
            });
        hr = object->DoVerb(OLEIVERB_PROPERTIES, nullptr, &site, 0, host, &moved);
        Check(hr == S_OK && Count("ShowPropertyFrame") == 3 && watch.found(),
              "with E_NOTIMPL from the site the control shows a modal frame of its own");
    }

    // ---- About: stays open on IDCANCEL and WM_CLOSE, ends on OK ----
    {
        const HWND active = GetActiveWindow();
        std::atomic<bool> afterCancel{false}, afterClose{false}, clicked{false};
        HWND owner = nullptr;
        RECT client{}, expected{0, 0, 202, 67}, okRect{}, okExpected{145, 46, 50, 14};
        POINT origin{};
        LONG okStyle = 0;
        std::wstring fontName;
        bool shot = false;
        {
            Watcher watch(
                // Taken only once shown: the modal loop shows the box after its
                // controls exist, while FindWindowW finds it as soon as it is created.
                []() -> HWND {
                    HWND box = FindWindowW(L"#32770", L"About");
                    return box && IsWindowVisible(box) ? box : nullptr;
                },
                [&](HWND dialog) {
                    owner = GetWindow(dialog, GW_OWNER);
                    GetClientRect(dialog, &client);
                    MapDialogRect(dialog, &expected);
                    MapDialogRect(dialog, &okExpected);  // position and size, each mapped
                    okExpected.right += okExpected.left;
                    okExpected.bottom += okExpected.top;
                    HWND ok = GetDlgItem(dialog, IDOK);
                    okStyle = GetWindowLongW(ok, GWL_STYLE);
                    GetWindowRect(ok, &okRect);
                    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&okRect), 2);
                    ClientToScreen(dialog, &origin);  // the template places the client area
                    LOGFONTW font{};
                    GetObjectW(reinterpret_cast<HFONT>(SendMessageW(dialog, WM_GETFONT, 0, 0)),
                               sizeof font, &font);
                    fontName = font.lfFaceName;
                    shot = screenshot::SaveWindowPng(dialog, (shots + L"\\about.png").c_str());
                    SendMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
                    afterCancel = IsWindow(dialog) != FALSE;
                    SendMessageW(dialog, WM_CLOSE, 0, 0);
                    afterClose = IsWindow(dialog) != FALSE;
                    clicked = true;
                    for (int press = 0; press < 100 && IsWindow(dialog); ++press) {
                        if (HWND button = GetDlgItem(dialog, IDOK))
                            SendMessageW(button, BM_CLICK, 0, 0);
                        Sleep(50);  // the modal loop ends and destroys the box on its own thread
                    }
                });
            hr = control->About();
            Check(hr == S_OK && clicked, "About returns S_OK, and only after OK was pressed");
            Check(watch.found(), "the About dialog was shown");
        }
        Check(afterCancel && afterClose, "IDCANCEL (Esc) and WM_CLOSE (close box) leave it open");
        POINT ownerOrigin{0, 0};
        if (owner) ClientToScreen(owner, &ownerOrigin);
        Check(owner == active && owner != nullptr, "owned by the active window");
        Check(origin.x == ownerOrigin.x && origin.y == ownerOrigin.y,
              "placed at 0, 0 of its owner's client area, not centred");
        Check(client.right == expected.right && client.bottom == expected.bottom,
              "202 x 67 dialog units");
        Check(EqualRect(&okRect, &okExpected) && (okStyle & BS_DEFPUSHBUTTON),
              "OK is the default button at 145, 46, 50 x 14");
        Check(fontName == L"\xFF2D\xFF33 \xFF30\x30B4\x30B7\x30C3\x30AF", "font ＭＳ Ｐゴシック");
        Check(shot, "screenshot about.png");
    }

    // ---- run time: the primary verb activates, the port opens and closes ----
    inPlace->InPlaceDeactivate();
    Check(!IsWindow(window) && Saw("OnInPlaceDeactivateEx", mark),
          "InPlaceDeactivate destroys the window");
    site.userMode = true;
    mark = calls.size();
    hr = object->DoVerb(OLEIVERB_PRIMARY, nullptr, &site, 0, host, &kSiteRect);
    window = nullptr;
    inPlace->GetWindow(&window);
    control->IsOpen(&open);
    Check(hr == S_OK && window && Count("ShowPropertyFrame") == 3,
          "the primary verb at run time activates in place");
    Check(open == VARIANT_TRUE, "at run time the port opens with the window (QcAutoOpen)");
    SendMessageW(window, WM_MOUSEACTIVATE, reinterpret_cast<WPARAM>(host),
                 MAKELPARAM(HTCLIENT, WM_LBUTTONDOWN));
    Check(Saw("OnUIActivate", mark), "a click at run time UI-activates");
    Check(screenshot::SaveWindowPng(host, (shots + L"\\container_run.png").c_str()),
          "screenshot container_run.png");
    mark = calls.size();
    object->Close(OLECLOSE_NOSAVE);
    control->IsOpen(&open);
    Check(!IsWindow(window) && open == VARIANT_FALSE && Saw("OnInPlaceDeactivateEx", mark),
          "Close deactivates: window gone, port closed");

    object->SetClientSite(nullptr);
    persist->Release();
    quick->Release();
    inPlace->Release();
    view->Release();
    control->Release();
    object->Release();
    DestroyWindow(host);
    OleUninitialize();
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed > 100 ? 100 : failed;
}
