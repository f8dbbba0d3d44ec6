// The debug trace channel: what reaches the two outside ends and in which
// order, the real qlrshm32.dll and its shared ring, a viewer window that is
// told synchronously, a hung viewer, and the viewer program itself.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "control/automation/state.h"
#include "tools/trace/trace_format.h"
#include "tools/trace/trace_shm.h"
#include "transfer/trace.h"

namespace qlr::test {
namespace {

using trace::Direction;
using trace_shm::Record;

// Records what the channel asks of its ends.
class RecordingEndpoints final : public trace::Endpoints {
public:
    bool libraryPresent = true;
    HWND viewer = nullptr;
    std::vector<std::string> calls;
    const unsigned char* data = nullptr;
    LONG length = -1;
    LONG direction = 0;

    bool SetSharedMem(const unsigned char* d, LONG n, LONG dir) override {
        calls.push_back("SetSharedMem");
        data = d;
        length = n;
        direction = dir;
        return libraryPresent;
    }
    HWND FindViewer() override {
        calls.push_back("FindViewer");
        return viewer;
    }
    void NotifyViewer(HWND w) override {
        calls.push_back(w == viewer ? "NotifyViewer(found)" : "NotifyViewer(other)");
    }
};

class Installed {
public:
    explicit Installed(trace::Endpoints* e) { trace::InstallEndpoints(e); }
    ~Installed() { trace::InstallEndpoints(nullptr); }
    Installed(const Installed&) = delete;
    Installed& operator=(const Installed&) = delete;
};

using Calls = std::vector<std::string>;

// A text that no other process writes: this process's id and a counter.
std::vector<unsigned char> UniqueBytes(const char* tag) {
    static int counter = 0;
    std::string s = std::string(tag) + ":" + std::to_string(GetCurrentProcessId()) + ":" +
                    std::to_string(++counter) + "\r\n";
    return std::vector<unsigned char>(s.begin(), s.end());
}

const Record* FindRecord(const std::vector<Record>& records,
                         const std::vector<unsigned char>& bytes) {
    for (const auto& r : records)
        if (r.processId == GetCurrentProcessId() && r.bytes == bytes) return &r;
    return nullptr;
}

std::string OwnDirectory() {
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string s(path, n);
    return s.substr(0, s.find_last_of("\\/") + 1);
}

class Event {
public:
    Event() : h_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~Event() { CloseHandle(h_); }
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;
    HANDLE get() const { return h_; }

private:
    HANDLE h_;
};

// A window of the given class on a thread of its own. The thread either
// pumps messages (a live viewer, which takes the new records from the shared
// ring on WM_USER) or, when hung, waits for release without pumping.
class WindowThread {
public:
    WindowThread(const char* className, bool hung) : className_(className), hung_(hung) {
        thread_ = CreateThread(nullptr, 0, &WindowThread::Main, this, 0, nullptr);
        if (thread_) WaitForSingleObject(ready_.get(), 10000);
    }
    ~WindowThread() {
        SetEvent(release_.get());
        if (HWND w = window_.load()) PostMessageA(w, WM_CLOSE, 0, 0);
        if (thread_) {
            WaitForSingleObject(thread_, 10000);
            CloseHandle(thread_);
        }
    }
    WindowThread(const WindowThread&) = delete;
    WindowThread& operator=(const WindowThread&) = delete;

    HWND window() const { return window_.load(); }
    int handled() const { return handled_.load(); }
    // Valid once the thread has ended (Stop).
    const std::vector<Record>& records() const { return records_; }
    void Stop() {
        SetEvent(release_.get());
        if (HWND w = window_.load()) PostMessageA(w, WM_CLOSE, 0, 0);
        if (thread_) WaitForSingleObject(thread_, 10000);
    }

private:
    static LRESULT CALLBACK Proc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
        auto* self = reinterpret_cast<WindowThread*>(GetWindowLongPtrA(w, GWLP_USERDATA));
        if (msg == WM_USER && self) {
            self->reader_->Take(self->records_);
            self->handled_.fetch_add(1);
            return 0;
        }
        if (msg == WM_DESTROY) PostQuitMessage(0);
        return DefWindowProcA(w, msg, wp, lp);
    }

