// XModem figures of the control in a plain C++ host (never activated: events
// come through the hidden window while the host pumps messages), on a pty line
// under Wine, with lrzsz on the far end (run-xmodem-bench.sh):
//
//   xmodem_bench.exe MODULE PORT send FILE    1K blocks with CRC to rx -c
//   xmodem_bench.exe MODULE PORT recv FILE    from sx -k, any blocks
// (QLR_BENCH_PROTO=N in the environment: QcProtocol N instead of XModem1K,
// for the batch protocols; FILE is then SendFile's or RecvFile's argument.)
//   xmodem_bench.exe MODULE PORT idle start FILE   CPU while the send waits
//                                   10 s for a start character that never comes
//   xmodem_bench.exe MODULE PORT idle ack FILE     CPU while it waits 10 s for
//                                   the answer to its first block
//
// "READY start" asks the far end to start (rx) or to send 'C'; the host waits
// for that byte as a notify-only CommRecv before SendFile. CPU is the process's
// user and kernel time (GetProcessTimes: every thread of the host and the
// control, not the wineserver). Figures are printed, nothing is asserted.
#include <windows.h>
#include <oleauto.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "load_control.h"
#include "../tests/integration/port_name.h"
#include "qlrcom32_h.h"
#include "../tests/integration/event_sink.h"
#include "../tests/integration/recv_sink.h"

namespace {

struct Events : sink::EventSink {
    int recv = 0;
    short end = -1;
    bool ended = false;
    void OnEvent(DISPID id, DISPPARAMS* p) override {
        const VARIANT* arg = sink::FirstArg(p);
        if (id == 2) ++recv;
        if (id == 3 && arg && V_VT(arg) == VT_I2) {
            end = V_I2(arg);
            ended = true;
        }
    }
};

double NowMs() {
    LARGE_INTEGER f, t;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&t);
    return 1000.0 * double(t.QuadPart) / double(f.QuadPart);
}

short Start(IQLRCom* com, bool send, const char* path) {
    wchar_t wide[MAX_PATH] = {};
    MultiByteToWideChar(CP_ACP, 0, path, -1, wide, MAX_PATH);
    BSTR name = SysAllocString(wide);
    short rc = -99;
    if (send)
        com->SendFile(name, &rc);
    else
        com->RecvFile(name, &rc);
    SysFreeString(name);
    return rc;
}

void Ready() {
    std::printf("READY start\n");
    std::fflush(stdout);
}

// CPU of this process over ms of pumping, in ms.
double CpuWhilePumping(DWORD ms) {
    const double before = recv::ProcessCpuMs();
    recv::PumpFor(ms);
    return recv::ProcessCpuMs() - before;
}

int Run(IQLRCom* com, int port, const std::string& what, const char* arg, const char* file) {
    Events events;
    recv::Connection connection(com, &events);
    SelectPort(com, port);
    com->put_QcBaudRate(Baud115200);
    com->put_QcNotifyRecvChars(1);
    com->put_QcRecvNotifyOnly(VARIANT_TRUE);
    com->put_QcShowErrorMessage(0);
    const char* proto = std::getenv("QLR_BENCH_PROTO");
    com->put_QcProtocol(static_cast<enumProtocol>(proto ? std::atoi(proto) : XModem1K));
    short rc = -1;
    com->OpenComm(&rc);
    if (rc != 0 || !connection.ok()) {
        std::printf("cannot open COM%d (%d)\n", port, rc);
        return 1;
    }
    auto startChar = [&] { return recv::PumpUntil([&] { return events.recv > 0; }, 30000); };
    if (what == "send" || what == "recv") {
        const bool send = what == "send";
        if (send) {
            Ready();
            if (!startChar()) std::printf("no start character\n");
        } else if (proto) {
            Ready();  // the far end starts its sender now
        }
        const double t0 = NowMs();
        const double cpu0 = recv::ProcessCpuMs();
        Start(com, send, arg);
        recv::PumpUntil([&] { return events.ended; }, 600000);
        const double ms = NowMs() - t0;
        const double cpu = recv::ProcessCpuMs() - cpu0;
        short blocks = 0;
        com->get_QcProgress(&blocks);
        std::printf("%s: end code %d, %d blocks, %.0f ms from %s to CommTransferEnd\n",
                    what.c_str(), events.end, blocks, ms, send ? "SendFile" : "RecvFile");
        std::printf("%s: CPU %.0f ms (%.1f %% of a core while it ran)\n", what.c_str(), cpu,
                    ms > 0 ? 100.0 * cpu / ms : 0.0);
        if (!send && blocks > 0 && !proto)
            std::printf(
                "recv: %.1f ms per block after the 3000 ms start pause (the bound: one block per "
                "300 ms)\n",
                (ms - 3000.0) / blocks);
    } else if (what == "idle") {
        const bool ack = std::string(arg) == "ack";
        const double base = CpuWhilePumping(5000);
        std::printf("idle open port, no transfer: %.0f ms CPU in 5 s (%.2f %% of a core)\n", base,
                    base / 50.0);
        if (ack) {
            Ready();
            if (!startChar()) std::printf("no start character\n");
        }
        Start(com, true, file);
        if (ack) recv::PumpFor(1500);  // the 500 ms pause after the start, then block 1
        const double cpu = CpuWhilePumping(10000);
        short status = 0, progress = 0;
        com->get_QcStatus(&status);
        com->get_QcProgress(&progress);
        std::printf("waiting %s: %.0f ms CPU in 10 s (%.2f %% of a core; status %d, progress %d)\n",
                    ack ? "for the answer to block 1" : "for a start character", cpu, cpu / 100.0,
                    status, progress);
        com->AbortTransfer(&rc);
        recv::PumpUntil([&] { return events.ended; }, 10000);
        std::printf("abort: end code %d\n", events.end);
    }
    com->CloseComm(&rc);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr,
                     "usage: xmodem_bench MODULE PORT send|recv FILE | idle start|ack FILE\n");
        return 2;
    }
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    HMODULE module = nullptr;
    IQLRCom* com = bench::LoadControl(argv[1], module);
    if (!com) return 1;
    const int rc = Run(com, std::atoi(argv[2]), argv[3], argv[4], argc > 5 ? argv[5] : argv[4]);
    com->Release();
    CoUninitialize();
    return rc;
}
