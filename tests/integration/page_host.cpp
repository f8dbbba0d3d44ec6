// page_host: a design-time container without a property frame of its own
// asks the control for its properties verb; the control opens the system's
// property frame over itself. A timer inside the frame's modal loop finds the
// frame, checks the CommSettings page in it, saves screenshots of the page and
// of the frame, and presses OK.
//
//   page_host SCREENSHOT_DIR
//
// Prints one line per check and a summary; the exit status is the number of
// failures (3 when the frame never appeared in time).
#include <windows.h>
#include <commctrl.h>
#include <ocidl.h>
#include <olectl.h>
#include <prsht.h>

#include <cstdio>
#include <string>

#include "host_check.h"
#include "qlrcom32_h.h"
#include "resource_ids.h"
#include "screenshot.h"

namespace {

using hostcheck::Check;
using hostcheck::failed;
using hostcheck::passed;

const LCID kJapanese = MAKELCID(MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT), SORT_DEFAULT);

// Client site with ambient properties (design time, Japanese locale) and no
// IOleControlSite, so that the control has to open a frame itself.
class Site final : public IOleClientSite, public IDispatch {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IOleClientSite))
            *out = static_cast<IOleClientSite*>(this);
        else if (IsEqualIID(iid, IID_IDispatch))
            *out = static_cast<IDispatch*>(this);
        else
            return *out = nullptr, E_NOINTERFACE;
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP SaveObject() override { return E_NOTIMPL; }
    STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker**) override { return E_NOTIMPL; }
    STDMETHODIMP GetContainer(IOleContainer** c) override { return *c = nullptr, E_NOINTERFACE; }
    STDMETHODIMP ShowObject() override { return S_OK; }
    STDMETHODIMP OnShowWindow(BOOL) override { return S_OK; }
    STDMETHODIMP RequestNewObjectLayout() override { return E_NOTIMPL; }
    STDMETHODIMP GetTypeInfoCount(UINT* n) override { return *n = 0, S_OK; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS*, VARIANT* result, EXCEPINFO*,
                        UINT*) override {
        if (!result) return E_POINTER;
        if (id == DISPID_AMBIENT_USERMODE) {
            result->vt = VT_BOOL;
            result->boolVal = VARIANT_FALSE;
            return S_OK;
        }
        if (id == DISPID_AMBIENT_LOCALEID) {
            result->vt = VT_I4;
            result->lVal = static_cast<LONG>(kJapanese);
            return S_OK;
        }
        return DISP_E_MEMBERNOTFOUND;
    }
};

std::wstring g_shotDir;
bool g_inspected = false;
HANDLE g_done = nullptr;

std::wstring Text(HWND hwnd) {
    wchar_t text[256] = L"";
    GetWindowTextW(hwnd, text, 256);
    return text;
}

std::wstring SelectedItem(HWND list) {
    const LRESULT index = SendMessageW(list, CB_GETCURSEL, 0, 0);
    wchar_t text[64] = L"";
    if (index >= 0 && SendMessageW(list, CB_GETLBTEXTLEN, index, 0) < 64)
        SendMessageW(list, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(text));
    return text;
}

struct Search {
    int id;
    const wchar_t* text;
    HWND found;
};

BOOL CALLBACK FindChild(HWND hwnd, LPARAM lp) {
    auto* s = reinterpret_cast<Search*>(lp);
    if ((s->id && GetDlgCtrlID(hwnd) == s->id) || (s->text && Text(hwnd) == s->text)) {
        s->found = hwnd;
        return FALSE;
    }
    return TRUE;
}

HWND Descendant(HWND root, int id, const wchar_t* text) {
    Search s{id, text, nullptr};
    EnumChildWindows(root, FindChild, reinterpret_cast<LPARAM>(&s));
    return s.found;
}

BOOL CALLBACK FindFrame(HWND hwnd, LPARAM lp) {
    wchar_t cls[32] = L"";
    GetClassNameW(hwnd, cls, 32);
    if (IsWindowVisible(hwnd) && std::wstring(cls) == L"#32770" &&
        Descendant(hwnd, IDC_PAGE_PORT, nullptr)) {
        *reinterpret_cast<HWND*>(lp) = hwnd;
        return FALSE;
    }
    return TRUE;
}

