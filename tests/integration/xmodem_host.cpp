// xmodem_host: XModem transfers through the registered control in a plain C++
// host that never activates it (events come through the control's hidden
// window while the host pumps messages), against lrzsz or a scripted peer on
// the far end of a pty line (t_xmodem_interop.sh, t_xmodem_control.sh).
//
//   xmodem_host.exe CASE PORT [key=value ...]
//
// Cases:
//   send      SendFile of file=, protocol proto=; waits for the peer's start
//             character (a notify-only CommRecv) first unless nowait=1
//   recv      RecvFile into file=, protocol proto=; ask=ok|cancel answers the
//             overwrite question for an existing file (QcShowErrorMessage 1)
//   abort     a send (dir=send) or receive (dir=recv) stopped by AbortTransfer
//             once QcProgress reaches at= (at=0: once QcStatus is 1); go=1
//             waits for a GO line on stdin before the abort instead; kill=1
//             first prints "READY kill", waits for GO (the far end is gone),
//             watches 1 s that the transfer neither ends nor advances, then
//             aborts
//   close     CloseComm during a send at progress at=, then the port again,
//             and a final Release of the control while a receive runs
//   names     file-name and message-box checks that need no peer
//   never     a send and a checksum receive on two controls (PORT and port2=)
//             whose peers never start, with their failure message boxes
// Common keys: expect=CODE[|CODE...] (end codes accepted, default 0),
// blocks=N (QcProgress at the end), status=N (QcStatus at the end).
//
// Before each step that needs the far end the host prints "READY <step>";
// "GO" lines come back on standard input. Every wait has a deadline. Message
// boxes are found and answered by a watcher thread. Prints one line per check
// and a summary; the exit status is the number of failures (capped at 100).
#include <windows.h>
#include <oleauto.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "event_sink.h"
#include "host_check.h"
#include "port_name.h"
#include "qlrcom32_h.h"
#include "recv_sink.h"
#include "transfer_calls.h"

namespace {

using hostcheck::Check;
using hostcheck::failed;
using hostcheck::passed;

std::string Narrow(const std::wstring& w) {
    std::string out;
    for (wchar_t c : w) {
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char buf[12];
            std::snprintf(buf, sizeof buf, "\\u%04X", static_cast<unsigned>(c));
            out += buf;
        }
    }
    return out;
}

void Say(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

// ---- the texts of the string table ----------------------------------------
const std::wstring kFailed =
    L"\u306b\u5931\u6557\u3057\u307e\u3057\u305f\u3002";  // "...に失敗しました。"
std::wstring RecvFailedText(long code) {
    return L"QE4004 XModem\u53d7\u4fe1" + kFailed + L"(" + std::to_wstring(code) + L")";
}
std::wstring SendFailedText(long code) {
    return L"QE4007 XModem\u9001\u4fe1" + kFailed + L"(" + std::to_wstring(code) + L")";
}
std::wstring ExistsText(const std::wstring& name) {
    return L"QE4005 \u30d5\u30a1\u30a4\u30eb " + name +
           L" \u304c\u5b58\u5728\u3057\u307e\u3059\u3002\u4e0a\u66f8\u304d\u3057\u307e\u3059\u304b"
           L"\uff1f";
}
std::wstring MissingText(const std::wstring& name) {
    return L"QE4006 \u30d5\u30a1\u30a4\u30eb " + name +
           L" \u306f\u5b58\u5728\u3057\u307e\u305b\u3093\u3002";
}

// ---- events -----------------------------------------------------------------
struct Seen {
    int commRecv = 0;
    std::vector<short> errors;
    std::vector<short> ends;  // CommTransferEnd codes
    IQLRCom* com = nullptr;   // to ask InFileTransfer inside CommTransferEnd
    VARIANT_BOOL inTransferAtEnd = 1;
    int answeredAtEnd = -1;  // message boxes answered when CommTransferEnd fired
};

class BoxWatcher;
BoxWatcher* g_boxes = nullptr;

class Sink : public sink::EventSink {
public:
    explicit Sink(Seen& seen) : seen_(seen) {}
    void OnEvent(DISPID id, DISPPARAMS* p) override;

private:
    Seen& seen_;
};

// Finds the process's message boxes (dialog class #32770), records their
// texts and buttons, and answers each after a short look with the button
// that answer() picks for its text.
class BoxWatcher {
public:
    struct Box {
        std::wstring text, caption;
        std::vector<int> buttons;
        bool owned = false;
    };
    using Answer = int (*)(const std::wstring& text);

    explicit BoxWatcher(Answer answer) : answer_(answer), thread_([this] { Run(); }) {
        g_boxes = this;
    }
    ~BoxWatcher() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        g_boxes = nullptr;
    }
    int count() const { return count_.load(); }
    int answered() const { return answered_.load(); }
    // Stops watching and gives what was seen (call once, at the end).
    std::vector<Box> Finish() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        return boxes_;
    }

