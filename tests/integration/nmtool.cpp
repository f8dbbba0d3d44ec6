// nmtool: modem lines, break and line errors of a COM port through plain Win32
// calls, for the null-modem rig (ptybridge -m with the nmshim.so preload).
// Every command opens the port, does one thing and closes it again.
//
//   nmtool escape PORT setdtr|clrdtr|setrts|clrrts|setbreak|clrbreak
//                                   EscapeCommFunction
//   nmtool break PORT on|off        SetCommBreak / ClearCommBreak
//   nmtool dcb PORT DTR RTS         SetCommState with fDtrControl/fRtsControl
//                                   enable (on) or disable (off)
//   nmtool status PORT              GetCommModemStatus: "CTS=on DSR=off RLSD=off RING=off"
//   nmtool errors PORT              ClearCommError: "errors: FRAME ..." or "errors: none"
//   nmtool wait PORT EVENTS TIMEOUT_MS READYFILE
//                                   overlapped WaitCommEvent for EVENTS (comma list of
//                                   cts,dsr,rlsd,ring,err,break); creates READYFILE once
//                                   the wait is pending, prints "events: CTS ...";
//                                   status 1 when nothing arrives within TIMEOUT_MS
//
// Exit status 0 on success, 1 on a failed call or timeout, 2 on a usage error.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int Usage() {
    std::fprintf(stderr,
                 "usage: nmtool escape PORT setdtr|clrdtr|setrts|clrrts|setbreak|clrbreak |\n"
                 "       break PORT on|off | dcb PORT on|off on|off | status PORT | errors PORT |\n"
                 "       wait PORT EVENTS TIMEOUT_MS READYFILE\n");
    return 2;
}

int Fail(const char* what) {
    std::fprintf(stderr, "nmtool: %s failed, error %lu\n", what,
                 static_cast<unsigned long>(GetLastError()));
    return 1;
}

class Handle {
public:
    explicit Handle(HANDLE h) : h_(h) {}
    ~Handle() {
        if (h_ != INVALID_HANDLE_VALUE && h_ != nullptr) CloseHandle(h_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return h_; }
    bool ok() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }

private:
    HANDLE h_;
};

HANDLE OpenPort(const std::string& port, bool overlapped) {
    std::string name = "\\\\.\\" + port;
    return CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
}

int OnOff(const char* v) {
    if (std::strcmp(v, "on") == 0) return 1;
    if (std::strcmp(v, "off") == 0) return 0;
    return -1;
}

struct EventName {
    const char* name;
    const char* upper;
    DWORD bit;
};
const EventName kEvents[] = {{"cts", "CTS", EV_CTS},         {"dsr", "DSR", EV_DSR},
                             {"rlsd", "RLSD", EV_RLSD},      {"ring", "RING", EV_RING},
                             {"err", "ERR", EV_ERR},         {"break", "BREAK", EV_BREAK},
                             {"rxchar", "RXCHAR", EV_RXCHAR}};

bool ParseEvents(const std::string& list, DWORD& mask) {
    mask = 0;
    size_t pos = 0;
    while (pos <= list.size()) {
        size_t comma = list.find(',', pos);
        std::string item =
            list.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        bool found = false;
        for (const auto& e : kEvents) {
            if (item == e.name) {
                mask |= e.bit;
                found = true;
            }
        }
        if (!found) return false;
        if (comma == std::string::npos) break;
        pos = comma + 1;
    }
    return mask != 0;
}

int Escape(const std::string& port, const char* what) {
    static const struct {
        const char* name;
        DWORD func;
    } kFuncs[] = {{"setdtr", SETDTR}, {"clrdtr", CLRDTR},     {"setrts", SETRTS},
                  {"clrrts", CLRRTS}, {"setbreak", SETBREAK}, {"clrbreak", CLRBREAK}};
    for (const auto& f : kFuncs) {
        if (std::strcmp(what, f.name) != 0) continue;
        Handle h(OpenPort(port, false));
        if (!h.ok()) return Fail("CreateFile");
        if (!EscapeCommFunction(h.get(), f.func)) return Fail("EscapeCommFunction");
        return 0;
    }
    return Usage();
}

int Break(const std::string& port, const char* v) {
    int on = OnOff(v);
    if (on < 0) return Usage();
    Handle h(OpenPort(port, false));
    if (!h.ok()) return Fail("CreateFile");
    if (on ? !SetCommBreak(h.get()) : !ClearCommBreak(h.get()))
        return Fail(on ? "SetCommBreak" : "ClearCommBreak");
    return 0;
}

