// Network ports through the registered control, where the other hosts' checks
// do not reach:
//   net_host.exe open URL MINOR        OpenComm fails with 100 and that minor
//                                      code (0: any), within the connect bound
//   net_host.exe session URL HS_DIR    open at 57600 (the peer looks at the far
//                                      end's speed, then kills the server): one
//                                      CommError 130 within 2 s, CloseComm, and
//                                      (the server back) OpenComm again
//   net_host.exe loop                  loop://: bytes and RTS come back
// Prints one line per check and "net_host: N passed, M failed".
#include <windows.h>
#include <oleauto.h>
#include <ocidl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "event_sink.h"
#include "qlrcom32_h.h"

namespace {

int g_passed = 0;
int g_failed = 0;
std::string g_dir;

void Check(const char* what, bool ok, long detail = 0) {
    std::printf("%s %s (%ld)\n", ok ? "ok  " : "FAIL", what, detail);
    std::fflush(stdout);
    ++(ok ? g_passed : g_failed);
}

void Pump(DWORD ms) {
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < ms) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    }
}

// Tells the peer a step is done and waits (bounded) for its answer.
bool Step(const char* name) {
    const std::string done = g_dir + "\\" + name + ".done";
    const std::string ack = g_dir + "\\" + name + ".ack";
    CloseHandle(CreateFileA(done.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    const DWORD start = GetTickCount();
    while (GetFileAttributesA(ack.c_str()) == INVALID_FILE_ATTRIBUTES) {
        if (GetTickCount() - start > 30000) return false;
        Pump(10);
    }
    return true;
}

class ErrorSink final : public sink::EventSink {
public:
    void OnEvent(DISPID id, DISPPARAMS* p) override {
        if (id != 1 || p->cArgs != 2 || p->rgvarg[1].vt != VT_I2) return;
        lastMajor = p->rgvarg[1].iVal;
        lastMinor = p->rgvarg[0].vt == VT_I4 ? p->rgvarg[0].lVal : -1;
        if (p->rgvarg[1].iVal == 130) {
            if (++gone == 1) goneAt = GetTickCount();
            goneMinor = p->rgvarg[0].vt == VT_I4 ? p->rgvarg[0].lVal : -1;
        }
    }
    short lastMajor = 0;
    long lastMinor = 0;
    int gone = 0;
    DWORD goneAt = 0;
    long goneMinor = 0;
};

void SetName(IQLRCom* com, const char* url) {
    const std::wstring name(url, url + std::strlen(url));
    BSTR text = SysAllocString(name.c_str());
    com->put_QcPortName(text);
    SysFreeString(text);
}

void OpenFails(IQLRCom* com, ErrorSink& sink, const char* url, long minor) {
    SetName(com, url);
    short rc = 0;
    const DWORD start = GetTickCount();
    com->OpenComm(&rc);
    const DWORD spent = GetTickCount() - start;
    const long got = sink.lastMinor;
    OLE_HANDLE handle = 1;
    com->get_hComm(&handle);
    std::printf("%s: OpenComm %d, minor %ld, %lu ms\n", url, rc, got, spent);
    Check("OpenComm fails with 100", rc == 100 && sink.lastMajor == 100, rc);
    Check("the minor code is the system's", minor ? got == minor : got != 0, got);
    Check("within the connect bound", spent < 7000, static_cast<long>(spent));
    Check("hComm is 0", handle == 0, static_cast<long>(handle));
}

void Session(IQLRCom* com, ErrorSink& sink, const char* url) {
    SetName(com, url);
    com->put_QcBaudRate(Baud57600);
    short rc = -1;
    com->OpenComm(&rc);
    Check("OpenComm", rc == 0, rc);
    OLE_HANDLE handle = 1;
    com->get_hComm(&handle);
    Check("hComm of a port without a system handle is 0", handle == 0, static_cast<long>(handle));
    BSTR text = SysAllocString(L"hello");
    com->SendString(text, &rc);
    SysFreeString(text);
    Check("SendString", rc == 0, rc);
    if (!Step("open")) Check("the peer killed the server", false);
    const DWORD killed = GetTickCount();
    while (!sink.gone && GetTickCount() - killed < 5000) Pump(10);
    Pump(500);  // a second report would come now
    Check("the dropped connection is reported as CommError 130", sink.gone == 1, sink.gone);
    // The server was killed before the peer answered: an earlier report is in time too.
    const long after = static_cast<long>(sink.goneAt - killed);
    Check("within 2 s", sink.gone && after <= 2000, after);
    Check("with the system's error", sink.goneMinor != 0, sink.goneMinor);
    com->CloseComm(&rc);
    Check("CloseComm after the drop", rc == 0, rc);
    if (!Step("closed")) Check("the peer restarted the server", false);
    com->OpenComm(&rc);
    Check("OpenComm again", rc == 0, rc);
    com->CloseComm(&rc);
    Check("CloseComm", rc == 0, rc);
}

void Loop(IQLRCom* com) {
    SetName(com, "loop://");
    com->put_QcRecvTimeOut(2000);
    short rc = -1;
    com->OpenComm(&rc);
    Check("OpenComm loop://", rc == 0, rc);
    BSTR text = SysAllocString(L"ping");
    com->SendString(text, &rc);
    SysFreeString(text);
    BSTR got = nullptr;
    com->RecvString(4, &got);
    Check("what is sent comes back", got && std::wstring(got) == L"ping");
    SysFreeString(got);
    VARIANT_BOOL cts = 0;
    com->ClearRTS(&rc);
    com->GetCTS(&cts);
    Check("RTS off reads as CTS off", cts == 0);
    com->SetRTS(&rc);
    com->GetCTS(&cts);
    Check("RTS on reads as CTS on", cts != 0);
    com->CloseComm(&rc);
    Check("CloseComm", rc == 0, rc);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    IQLRCom* com = nullptr;
    if (FAILED(CoCreateInstance(CLSID_QLRCom, nullptr, CLSCTX_INPROC_SERVER, IID_IQLRCom,
                                reinterpret_cast<void**>(&com)))) {
        std::printf("cannot create the control\n");
        return 1;
    }
    com->put_QcShowErrorMessage(VARIANT_FALSE);
    ErrorSink sink;
    IConnectionPointContainer* container = nullptr;
    IConnectionPoint* point = nullptr;
    DWORD cookie = 0;
    com->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container));
    container->FindConnectionPoint(DIID__QLREvents, &point);
    point->Advise(&sink, &cookie);

    const std::string mode = argv[1];
    if (mode == "open" && argc >= 4) {
        OpenFails(com, sink, argv[2], std::atol(argv[3]));
    } else if (mode == "session" && argc >= 4) {
        g_dir = argv[3];
        Session(com, sink, argv[2]);
    } else if (mode == "loop") {
        Loop(com);
    } else {
        return 2;
    }
    point->Unadvise(cookie);
    point->Release();
    container->Release();
    com->Release();
    CoUninitialize();
    std::printf("net_host: %d passed, %d failed\n", g_passed, g_failed);
    return g_failed ? 1 : 0;
}
