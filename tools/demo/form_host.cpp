// form_host: the control on a form, in Wine's ATL host window (atl.dll).
// The form's settings say QcAutoOpen and QcDeviceName, so the control opens
// its port when the form shows it and closes it with the form. The host then
// asks for the properties verb; the control's CommSettings page appears in a
// property frame, which the host shows in screenshots and closes.
//
//   form_host PORT_INDEX SCREENSHOT_DIR
//
// Exit status 0 when every step worked.
#include <windows.h>
#include <commctrl.h>
#include <ocidl.h>
#include <olectl.h>
#include <prsht.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "host_check.h"
#include "qlrcom32_h.h"
#include "resource_ids.h"
#include "screenshot.h"

namespace {

int failures = 0;

void Say(bool ok, const char* what) {
    if (!ok) ++failures;
    std::printf("  %s%s\n", what, ok ? "" : ": FAILED");
    std::fflush(stdout);
}

template <class T>
struct Ref {
    T* p = nullptr;
    ~Ref() {
        if (p) p->Release();
    }
    T* operator->() const { return p; }
    explicit operator bool() const { return p != nullptr; }
};

using AxWinInit = BOOL(WINAPI*)();
using AxCreateControl = HRESULT(WINAPI*)(LPCOLESTR, HWND, IStream*, IUnknown**);
using AxGetControl = HRESULT(WINAPI*)(HWND, IUnknown**);

using hostcheck::Export;

// The form's saved settings, as a form designer would have stored them.
bool SaveSettings(long port, IStream** stream) {
    Ref<IPersistStreamInit> persist;
    Ref<IQLRCom> control;
    if (FAILED(CoCreateInstance(CLSID_QLRCom, nullptr, CLSCTX_INPROC_SERVER, IID_IPersistStreamInit,
                                reinterpret_cast<void**>(&persist.p))) ||
        FAILED(persist->QueryInterface(IID_IQLRCom, reinterpret_cast<void**>(&control.p))))
        return false;
    persist->InitNew();
    control->put_QcDeviceName(static_cast<enumDeviceName>(port));
    control->put_QcBaudRate(Baud19200);
    control->put_QcAutoOpen(VARIANT_TRUE);
    if (FAILED(CreateStreamOnHGlobal(nullptr, TRUE, stream))) return false;
    if (FAILED(persist->Save(*stream, TRUE))) return false;
    LARGE_INTEGER zero{};
    return SUCCEEDED((*stream)->Seek(zero, STREAM_SEEK_SET, nullptr));
}

std::wstring g_shots;
bool g_frameShown = false;

std::wstring SelectedItem(HWND list) {
    const LRESULT index = SendMessageW(list, CB_GETCURSEL, 0, 0);
    wchar_t text[64] = L"";
    if (index >= 0 && SendMessageW(list, CB_GETLBTEXTLEN, index, 0) < 64)
        SendMessageW(list, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(text));
    return text;
}

BOOL CALLBACK FindPage(HWND hwnd, LPARAM lp) {
    if (GetDlgCtrlID(hwnd) == IDC_PAGE_PORT) {
        *reinterpret_cast<HWND*>(lp) = GetParent(hwnd);
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK FindFrame(HWND hwnd, LPARAM lp) {
    HWND page = nullptr;
    if (IsWindowVisible(hwnd)) EnumChildWindows(hwnd, FindPage, reinterpret_cast<LPARAM>(&page));
    if (!page) return TRUE;
    *reinterpret_cast<HWND*>(lp) = hwnd;
    return FALSE;
}

// Runs inside the frame's modal loop: show what the page holds, keep a
// picture of it, and close the frame.
void CALLBACK ProbeFrame(HWND, UINT, UINT_PTR timer, DWORD) {
    HWND frame = nullptr;
    EnumThreadWindows(GetCurrentThreadId(), FindFrame, reinterpret_cast<LPARAM>(&frame));
    if (!frame) return;
    KillTimer(nullptr, timer);
    g_frameShown = true;
    HWND page = nullptr;
    EnumChildWindows(frame, FindPage, reinterpret_cast<LPARAM>(&page));
    wchar_t caption[128] = L"";
    GetWindowTextW(frame, caption, 128);
    const std::wstring line = std::wstring(L"  property frame \"") + caption + L"\": port " +
                              SelectedItem(GetDlgItem(page, IDC_PAGE_PORT)) + L", speed " +
                              SelectedItem(GetDlgItem(page, IDC_PAGE_BAUD)) + L", flow control " +
                              SelectedItem(GetDlgItem(page, IDC_PAGE_FLOW)) + L"\n";
    // The console may not speak the page's language: write UTF-8.
    char utf8[512];
    const int n =
        WideCharToMultiByte(CP_UTF8, 0, line.c_str(), -1, utf8, sizeof utf8, nullptr, nullptr);
    if (n > 0) std::fwrite(utf8, 1, size_t(n - 1), stdout);
    Say(screenshot::SaveWindowPng(GetParent(page), (g_shots + L"\\demo_page.png").c_str()),
        "saved demo_page.png (the CommSettings page)");
    PostMessageW(frame, PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
}

void Pump(DWORD milliseconds) {
    const DWORD start = GetTickCount();
    MSG msg;
    do {
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    } while (GetTickCount() - start < milliseconds);
}

// A frame that never closes must not hang the demo.
DWORD WINAPI Watchdog(void* done) {
    if (WaitForSingleObject(done, 30000) == WAIT_OBJECT_0) return 0;
    std::printf("  the property frame did not close within 30 s: FAILED\n");
    std::fflush(stdout);
    ExitProcess(3);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: form_host PORT_INDEX SCREENSHOT_DIR\n");
        return 2;
    }
    const long port = std::wcstol(argv[1], nullptr, 10);
    g_shots = argv[2];
    if (FAILED(OleInitialize(nullptr))) return 2;
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_TAB_CLASSES};
    InitCommonControlsEx(&controls);
    {
        HMODULE atl = LoadLibraryW(L"atl.dll");
        auto init = Export<AxWinInit>(atl, "AtlAxWinInit");
        auto createControl = Export<AxCreateControl>(atl, "AtlAxCreateControl");
        auto getControl = Export<AxGetControl>(atl, "AtlAxGetControl");
        if (!init || !createControl || !getControl || !init()) {
            Say(false, "Wine's ATL host (atl.dll) is available");
            return 1;
        }
        Ref<IStream> settings;
        Say(SaveSettings(port, &settings.p),
            "the form's settings: COM port, 19200 bit/s, QcAutoOpen");

        // A white form, so that the control's square in the container's
        // background colour stands out.
        WNDCLASSW formClass{};
        formClass.lpfnWndProc = DefWindowProcW;
        formClass.hInstance = GetModuleHandleW(nullptr);
        formClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
        formClass.lpszClassName = L"QlrDemoForm";
        RegisterClassW(&formClass);
        HWND form = CreateWindowExW(0, L"QlrDemoForm", L"qlrcom32 demo form",
                                    WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 240, 140, nullptr,
                                    nullptr, formClass.hInstance, nullptr);
        HWND ax = CreateWindowExW(0, L"AtlAxWin", L"", WS_CHILD | WS_VISIBLE, 24, 24, 32, 32, form,
                                  nullptr, nullptr, nullptr);
        Ref<IUnknown> site;
        Say(settings && SUCCEEDED(createControl(L"QLRCom.QLRCom", ax, settings.p, &site.p)),
            "ATL creates the control from its ProgID and loads the settings");
        Ref<IUnknown> unknown;
        Ref<IQLRCom> control;
        Ref<IOleObject> object;
        if (SUCCEEDED(getControl(ax, &unknown.p)) && unknown) {
            unknown->QueryInterface(IID_IQLRCom, reinterpret_cast<void**>(&control.p));
            unknown->QueryInterface(IID_IOleObject, reinterpret_cast<void**>(&object.p));
        }
        VARIANT_BOOL open = VARIANT_FALSE;
        if (control) control->IsOpen(&open);
        Say(open != VARIANT_FALSE,
            "activated in place on the form, the control opened its port by itself");
        Pump(200);
        Say(screenshot::SaveWindowPng(form, (g_shots + L"\\demo_form.png").c_str()),
            "saved demo_form.png (the control on the running form)");

        // The properties verb: the container has no frame of its own, so the
        // control opens the system's property frame with its page.
        HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        HANDLE watchdog = CreateThread(nullptr, 0, Watchdog, done, 0, nullptr);
        SetTimer(nullptr, 0, 100, ProbeFrame);
        RECT rect{24, 24, 56, 56};
        const HRESULT hr =
            object ? object->DoVerb(OLEIVERB_PROPERTIES, nullptr, nullptr, 0, form, &rect)
                   : E_NOINTERFACE;
        SetEvent(done);
        WaitForSingleObject(watchdog, INFINITE);
        CloseHandle(watchdog);
        CloseHandle(done);
        Say(SUCCEEDED(hr) && g_frameShown,
            "the properties verb showed the page and the frame closed");

        DestroyWindow(form);  // destroys the ATL host window and the control's window
        open = VARIANT_TRUE;
        if (control) control->IsOpen(&open);
        Say(open == VARIANT_FALSE, "the form closed: the control closed its port");
    }
    OleUninitialize();
    return failures ? 1 : 0;
}