private:
    static BOOL CALLBACK Child(HWND w, LPARAM l) {
        auto* box = reinterpret_cast<Box*>(l);
        wchar_t cls[32] = {}, text[1024] = {};
        GetClassNameW(w, cls, 32);
        GetWindowTextW(w, text, 1024);
        if (!IsWindowVisible(w)) return TRUE;
        if (_wcsicmp(cls, L"Static") == 0 && text[0]) box->text += text;
        if (_wcsicmp(cls, L"Button") == 0) box->buttons.push_back(GetDlgCtrlID(w));
        return TRUE;
    }
    static BOOL CALLBACK Top(HWND w, LPARAM l) {
        DWORD pid = 0;
        GetWindowThreadProcessId(w, &pid);
        wchar_t cls[32] = {};
        GetClassNameW(w, cls, 32);
        if (pid == GetCurrentProcessId() && std::wcscmp(cls, L"#32770") == 0 && IsWindowVisible(w))
            *reinterpret_cast<HWND*>(l) = w;
        return TRUE;
    }
    void Run() {
        HWND handled = nullptr;
        while (!stop_) {
            HWND found = nullptr;
            EnumWindows(&Top, reinterpret_cast<LPARAM>(&found));
            if (found && found != handled) {
                Box box;
                wchar_t caption[256] = {};
                GetWindowTextW(found, caption, 256);
                box.caption = caption;
                box.owned = GetWindow(found, GW_OWNER) != nullptr;
                EnumChildWindows(found, &Child, reinterpret_cast<LPARAM>(&box));
                std::sort(box.buttons.begin(), box.buttons.end());
                boxes_.push_back(box);
                ++count_;
                handled = found;
                Sleep(300);  // the box stays up a moment: nothing may go on behind it
                const int button = answer_(box.text);
                ++answered_;  // before the click: an event that waits for the box comes after it
                PostMessageW(found, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                             reinterpret_cast<LPARAM>(GetDlgItem(found, button)));
            }
            if (handled && !IsWindow(handled)) handled = nullptr;
            Sleep(20);
        }
    }

    Answer answer_;
    std::atomic<bool> stop_{false};
    std::atomic<int> count_{0};
    std::atomic<int> answered_{0};
    std::vector<Box> boxes_;  // written by the watcher thread only, read after Finish
    std::thread thread_;
};

void Sink::OnEvent(DISPID id, DISPPARAMS* p) {
    const VARIANT* arg = sink::FirstArg(p);
    if (id == 1 && arg && V_VT(arg) == VT_I2) seen_.errors.push_back(V_I2(arg));
    if (id == 2) ++seen_.commRecv;
    if (id == 3 && arg && V_VT(arg) == VT_I2) {
        seen_.ends.push_back(V_I2(arg));
        if (seen_.com) seen_.com->InFileTransfer(&seen_.inTransferAtEnd);
        if (g_boxes) seen_.answeredAtEnd = g_boxes->answered();
    }
}

// ---- arguments --------------------------------------------------------------
std::map<std::wstring, std::wstring> g_args;

std::wstring Arg(const wchar_t* key, const wchar_t* fallback = L"") {
    auto it = g_args.find(key);
    return it == g_args.end() ? fallback : it->second;
}
long ArgNum(const wchar_t* key, long fallback) {
    auto it = g_args.find(key);
    return it == g_args.end() ? fallback : std::wcstol(it->second.c_str(), nullptr, 10);
}
// expect=CODE|CODE...
bool Expected(long code) {
    std::wstring list = Arg(L"expect", L"0") + L"|";
    for (size_t start = 0, bar; (bar = list.find(L'|', start)) != std::wstring::npos;
         start = bar + 1)
        if (std::wcstol(list.substr(start, bar - start).c_str(), nullptr, 10) == code) return true;
    return false;
}

// ---- stdin: GO lines from the far end -----------------------------------------
HANDLE g_go = nullptr;  // auto-reset event, set once per GO line

