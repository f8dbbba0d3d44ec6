// recv_events: receiving through the registered control in a plain C++ host
// that never activates it, over a pty line without modem emulation.
//
//   recv_events.exe PORT_NUMBER PATTERN_FILE
//
// The far end is the shell (t_recv_events.sh). Before each step that needs
// bytes the host prints "READY <step>" and the shell writes that step's bytes
// to the far end; the host then reads or pumps messages, always with a
// deadline. PATTERN_FILE receives the 64 KiB burst pattern that the shell
// sends back in the last step. Prints one line per check and a summary; the
// exit status is the number of failures (capped at 100).
#include <windows.h>
#include <oleauto.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "frame_stream.h"
#include "host_check.h"
#include "port_name.h"
#include "qlrcom32_h.h"
#include "recv_sink.h"

namespace {

using hostcheck::Check;
using hostcheck::failed;
using hostcheck::passed;

// Milliseconds since it was made.
class Stopwatch {
public:
    Stopwatch() { QueryPerformanceCounter(&start_); }
    double Ms() const {
        LARGE_INTEGER now, frequency;
        QueryPerformanceCounter(&now);
        QueryPerformanceFrequency(&frequency);
        return 1000.0 * double(now.QuadPart - start_.QuadPart) / double(frequency.QuadPart);
    }

private:
    LARGE_INTEGER start_;
};

void Ready(const char* step) {
    std::printf("READY %s\n", step);
    std::fflush(stdout);
}

std::string Hex(const std::wstring& s, size_t limit = 24) {
    std::string out;
    char buf[8];
    for (size_t i = 0; i < s.size() && i < limit; ++i) {
        std::snprintf(buf, sizeof buf, "%s%04X", i ? " " : "", static_cast<unsigned>(s[i]));
        out += buf;
    }
    if (s.size() > limit) out += " ...";
    return "[" + out + "]";
}

std::string Hex(const std::vector<unsigned char>& b, size_t limit = 24) {
    std::string out;
    char buf[8];
    for (size_t i = 0; i < b.size() && i < limit; ++i) {
        std::snprintf(buf, sizeof buf, "%s%02X", i ? " " : "", b[i]);
        out += buf;
    }
    if (b.size() > limit) out += " ...";
    return "[" + out + "]";
}

std::string Types(const std::vector<VARTYPE>& types) {
    std::string s;
    for (VARTYPE t : types) s += (s.empty() ? "" : ",") + std::to_string(t);
    return "[" + s + "]";
}

std::wstring Take(BSTR b) {
    std::wstring s = b ? std::wstring(b, SysStringLen(b)) : std::wstring();
    SysFreeString(b);
    return s;
}

// The 64 KiB burst: xorshift bytes, every value, no period a lost or repeated
// block could hide behind.
std::vector<unsigned char> Pattern() {
    std::vector<unsigned char> p(65536);
    unsigned x = 2463534242u;
    for (auto& b : p) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<unsigned char>(x >> 11);
    }
    return p;
}

// Reads and discards whatever is queued, so that each step starts empty.
void Drain(IQLRCom* com) {
    BSTR rest = nullptr;
    com->RecvString(0, &rest);
    SysFreeString(rest);
}

void Reset(recv::Seen& seen) {
    seen.commRecv = seen.commRecvVar = seen.otherThread = 0;
    seen.text.clear();
    seen.bytes.clear();
    seen.varTypes.clear();
    seen.errors.clear();
}

IQLRCom* CreateControl() {
    IQLRCom* com = nullptr;
    const HRESULT hr = CoCreateInstance(CLSID_QLRCom, nullptr, CLSCTX_INPROC_SERVER, IID_IQLRCom,
                                        reinterpret_cast<void**>(&com));
    Check(hr == S_OK && com, "the registered control is created");
    return com;
}

