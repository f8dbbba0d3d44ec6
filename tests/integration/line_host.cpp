// Line control and modem status through the registered control, in step with
// a shell playing the far end of a virtual null-modem cable.
//   line_host.exe PORT_NUMBER HANDSHAKE_DIR
// After each step the host creates DIR\<step>.done and waits (bounded) for
// DIR\<step>.ack, so the peer can look at or change the lines meanwhile.
// Prints one "name=value" line per observation; exit status 0 when every
// method returned what it should.
#include <windows.h>
#include <oleauto.h>
#include <ocidl.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "event_sink.h"
#include "port_name.h"
#include "qlrcom32_h.h"

namespace {

int g_failures = 0;
std::string g_dir;

void Expect(const char* what, long got, long expected) {
    std::printf("%s=%ld%s\n", what, got, got == expected ? "" : "  <-- unexpected");
    std::fflush(stdout);
    if (got != expected) ++g_failures;
}

void Pump(DWORD ms) {
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < ms) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    }
}

// Tells the peer that a step is done and waits for its answer, pumping
// messages meanwhile so that events are delivered.
bool Step(const char* name) {
    const std::string done = g_dir + "\\" + name + ".done";
    const std::string ack = g_dir + "\\" + name + ".ack";
    CloseHandle(CreateFileA(done.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    const DWORD start = GetTickCount();
    while (GetFileAttributesA(ack.c_str()) == INVALID_FILE_ATTRIBUTES) {
        if (GetTickCount() - start > 20000) {
            std::printf("step %s: no answer from the peer\n", name);
            ++g_failures;
            return false;
        }
        Pump(20);
    }
    return true;
}

// Keeps the masks of CommNotify.
class NotifySink final : public sink::EventSink {
public:
    void OnEvent(DISPID id, DISPPARAMS* p) override {
        if (id == 5 && p->cArgs == 1 && p->rgvarg[0].vt == VT_I4) {
            masks |= static_cast<unsigned long>(p->rgvarg[0].lVal);
            ++notifications;
        }
        if (id == 1) {
            ++errors;
            if (p->cArgs == 2 && p->rgvarg[1].vt == VT_I2 && p->rgvarg[1].iVal == 130) ++gone;
        }
    }
    unsigned long masks = 0;
    int notifications = 0;
    int errors = 0;
    int gone = 0;  // CommError 130: the device went away
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    g_dir = argv[2];
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    IQLRCom* com = nullptr;
    if (FAILED(CoCreateInstance(CLSID_QLRCom, nullptr, CLSCTX_INPROC_SERVER, IID_IQLRCom,
                                reinterpret_cast<void**>(&com)))) {
        std::printf("cannot create the control\n");
        return 1;
    }
    NotifySink sink;
    IConnectionPointContainer* container = nullptr;
    IConnectionPoint* point = nullptr;
    DWORD cookie = 0;
    com->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container));
    container->FindConnectionPoint(DIID__QLREvents, &point);
    point->Advise(&sink, &cookie);

    short rc = -9;
    VARIANT_BOOL on = 0;
    SelectPort(com, std::atoi(argv[1]));
    com->OpenComm(&rc);
    Expect("OpenComm", rc, 0);
    Step("open");  // DTR and RTS on, as the line settings say
    com->ClearDTR(&rc);
    Expect("ClearDTR", rc, 0);
    Step("clrdtr");
    com->SetDTR(&rc);
    Expect("SetDTR", rc, 0);
    com->ClearRTS(&rc);
    Expect("ClearRTS", rc, 0);
    Step("clrrts");
    com->SetRTS(&rc);
    Expect("SetRTS", rc, 0);
    com->SendBreak(&rc);
    Expect("SendBreak", rc, 0);
    Step("break");
    com->ClearBreak(&rc);
    Expect("ClearBreak", rc, 0);
    Step("nobreak");  // the peer raises CTS and DSR meanwhile
    // A server reports the lines when it notices them (ser2net looks about
    // once a second): through one, the reads wait for its notification.
    const bool behindServer = GetEnvironmentVariableA("QLR_PORT_NAME", nullptr, 0) != 0;
    for (DWORD begun = GetTickCount(); behindServer && GetTickCount() - begun < 5000;) {
        if ((sink.masks & (EV_CTS | EV_DSR)) == (EV_CTS | EV_DSR)) break;
        Pump(20);
    }
    com->GetCTS(&on);
    Expect("GetCTS", on, -1);
    com->GetDSR(&on);
    Expect("GetDSR", on, -1);
    com->GetRLSD(&on);
    Expect("GetRLSD", on, 0);
    com->GetRing(&on);
    Expect("GetRing", on, 0);
    // One line change at a time: Wine starts each event wait from the lines
    // as they are then, so a change between two waits is not an event.
    Step("ring");  // the peer raises RI meanwhile
    DWORD start = GetTickCount();
    while (!(sink.masks & EV_RING) && GetTickCount() - start < 10000) Pump(20);
    Expect("CommNotify has EV_RING", (sink.masks & EV_RING) != 0, 1);
    Step("carrier");  // the peer raises DCD meanwhile
    start = GetTickCount();
    while (!(sink.masks & EV_RLSD) && GetTickCount() - start < 10000) Pump(20);
    Expect("CommNotify has EV_RLSD", (sink.masks & EV_RLSD) != 0, 1);
    com->GetRing(&on);
    Expect("GetRing after", on, -1);
    Expect("CommError events", sink.errors, 0);
    com->CloseComm(&rc);
    Expect("CloseComm", rc, 0);
    Step("closed");  // DTR lowered by the close

    // The adapter pulled out: 130 once within a second, CloseComm succeeds, and
    // the port opens again once the device is back.
    com->OpenComm(&rc);
    Expect("OpenComm before the unplug", rc, 0);
    Step("plugged");  // the peer pulls the port end out meanwhile
    start = GetTickCount();
    while (sink.gone == 0 && GetTickCount() - start < 1000) Pump(10);
    // Behind a network server the device is the server's: its connection
    // stays, and a dropped connection is network_port's test.
    if (behindServer) {
        std::printf("CommError 130 within a second=n/a behind a server\n");
        std::printf("CommError 130 once=n/a behind a server\n");
    } else {
        Expect("CommError 130 within a second", sink.gone, 1);
        Pump(300);
        Expect("CommError 130 once", sink.gone, 1);
    }
    com->CloseComm(&rc);
    Expect("CloseComm after the unplug", rc, 0);
    Step("unplugged");  // the peer plugs it in again meanwhile
    com->OpenComm(&rc);
    Expect("OpenComm after the device is back", rc, 0);
    com->CloseComm(&rc);
    Expect("CloseComm after the device is back", rc, 0);

    point->Unadvise(cookie);
    point->Release();
    container->Release();
    com->Release();
    CoUninitialize();
    return g_failures == 0 ? 0 : 1;
}