void StartGoReader() {
    g_go = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::thread([] {
        HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
        std::string line;
        char c;
        DWORD got = 0;
        while (ReadFile(in, &c, 1, &got, nullptr) && got == 1) {
            if (c != '\n') {
                line += c;
                continue;
            }
            if (line.rfind("GO", 0) == 0) SetEvent(g_go);
            line.clear();
        }
    }).detach();
}

// Pumps messages until done() holds or ms pass. A 10 ms timer keeps the pump
// looking at properties between events.
bool PumpUntil(const std::function<bool()>& done, DWORD ms) {
    const UINT_PTR timer = SetTimer(nullptr, 0, 10, nullptr);
    const bool ok = recv::PumpUntil(done, ms);
    KillTimer(nullptr, timer);
    return ok;
}

// Pumps until a GO line came, at most ms.
bool WaitGo(const char* step, DWORD ms) {
    Say(std::string("READY ") + step);
    const ULONGLONG deadline = GetTickCount64() + ms;
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) return false;
        const DWORD r = MsgWaitForMultipleObjects(1, &g_go, FALSE,
                                                  static_cast<DWORD>(deadline - now), QS_ALLINPUT);
        if (r == WAIT_OBJECT_0) return true;
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    }
}

// ---- the control ----------------------------------------------------------------
struct Control {
    IQLRCom* com = nullptr;
    Seen seen;
    Sink sink{seen};
    recv::Connection* connection = nullptr;

    bool Create() {
        CoCreateInstance(CLSID_QLRCom, nullptr, CLSCTX_INPROC_SERVER, IID_IQLRCom,
                         reinterpret_cast<void**>(&com));
        if (!com) return false;
        seen.com = com;
        connection = new recv::Connection(com, &sink);
        return connection->ok();
    }
    ~Control() { Release(); }
    void Release() {
        delete connection;
        connection = nullptr;
        if (com) com->Release();
        com = nullptr;
    }
    // Opens the port with every receive notice as a notify-only CommRecv, so
    // that the host learns of the peer's start character without reading it.
    short Open(long port) {
        SelectPort(com, port);
        com->put_QcBaudRate(Baud115200);
        com->put_QcCustomBaudRate(ArgNum(L"baud", 0));  // 0: QcBaudRate's speed
        com->put_QcNotifyRecvChars(1);
        com->put_QcRecvNotifyOnly(VARIANT_TRUE);
        com->put_QcShowErrorMessage(static_cast<VARIANT_BOOL>(ArgNum(L"show", 0)));
        com->put_QcProtocol(static_cast<enumProtocol>(ArgNum(L"proto", 0)));
        short rc = -99;
        com->OpenComm(&rc);
        return rc;
    }
    short progress() { return xfer::Progress(com); }
    short status() {
        short v = -9;
        com->get_QcStatus(&v);
        return v;
    }
    bool inTransfer() {
        VARIANT_BOOL b = 0;
        com->InFileTransfer(&b);
        return b != 0;
    }
    short Start(bool send, const std::wstring& name) { return xfer::Start(com, send, name); }
    short Abort() { return xfer::Abort(com); }
    short Close() {
        short rc = -99;
        com->CloseComm(&rc);
        return rc;
    }
};

std::string Codes(const std::vector<short>& v) {
    std::string s;
    for (short c : v) s += (s.empty() ? "" : ",") + std::to_string(c);
    return "[" + s + "]";
}

// Waits for the transfer's end while following QcProgress: it never goes back.
struct Follow {
    short last = 0;
    bool monotonic = true;
};
bool WaitEnd(Control& c, DWORD ms, Follow* follow = nullptr) {
    return PumpUntil(
        [&] {
            if (follow) {
                const short p = c.progress();
                if (static_cast<unsigned short>(p) < static_cast<unsigned short>(follow->last))
                    follow->monotonic = false;
                follow->last = p;
            }
            return !c.seen.ends.empty();
        },
        ms);
}

// The checks after every transfer that ended by itself or by an abort.
void CheckEnd(Control& c, const std::string& what, bool ended) {
    if (!ended)
        Say("STATE progress=" + std::to_string(c.progress()) +
            " status=" + std::to_string(c.status()) + " running=" + std::to_string(c.inTransfer()));
    if (!Check(ended && c.seen.ends.size() == 1,
               what + ": one CommTransferEnd " + Codes(c.seen.ends)))
        return;
    const short code = c.seen.ends[0];
    Check(Expected(code), what + ": end code " + std::to_string(code) + " is expected (" +
                              Narrow(Arg(L"expect", L"0")) + ")");
    const long wantStatus = ArgNum(L"status", code == 0 ? 0 : -1);
    Check(c.status() == wantStatus, what + ": QcStatus " + std::to_string(c.status()) + " (want " +
                                        std::to_string(wantStatus) + ")");
    Check(c.seen.inTransferAtEnd == 0,
          what + ": InFileTransfer is already false inside CommTransferEnd");
    const long blocks = ArgNum(L"blocks", -1);
    if (blocks >= 0)
        Check(c.progress() == static_cast<short>(blocks),
              what + ": QcProgress " + std::to_string(c.progress()) + " (want " +
                  std::to_string(blocks) + ")");
    Say("RESULT code=" + std::to_string(code) + " status=" + std::to_string(c.status()) +
        " progress=" + std::to_string(c.progress()));
}