    static DWORD WINAPI Main(void* arg) {
        auto* self = static_cast<WindowThread*>(arg);
        trace_shm::Mapping mapping;
        trace_shm::Reader reader(mapping.get());
        self->reader_ = &reader;
        WNDCLASSA wc{};
        wc.lpfnWndProc = &WindowThread::Proc;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = self->className_;
        RegisterClassA(&wc);  // may exist from an earlier test
        HWND w = CreateWindowExA(0, self->className_, "", WS_OVERLAPPED, 0, 0, 10, 10, nullptr,
                                 nullptr, wc.hInstance, nullptr);
        if (w) SetWindowLongPtrA(w, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        self->window_.store(w);
        SetEvent(self->ready_.get());
        if (!w) return 1;
        if (self->hung_) {
            WaitForSingleObject(self->release_.get(), 30000);
            DestroyWindow(w);
            return 0;
        }
        MSG m;
        while (GetMessageA(&m, nullptr, 0, 0) > 0) DispatchMessageA(&m);
        self->reader_ = nullptr;
        return 0;
    }

    const char* className_;
    bool hung_;
    Event ready_, release_;
    HANDLE thread_ = nullptr;
    std::atomic<HWND> window_{nullptr};
    std::atomic<int> handled_{0};
    trace_shm::Reader* reader_ = nullptr;
    std::vector<Record> records_;
};

TEST(TraceChannel, OffReachesNeitherEnd) {
    RecordingEndpoints ends;
    Installed installed(&ends);
    ControlState state;  // QcDebugTrace defaults to off
    const unsigned char bytes[] = {'A', 'B'};
    trace::Sent(state, bytes, 2);
    trace::Received(state, bytes, 2);
    EXPECT_TRUE(ends.calls.empty());
}

TEST(TraceChannel, SentRunGoesToTheLibraryAndNoMessageWithoutViewer) {
    RecordingEndpoints ends;
    Installed installed(&ends);
    ControlState state;
    state.QcDebugTrace = 1;
    const unsigned char bytes[] = {'A', 'B', 0x0D, 0x0A};
    trace::Sent(state, bytes, sizeof bytes);
    EXPECT_EQ(ends.calls, (Calls{"SetSharedMem", "FindViewer"}));
    EXPECT_EQ(ends.data, bytes);
    EXPECT_EQ(ends.length, 4);
    EXPECT_EQ(ends.direction, 115);
}

TEST(TraceChannel, ReceivedRunIsRecordedBeforeTheViewerIsTold) {
    RecordingEndpoints ends;
    ends.viewer = reinterpret_cast<HWND>(static_cast<INT_PTR>(0x1234));
    Installed installed(&ends);
    ControlState state;
    state.QcDebugTrace = VARIANT_TRUE;  // any nonzero value is on
    const unsigned char bytes[] = {'x', 'y', 'z'};
    trace::Received(state, bytes, 2);
    EXPECT_EQ(ends.calls, (Calls{"SetSharedMem", "FindViewer", "NotifyViewer(found)"}));
    EXPECT_EQ(ends.length, 2);
    EXPECT_EQ(ends.direction, 114);
}

TEST(TraceChannel, EmptyRunIsStillARecordAndSwitchingOffActsAtOnce) {
    RecordingEndpoints ends;
    Installed installed(&ends);
    ControlState state;
    state.QcDebugTrace = 1;
    trace::Record(state, Direction::kSent, nullptr, 0);
    EXPECT_EQ(ends.length, 0);
    state.QcDebugTrace = 0;
    trace::Record(state, Direction::kSent, nullptr, 0);
    EXPECT_EQ(ends.calls, (Calls{"SetSharedMem", "FindViewer"}));
}

TEST(TraceChannel, WithoutTheLibraryTheViewerIsNotLookedFor) {
    RecordingEndpoints ends;
    ends.libraryPresent = false;
    ends.viewer = reinterpret_cast<HWND>(static_cast<INT_PTR>(0x1234));
    Installed installed(&ends);
    ControlState state;
    state.QcDebugTrace = 1;
    const unsigned char b = 'A';
    trace::Sent(state, &b, 1);
    EXPECT_EQ(ends.calls, (Calls{"SetSharedMem"}));
}

// Real library lookup of a file that is not there, real window functions counted.
class MissingLibraryEndpoints final : public trace::Win32Endpoints {
public:
    MissingLibraryEndpoints() : Win32Endpoints(OwnDirectory() + "no-such-dir\\qlrshm32.dll") {}
    int finds = 0;
    HWND FindViewer() override {
        ++finds;
        return nullptr;
    }
};

TEST(TraceChannel, MissingLibraryIsQuietAndLeavesTheErrorModeAsItWas) {
    MissingLibraryEndpoints ends;
    Installed installed(&ends);
    ControlState state;
    state.QcDebugTrace = 1;
    const DWORD modeBefore = GetThreadErrorMode();
    const unsigned char bytes[] = {'A', 'B'};
    EXPECT_FALSE(ends.SetSharedMem(bytes, 2, 115));
    trace::Sent(state, bytes, 2);
    trace::Received(state, bytes, 2);
    EXPECT_EQ(ends.finds, 0);
    EXPECT_EQ(GetThreadErrorMode(), modeBefore);
    EXPECT_EQ(GetModuleHandleA("qlrshm32.dll"), nullptr);
}

TEST(TraceLibrary, RecordReadsBackFromTheSharedMemory) {
    trace_shm::Mapping mapping;  // keeps the section while the library comes and goes
    ASSERT_TRUE(mapping);
    trace_shm::Reader reader(mapping.get());
    ControlState state;
    state.QcDebugTrace = 1;
    const auto sent = UniqueBytes("sent");
    const auto received = UniqueBytes("recv");
    trace::Sent(state, sent.data(), sent.size());
    trace::Received(state, received.data(), received.size() - 2);  // without the line end

    std::vector<Record> records;
    reader.Take(records);
    const Record* s = FindRecord(records, sent);
    ASSERT_NE(s, nullptr) << "the sent record was not published";
    EXPECT_EQ(s->direction, 115);
    EXPECT_EQ(s->length, static_cast<int32_t>(sent.size()));
    const Record* r =
        FindRecord(records, std::vector<unsigned char>(received.begin(), received.end() - 2));
    ASSERT_NE(r, nullptr) << "the received record was not published";
    EXPECT_EQ(r->direction, 114);
    EXPECT_EQ(r->length, static_cast<int32_t>(received.size() - 2));
    EXPECT_LT(s->sequence, r->sequence);
    // Loaded once, by its full path beside the module, and kept: the shared
    // section is not made anew for every record.
    EXPECT_NE(GetModuleHandleA("qlrshm32.dll"), nullptr);
}

TEST(TraceLibrary, OversizedRecordKeepsItsLengthAndFirstBytes) {
    trace_shm::Mapping mapping;
    ASSERT_TRUE(mapping);
    trace_shm::Reader reader(mapping.get());
    std::vector<unsigned char> big(trace_shm::kSlotBytes + 100);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<unsigned char>(i * 7);
    const auto mark = UniqueBytes("big");
    std::memcpy(big.data(), mark.data(), mark.size());
    trace::Win32Endpoints ends;
    ASSERT_TRUE(ends.SetSharedMem(big.data(), static_cast<LONG>(big.size()), 114));
    std::vector<Record> records;
    reader.Take(records);
    const std::vector<unsigned char> kept(big.begin(), big.begin() + trace_shm::kSlotBytes);
    const Record* r = FindRecord(records, kept);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->length, static_cast<int32_t>(big.size()));
    auto lines = trace_format::Lines(*r, 0, 0, 0, 0);
    EXPECT_EQ(lines.back(), "  (100 more bytes not kept)");
}

TEST(TraceLibrary, ReaderThatFallsBehindCountsTheLostAndKeepsTheNewestInOrder) {
    trace_shm::Mapping mapping;
    ASSERT_TRUE(mapping);
    trace_shm::Reader reader(mapping.get());
    HMODULE lib = LoadLibraryA((OwnDirectory() + "qlrshm32.dll").c_str());
    ASSERT_NE(lib, nullptr);
    auto fn = reinterpret_cast<trace::SetSharedMemFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(lib, "SetSharedMem")));
    ASSERT_NE(fn, nullptr);
    std::vector<std::vector<unsigned char>> written;
    for (uint32_t i = 0; i < trace_shm::kSlotCount + 5; ++i) {
        written.push_back(UniqueBytes("ring"));
        EXPECT_NE(fn(written.back().data(), static_cast<long>(written.back().size()), 115), 0);
    }
    FreeLibrary(lib);

    std::vector<Record> records;
    uint32_t lost = reader.Take(records);
    EXPECT_GE(lost, 5u);
    EXPECT_LE(records.size(), trace_shm::kSlotCount);
    EXPECT_NE(FindRecord(records, written.back()), nullptr);
    EXPECT_EQ(FindRecord(records, written.front()), nullptr);
    for (size_t i = 1; i < records.size(); ++i)
        EXPECT_LT(records[i - 1].sequence, records[i].sequence);
    // Nothing is handed out twice.
    std::vector<Record> again;
    EXPECT_EQ(reader.Take(again), 0u);
    EXPECT_EQ(FindRecord(again, written.back()), nullptr);
}