int Run(int port, const char* patternPath) {
    IQLRCom* com = CreateControl();
    if (!com) return 1;
    recv::Seen seen;
    recv::Sink sink(seen);
    int result = 0;
    {
        recv::Connection connection(com, &sink);
        Check(connection.ok(), "an event sink connects to _QLREvents");
        short rc = -1;
        // The receive settings of the event steps are in force from OpenComm:
        // each step opens the port with its own.
        auto reopen = [&](long notifyChars, enumRecvEventType type) {
            short closed = 0;
            com->CloseComm(&closed);
            com->put_QcNotifyRecvChars(notifyChars);
            com->put_QcRecvEventType(type);
            short opened = -1;
            const Stopwatch open;
            com->OpenComm(&opened);
            if (opened != 0)
                std::printf("OpenComm returned %d (minor %ld) after %.0f ms\n", opened,
                            seen.lastErrorMinor, open.Ms());
            return opened == 0;
        };
        SelectPort(com, port);
        com->put_QcBaudRate(Baud115200);
        com->put_QcNotifyRecvChars(-1);
        com->put_QcRecvTimeOut(5000);
        com->OpenComm(&rc);
        Check(rc == 0, "OpenComm returns 0 (" + std::to_string(rc) + ")");
        if (rc != 0) {
            com->Release();
            return 1;
        }

        // Every byte value through RecvString.
        Reset(seen);
        Ready("bytes");
        std::wstring all = Take([&] {
            BSTR b = nullptr;
            com->RecvString(256, &b);
            return b;
        }());
        bool same = all.size() == 256;
        for (size_t i = 0; same && i < 256; ++i) same = all[i] == static_cast<wchar_t>(i);
        Check(same, "RecvString(256) gives U+0000..U+00FF for bytes 00..FF (length " +
                        std::to_string(all.size()) + ", " + Hex(all, 8) + ")");
        Check(seen.errors.empty(),
              "no CommError during the read (" + std::to_string(seen.errors.size()) + ")");

        // Two bytes, low first, make one character.
        Ready("unicode");
        std::wstring u = Take([&] {
            BSTR b = nullptr;
            com->RecvUnicodeString(2, &b);
            return b;
        }());
        Check(u == L"\u3042", "RecvUnicodeString(2) of 42 30 is U+3042 (" + Hex(u) + ")");

        // A counted read with nothing coming ends at the receive time-out.
        Reset(seen);
        com->put_QcRecvTimeOut(300);
        const Stopwatch read;
        std::wstring none = Take([&] {
            BSTR b = nullptr;
            com->RecvString(10, &b);
            return b;
        }());
        const double ms = read.Ms();
        std::printf("counted read with QcRecvTimeOut 300 and no bytes took %.1f ms\n", ms);
        Check(seen.errors.size() == 1 && seen.errors[0] == 115,
              "the timed-out read reports CommError 115 once (" +
                  std::to_string(seen.errors.size()) + " errors" +
                  (seen.errors.empty() ? std::string()
                                       : ", first " + std::to_string(seen.errors[0])) +
                  ")");
        Check(none.empty(),
              "the timed-out read returns no characters (" + std::to_string(none.size()) + ")");
        Check(ms >= 250 && ms <= 800,
              "the time-out fires after about 300 ms (" + std::to_string(ms) + " ms)");
        com->put_QcRecvTimeOut(5000);

        // Events, one per byte, as strings.
        const std::wstring text(L"ab\u0000\u00E9\u007F\r\nz", 8);  // the shell writes these 8 bytes
        Reset(seen);
        Check(reopen(1, AsString), "the port reopens with QcNotifyRecvChars 1, AsString");
        Ready("asstring");
        recv::PumpUntil([&] { return seen.text.size() >= text.size(); }, 10000);
        recv::PumpFor(300);  // anything more would be a duplicate
        Check(seen.text == text, "CommRecv strings, concatenated, are what the far end wrote (" +
                                     Hex(seen.text) + ", want " + Hex(text) + ")");
        Check(seen.commRecvVar == 0,
              "AsString fires no CommRecvVar (" + std::to_string(seen.commRecvVar) + ")");
        Check(seen.otherThread == 0, "every event arrives on the host's thread");

        // Events as binary variants.
        const std::vector<unsigned char> binary = {0x01, 0x00, 0xFE, 0xFF, 0x41, 0x0A};
        Reset(seen);
        Check(reopen(1, AsVariantBinary),
              "the port reopens with QcNotifyRecvChars 1, AsVariantBinary");
        Ready("binary");
        recv::PumpUntil([&] { return seen.bytes.size() >= binary.size(); }, 10000);
        recv::PumpFor(300);
        Check(seen.bytes == binary,
              "CommRecvVar bytes, concatenated, are what the far end wrote (" + Hex(seen.bytes) +
                  ", want " + Hex(binary) + "; variant types " + Types(seen.varTypes) + ")");
        Check(seen.commRecv == 0,
              "AsVariantBinary fires no CommRecv (" + std::to_string(seen.commRecv) + ")");

        // No receive event at all with QcNotifyRecvChars -1, in either form.
        for (enumRecvEventType type : {AsString, AsVariantBinary}) {
            const std::string name = type == AsString ? "AsString" : "AsVariantBinary";
            Reset(seen);
            Check(reopen(-1, type), "the port reopens with QcNotifyRecvChars -1, " + name);
            Ready(type == AsString ? "none-string" : "none-binary");
            short queued = 0;
            const bool arrived = recv::PumpUntil(
                [&] {
                    com->get_QcInBufferCount(&queued);
                    return queued >= 6;
                },
                10000);
            recv::PumpFor(300);
            Check(arrived, "with QcNotifyRecvChars -1 (" + name + ") the 6 bytes are queued (" +
                               std::to_string(queued) + ")");
            Check(seen.commRecv == 0 && seen.commRecvVar == 0,
                  "with QcNotifyRecvChars -1 (" + name + ") no receive event fires (CommRecv " +
                      std::to_string(seen.commRecv) + ", CommRecvVar " +
                      std::to_string(seen.commRecvVar) + ")");
            Drain(com);
        }

        // A 64 KiB burst, one event per byte.
        const std::vector<unsigned char> pattern = Pattern();
        HANDLE file =
            CreateFileA(patternPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD written = 0;
        const bool wrote = file != INVALID_HANDLE_VALUE &&
                           WriteFile(file, pattern.data(), static_cast<DWORD>(pattern.size()),
                                     &written, nullptr) &&
                           written == pattern.size();
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
        Check(wrote, "the burst pattern is written for the far end");
        Reset(seen);
        seen.bytes.reserve(pattern.size());
        Check(reopen(1, AsVariantBinary), "the port reopens for the burst");
        const Stopwatch burst;
        Ready("burst");
        recv::PumpUntil([&] { return seen.bytes.size() >= pattern.size(); }, 120000);
        const double burstMs = burst.Ms();
        recv::PumpFor(500);
        std::printf("burst: %zu bytes in %d events, %.0f ms after READY\n", seen.bytes.size(),
                    seen.commRecvVar, burstMs);
        size_t firstDiff = 0;
        while (firstDiff < seen.bytes.size() && firstDiff < pattern.size() &&
               seen.bytes[firstDiff] == pattern[firstDiff])
            ++firstDiff;
        Check(seen.bytes == pattern, "the 64 KiB burst arrives once, in order, byte for byte (" +
                                         std::to_string(seen.bytes.size()) +
                                         " bytes, first difference at " +
                                         std::to_string(firstDiff) + ")");
        Check(seen.otherThread == 0, "every burst event arrives on the host's thread");
        short errors = static_cast<short>(seen.errors.size());
        Check(errors == 0, "no CommError during the burst (" + std::to_string(errors) + ")");

        com->CloseComm(&rc);
        Check(rc == 0, "CloseComm returns 0 (" + std::to_string(rc) + ")");
    }
    result = failed;
    com->Release();
    return result;
}

// Framed receiving: the far end (frame_peer.py) sends count frames of the
// mode; every one must arrive once, whole, in order, with its status.
int RunFrames(int port, int mode, long baud, int count, uint32_t seed, long gapMs) {
    IQLRCom* com = CreateControl();
    if (!com) return 1;
    recv::Seen seen;
    recv::Sink sink(seen);
    const std::vector<framestream::Expected> expected = framestream::Frames(mode, count, seed);
    // Cut pieces (status 1) are joined with what follows, as a host would.
    std::vector<framestream::Expected> whole;
    std::string piece;
    bool piecesExact = true;
    seen.onFrame = [&] {
        const recv::Seen::Frame& f = seen.frames.back();
        piece += f.data;
        if (f.status == 1) {
            piecesExact = piecesExact && f.data.size() == size_t(framestream::kCutLength);
            return;
        }
        whole.push_back(framestream::Expected{piece, f.status});
        piece.clear();
    };
    {
        recv::Connection connection(com, &sink);
        Check(connection.ok(), "an event sink connects to _QLREvents");
        com->put_QcDeviceName(static_cast<enumDeviceName>(port - 1));
        com->put_QcCustomBaudRate(baud);
        com->put_QcNotifyRecvChars(1);  // would fire CommRecv per byte without framing
        com->put_QcRecvEventType(mode == framestream::kFixed ? AsVariantBinary : AsString);
        com->put_QcFrameMode(static_cast<enumFrameMode>(mode));
        if (mode == framestream::kDelimiter) com->put_QcFrameLength(framestream::kCutLength);
        if (mode == framestream::kFixed) com->put_QcFrameLength(framestream::kRecordLength);
        com->put_QcFrameGap(gapMs);
        short rc = -1;
        com->OpenComm(&rc);
        Check(rc == 0, "OpenComm returns 0 (" + std::to_string(rc) + ")");
        if (rc == 0) {
            const Stopwatch frames;
            Ready("frames");
            // Bounded by the peer's pace with a wide margin.
            const DWORD bound = 60000 + static_cast<DWORD>(count) * (mode >= 3 ? 60 : 2);
            // Until every frame came, or the last one did (after a merge or a split).
            recv::PumpUntil(
                [&] {
                    return whole.size() >= expected.size() ||
                           (!whole.empty() && whole.back().data == expected.back().data);
                },
                bound);
            const double framesMs = frames.Ms();
            recv::PumpFor(300);  // anything more would be a split or a duplicate
            std::printf("frames: mode %d at %ld bit/s, %zu of %zu frames in %zu events, %.0f ms\n",
                        mode, baud, whole.size(), expected.size(), seen.frames.size(), framesMs);
            size_t first = 0;
            while (first < whole.size() && first < expected.size() &&
                   whole[first].data == expected[first].data &&
                   whole[first].status == expected[first].status)
                ++first;
            std::string where;
            if (first < whole.size() && first < expected.size())
                where = ": got " +
                        Hex(std::vector<unsigned char>(whole[first].data.begin(),
                                                       whole[first].data.end())) +
                        " status " + std::to_string(whole[first].status) + ", want " +
                        Hex(std::vector<unsigned char>(expected[first].data.begin(),
                                                       expected[first].data.end())) +
                        " status " + std::to_string(expected[first].status);
            Check(whole.size() == expected.size() && first == expected.size(),
                  "every frame once, whole, in order, with its status (" +
                      std::to_string(whole.size()) + " frames, first difference at " +
                      std::to_string(first) + where + ")");
            size_t damaged = 0;
            for (const auto& e : expected) damaged += e.status == 2;
            if (mode == framestream::kModbus)
                std::printf("frames: %zu frames with a wrong CRC sent\n", damaged);
            Check(piecesExact, "cut pieces are QcFrameLength bytes long");
            Check(seen.commRecv == 0 && seen.commRecvVar == 0,
                  "no CommRecv while framing (" + std::to_string(seen.commRecv) + ")");
            Check(seen.errors.empty(), "no CommError (" + std::to_string(seen.errors.size()) + ")");
            Check(seen.otherThread == 0, "every frame arrives on the host's thread");
            bool typed = true;
            for (const auto& fr : seen.frames)
                typed = typed &&
                        fr.type == (mode == framestream::kFixed ? (VT_ARRAY | VT_UI1) : VT_BSTR);
            Check(typed, "Data is a byte array for AsVariantBinary, a string otherwise");
            com->CloseComm(&rc);
        }
    }
    com->Release();
    return failed;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 8 && std::string(argv[1]) == "frames") {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        const int failures = RunFrames(
            std::atoi(argv[2]), std::atoi(argv[3]), std::atol(argv[4]), std::atoi(argv[5]),
            static_cast<uint32_t>(std::strtoul(argv[6], nullptr, 10)), std::atol(argv[7]));
        std::printf("recv_events: %d passed, %d failed\n", passed, failed);
        CoUninitialize();
        return failures > 100 ? 100 : failures;
    }
    if (argc < 3) {
        std::fprintf(stderr,
                     "usage: recv_events PORT_NUMBER PATTERN_FILE\n"
                     "       recv_events frames PORT MODE BAUD COUNT SEED GAP_MS\n");
        return 100;
    }
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    const int failures = Run(std::atoi(argv[1]), argv[2]);
    std::printf("recv_events: %d passed, %d failed\n", passed, failed);
    CoUninitialize();
    return failures > 100 ? 100 : failures;
}