int AnswerOk(const std::wstring&) { return IDOK; }
int AnswerAsked(const std::wstring& text) {
    return text.rfind(L"QE4005", 0) == 0 && Arg(L"ask") == L"cancel" ? IDCANCEL : IDOK;
}

// ---- cases ----------------------------------------------------------------------
int Transfer(long port, bool send) {
    BoxWatcher boxes(&AnswerAsked);
    Control c;
    if (!Check(c.Create(), "the control is created and its events connect")) return 1;
    if (!Check(c.Open(port) == 0, "OpenComm")) return 1;
    const std::wstring file = Arg(L"file");
    const std::string what = send ? "send" : "recv";
    if (send && ArgNum(L"nowait", 0) == 0) {
        Say("READY start");
        Check(PumpUntil([&] { return c.seen.commRecv > 0; }, 30000),
              "the peer's start character arrives");
    }
    const int recvBefore = c.seen.commRecv;
    const short rc = c.Start(send, file);
    const std::wstring ask = Arg(L"ask");
    if (ask == L"cancel") {
        const auto seen = boxes.Finish();
        Check(rc == -1 && c.seen.errors.empty(),
              "RecvFile declined at the question gives -1 and no CommError (" + std::to_string(rc) +
                  ")");
        Check(seen.size() == 1 && seen[0].text == ExistsText(file) &&
                  seen[0].buttons == std::vector<int>{IDOK, IDCANCEL},
              "the question is QE4005 with the name, OK and Cancel (" +
                  (seen.empty() ? "" : Narrow(seen[0].text)) + ")");
        Check(!c.inTransfer(), "nothing runs after the refusal");
        return 0;
    }
    if (!Check(rc == 0, what + " starts (" + std::to_string(rc) + ")")) return 1;
    Check(c.inTransfer(), "InFileTransfer is true while it runs");
    if (send && ArgNum(L"again", 0)) {
        Check(c.Start(true, file) == 125 && c.seen.errors == std::vector<short>{125},
              "a second SendFile while one runs gives 125 with CommError(125) " +
                  Codes(c.seen.errors));
        c.seen.errors.clear();
    }
    Follow follow;
    const bool ended = WaitEnd(c, static_cast<DWORD>(ArgNum(L"limit", 120)) * 1000, &follow);
    CheckEnd(c, what, ended);
    Check(follow.monotonic, what + ": QcProgress never went back while it ran");
    Check(c.seen.commRecv - recvBefore <= (send ? 1 : 0),
          what + ": no receive notice during the transfer (" +
              std::to_string(c.seen.commRecv - recvBefore) + ")");
    Check(c.seen.errors.empty(), what + ": no CommError " + Codes(c.seen.errors));
    PumpUntil(nullptr, 200);
    Check(c.seen.ends.size() == 1, what + ": no second CommTransferEnd");
    const auto seen = boxes.Finish();
    if (ask == L"ok")
        Check(seen.size() == 1 && seen[0].text == ExistsText(file),
              "the overwrite question came once and was answered OK");
    else
        Check(seen.empty(), what + ": no message box (" + std::to_string(seen.size()) + ")");
    Check(c.Close() == 0, "CloseComm");
    return 0;
}

