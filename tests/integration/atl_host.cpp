// atl_host: the registered control in Wine's ATL host window (atl.dll), a
// container nobody here wrote, in step with a shell that watches the far end
// of a virtual null-modem cable.
//
//   atl_host PORT_INDEX HANDSHAKE_DIR
//
// 1. An "AtlAxWin" window whose text is the ProgID: the control is created,
//    activated in place with a child window of its own, and released with the
//    host window.
// 2. The same host loading saved settings (QcAutoOpen set, the bridged port):
//    the port opens when ATL activates the control and closes when the host
//    window is destroyed. After each of the two states the host creates
//    DIR\<step>.done and waits (bounded) for DIR\<step>.ack from the peer.
// Prints one line per check; the exit status is the number of failures.
#include <windows.h>
#include <ocidl.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "host_check.h"
#include "qlrcom32_h.h"

namespace {

using hostcheck::Check;
using hostcheck::Export;
using hostcheck::failed;
using hostcheck::passed;

std::string handshake;

// Announces a step and waits for the peer's answer, pumping messages.
bool Step(const char* name) {
    const std::string base = handshake + "\\" + name;
    CloseHandle(CreateFileA((base + ".done").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0,
                            nullptr));
    const DWORD start = GetTickCount();
    while (GetFileAttributesA((base + ".ack").c_str()) == INVALID_FILE_ATTRIBUTES) {
        if (GetTickCount() - start > 20000) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    }
    return true;
}

using AxWinInit = BOOL(WINAPI*)();
using AxCreateControl = HRESULT(WINAPI*)(LPCOLESTR, HWND, IStream*, IUnknown**);
using AxGetControl = HRESULT(WINAPI*)(HWND, IUnknown**);

AxCreateControl createControl = nullptr;
AxGetControl getControl = nullptr;

// The control's own window inside the ATL host window, if any.
HWND ControlWindow(HWND ax) {
    for (HWND child = GetWindow(ax, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        char cls[64] = "";
        GetClassNameA(child, cls, sizeof cls);
        if (std::string(cls).rfind("QLRComWindow", 0) == 0) return child;
    }
    return nullptr;
}

IQLRCom* HostedControl(HWND ax) {
    IUnknown* unknown = nullptr;
    IQLRCom* control = nullptr;
    if (SUCCEEDED(getControl(ax, &unknown)) && unknown) {
        unknown->QueryInterface(IID_IQLRCom, reinterpret_cast<void**>(&control));
        unknown->Release();
    }
    return control;
}

bool IsOpen(IQLRCom* control) {
    VARIANT_BOOL open = VARIANT_FALSE;
    return control && SUCCEEDED(control->IsOpen(&open)) && open != VARIANT_FALSE;
}

// Settings as a form saves them: QcAutoOpen on, QcDeviceName the bridged port.
IStream* SavedSettings(long port) {
    IPersistStreamInit* persist = nullptr;
    IQLRCom* control = nullptr;
    IStream* stream = nullptr;
    if (FAILED(CoCreateInstance(CLSID_QLRCom, nullptr, CLSCTX_INPROC_SERVER, IID_IPersistStreamInit,
                                reinterpret_cast<void**>(&persist))))
        return nullptr;
    persist->InitNew();
    persist->QueryInterface(IID_IQLRCom, reinterpret_cast<void**>(&control));
    control->put_QcDeviceName(static_cast<enumDeviceName>(port));
    control->put_QcAutoOpen(VARIANT_TRUE);
    CreateStreamOnHGlobal(nullptr, TRUE, &stream);
    const bool saved = SUCCEEDED(persist->Save(stream, TRUE));
    control->Release();
    persist->Release();
    if (!saved) {
        stream->Release();
        return nullptr;
    }
    LARGE_INTEGER zero{};
    stream->Seek(zero, STREAM_SEEK_SET, nullptr);
    return stream;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::printf("usage: atl_host PORT_INDEX HANDSHAKE_DIR\n");
        return 100;
    }
    const long port = std::atol(argv[1]);
    handshake = argv[2];
    HMODULE atl = LoadLibraryW(L"atl.dll");
    auto init = Export<AxWinInit>(atl, "AtlAxWinInit");
    createControl = Export<AxCreateControl>(atl, "AtlAxCreateControl");
    getControl = Export<AxGetControl>(atl, "AtlAxGetControl");
    Check(init && createControl && getControl && init(), "atl.dll loads and AtlAxWinInit succeeds");
    if (failed) return 100;
    HWND frame = CreateWindowExW(0, L"STATIC", L"atl host", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0,
                                 200, 120, nullptr, nullptr, nullptr, nullptr);

    // 1. Created from the ProgID in the window text, with default settings.
    HWND ax = CreateWindowExW(0, L"AtlAxWin", L"QLRCom.QLRCom", WS_CHILD | WS_VISIBLE, 8, 8, 32, 32,
                              frame, nullptr, nullptr, nullptr);
    IQLRCom* control = ax ? HostedControl(ax) : nullptr;
    Check(control != nullptr, "AtlAxWin creates the control from its ProgID");
    HWND window = ax ? ControlWindow(ax) : nullptr;
    Check(window && IsWindowVisible(window),
          "ATL activates it in place: it has its own child window");
    Check(control && !IsOpen(control), "with QcAutoOpen off no port is opened");
    DestroyWindow(ax);
    Check(!IsWindow(window), "destroying the host window destroys the control's window");
    if (control) control->Release();

    // 2. Loaded from saved settings with QcAutoOpen: open at creation, closed
    //    with the host window.
    IStream* settings = SavedSettings(port);
    Check(settings != nullptr, "settings with QcAutoOpen are saved to a stream");
    ax = CreateWindowExW(0, L"AtlAxWin", L"", WS_CHILD | WS_VISIBLE, 8, 8, 32, 32, frame, nullptr,
                         nullptr, nullptr);
    IUnknown* site = nullptr;
    const HRESULT hr = settings ? createControl(L"QLRCom.QLRCom", ax, settings, &site) : E_FAIL;
    Check(hr == S_OK, "AtlAxCreateControl loads the saved settings");
    control = HostedControl(ax);
    window = ControlWindow(ax);
    OLE_HANDLE handle = 0;
    if (control) control->get_hComm(&handle);
    Check(window != nullptr, "the control has its own child window");
    Check(IsOpen(control) && handle != 0, "the port was opened at activation (IsOpen, hComm)");
    Check(Step("open"), "the peer looked at the open port");
    DestroyWindow(ax);
    if (site) site->Release();
    Check(!IsWindow(window), "destroying the host window destroys the control's window");
    Check(control && !IsOpen(control), "the port was closed with the host window");
    Check(Step("closed"), "the peer looked at the closed port");
    if (control) control->Release();
    if (settings) settings->Release();
    DestroyWindow(frame);
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed > 100 ? 100 : failed;
}
