// The sender's reaction to an answer, on the fake platform with Windows'
// semantics (OpenComm's time-outs make reads return 0 bytes at once; sleeps
// are rounded up to the 15.6 ms timer tick): from the arrival of each ACK to
// the first byte of the next block, over many blocks of 128 and 1024 bytes.
// Baselines measured in the same run: the wake-up of a thread waiting on an
// event (the least any event-driven answer wait can take) and one Sleep(1)
// under the same semantics (what a polling answer wait pays per look).
//   xmodem_latency_bench.exe [BLOCKS]
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include "tests/unit/fake_platform.h"
#include "port/open_port.h"
#include "xmodem/engine.h"

namespace {

using namespace qlr;
using namespace qlr::xmodem;

double Now() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

class MemoryFile final : public File {
public:
    explicit MemoryFile(size_t size) : left_(size) {}
    bool Read(unsigned char* buffer, DWORD want, DWORD& got) override {
        got = static_cast<DWORD>(std::min<size_t>(want, left_));
        std::fill(buffer, buffer + got, static_cast<unsigned char>(0x55));
        left_ -= got;
        return true;
    }
    bool Write(const unsigned char*, DWORD) override { return true; }

private:
    size_t left_;
};

class Files final : public FileSystem {
public:
    explicit Files(size_t size) : size_(size) {}
    std::unique_ptr<File> OpenForReading(const wchar_t*) override {
        return std::make_unique<MemoryFile>(size_);
    }
    std::unique_ptr<File> CreateForWriting(const wchar_t*) override { return nullptr; }

private:
    size_t size_;
};

struct Figures {
    double median = 0, worst = 0;
    long code = -1;
};

// Sends blocks x size bytes; a peer thread answers each complete block with
// ACK after 2 ms and notes when the next block's first byte is written.
Figures Measure(DWORD size, int blocks) {
    test::FakePlatformScope scope;
    test::FakePlatform& fake = scope.fake;
    fake.SetWindowsSemantics(true);
    const HANDLE port = fake.CreateFileA("COM1", GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
                                         FILE_FLAG_OVERLAPPED);
    COMMTIMEOUTS openComm{MAXDWORD, 0, 0, 0, 5000};
    fake.SetCommTimeouts(port, &openComm);
    port::IoRecord read, write;
    read.Create(fake, port::kTransferIoBytes);
    write.Create(fake, port::kTransferIoBytes);
    const HANDLE blockDone = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);

    const size_t frame = 3 + size + 2;
    std::atomic<double> ackAt{0};
    std::vector<double> latencies;
    size_t pending = 0;
    fake.SetPeer([&](const unsigned char* bytes, DWORD count) -> std::string {
        if (pending == 0 && (bytes[0] == kSoh || bytes[0] == kStx) && ackAt.load() > 0)
            latencies.push_back(Now() - ackAt.load());
        if (count == 1 && bytes[0] == kEot) return std::string(1, static_cast<char>(kAck));
        pending += count;
        if (pending >= frame) {
            pending = 0;
            ::SetEvent(blockDone);
        }
        return {};
    });
    std::atomic<bool> stop{false};
    std::thread peer([&] {
        while (!stop.load()) {
            if (::WaitForSingleObject(blockDone, 100) != WAIT_OBJECT_0) continue;
            ::Sleep(2);
            ackAt = Now();
            fake.Receive(std::string(1, static_cast<char>(kAck)));
        }
    });
    Files files(static_cast<size_t>(size) * blocks);
    XModemEngine engine(files);
    std::atomic<short> status{0}, progress{0}, abort{0};
    fake.Receive("C");
    Figures f;
    qlr::port::LocalDevice device(port);
    f.code = engine.Send(device, L"x", read, write, status, progress,
                         size == kLargeBlock ? kXModem1K : kXModemCrc, abort, 0);
    device.Release();  // the fake's handle, left open as the fake expects
    stop = true;
    peer.join();
    std::sort(latencies.begin(), latencies.end());
    if (!latencies.empty()) {
        f.median = latencies[latencies.size() / 2];
        f.worst = latencies.back();
    }
    ::CloseHandle(blockDone);
    return f;
}

double EventWake(int rounds) {
    const HANDLE go = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    const HANDLE back = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    std::vector<double> wakes;
    std::atomic<double> setAt{0};
    std::thread waiter([&] {
        for (int i = 0; i < rounds; ++i) {
            ::WaitForSingleObject(go, INFINITE);
            wakes.push_back(Now() - setAt.load());
            ::SetEvent(back);
        }
    });
    for (int i = 0; i < rounds; ++i) {
        ::Sleep(2);
        setAt = Now();
        ::SetEvent(go);
        ::WaitForSingleObject(back, INFINITE);
    }
    waiter.join();
    ::CloseHandle(go);
    ::CloseHandle(back);
    std::sort(wakes.begin(), wakes.end());
    return wakes[wakes.size() / 2];
}

double TickSleep() {
    test::FakePlatformScope scope;
    scope.fake.SetWindowsSemantics(true);
    const double begun = Now();
    for (int i = 0; i < 10; ++i) scope.fake.Sleep(1);
    return (Now() - begun) / 10;
}

}  // namespace

int main(int argc, char** argv) {
    const int blocks = argc > 1 ? std::atoi(argv[1]) : 200;
    const double wake = EventWake(200);
    const double tick = TickSleep();
    std::printf(
        "baseline: an event wakes a waiting thread in %.3f ms (median); one Sleep(1) with the "
        "timer tick takes %.1f ms\n",
        wake, tick);
    for (DWORD size : {kSmallBlock, kLargeBlock}) {
        const Figures f = Measure(size, blocks);
        std::printf(
            "%4lu-byte blocks, %d of them (end code %ld): ACK to next block %.3f ms median, %.3f "
            "ms "
            "worst; %.1fx the event wake-up, %.3f of one timer tick\n",
            static_cast<unsigned long>(size), blocks, f.code, f.median, f.worst,
            wake > 0 ? f.median / wake : 0.0, f.median / tick);
    }
    return 0;
}