int Abort(long port) {
    const bool send = Arg(L"dir") == L"send";
    const std::string what = std::string("abort ") + (send ? "send" : "recv");
    Control c;
    if (!Check(c.Create() && c.Open(port) == 0, "control created, port open")) return 1;
    if (send && ArgNum(L"nowait", 0) == 0) {
        Say("READY start");
        Check(PumpUntil([&] { return c.seen.commRecv > 0; }, 30000),
              "the peer's start character arrives");
    }
    if (!Check(c.Start(send, Arg(L"file")) == 0, what + ": the transfer starts")) return 1;
    const long at = ArgNum(L"at", 0);
    if (ArgNum(L"go", 0)) {
        Check(WaitGo("end", 30000), what + ": the far end says the transfer is in its last phase");
    } else {
        Check(PumpUntil([&] { return at == 0 ? c.status() == 1 : c.progress() >= at; }, 60000),
              what + ": progress reaches " + std::to_string(at));
    }
    if (ArgNum(L"kill", 0)) {
        Check(WaitGo("kill", 30000), what + ": the far end has vanished");
        const short before = c.progress();
        PumpUntil(nullptr, 1000);
        Check(c.seen.ends.empty() && c.inTransfer(),
              what + ": with the peer gone the transfer waits (no time-out)");
        Check(c.progress() - before <= 1, what + ": and no longer advances (" +
                                              std::to_string(before) + " -> " +
                                              std::to_string(c.progress()) + ")");
    }
    Check(c.Abort() == 0, what + ": AbortTransfer gives 0");
    CheckEnd(c, what, WaitEnd(c, 10000));
    Check(c.seen.errors.empty(), what + ": no CommError " + Codes(c.seen.errors));
    Check(c.Abort() == 126, what + ": AbortTransfer after the end gives 126");
    Check(c.Close() == 0, "CloseComm");
    return 0;
}

int Close(long port) {
    Control c;
    if (!Check(c.Create() && c.Open(port) == 0, "control created, port open")) return 1;
    Say("READY start");
    Check(PumpUntil([&] { return c.seen.commRecv > 0; }, 30000),
          "the peer's start character arrives");
    if (!Check(c.Start(true, Arg(L"file")) == 0, "close: the send starts")) return 1;
    const long at = ArgNum(L"at", 8);
    Check(PumpUntil([&] { return c.progress() >= at; }, 60000),
          "close: progress reaches " + std::to_string(at));
    Check(c.Close() == 0, "CloseComm during the send gives 0");
    const short status = c.status();
    Check(!c.inTransfer(), "InFileTransfer is false right after CloseComm");
    PumpUntil(nullptr, 1000);
    Check(c.seen.ends.empty(), "no CommTransferEnd follows the stop " + Codes(c.seen.ends));
    // The stop is cooperative: the engine ends through its failure path.
    Check(status == -1 && c.status() == -1,
          "QcStatus is -1 after the stop (" + std::to_string(c.status()) + ")");
    Check(c.seen.errors.empty(), "no CommError " + Codes(c.seen.errors));
    Check(WaitGo("reopen", 30000), "the far end is gone: the next transfers have no peer");

    // The stopped worker must not touch the next transfer's flag or port.
    Check(c.Open(port) == 0, "the port opens again");
    Check(c.Start(true, Arg(L"file")) == 0 && c.inTransfer(), "a new send starts and runs");
    PumpUntil(nullptr, 500);
    Check(c.inTransfer() && c.seen.ends.empty(), "and keeps running (its flag is its own)");
    Check(c.Abort() == 0, "AbortTransfer");
    CheckEnd(c, "the new send", WaitEnd(c, 10000));

    // A control released while a transfer runs stops it and goes away.
    c.seen.ends.clear();
    Check(c.Start(false, Arg(L"file2")) == 0 && c.inTransfer(), "a receive starts");
    const ULONGLONG t0 = GetTickCount64();
    c.Release();
    Say("released in " + std::to_string(GetTickCount64() - t0) + " ms");
    PumpUntil(nullptr, 300);
    Check(c.seen.ends.empty(), "the released control reports no end " + Codes(c.seen.ends));
    return 0;
}