// Every use of a real window of class "QLRTRACE" is in this one test, so
// that test processes running side by side never find each other's viewer.
TEST(TraceViewer, ViewerWindowAndViewerProgramAreToldSynchronously) {
    ControlState state;
    state.QcDebugTrace = 1;
    {
        WindowThread viewer(trace::kViewerClass, /*hung=*/false);
        ASSERT_NE(viewer.window(), nullptr) << "no window could be created";
        ASSERT_EQ(FindWindowA(trace::kViewerClass, nullptr), viewer.window());
        const auto bytes = UniqueBytes("viewer");
        trace::Sent(state, bytes.data(), bytes.size());
        // Handled before the send returned, not some time later.
        EXPECT_EQ(viewer.handled(), 1);
        viewer.Stop();
        const Record* r = FindRecord(viewer.records(), bytes);
        ASSERT_NE(r, nullptr) << "the viewer did not find the record when told of it";
        EXPECT_EQ(r->direction, 115);
        EXPECT_EQ(r->length, static_cast<int32_t>(bytes.size()));
    }

    // The viewer program: started, told of two records, shows them.
    std::string exe = OwnDirectory() + "..\\qlrtrace.exe";
    ASSERT_NE(GetFileAttributesA(exe.c_str()), INVALID_FILE_ATTRIBUTES) << exe;
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(CreateProcessA(exe.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &si, &pi));
    struct Process {
        PROCESS_INFORMATION& pi;
        ~Process() {
            if (WaitForSingleObject(pi.hProcess, 10000) != WAIT_OBJECT_0)
                TerminateProcess(pi.hProcess, 1);
            CloseHandle(pi.hThread);
            CloseHandle(pi.hProcess);
        }
    } process{pi};
    ASSERT_EQ(WaitForInputIdle(pi.hProcess, 20000), 0u);
    HWND wnd = FindWindowA(trace::kViewerClass, nullptr);
    ASSERT_NE(wnd, nullptr);
    DWORD owner = 0;
    GetWindowThreadProcessId(wnd, &owner);
    EXPECT_EQ(owner, pi.dwProcessId);
    HWND list = FindWindowExA(wnd, nullptr, "LISTBOX", nullptr);
    ASSERT_NE(list, nullptr);
    const auto bytes = UniqueBytes("program");
    trace::Sent(state, bytes.data(), bytes.size());
    trace::Received(state, bytes.data(), 2);
    // Each record: a heading and one row of bytes (another test process may add more).
    DWORD_PTR count = 0;
    ASSERT_TRUE(SendMessageTimeoutA(list, LB_GETCOUNT, 0, 0, SMTO_ABORTIFHUNG, 5000, &count));
    EXPECT_GE(count, 4u);
    PostMessageA(wnd, WM_CLOSE, 0, 0);
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, 10000), WAIT_OBJECT_0);
}

