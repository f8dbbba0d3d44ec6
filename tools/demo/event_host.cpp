// A small event host for the demonstration: opens a port through the
// registered control, asks for CommRecv events, pumps messages and prints
// every event until it has seen a line or the time is up. From 2 bytes on,
// the waiting bytes come as one event (1 would deliver them one by one).
//   event_host.exe PORT_NUMBER [SECONDS]
// Or it sends or receives one file with XModem (1K blocks, CRC), printing
// QcProgress as it grows and CommTransferEnd; a send first waits for the
// receiver's start character, announced by a notify-only CommRecv:
//   event_host.exe PORT_NUMBER send|recv FILE
// Exits with 0 when it saw a line, or the transfer ended with code 0.
#include <windows.h>
#include <oleauto.h>
#include <ocidl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "event_sink.h"
#include "port_name.h"
#include "qlrcom32_h.h"

namespace {

class Sink final : public sink::EventSink {
public:
    void OnEvent(DISPID id, DISPPARAMS* p) override {
        if (id == 2 && transfer) {
            ++starts;  // notify-only: the receiver's start character waits
            return;
        }
        if (id == 3 && p->cArgs == 1 && p->rgvarg[0].vt == VT_I2) {
            endCode = p->rgvarg[0].iVal;
            ended = true;
            std::printf("  event CommTransferEnd(%d)\n", endCode);
        } else if (id == 2 && p->cArgs == 1 && p->rgvarg[0].vt == (VT_BYREF | VT_BSTR)) {
            BSTR text = *p->rgvarg[0].pbstrVal;
            std::printf("  event CommRecv(\"");
            for (UINT i = 0; text && i < SysStringLen(text); ++i) {
                const wchar_t c = text[i];
                if (c >= 0x20 && c < 0x7F)
                    std::printf("%c", static_cast<char>(c));
                else
                    std::printf("\\x%02X", static_cast<unsigned>(c));
            }
            std::printf("\")\n");
            lineSeen = lineSeen || (text && SysStringLen(text) > 0);
        } else if (id == 1 && p->cArgs == 2) {
            std::printf("  event CommError(%d, %ld)\n", p->rgvarg[1].iVal, p->rgvarg[0].lVal);
        } else {
            std::printf("  event %ld\n", static_cast<long>(id));
        }
        std::fflush(stdout);
    }
    bool lineSeen = false;
    bool transfer = false;
    int starts = 0;
    bool ended = false;
    short endCode = -1;
};

// Pumps messages until done() holds (looked at every 50 ms at least) or ms pass.
template <typename Done>
bool Pump(Done done, DWORD ms) {
    const DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start >= ms) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    }
    return true;
}

// One XModem transfer on the open port.
bool Transfer(IQLRCom* com, Sink& sink, bool send, const char* path) {
    if (send && !Pump([&] { return sink.starts > 0; }, 30000))
        std::printf("  no start character\n");
    wchar_t name[MAX_PATH] = {};
    MultiByteToWideChar(CP_ACP, 0, path, -1, name, MAX_PATH);
    BSTR file = SysAllocString(name);
    short rc = -9;
    if (send)
        com->SendFile(file, &rc);
    else
        com->RecvFile(file, &rc);
    SysFreeString(file);
    std::printf("  %s %d\n", send ? "SendFile" : "RecvFile", rc);
    short shown = -1;
    if (rc == 0)
        Pump(
            [&] {
                short progress = 0;
                com->get_QcProgress(&progress);
                if (progress != shown && !sink.ended) {
                    std::printf("  QcProgress %d\n", progress);
                    std::fflush(stdout);
                    shown = progress;
                }
                return sink.ended;
            },
            120000);
    short status = 0;
    com->get_QcStatus(&status);
    std::printf("  QcStatus %d\n", status);
    return sink.ended && sink.endCode == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const bool transfer =
        argc > 3 && (std::strcmp(argv[2], "send") == 0 || std::strcmp(argv[2], "recv") == 0);
    const DWORD seconds = argc > 2 && !transfer ? static_cast<DWORD>(std::atoi(argv[2])) : 10;
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    IQLRCom* com = nullptr;
    if (FAILED(CoCreateInstance(CLSID_QLRCom, nullptr, CLSCTX_INPROC_SERVER, IID_IQLRCom,
                                reinterpret_cast<void**>(&com)))) {
        std::printf("cannot create the control\n");
        return 1;
    }
    Sink sink;
    sink.transfer = transfer;
    IConnectionPointContainer* container = nullptr;
    IConnectionPoint* point = nullptr;
    DWORD cookie = 0;
    com->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container));
    container->FindConnectionPoint(DIID__QLREvents, &point);
    point->Advise(&sink, &cookie);

    short rc = -9;
    SelectPort(com, std::atoi(argv[1]));  // or the network port the demo names
    com->put_QcNotifyRecvChars(transfer ? 1 : 2);
    com->put_QcRecvEventType(AsString);
    com->put_QcRecvNotifyOnly(transfer ? VARIANT_TRUE : VARIANT_FALSE);
    com->put_QcShowErrorMessage(0);
    com->put_QcProtocol(XModem1K);
    com->OpenComm(&rc);
    if (transfer)
        std::printf("  OpenComm %d\n", rc);
    else
        std::printf("  OpenComm %d, waiting up to %lu s for a line\n", rc, seconds);
    std::fflush(stdout);
    // Tells the demonstration that the port listens.
    std::printf("READY\n");
    std::fflush(stdout);
    bool ok = false;
    if (rc == 0 && transfer)
        ok = Transfer(com, sink, std::strcmp(argv[2], "send") == 0, argv[3]);
    else if (rc == 0)
        ok = Pump([&] { return sink.lineSeen; }, seconds * 1000);
    com->CloseComm(&rc);
    point->Unadvise(cookie);
    point->Release();
    container->Release();
    com->Release();
    CoUninitialize();
    return ok ? 0 : 1;
}
