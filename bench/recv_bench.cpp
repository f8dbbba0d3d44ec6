// Receive figures of the control in a plain C++ host (never activated, so
// events come through the hidden window), over a pty line under Wine:
//
//   recv_bench.exe MODULE PORT_NUMBER [MESSAGES]
//
// 1. Latency from a far-end write to CommRecv. The far end
//    (run-recv-bench.sh) waits for "READY n" on this program's output, then
//    writes one line holding bash's $EPOCHREALTIME, taken just before the
//    write(2) on an fd that is already open. This host takes
//    GetSystemTimePreciseAsFileTime inside CommRecv when the line is complete.
//    Both are the system's real-time clock (Wine reads CLOCK_REALTIME), so the
//    difference is the write-to-event latency: pty bridge, the watch thread
//    noticing the bytes, the posted message, the read and the event. Only one
//    line is in flight at a time, and the READY round trip is not measured.
//    QcNotifyRecvChars 2 with AsString makes one event read the whole line.
// 2. CPU time of this process (GetProcessTimes: all its threads, not the
//    wineserver) with the port open and idle for 10 s while pumping messages.
// 3. CPU time while a counted read waits 5 s (QcRecvTimeOut 5000) for bytes
//    that never come.
// Figures are printed, nothing is asserted.
#include <windows.h>
#include <oleauto.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "clock.h"
#include "load_control.h"
#include "../tests/integration/port_name.h"
#include "qlrcom32_h.h"
#include "../tests/integration/recv_sink.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: recv_bench MODULE PORT_NUMBER [MESSAGES]\n");
        return 2;
    }
    const int port = std::atoi(argv[2]);
    const int messages = argc > 3 ? std::atoi(argv[3]) : 1000;
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    HMODULE module = nullptr;
    IQLRCom* com = bench::LoadControl(argv[1], module);
    if (!com) return 1;

    recv::Seen seen;
    recv::Sink sink(seen);
    std::vector<double> latencies;
    int lost = 0;
    {
        recv::Connection connection(com, &sink);
        if (!connection.ok()) {
            std::fprintf(stderr, "cannot connect the event sink\n");
            return 1;
        }
        // A complete line in seen.text: its latency, taken inside the event.
        size_t consumed = 0;
        seen.onRecv = [&] {
            const size_t end = seen.text.find(L'\n', consumed);
            if (end == std::wstring::npos) return;
            const double now = bench::NowUnixUs();
            const std::wstring line = seen.text.substr(consumed, end - consumed);
            consumed = end + 1;
            const double sent = 1e6 * std::wcstod(line.c_str(), nullptr);
            latencies.push_back(now - sent);
        };
        short rc = -1;
        SelectPort(com, port);
        com->put_QcBaudRate(Baud115200);
        com->put_QcNotifyRecvChars(2);
        com->put_QcRecvEventType(AsString);
        com->OpenComm(&rc);
        if (rc != 0) {
            std::fprintf(stderr, "OpenComm returned %d\n", rc);
            return 1;
        }
        for (int i = 0; i < messages; ++i) {
            const size_t before = latencies.size();
            std::printf("READY %d\n", i);
            std::fflush(stdout);
            if (!recv::PumpUntil([&] { return latencies.size() > before; }, 5000)) ++lost;
        }
        std::printf("DONE latency\n");
        std::fflush(stdout);
        seen.onRecv = nullptr;

        const double idle0 = recv::ProcessCpuMs();
        const ULONGLONG w0 = GetTickCount64();
        recv::PumpFor(10000);
        const double idleCpu = recv::ProcessCpuMs() - idle0;
        const double idleWall = double(GetTickCount64() - w0);

        com->put_QcRecvTimeOut(5000);
        const double read0 = recv::ProcessCpuMs();
        const ULONGLONG r0 = GetTickCount64();
        BSTR nothing = nullptr;
        com->RecvString(10, &nothing);
        const double readCpu = recv::ProcessCpuMs() - read0;
        const double readWall = double(GetTickCount64() - r0);
        const UINT got = SysStringLen(nothing);
        SysFreeString(nothing);
        com->CloseComm(&rc);

        const double minimum =
            latencies.empty() ? 0 : *std::min_element(latencies.begin(), latencies.end());
        const double maximum =
            latencies.empty() ? 0 : *std::max_element(latencies.begin(), latencies.end());
        std::printf(
            "far-end write to CommRecv, %zu lines (%d not seen within 5 s): p50 %.0f us, p99 %.0f "
            "us, "
            "min %.0f us, max %.0f us\n",
            latencies.size(), lost, bench::Percentile(latencies, 0.50),
            bench::Percentile(latencies, 0.99), minimum, maximum);
        std::printf("open idle port, %.0f ms pumping messages: CPU %.1f ms (%.2f %% of a core)\n",
                    idleWall, idleCpu, 100.0 * idleCpu / idleWall);
        std::printf(
            "counted read waiting %.0f ms for bytes that never come (%u chars, CommError %d): CPU "
            "%.1f ms "
            "(%.2f %% of a core)\n",
            readWall, got, seen.errors.empty() ? 0 : seen.errors.back(), readCpu,
            100.0 * readCpu / readWall);
    }
    com->Release();
    CoUninitialize();
    return 0;
}