// Found through its own class, so that no other test finds it.
class HungViewerEndpoints final : public trace::Win32Endpoints {
public:
    explicit HungViewerEndpoints(HWND w) : w_(w) {}
    HWND FindViewer() override { return w_; }

private:
    HWND w_;
};

TEST(TraceViewer, HungViewerDelaysTheHostOnlyBoundedly) {
    WindowThread hung("QLRTRACE_TEST_HUNG", /*hung=*/true);
    ASSERT_NE(hung.window(), nullptr);
    HungViewerEndpoints ends(hung.window());
    Installed installed(&ends);
    ControlState state;
    state.QcDebugTrace = 1;
    const unsigned char b = 'A';
    const ULONGLONG start = GetTickCount64();
    trace::Sent(state, &b, 1);
    const ULONGLONG elapsed = GetTickCount64() - start;
    EXPECT_LT(elapsed, trace::kViewerTimeoutMs + 3000u);
    EXPECT_EQ(hung.handled(), 0);
}

TEST(TraceFormat, RowShowsHexPaddedAndPrintableText) {
    const unsigned char bytes[] = {'A', 'B', 0x0D, 0x0A, 0x7F, 0x80, ' '};
    const std::string shortRow = trace_format::Row(bytes, sizeof bytes, 0x20);
    EXPECT_EQ(shortRow.substr(0, 29), "  0020  41 42 0D 0A 7F 80 20 ");
    // The text column stands where it stands in a full row.
    unsigned char full[16];
    std::memset(full, '-', sizeof full);
    const std::string fullRow = trace_format::Row(full, sizeof full, 0);
    ASSERT_EQ(fullRow.size(), shortRow.size() - 7 + 16);
    EXPECT_EQ(fullRow.substr(fullRow.size() - 16), std::string(16, '-'));
    EXPECT_EQ(shortRow.substr(fullRow.size() - 16), "AB.... ");
    Record r;
    r.direction = 114;
    r.length = 17;
    r.processId = 7;
    r.bytes.assign(17, 'z');
    auto lines = trace_format::Lines(r, 1, 2, 3, 4);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "01:02:03.004  recv  17 bytes  (process 7)");
    EXPECT_EQ(lines[2].substr(0, 11), "  0010  7A ");
}

}  // namespace
}  // namespace qlr::test