// The window as the display shows it (clipped children, the frame's own
// buttons), read back from the screen after a synchronous repaint.
bool SaveScreenPng(HWND hwnd, const wchar_t* path) {
    RedrawWindow(hwnd, nullptr, nullptr,
                 RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
    RECT r;
    GetWindowRect(hwnd, &r);
    const int width = r.right - r.left, height = r.bottom - r.top;
    HDC window = GetWindowDC(hwnd);
    HDC memory = CreateCompatibleDC(window);
    HBITMAP bitmap = CreateCompatibleBitmap(window, width, height);
    const HGDIOBJ old = SelectObject(memory, bitmap);
    const bool copied = BitBlt(memory, 0, 0, width, height, window, 0, 0, SRCCOPY) != FALSE;
    SelectObject(memory, old);
    const bool saved = copied && screenshot::SaveBitmapPng(bitmap, path);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(hwnd, window);
    return saved;
}

void Inspect(HWND frame) {
    g_inspected = true;
    Check(Text(frame).find(L"QLRCom Class") != std::wstring::npos,
          "the frame's caption carries the control's registered type name");

    const HWND port = Descendant(frame, IDC_PAGE_PORT, nullptr);
    const HWND page = GetParent(port);
    Check(SelectedItem(port) == L"COM3", "the port list shows the control's COM3");
    Check(SelectedItem(GetDlgItem(page, IDC_PAGE_BAUD)) == L"9600", "the speed list shows 9600");
    Check(Text(GetDlgItem(page, IDC_PAGE_PARITYREPLACE)) == L"#",
          "the replacement box shows the control's '#'");
    Check(Descendant(page, 0, L"\u901A\u4FE1\u30DD\u30FC\u30C8") &&
              Descendant(page, 0, L"\u30D1\u30EA\u30C6\u30A3\u7F6E\u63DB\u6587\u5B57"),
          "the page's Japanese labels are there");

    // The tab carries the page title.
    const HWND tab = FindWindowExW(frame, nullptr, WC_TABCONTROLW, nullptr);
    wchar_t title[32] = L"";
    TCITEMW item{};
    item.mask = TCIF_TEXT;
    item.pszText = title;
    item.cchTextMax = 32;
    Check(tab && SendMessageW(tab, TCM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item)) &&
              std::wstring(title) == L"\u901A\u4FE1",
          "the tab is titled with the page title");
    // Wine's frame activates the page with the rectangle of its page area
    // before the area is laid out and never moves it afterwards: the page can
    // be larger than the area, but every field must lie within it.
    RECT area;
    GetWindowRect(GetParent(page), &area);
    bool inside = true;
    for (int id = IDC_PAGE_PORT; id <= IDC_PAGE_PARITYREPLACE; ++id) {
        RECT field;
        GetWindowRect(GetDlgItem(page, id), &field);
        inside = inside && field.left >= area.left && field.top >= area.top &&
                 field.right <= area.right && field.bottom <= area.bottom;
    }
    Check(inside, "every field of the page lies within the frame's page area");

    // The page as the area shows it: the bitmap ends where the area does.
    Check(screenshot::SaveWindowPng(GetParent(page),
                                    (g_shotDir + L"\\commsettings_page.png").c_str()),
          "the page's screenshot is saved");
    Check(SaveScreenPng(frame, (g_shotDir + L"\\commsettings_frame.png").c_str()),
          "the frame's screenshot is saved as the display shows it");
    PostMessageW(frame, PSM_PRESSBUTTON, PSBTN_OK, 0);
}

void CALLBACK Probe(HWND, UINT, UINT_PTR timer, DWORD) {
    HWND frame = nullptr;
    EnumThreadWindows(GetCurrentThreadId(), FindFrame, reinterpret_cast<LPARAM>(&frame));
    if (!frame) return;
    KillTimer(nullptr, timer);
    Inspect(frame);
}

// The frame is modal: should it never appear or never close, end the run.
DWORD WINAPI Watchdog(void*) {
    if (WaitForSingleObject(g_done, 30000) == WAIT_OBJECT_0) return 0;
    std::printf("FAIL the property frame did not %s within 30 s\n",
                g_inspected ? "close" : "appear");
    std::fflush(stdout);
    ExitProcess(3);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: page_host SCREENSHOT_DIR\n");
        return 2;
    }
    g_shotDir = argv[1];
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 2;
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_TAB_CLASSES};
    InitCommonControlsEx(&controls);
    {
        IOleObject* object = nullptr;
        HRESULT hr = CoCreateInstance(CLSID_QLRCom, nullptr, CLSCTX_INPROC_SERVER, IID_IOleObject,
                                      reinterpret_cast<void**>(&object));
        Check(SUCCEEDED(hr), "the control is created from its class");
        if (FAILED(hr)) return 2;
        Site site;
        object->SetClientSite(&site);
        IQLRCom* control = nullptr;
        object->QueryInterface(IID_IQLRCom, reinterpret_cast<void**>(&control));
        control->put_QcDeviceName(Com3);
        BSTR hash = SysAllocString(L"#");
        control->put_QcParityReplace(hash);
        SysFreeString(hash);

        g_done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        HANDLE watchdog = CreateThread(nullptr, 0, Watchdog, nullptr, 0, nullptr);
        SetTimer(nullptr, 0, 100, Probe);
        hr = object->DoVerb(OLEIVERB_PROPERTIES, nullptr, &site, 0, nullptr, nullptr);
        SetEvent(g_done);
        WaitForSingleObject(watchdog, INFINITE);
        CloseHandle(watchdog);
        CloseHandle(g_done);
        Check(hr == S_OK, "the properties verb succeeds");
        Check(g_inspected, "the frame was shown and inspected");

        object->SetClientSite(nullptr);
        control->Release();
        object->Release();
    }
    CoUninitialize();
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed > 100 ? 100 : failed;
}