int Names(long port) {
    BoxWatcher boxes(&AnswerOk);
    Control c;
    if (!Check(c.Create() && c.Open(port) == 0, "control created, port open")) return 1;
    c.com->put_QcShowErrorMessage(0);
    // A missing file is reported in a box whatever QcShowErrorMessage says,
    // with a name that the ANSI code page cannot represent shown as it is.
    const std::wstring missing = Arg(L"missing");
    const short rc = c.Start(true, missing);
    Check(rc == 100 && c.seen.errors.empty(),
          "SendFile of a missing file gives 100 and no CommError (" + std::to_string(rc) + ", " +
              Codes(c.seen.errors) + ")");
    Check(boxes.count() == 1,
          "one box was shown during the call (" + std::to_string(boxes.count()) + ")");
    // A name whose ANSI form is over 259 bytes is refused, never shortened.
    const std::wstring longName = L"C:\\" + std::wstring(300, L'n');
    c.seen.errors.clear();
    const short longRc = c.Start(true, longName);
    Check(longRc == 113 && c.seen.errors == std::vector<short>{113},
          "SendFile of a 300-character name gives 113 with CommError(113) (" +
              std::to_string(longRc) + ", " + Codes(c.seen.errors) + ")");
    c.seen.errors.clear();
    Check(c.Start(false, longName) == 113 && c.seen.errors == std::vector<short>{113},
          "RecvFile of it too " + Codes(c.seen.errors));
    Check(!c.inTransfer(), "nothing runs");
    Check(c.Close() == 0, "CloseComm");
    const auto seen = boxes.Finish();
    Check(seen.size() == 1, "exactly one box in all (" + std::to_string(seen.size()) + ")");
    if (!seen.empty()) {
        Check(seen[0].text == MissingText(missing),
              "its text is QE4006 with the name (" + Narrow(seen[0].text) + ")");
        Check(
            seen[0].buttons == std::vector<int>{IDOK} && !seen[0].owned && !seen[0].caption.empty(),
            "it has only OK, no owner and the default caption (" + Narrow(seen[0].caption) + ")");
    }
    return 0;
}

// Two transfers whose peers never start, on two controls at once, each with
// its failure box: CommTransferEnd only after its box is closed.
int Never(long port) {
    BoxWatcher boxes(&AnswerOk);
    Control s, r;
    if (!Check(s.Create() && r.Create(), "two controls")) return 1;
    g_args[L"show"] = L"1";
    g_args[L"proto"] = L"2";
    Check(s.Open(port) == 0, "the sender's port opens");
    g_args[L"proto"] = L"1";
    Check(r.Open(ArgNum(L"port2", 0)) == 0, "the receiver's port opens");
    Check(s.Start(true, Arg(L"file")) == 0 && r.Start(false, Arg(L"file2")) == 0,
          "both transfers start");
    const bool ended =
        PumpUntil([&] { return !s.seen.ends.empty() && !r.seen.ends.empty(); }, 60000);
    Check(ended, "both end by themselves");
    Check(s.seen.ends == std::vector<short>{2112},
          "the send with no start character ends with 2112 " + Codes(s.seen.ends));
    Check(r.seen.ends == std::vector<short>{2113},
          "the checksum receive that no block answers ends with 2113 " + Codes(r.seen.ends));
    Check(s.status() == -1 && r.status() == -1, "both QcStatus -1");
    // The receive fails first (about 9 s), the send later (about 12 s): each
    // end comes only after its own box was answered.
    Check(r.seen.answeredAtEnd >= 1 && s.seen.answeredAtEnd >= 2,
          "each CommTransferEnd came after its box was answered (" +
              std::to_string(r.seen.answeredAtEnd) + ", " + std::to_string(s.seen.answeredAtEnd) +
              ")");
    PumpUntil(nullptr, 300);
    s.Close();
    r.Close();
    const auto seen = boxes.Finish();
    int sendBoxes = 0, recvBoxes = 0;
    for (const auto& b : seen) {
        sendBoxes += b.text == SendFailedText(2112);
        recvBoxes += b.text == RecvFailedText(2113);
        Say("box: " + Narrow(b.text));
    }
    Check(seen.size() == 2 && sendBoxes == 1 && recvBoxes == 1,
          "one QE4007 (2112) box and one QE4004 (2113) box, nothing else (" +
              std::to_string(seen.size()) + ")");
    for (const auto& b : seen)
        Check(b.buttons == std::vector<int>{IDOK} && !b.owned,
              "a failure box has only OK and no owner");
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: xmodem_host CASE PORT [key=value ...]\n");
        return 100;
    }
    for (int i = 3; i < argc; ++i) {
        const std::wstring a = argv[i];
        const size_t eq = a.find(L'=');
        if (eq != std::wstring::npos) g_args[a.substr(0, eq)] = a.substr(eq + 1);
    }
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    StartGoReader();
    const std::wstring what = argv[1];
    const long port = std::wcstol(argv[2], nullptr, 10);
    if (what == L"send" || what == L"recv")
        Transfer(port, what == L"send");
    else if (what == L"abort")
        Abort(port);
    else if (what == L"close")
        Close(port);
    else if (what == L"names")
        Names(port);
    else if (what == L"never")
        Never(port);
    else
        Check(false, "known case");
    std::printf("xmodem_host: %d passed, %d failed\n", passed, failed);
    std::fflush(stdout);
    CoUninitialize();
    return failed > 100 ? 100 : failed;
}
