// porttool: exercises a COM port with plain Win32 calls, independently of the
// control, so that the test rig (Wine prefix, port mapping, pty bridge) can be
// proven on its own.
//
//   porttool acp                               print the ANSI and OEM code pages
//   porttool pattern CYCLES SIZE FILE          write the byte stream that the
//                                              cycle commands send, for comparison
//   porttool echo-cycles PORT CYCLES SIZE      CYCLES times: open, set 9600 8N1 raw,
//                                              write SIZE pattern bytes, read them
//                                              back (the peer echoes), compare, close
//   porttool write-cycles PORT CYCLES SIZE     CYCLES times: open, set, write, close
//   porttool send PORT TEXT                    open, set, write TEXT, close
//   porttool recv PORT COUNT TIMEOUT_MS        open, set, read COUNT bytes, print them
//   porttool open-fails PORT                   succeed only if the port cannot be opened
//
// PORT is COM1..COM9 or COM10 and above (opened as \\.\COMn). Exit status 0 on
// success, 1 on a failed check, 2 on a usage error.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

int Usage() {
    std::fprintf(
        stderr,
        "usage: porttool acp | pattern CYCLES SIZE FILE | echo-cycles PORT CYCLES SIZE |\n"
        "       write-cycles PORT CYCLES SIZE | send PORT TEXT | recv PORT COUNT TIMEOUT_MS |\n"
        "       open-fails PORT\n");
    return 2;
}

int Fail(const char* what, DWORD err) {
    std::fprintf(stderr, "porttool: %s failed, error %lu\n", what, static_cast<unsigned long>(err));
    return 1;
}

std::string DeviceName(const std::string& port) { return "\\\\.\\" + port; }

// Byte j of the block sent in cycle c. Over 256 consecutive j every byte value
// occurs once (7 is odd), so CR, LF, XON, XOFF, ^C, NUL and 0xFF are all on the line.
unsigned char PatternByte(int cycle, size_t j) {
    return static_cast<unsigned char>((static_cast<size_t>(cycle) * 31u + j * 7u + (j >> 8)) &
                                      0xFFu);
}

std::vector<unsigned char> Block(int cycle, size_t size) {
    std::vector<unsigned char> b(size);
    for (size_t j = 0; j < size; ++j) b[j] = PatternByte(cycle, j);
    return b;
}

class Port {
public:
    ~Port() { Close(); }

    // Opens the port for synchronous I/O and makes it 9600 8N1 raw without flow control.
    bool Open(const std::string& port, DWORD& err) {
        h_ = CreateFileA(DeviceName(port).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                         OPEN_EXISTING, 0, nullptr);
        if (h_ == INVALID_HANDLE_VALUE) {
            err = GetLastError();
            return false;
        }
        DCB dcb;
        std::memset(&dcb, 0, sizeof dcb);
        dcb.DCBlength = sizeof dcb;
        if (!GetCommState(h_, &dcb)) {
            err = GetLastError();
            return false;
        }
        dcb.BaudRate = CBR_9600;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        dcb.fBinary = TRUE;
        dcb.fParity = FALSE;
        dcb.fOutxCtsFlow = FALSE;
        dcb.fOutxDsrFlow = FALSE;
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        dcb.fDsrSensitivity = FALSE;
        dcb.fOutX = FALSE;
        dcb.fInX = FALSE;
        dcb.fErrorChar = FALSE;
        dcb.fNull = FALSE;
        dcb.fAbortOnError = FALSE;
        if (!SetCommState(h_, &dcb)) {
            err = GetLastError();
            return false;
        }
        return true;
    }

    bool SetReadTimeout(DWORD ms, DWORD& err) {
        COMMTIMEOUTS t;
        std::memset(&t, 0, sizeof t);
        t.ReadIntervalTimeout = 0;
        t.ReadTotalTimeoutMultiplier = 0;
        t.ReadTotalTimeoutConstant = ms;
        t.WriteTotalTimeoutConstant = 5000;
        if (!SetCommTimeouts(h_, &t)) {
            err = GetLastError();
            return false;
        }
        return true;
    }

    bool WriteAll(const unsigned char* data, size_t len, DWORD& err) {
        size_t done = 0;
        while (done < len) {
            DWORD n = 0;
            if (!WriteFile(h_, data + done, static_cast<DWORD>(len - done), &n, nullptr)) {
                err = GetLastError();
                return false;
            }
            if (n == 0) {
                err = ERROR_WRITE_FAULT;
                return false;
            }
            done += n;
        }
        return true;
    }

    // Reads until `want` bytes came or `ms` milliseconds passed; returns what came.
    std::vector<unsigned char> ReadFor(size_t want, DWORD ms, DWORD& err) {
        std::vector<unsigned char> got;
        err = 0;
        const ULONGLONG deadline = GetTickCount64() + ms;
        while (got.size() < want) {
            ULONGLONG now = GetTickCount64();
            if (now >= deadline) break;
            if (!SetReadTimeout(static_cast<DWORD>(deadline - now), err)) break;
            unsigned char buf[4096];
            DWORD chunk =
                static_cast<DWORD>(want - got.size() < sizeof buf ? want - got.size() : sizeof buf);
            DWORD n = 0;
            if (!ReadFile(h_, buf, chunk, &n, nullptr)) {
                err = GetLastError();
                break;
            }
            got.insert(got.end(), buf, buf + n);
        }
        return got;
    }

