// Framing figures of the control in a plain C++ host, over a line under Wine:
//
//   frame_bench.exe MODULE PORT_NUMBER [MESSAGES]
//
// For each phase the far end (run-frame-bench.sh) waits for "READY <phase>
// <n>", then writes one message holding bash's $EPOCHREALTIME taken just
// before the write(2); this host takes the real-time clock inside the event
// that delivers the message (the method of recv_bench.cpp). Phases:
//   recv      the baseline: CommRecv of a line (QcNotifyRecvChars 2)
//   delimiter CommFrame of the same line, delimiter LF
//   idle5     CommFrame of a message without delimiter, ended by 5 ms of silence
//   idle20    the same with 20 ms
// Printed: p50/p99 of each, the delimiter's against the baseline, and for the
// idle phases the delivery after the gap (latency minus the gap).
#include <windows.h>
#include <oleauto.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "clock.h"
#include "load_control.h"
#include "qlrcom32_h.h"
#include "../tests/integration/recv_sink.h"

namespace {

struct Phase {
    const char* name;
    enumFrameMode mode;
    long gapMs;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: frame_bench MODULE PORT_NUMBER [MESSAGES]\n");
        return 2;
    }
    const int port = std::atoi(argv[2]);
    const int messages = argc > 3 ? std::atoi(argv[3]) : 500;
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    HMODULE module = nullptr;
    IQLRCom* com = bench::LoadControl(argv[1], module);
    if (!com) return 1;

    recv::Seen seen;
    recv::Sink sink(seen);
    {
        recv::Connection connection(com, &sink);
        if (!connection.ok()) {
            std::fprintf(stderr, "cannot connect the event sink\n");
            return 1;
        }
        std::vector<double> latencies;
        auto record = [&](const std::string& text) {
            const double now = bench::NowUnixUs();
            latencies.push_back(now - 1e6 * std::strtod(text.c_str(), nullptr));
        };
        size_t consumed = 0;
        seen.onRecv = [&] {
            const size_t end = seen.text.find(L'\n', consumed);
            if (end == std::wstring::npos) return;
            std::string line(seen.text.begin() + consumed, seen.text.begin() + end);
            consumed = end + 1;
            record(line);
        };
        seen.onFrame = [&] { record(seen.frames.back().data); };
        com->put_QcDeviceName(static_cast<enumDeviceName>(port - 1));
        com->put_QcBaudRate(Baud115200);
        com->put_QcNotifyRecvChars(2);
        com->put_QcRecvEventType(AsString);
        BSTR lf = SysAllocString(L"\n");
        com->put_QcFrameDelimiter(lf);
        SysFreeString(lf);
        const Phase phases[] = {{"recv", FrameNone, 0},
                                {"delimiter", FrameDelimiter, 0},
                                {"idle5", FrameIdleGap, 5},
                                {"idle20", FrameIdleGap, 20}};
        double baseline50 = 0, baseline99 = 0;
        for (const Phase& phase : phases) {
            com->put_QcFrameMode(phase.mode);
            com->put_QcFrameGap(phase.gapMs);
            short rc = -1;
            com->OpenComm(&rc);
            if (rc != 0) {
                std::fprintf(stderr, "OpenComm returned %d\n", rc);
                return 1;
            }
            latencies.clear();
            int lost = 0;
            for (int i = 0; i < messages; ++i) {
                const size_t before = latencies.size();
                std::printf("READY %s %d\n", phase.name, i);
                std::fflush(stdout);
                if (!recv::PumpUntil([&] { return latencies.size() > before; }, 5000)) ++lost;
            }
            com->CloseComm(&rc);
            recv::PumpFor(100);
            const double p50 = bench::Percentile(latencies, 0.50),
                         p99 = bench::Percentile(latencies, 0.99);
            std::printf("%s: %zu messages (%d not seen within 5 s): p50 %.0f us, p99 %.0f us",
                        phase.name, latencies.size(), lost, p50, p99);
            if (phase.mode == FrameNone) {
                baseline50 = p50;
                baseline99 = p99;
            } else if (phase.mode == FrameDelimiter) {
                std::printf(", against CommRecv p50 %.2f, p99 %.2f", p50 / baseline50,
                            p99 / baseline99);
            } else {
                std::printf(", after the %ld ms gap: p50 %.0f us, p99 %.0f us", phase.gapMs,
                            p50 - 1000.0 * phase.gapMs, p99 - 1000.0 * phase.gapMs);
            }
            std::printf("\n");
            std::fflush(stdout);
        }
        std::printf("DONE\n");
    }
    com->Release();
    CoUninitialize();
    return 0;
}