int Dcb(const std::string& port, const char* dtr, const char* rts) {
    int d = OnOff(dtr), r = OnOff(rts);
    if (d < 0 || r < 0) return Usage();
    Handle h(OpenPort(port, false));
    if (!h.ok()) return Fail("CreateFile");
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(h.get(), &dcb)) return Fail("GetCommState");
    dcb.BaudRate = CBR_9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fDtrControl = d ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    dcb.fRtsControl = r ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
    if (!SetCommState(h.get(), &dcb)) return Fail("SetCommState");
    return 0;
}

int Status(const std::string& port) {
    Handle h(OpenPort(port, false));
    if (!h.ok()) return Fail("CreateFile");
    DWORD ms = 0;
    if (!GetCommModemStatus(h.get(), &ms)) return Fail("GetCommModemStatus");
    std::printf("CTS=%s DSR=%s RLSD=%s RING=%s\n", (ms & MS_CTS_ON) ? "on" : "off",
                (ms & MS_DSR_ON) ? "on" : "off", (ms & MS_RLSD_ON) ? "on" : "off",
                (ms & MS_RING_ON) ? "on" : "off");
    return 0;
}

int Errors(const std::string& port) {
    Handle h(OpenPort(port, false));
    if (!h.ok()) return Fail("CreateFile");
    DWORD errors = 0;
    COMSTAT st;
    std::memset(&st, 0, sizeof st);
    if (!ClearCommError(h.get(), &errors, &st)) return Fail("ClearCommError");
    std::string text;
    if (errors & CE_FRAME) text += " FRAME";
    if (errors & CE_RXPARITY) text += " PARITY";
    if (errors & CE_OVERRUN) text += " OVERRUN";
    if (errors & CE_RXOVER) text += " RXOVER";
    if (errors & CE_BREAK) text += " BREAK";
    std::printf("errors:%s (0x%lx) inque=%lu\n", text.empty() ? " none" : text.c_str(),
                static_cast<unsigned long>(errors), static_cast<unsigned long>(st.cbInQue));
    return 0;
}

int Wait(const std::string& port, const char* events, const char* timeout_ms, const char* ready) {
    DWORD mask = 0;
    if (!ParseEvents(events, mask)) return Usage();
    DWORD timeout = static_cast<DWORD>(std::strtoul(timeout_ms, nullptr, 10));
    Handle h(OpenPort(port, true));
    if (!h.ok()) return Fail("CreateFile");
    if (!SetCommMask(h.get(), mask)) return Fail("SetCommMask");
    Handle ev(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!ev.ok()) return Fail("CreateEvent");
    DWORD start = GetTickCount();
    bool announced = false;
    int spurious = 0;
    for (;;) {
        OVERLAPPED ov;
        std::memset(&ov, 0, sizeof ov);
        ov.hEvent = ev.get();
        ResetEvent(ev.get());
        DWORD got = 0;
        if (!WaitCommEvent(h.get(), &got, &ov)) {
            if (GetLastError() != ERROR_IO_PENDING) return Fail("WaitCommEvent");
            if (!announced) {
                Handle f(CreateFileA(ready, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
                if (!f.ok()) return Fail("creating the ready file");
                announced = true;
            }
            DWORD elapsed = GetTickCount() - start;
            DWORD left = elapsed >= timeout ? 0 : timeout - elapsed;
            if (WaitForSingleObject(ev.get(), left) != WAIT_OBJECT_0) {
                std::fprintf(stderr, "nmtool: no event within %lu ms (%d empty completions)\n",
                             static_cast<unsigned long>(timeout), spurious);
                return 1;
            }
            DWORD n = 0;
            if (!GetOverlappedResult(h.get(), &ov, &n, FALSE))
                return Fail("WaitCommEvent completion");
        }
        if (got != 0) {
            std::string text;
            for (const auto& e : kEvents) {
                if (got & e.bit) {
                    text += " ";
                    text += e.upper;
                }
            }
            std::printf("events:%s\n", text.c_str());
            return 0;
        }
        ++spurious;
        if (GetTickCount() - start >= timeout) {
            std::fprintf(stderr, "nmtool: only empty completions (%d) within %lu ms\n", spurious,
                         static_cast<unsigned long>(timeout));
            return 1;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return Usage();
    std::string cmd = argv[1], port = argv[2];
    int rc;
    if (cmd == "escape" && argc == 4)
        rc = Escape(port, argv[3]);
    else if (cmd == "break" && argc == 4)
        rc = Break(port, argv[3]);
    else if (cmd == "dcb" && argc == 5)
        rc = Dcb(port, argv[3], argv[4]);
    else if (cmd == "status" && argc == 3)
        rc = Status(port);
    else if (cmd == "errors" && argc == 3)
        rc = Errors(port);
    else if (cmd == "wait" && argc == 6)
        rc = Wait(port, argv[3], argv[4], argv[5]);
    else
        rc = Usage();
    std::fflush(stdout);
    return rc;
}