    bool Close() {
        if (h_ == INVALID_HANDLE_VALUE) return true;
        BOOL ok = CloseHandle(h_);
        h_ = INVALID_HANDLE_VALUE;
        return ok != FALSE;
    }

private:
    HANDLE h_ = INVALID_HANDLE_VALUE;
};

bool ParseCount(const char* s, long& out) {
    char* end = nullptr;
    out = std::strtol(s, &end, 10);
    return end != s && *end == '\0' && out >= 0;
}

int Acp() {
    std::printf("ACP=%u OEMCP=%u\n", GetACP(), GetOEMCP());
    return 0;
}

int Pattern(int cycles, size_t size, const char* file) {
    HANDLE f =
        CreateFileA(file, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return Fail("create pattern file", GetLastError());
    for (int c = 0; c < cycles; ++c) {
        std::vector<unsigned char> b = Block(c, size);
        DWORD n = 0;
        if (!WriteFile(f, b.data(), static_cast<DWORD>(b.size()), &n, nullptr) || n != b.size()) {
            DWORD err = GetLastError();
            CloseHandle(f);
            return Fail("write pattern file", err);
        }
    }
    return CloseHandle(f) ? 0 : Fail("close pattern file", GetLastError());
}

int Cycles(const std::string& port, int cycles, size_t size, bool echo) {
    for (int c = 0; c < cycles; ++c) {
        Port p;
        DWORD err = 0;
        if (!p.Open(port, err)) {
            std::fprintf(stderr, "porttool: cycle %d: open/configure %s: error %lu\n", c + 1,
                         port.c_str(), static_cast<unsigned long>(err));
            return 1;
        }
        std::vector<unsigned char> block = Block(c, size);
        if (!p.WriteAll(block.data(), block.size(), err)) {
            std::fprintf(stderr, "porttool: cycle %d: write: error %lu\n", c + 1,
                         static_cast<unsigned long>(err));
            return 1;
        }
        if (echo) {
            std::vector<unsigned char> back = p.ReadFor(size, 10000, err);
            if (back != block) {
                size_t first = 0;
                while (first < back.size() && back[first] == block[first]) ++first;
                std::fprintf(stderr,
                             "porttool: cycle %d: echo mismatch: got %zu of %zu bytes, first "
                             "difference at %zu"
                             " (read error %lu)\n",
                             c + 1, back.size(), size, first, static_cast<unsigned long>(err));
                return 1;
            }
        }
        if (!p.Close()) return Fail("CloseHandle", GetLastError());
        std::printf("cycle %d ok\n", c + 1);
    }
    std::fflush(stdout);
    return 0;
}

int Send(const std::string& port, const std::string& text) {
    Port p;
    DWORD err = 0;
    if (!p.Open(port, err)) return Fail("open", err);
    if (!p.WriteAll(reinterpret_cast<const unsigned char*>(text.data()), text.size(), err))
        return Fail("write", err);
    return p.Close() ? 0 : Fail("CloseHandle", GetLastError());
}

int Recv(const std::string& port, size_t count, DWORD ms) {
    Port p;
    DWORD err = 0;
    if (!p.Open(port, err)) return Fail("open", err);
    std::vector<unsigned char> got = p.ReadFor(count, ms, err);
    std::fwrite(got.data(), 1, got.size(), stdout);
    std::fflush(stdout);
    if (got.size() != count) {
        std::fprintf(stderr, "porttool: received %zu of %zu bytes (error %lu)\n", got.size(), count,
                     static_cast<unsigned long>(err));
        return 1;
    }
    return 0;
}

int OpenFails(const std::string& port) {
    HANDLE h = CreateFileA(DeviceName(port).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
        std::fprintf(stderr, "porttool: %s opened although it should not exist\n", port.c_str());
        return 1;
    }
    std::printf("open %s failed with error %lu\n", port.c_str(),
                static_cast<unsigned long>(GetLastError()));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage();
    const std::string cmd = argv[1];
    long a = 0, b = 0;
    if (cmd == "acp" && argc == 2) return Acp();
    if (cmd == "pattern" && argc == 5 && ParseCount(argv[2], a) && ParseCount(argv[3], b))
        return Pattern(static_cast<int>(a), static_cast<size_t>(b), argv[4]);
    if ((cmd == "echo-cycles" || cmd == "write-cycles") && argc == 5 && ParseCount(argv[3], a) &&
        ParseCount(argv[4], b) && b > 0)
        return Cycles(argv[2], static_cast<int>(a), static_cast<size_t>(b), cmd == "echo-cycles");
    if (cmd == "send" && argc == 4) return Send(argv[2], argv[3]);
    if (cmd == "recv" && argc == 5 && ParseCount(argv[3], a) && ParseCount(argv[4], b))
        return Recv(argv[2], static_cast<size_t>(a), static_cast<DWORD>(b));
    if (cmd == "open-fails" && argc == 3) return OpenFails(argv[2]);
    return Usage();
}
