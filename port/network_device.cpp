// A network port is its own driver: it runs on the system directly (Winsock,
// events, its thread), not through the platform layer, which serves local
// ports. Only the thread's last error goes through the platform layer, since
// that is where callers look for it.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "port/network_device.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "platform/platform.h"
#include "telnet/rfc2217.h"

namespace qlr::port {
namespace {

constexpr ULONG_PTR kPending = ERROR_IO_PENDING;  // Internal of a record in flight
constexpr std::size_t kReceiveChunk = 16384;
constexpr DWORD kMinReceiveLimit = 16384;  // received bytes kept before the far end waits
constexpr std::size_t kSendLimit = 65536;  // bytes taken from writes before they wait
constexpr DWORD kLineErrors = CE_OVERRUN | CE_RXPARITY | CE_FRAME | CE_BREAK;
// How long a read of the modem lines waits for the server's answer to a poll.
// A server that leaves one poll unanswered is not polled again: its
// notifications alone keep the lines.
constexpr DWORD kModemPollMs = 250;
// How long a purge waits for the server's answer. The answer says that the
// server has purged: bytes the far end sends after the call returns are kept
// (the first purge, at the open, may wait for the server to open its device).
// A server that leaves one purge unanswered is not waited for again.
constexpr DWORD kPurgeAnswerMs = 2000;
// Pauses between connections when a server ends one before it has settled the
// COM-PORT-OPTION, as a server still releasing the previous session does.
constexpr DWORD kFirstReconnectPauseMs = 20;
constexpr DWORD kLongestReconnectPauseMs = 320;

enum class Kind { kRfc2217, kSocket, kLoop };

ULONGLONG Now() { return GetTickCount64(); }

void Complete(OVERLAPPED* record, DWORD error, DWORD count) {
    record->InternalHigh = count;
    record->Internal = error;
    if (record->hEvent) SetEvent(record->hEvent);
}

ULONG_PTR StatusOf(const OVERLAPPED* record) {
    return *static_cast<const volatile ULONG_PTR*>(&record->Internal);
}

struct Winsock {
    bool started = false;
    int Start() {
        WSADATA data;
        const int rc = WSAStartup(MAKEWORD(2, 2), &data);
        started = rc == 0;
        return rc;
    }
    ~Winsock() {
        if (started) WSACleanup();
    }
};

class NetworkDevice final : public Device {
public:
    NetworkDevice(Kind kind, SOCKET socket, WSAEVENT socketEvent, Winsock&& winsock)
        : kind_(kind), socket_(socket), socketEvent_(socketEvent) {
        winsock_.started = winsock.started;
        winsock.started = false;
        dcb_.DCBlength = sizeof dcb_;
        dcb_.BaudRate = CBR_9600;
        dcb_.fBinary = 1;
        dcb_.ByteSize = 8;
        dcb_.XonChar = 0x11;
        dcb_.XoffChar = 0x13;
        if (kind_ != Kind::kLoop) modem_ = MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON;
        if (kind_ == Kind::kRfc2217) modem_ = 0;  // until the server tells
    }

    ~NetworkDevice() override {
        if (thread_) {
            stop_ = true;
            SetEvent(wake_);
            WaitForSingleObject(thread_, INFINITE);
            CloseHandle(thread_);
        }
        if (wake_) CloseHandle(wake_);
        for (AnswerSlot& slot : slots_)
            if (slot.event) CloseHandle(slot.event);
        if (modemNoticed_) CloseHandle(modemNoticed_);
        if (purgeAnswered_) CloseHandle(purgeAnswered_);
        if (socket_ != INVALID_SOCKET) {
            shutdown(socket_, SD_SEND);
            closesocket(socket_);
        }
        if (socketEvent_ != WSA_INVALID_EVENT) WSACloseEvent(socketEvent_);
    }

    // The telnet client's state after the negotiation and anything the
    // server sent with it.
    void Adopt(const telnet::Client& telnet, const telnet::Bytes& received,
               const std::vector<telnet::Notice>& notices) {
        telnet_ = telnet;
        rx_.insert(rx_.end(), received.begin(), received.end());
        for (const telnet::Notice& n : notices) Notice(n);
        // Modem lines and line errors are to be reported from now on.
        telnet::Client::Command(telnet::kSetModemStateMask, 0xFF, out_);
        telnet::Client::Command(
            telnet::kSetLineStateMask,
            telnet::kLineBreak | telnet::kLineFraming | telnet::kLineParity | telnet::kLineOverrun,
            out_);
    }

    bool Start(DWORD& error) {
        wake_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        modemNoticed_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        purgeAnswered_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        for (AnswerSlot& slot : slots_) slot.event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        if (!wake_ || !modemNoticed_ || !purgeAnswered_) {
            error = GetLastError();
            return false;
        }
        if (socket_ != INVALID_SOCKET &&
            WSAEventSelect(socket_, socketEvent_, FD_READ | FD_WRITE | FD_CLOSE) != 0) {
            error = static_cast<DWORD>(WSAGetLastError());
            return false;
        }
        thread_ = CreateThread(nullptr, 0, &NetworkDevice::ThreadMain, this, 0, nullptr);
        if (!thread_) {
            error = GetLastError();
            return false;
        }
        return true;
    }

    HANDLE SystemHandle() const override { return nullptr; }

    BOOL SetCommMask(DWORD mask) override {
        return Run([&](DWORD&) {
            mask_ = mask;
            history_ = 0;
            if (wait_) {  // as the system does: the pending wait ends, mask 0
                *waitMask_ = 0;
                Complete(std::exchange(wait_, nullptr), 0, 0);
            }
            return TRUE;
        });
    }
    BOOL SetupComm(DWORD inQueue, DWORD) override {
        return Run([&](DWORD&) {
            receiveLimit_ = std::max(inQueue, kMinReceiveLimit);
            return TRUE;
        });
    }
    BOOL PurgeComm(DWORD flags) override {
        unsigned answersBefore = 0;
        bool asked = false;
        Run([&](DWORD&) {
            // The server's transmit buffer is purged only while a send of ours
            // is still in flight: bytes that all left this port count as sent,
            // as a local port's drained queue does (CloseComm drains, then
            // purges; the server must not drop the last bytes).
            const bool sending = !writes_.empty() || !out_.empty();
            if (flags & PURGE_TXABORT) AbortAll(writes_, nullptr);
            if (flags & PURGE_RXABORT) AbortAll(reads_, nullptr);
            if (flags & PURGE_RXCLEAR) rx_.clear();
            if (kind_ == Kind::kSocket && (flags & PURGE_TXCLEAR)) out_.clear();
            std::uint8_t purge = 0;
            if (flags & PURGE_RXCLEAR) purge |= telnet::kPurgeReceive;
            if ((flags & PURGE_TXCLEAR) && sending) purge |= telnet::kPurgeTransmit;
            if (kind_ == Kind::kRfc2217 && purge && !gone_) {
                Command(telnet::kPurgeData, purge);
                asked = awaitPurges_;
                answersBefore = purgeAnswers_;
            }
            Service();
            return TRUE;
        });
        if (asked)
            AwaitAnswer(purgeAnswers_, answersBefore, awaitPurges_, purgeAnswered_, kPurgeAnswerMs);
        return TRUE;
    }
    BOOL SetCommTimeouts(COMMTIMEOUTS* timeouts) override {
        return Run([&](DWORD& error) {
            if (!timeouts) return Fail(error, ERROR_INVALID_PARAMETER);
            timeouts_ = *timeouts;
            return TRUE;
        });
    }
    BOOL GetCommState(DCB* dcb) override {
        return Run([&](DWORD& error) {
            if (!dcb) return Fail(error, ERROR_INVALID_PARAMETER);
            *dcb = dcb_;
            return TRUE;
        });
    }
    BOOL SetCommState(DCB* dcb) override {
        return Run([&](DWORD& error) {
            if (!dcb || dcb->BaudRate == 0 || dcb->ByteSize < 5 || dcb->ByteSize > 8 ||
                dcb->Parity > SPACEPARITY || dcb->StopBits > TWOSTOPBITS)
                return Fail(error, ERROR_INVALID_PARAMETER);
            ApplyState(*dcb);
            return TRUE;
        });
    }
    BOOL EscapeCommFunction(DWORD function) override {
        return Run([&](DWORD& error) {
            switch (function) {
            case SETDTR: SetLines(true, rts_); break;
            case CLRDTR: SetLines(false, rts_); break;
            case SETRTS: SetLines(dtr_, true); break;
            case CLRRTS: SetLines(dtr_, false); break;
            case SETBREAK: Break(true); break;
            case CLRBREAK: Break(false); break;
            case SETXOFF:
            case SETXON: break;
            default: return Fail(error, ERROR_INVALID_PARAMETER);
            }
            return TRUE;
        });
    }
    BOOL WaitCommEvent(DWORD* mask, OVERLAPPED* record) override {
        return Run([&](DWORD& error) {
            if (!mask || !record || wait_) return Fail(error, ERROR_INVALID_PARAMETER);
            if (gone_) return Fail(error, goneError_);
            if (history_ & mask_) {
                *mask = history_ & mask_;
                history_ = 0;
                Complete(record, 0, 0);
                return TRUE;
            }
            record->Internal = kPending;
            wait_ = record;
            waitMask_ = mask;
            return Fail(error, ERROR_IO_PENDING);
        });
    }
    // From what the I/O thread publishes: the most frequent call of all
    // (every read asks it first) needs no hand-over.
    BOOL ClearCommError(DWORD* errors, COMSTAT* stat) override {
        if (const DWORD gone = goneCode_.load()) return SetError(gone);
        const DWORD pending = pendingErrors_.exchange(0);
        if (errors) *errors = pending;
        if (stat) {
            *stat = COMSTAT{};
            stat->cbInQue = inQueue_.load();
            stat->cbOutQue = outQueue_.load();
        }
        return TRUE;
    }
    BOOL ReadFile(void* buffer, DWORD length, DWORD* done, OVERLAPPED* record) override {
        return Submit(reads_, Operation{record, static_cast<std::uint8_t*>(buffer), length}, done);
    }
    BOOL WriteFile(const void* data, DWORD length, DWORD* done, OVERLAPPED* record) override {
        Operation op{record, nullptr, length};
        op.source = static_cast<const std::uint8_t*>(data);
        return Submit(writes_, op, done);
    }
    BOOL GetOverlappedResult(OVERLAPPED* record, DWORD* done, BOOL wait) override {
        // The I/O thread writes the record before it sets the event.
        if (wait)
            while (StatusOf(record) == kPending) WaitForSingleObject(record->hEvent, INFINITE);
        const ULONG_PTR status = StatusOf(record);
        if (status == kPending) return SetError(ERROR_IO_INCOMPLETE);
        if (done) *done = static_cast<DWORD>(record->InternalHigh);
        return status == 0 ? TRUE : SetError(static_cast<DWORD>(status));
    }
    BOOL CancelIoEx(OVERLAPPED* record) override {
        return Run([&](DWORD& error) {
            bool found = AbortAll(reads_, record) | AbortAll(writes_, record);
            if (wait_ && (!record || wait_ == record)) {
                Complete(std::exchange(wait_, nullptr), ERROR_OPERATION_ABORTED, 0);
                found = true;
            }
            return found ? TRUE : Fail(error, ERROR_NOT_FOUND);
        });
    }
    BOOL TransmitCommChar(char c) override {
        return Run([&](DWORD& error) {
            if (gone_) return Fail(error, goneError_);
            const std::uint8_t byte = static_cast<std::uint8_t>(c);
            Send(&byte, 1);
            Service();
            return TRUE;
        });
    }
    BOOL SetCommBreak() override { return EscapeCommFunction(SETBREAK); }
    BOOL ClearCommBreak() override { return EscapeCommFunction(CLRBREAK); }
    BOOL GetCommModemStatus(DWORD* status) override {
        if (kind_ == Kind::kRfc2217) PollModem();
        return Run([&](DWORD& error) {
            if (!status) return Fail(error, ERROR_INVALID_PARAMETER);
            *status = modem_;
            return TRUE;
        });
    }

private:
    struct Operation {
        OVERLAPPED* record;
        std::uint8_t* target;  // reads
        DWORD length;
        const std::uint8_t* source = nullptr;  // writes
        DWORD done = 0;
        ULONGLONG totalDue = 0;     // 0: none
        ULONGLONG intervalDue = 0;  // 0: none (yet)
        bool firstByteEnds = false;
    };
    struct AnswerSlot {
        HANDLE event = nullptr;
        std::atomic<bool> busy{false};
    };
    struct Request {
        const std::function<BOOL(DWORD&)>* work;
        HANDLE answered;
        BOOL result;
        DWORD error;
        Request* next;
    };

    static BOOL SetError(DWORD error) {
        platform::Current().SetLastError(error);
        return FALSE;
    }
    static BOOL Fail(DWORD& error, DWORD code) {
        error = code;
        return FALSE;
    }

    // Runs work on the I/O thread and gives its answer, the error as the
    // thread's last error.
    BOOL Run(const std::function<BOOL(DWORD&)>& work) {
        // One of the port's answer events, or one of its own when all are in use.
        AnswerSlot* slot = nullptr;
        for (AnswerSlot& candidate : slots_) {
            bool free = false;
            if (candidate.event && candidate.busy.compare_exchange_strong(free, true)) {
                slot = &candidate;
                break;
            }
        }
        Request request{&work, slot ? slot->event : CreateEventW(nullptr, FALSE, FALSE, nullptr),
                        FALSE, 0, nullptr};
        if (!request.answered) return SetError(ERROR_NOT_ENOUGH_MEMORY);
        request.next = requests_.load();
        while (!requests_.compare_exchange_weak(request.next, &request)) {}
        SetEvent(wake_);
        WaitForSingleObject(request.answered, INFINITE);
        if (slot)
            slot->busy = false;
        else
            CloseHandle(request.answered);
        return request.result ? TRUE : SetError(request.error);
    }

    // The counts and states ClearCommError reports, as the I/O thread has them.
    void Publish() {
        inQueue_ = static_cast<DWORD>(rx_.size());
        outQueue_ = OutQueue();
    }

    void TakeRequests() {
        Request* list = requests_.exchange(nullptr);
        Request* ordered = nullptr;  // oldest first
        while (list) {
            Request* next = list->next;
            list->next = ordered;
            ordered = list;
            list = next;
        }
        while (ordered) {
            Request* next = ordered->next;
            ordered->error = 0;
            ordered->result = (*ordered->work)(ordered->error);
            SetEvent(ordered->answered);  // ordered is gone once its caller wakes
            ordered = next;
        }
    }

    BOOL Submit(std::deque<Operation>& queue, Operation op, DWORD* done) {
        return Run([&](DWORD& error) {
            if (!op.record) return Fail(error, ERROR_INVALID_PARAMETER);
            if (gone_ && (&queue == &writes_ || rx_.empty())) return Fail(error, goneError_);
            op.record->Internal = kPending;
            op.record->InternalHigh = 0;
            if (&queue == &reads_) Arm(op);
            queue.push_back(op);
            Service();
            if (StatusOf(op.record) == kPending) return Fail(error, ERROR_IO_PENDING);
            if (done) *done = static_cast<DWORD>(op.record->InternalHigh);
            return StatusOf(op.record) == 0 ? TRUE
                                            : Fail(error, static_cast<DWORD>(op.record->Internal));
        });
    }

    // The read's time-outs from the record in force.
    void Arm(Operation& op) const {
        const COMMTIMEOUTS& t = timeouts_;
        if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
            t.ReadTotalTimeoutConstant == 0) {
            op.totalDue = 1;  // due at once: takes what is there
            return;
        }
        if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD &&
            t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != MAXDWORD) {
            op.firstByteEnds = true;
            op.totalDue = Now() + t.ReadTotalTimeoutConstant;
            return;
        }
        const ULONGLONG total = static_cast<ULONGLONG>(t.ReadTotalTimeoutMultiplier) * op.length +
                                t.ReadTotalTimeoutConstant;
        if (total) op.totalDue = Now() + total;
    }

    static bool AbortAll(std::deque<Operation>& queue, const OVERLAPPED* record) {
        bool found = false;
        for (auto it = queue.begin(); it != queue.end();) {
            if (record && it->record != record) {
                ++it;
                continue;
            }
            Complete(it->record, ERROR_OPERATION_ABORTED, it->done);
            it = queue.erase(it);
            found = true;
        }
        return found;
    }

    DWORD OutQueue() const {
        DWORD queued = static_cast<DWORD>(out_.size());
        for (const Operation& w : writes_) queued += w.length - w.done;
        return queued;
    }

    // Asks the server for its modem lines and waits, bounded, for the answer,
    // so that a read sees a change the server has not yet reported.
    void PollModem() {
        unsigned before = 0;
        bool poll = false;
        Run([&](DWORD&) {
            poll = pollModem_ && !gone_;
            if (poll) {
                telnet::Client::Request(telnet::kNotifyModemState, out_);
                before = modemNotices_;
                Service();
            }
            return TRUE;
        });
        if (poll) AwaitAnswer(modemNotices_, before, pollModem_, modemNoticed_, kModemPollMs);
    }

    // Waits, bounded, until the count of the server's answers the I/O thread
    // keeps in `answers` has moved past `before`. A server that does not
    // answer in time is not waited for again: `awaiting` turns false.
    void AwaitAnswer(const unsigned& answers, unsigned before, bool& awaiting, HANDLE noticed,
                     DWORD boundMs) {
        const ULONGLONG due = Now() + boundMs;
        for (;;) {
            bool answered = false;
            const ULONGLONG now = Now();
            Run([&](DWORD&) {
                answered = answers != before || gone_;
                if (!answered && now >= due) awaiting = false;
                return TRUE;
            });
            if (answered || now >= due) return;
            WaitForSingleObject(noticed, static_cast<DWORD>(due - now));
        }
    }

    // ---- the line ----

    void Command(telnet::ComCommand command, std::uint8_t value) {
        telnet::Client::Command(command, value, out_);
    }

    void ApplyState(const DCB& dcb) {
        const DCB old = dcb_;
        const bool first = !stateSent_;
        dcb_ = dcb;
        dcb_.DCBlength = sizeof dcb_;
        stateSent_ = true;
        bool dtr = dtr_, rts = rts_;
        if (dcb.fDtrControl == DTR_CONTROL_ENABLE) dtr = true;
        if (dcb.fDtrControl == DTR_CONTROL_DISABLE) dtr = false;
        if (dcb.fRtsControl == RTS_CONTROL_ENABLE) rts = true;
        if (dcb.fRtsControl == RTS_CONTROL_DISABLE) rts = false;
        if (kind_ == Kind::kRfc2217) {
            if (first || old.BaudRate != dcb.BaudRate)
                telnet::Client::SetBaudRate(dcb.BaudRate, out_);
            if (first || old.ByteSize != dcb.ByteSize) Command(telnet::kSetDataSize, dcb.ByteSize);
            if (first || old.Parity != dcb.Parity) {
                static const std::uint8_t kParity[] = {telnet::kParityNone, telnet::kParityOdd,
                                                       telnet::kParityEven, telnet::kParityMark,
                                                       telnet::kParitySpace};
                Command(telnet::kSetParity, kParity[dcb.Parity]);
            }
            if (first || old.StopBits != dcb.StopBits) {
                static const std::uint8_t kStop[] = {telnet::kStopOne, telnet::kStopOneAndHalf,
                                                     telnet::kStopTwo};
                Command(telnet::kSetStopSize, kStop[dcb.StopBits]);
            }
            const std::uint8_t flow = (dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE)
                                          ? telnet::kControlHardware
                                      : (dcb.fOutX || dcb.fInX) ? telnet::kControlXonXoff
                                                                : telnet::kControlNoFlow;
            if (first || flow != flow_) Command(telnet::kSetControl, flow);
            flow_ = flow;
        }
        SetLines(dtr, rts, first);
        Service();
    }

    void SetLines(bool dtr, bool rts, bool force = false) {
        if (kind_ == Kind::kRfc2217) {
            if (force || dtr != dtr_)
                Command(telnet::kSetControl, dtr ? telnet::kControlDtrOn : telnet::kControlDtrOff);
            if (force || rts != rts_)
                Command(telnet::kSetControl, rts ? telnet::kControlRtsOn : telnet::kControlRtsOff);
        }
        dtr_ = dtr;
        rts_ = rts;
        if (kind_ == Kind::kLoop)
            SetModem((rts ? MS_CTS_ON : 0) | (dtr ? MS_DSR_ON | MS_RLSD_ON : 0));
        Service();
    }

    void Break(bool on) {
        if (kind_ == Kind::kRfc2217 && on != break_)
            Command(telnet::kSetControl, on ? telnet::kControlBreakOn : telnet::kControlBreakOff);
        if (kind_ == Kind::kLoop && on && !break_) LineErrors(CE_BREAK);
        break_ = on;
        Service();
    }

    void SetModem(DWORD modem) {
        const DWORD changed = modem ^ modem_;
        modem_ = modem;
        DWORD events = 0;
        if (changed & MS_CTS_ON) events |= EV_CTS;
        if (changed & MS_DSR_ON) events |= EV_DSR;
        if (changed & MS_RLSD_ON) events |= EV_RLSD;
        if ((changed & MS_RING_ON) && (modem & MS_RING_ON)) events |= EV_RING;
        Raise(events);
    }

    void LineErrors(DWORD errors) {
        pendingErrors_.fetch_or(errors);
        DWORD events = 0;
        if (errors & (CE_OVERRUN | CE_RXPARITY | CE_FRAME)) events |= EV_ERR;
        if (errors & CE_BREAK) events |= EV_BREAK;
        Raise(events);
    }

    void Notice(const telnet::Notice& n) {
        switch (n.kind) {
        case telnet::Notice::kModemState:
            SetModem(n.value & 0xF0);
            ++modemNotices_;
            SetEvent(modemNoticed_);
            break;
        case telnet::Notice::kLineState: {
            DWORD errors = 0;
            if (n.value & telnet::kLineOverrun) errors |= CE_OVERRUN;
            if (n.value & telnet::kLineParity) errors |= CE_RXPARITY;
            if (n.value & telnet::kLineFraming) errors |= CE_FRAME;
            if (n.value & telnet::kLineBreak) errors |= CE_BREAK;
            if (errors & kLineErrors) LineErrors(errors);
            break;
        }
        case telnet::Notice::kReply:
            if (n.command == telnet::kPurgeData) {
                ++purgeAnswers_;
                SetEvent(purgeAnswered_);
            }
            break;
        case telnet::Notice::kFlowSuspend: suspended_ = true; break;
        case telnet::Notice::kFlowResume: suspended_ = false; break;
        default: break;
        }
    }

    void Raise(DWORD events) {
        history_ |= events & mask_;
        if (wait_ && history_) {
            *waitMask_ = history_;
            history_ = 0;
            Complete(std::exchange(wait_, nullptr), 0, 0);
        }
    }

    void Received(const std::uint8_t* data, std::size_t count) {
        if (!count) return;
        rx_.insert(rx_.end(), data, data + count);
        Publish();  // before the event: its waiter looks at the count next
        Raise(EV_RXCHAR);
    }

    void Send(const std::uint8_t* data, std::size_t count) {
        if (kind_ == Kind::kLoop)
            Received(data, count);
        else if (kind_ == Kind::kRfc2217)
            telnet::Client::Escape(data, count, out_);
        else
            out_.insert(out_.end(), data, data + count);
    }

    void Gone(DWORD error) {
        if (gone_) return;
        gone_ = true;
        goneError_ = error;
        goneCode_ = error;
        AbortAll(writes_, nullptr);  // completed with ERROR_OPERATION_ABORTED below
        if (wait_) Complete(std::exchange(wait_, nullptr), error, 0);
    }

    // ---- the thread ----

    static DWORD WINAPI ThreadMain(void* self) {
        static_cast<NetworkDevice*>(self)->Loop();
        return 0;
    }

    void Loop() {
        while (!stop_.load()) {
            DWORD timeout = INFINITE;
            const ULONGLONG due = NextDue();
            if (due) {
                const ULONGLONG now = Now();
                timeout =
                    due <= now ? 0 : static_cast<DWORD>(std::min<ULONGLONG>(due - now, 60000));
            }
            const HANDLE waits[2] = {wake_, socketEvent_};
            const DWORD count = socket_ != INVALID_SOCKET && !gone_ ? 2 : 1;
            WaitForMultipleObjects(count, waits, FALSE, timeout);
            if (count == 2) {
                WSANETWORKEVENTS events{};
                if (WSAEnumNetworkEvents(socket_, socketEvent_, &events) == 0 &&
                    (events.lNetworkEvents & FD_CLOSE))
                    closing_ = events.iErrorCode[FD_CLOSE_BIT] ? events.iErrorCode[FD_CLOSE_BIT]
                                                               : WSAEDISCON;
            }
            TakeRequests();
            Service();
        }
        TakeRequests();
        AbortAll(reads_, nullptr);
        AbortAll(writes_, nullptr);
        if (wait_) Complete(std::exchange(wait_, nullptr), ERROR_OPERATION_ABORTED, 0);
    }

    ULONGLONG NextDue() const {
        if (reads_.empty()) return 0;
        const Operation& r = reads_.front();
        if (r.totalDue && r.intervalDue) return std::min(r.totalDue, r.intervalDue);
        return r.totalDue ? r.totalDue : r.intervalDue;
    }

    // Moves bytes both ways and completes whatever can be completed.
    void Service() {
        ReceiveFromSocket();
        FillReads();
        TakeWrites();
        SendToSocket();
        if (closing_ && !gone_) {
            ReceiveFromSocket();  // what came before the end
            FillReads();
            Gone(static_cast<DWORD>(closing_));
        }
        if (gone_) {
            // Reads end with what they have; later ones find the end at once.
            while (!reads_.empty()) {
                Operation r = reads_.front();
                reads_.pop_front();
                Complete(r.record, r.done ? 0 : goneError_, r.done);
            }
        }
        Publish();
    }

    void ReceiveFromSocket() {
        if (socket_ == INVALID_SOCKET || gone_) return;
        std::uint8_t chunk[kReceiveChunk];
        while (rx_.size() < receiveLimit_) {
            const int want =
                static_cast<int>(std::min<std::size_t>(sizeof chunk, receiveLimit_ - rx_.size()));
            const int got = recv(socket_, reinterpret_cast<char*>(chunk), want, 0);
            if (got == 0) {
                closing_ = WSAEDISCON;
                return;
            }
            if (got < 0) {
                const int error = WSAGetLastError();
                if (error != WSAEWOULDBLOCK) closing_ = error;
                return;
            }
            if (kind_ == Kind::kRfc2217) {
                decoded_.clear();
                notices_.clear();
                telnet_.Receive(chunk, static_cast<std::size_t>(got), decoded_, out_, notices_);
                Received(decoded_.data(), decoded_.size());
                for (const telnet::Notice& n : notices_) Notice(n);
            } else {
                Received(chunk, static_cast<std::size_t>(got));
            }
        }
    }

    void FillReads() {
        const ULONGLONG now = reads_.empty() ? 0 : Now();
        while (!reads_.empty()) {
            Operation& r = reads_.front();
            const DWORD take =
                static_cast<DWORD>(std::min<std::size_t>(rx_.size(), r.length - r.done));
            if (take) {
                std::copy(rx_.begin(), rx_.begin() + take, r.target + r.done);
                rx_.erase(rx_.begin(), rx_.begin() + take);
                r.done += take;
                if (timeouts_.ReadIntervalTimeout && timeouts_.ReadIntervalTimeout != MAXDWORD)
                    r.intervalDue = now + timeouts_.ReadIntervalTimeout;
            }
            const bool full = r.done == r.length;
            const bool due =
                (r.totalDue && now >= r.totalDue) || (r.intervalDue && now >= r.intervalDue);
            if (!full && !due && !(r.firstByteEnds && r.done)) return;
            Complete(r.record, 0, r.done);
            reads_.pop_front();
        }
    }

    void TakeWrites() {
        const bool hadData = !writes_.empty() || !out_.empty();
        while (!writes_.empty() && !suspended_ && out_.size() < kSendLimit && !gone_) {
            Operation& w = writes_.front();
            const DWORD take = static_cast<DWORD>(
                std::min<std::size_t>(w.length - w.done, kSendLimit - out_.size()));
            if (kind_ == Kind::kLoop) {
                const DWORD room =
                    static_cast<DWORD>(rx_.size() < receiveLimit_ ? receiveLimit_ - rx_.size() : 0);
                const DWORD looped = std::min(take, room);
                Send(w.source + w.done, looped);
                w.done += looped;
                if (looped < take) break;  // the loop's far end is full until read
            } else {
                Send(w.source + w.done, take);
                w.done += take;
            }
            if (w.done < w.length) continue;
            Complete(w.record, 0, w.done);
            writes_.pop_front();
        }
        if (kind_ == Kind::kLoop) FillReads();
        if (kind_ == Kind::kLoop && hadData && writes_.empty()) Raise(EV_TXEMPTY);
    }

    void SendToSocket() {
        if (socket_ == INVALID_SOCKET || gone_ || out_.empty()) return;
        std::size_t sent = 0;
        while (sent < out_.size()) {
            const int n =
                send(socket_, reinterpret_cast<const char*>(out_.data() + sent),
                     static_cast<int>(std::min<std::size_t>(out_.size() - sent, 1 << 20)), 0);
            if (n <= 0) {
                const int error = WSAGetLastError();
                if (error != WSAEWOULDBLOCK) closing_ = error;
                break;
            }
            sent += static_cast<std::size_t>(n);
        }
        out_.erase(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(sent));
        if (out_.empty() && sent) {
            TakeWrites();  // the next part of a long write
            if (!out_.empty())
                SendToSocket();
            else if (writes_.empty())
                Raise(EV_TXEMPTY);
        }
    }

    const Kind kind_;
    SOCKET socket_;
    WSAEVENT socketEvent_;
    Winsock winsock_;
    HANDLE wake_ = nullptr;
    HANDLE modemNoticed_ = nullptr;   // set by every modem-state notice
    HANDLE purgeAnswered_ = nullptr;  // set by every answer to a purge
    HANDLE thread_ = nullptr;
    std::atomic<bool> stop_{false};
    std::atomic<Request*> requests_{nullptr};
    AnswerSlot slots_[4];
    // Published by the I/O thread for ClearCommError.
    std::atomic<DWORD> inQueue_{0};
    std::atomic<DWORD> outQueue_{0};
    std::atomic<DWORD> pendingErrors_{0};
    std::atomic<DWORD> goneCode_{0};

    // Owned by the I/O thread.
    telnet::Client telnet_;
    telnet::Bytes decoded_;
    std::vector<telnet::Notice> notices_;
    std::deque<std::uint8_t> rx_;
    std::vector<std::uint8_t> out_;
    std::deque<Operation> reads_;
    std::deque<Operation> writes_;
    OVERLAPPED* wait_ = nullptr;
    DWORD* waitMask_ = nullptr;
    DWORD receiveLimit_ = kMinReceiveLimit;
    COMMTIMEOUTS timeouts_{};
    DCB dcb_{};
    bool stateSent_ = false;
    std::uint8_t flow_ = 0;
    DWORD mask_ = 0;
    DWORD history_ = 0;
    DWORD modem_ = 0;
    bool dtr_ = false;
    bool rts_ = false;
    bool break_ = false;
    bool suspended_ = false;
    bool pollModem_ = true;
    unsigned modemNotices_ = 0;
    unsigned purgeAnswers_ = 0;
    bool awaitPurges_ = true;
    int closing_ = 0;  // the connection's end, seen but not yet acted on
    bool gone_ = false;
    DWORD goneError_ = 0;
};

// Connects within the bound: the Winsock error, or 0 with socket set.
int Connect(const PortAddress& address, ULONGLONG deadline, SOCKET& socket, WSAEVENT event) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(address.tcpPort);
    if (getaddrinfo(address.host.c_str(), service.c_str(), &hints, &found) != 0)
        return WSAGetLastError() ? WSAGetLastError() : WSAHOST_NOT_FOUND;
    int error = WSAHOST_NOT_FOUND;
    for (addrinfo* a = found; a; a = a->ai_next) {
        SOCKET s = ::socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (s == INVALID_SOCKET) {
            error = WSAGetLastError();
            continue;
        }
        WSAEventSelect(s, event, FD_CONNECT);
        if (connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) == 0) {
            error = 0;
        } else if ((error = WSAGetLastError()) == WSAEWOULDBLOCK) {
            const ULONGLONG now = Now();
            const DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
            WSANETWORKEVENTS events{};
            if (WaitForSingleObject(event, left) != WAIT_OBJECT_0)
                error = WSAETIMEDOUT;
            else if (WSAEnumNetworkEvents(s, event, &events) != 0)
                error = WSAGetLastError();
            else
                error = (events.lNetworkEvents & FD_CONNECT) ? events.iErrorCode[FD_CONNECT_BIT]
                                                             : WSAETIMEDOUT;
        }
        if (error == 0) {
            const BOOL noDelay = TRUE;  // each write goes out now: latency over packing
            setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
                       sizeof noDelay);
            socket = s;
            break;
        }
        closesocket(s);
        if (error == WSAETIMEDOUT) break;  // the bound is spent
    }
    freeaddrinfo(found);
    return error;
}

// Opens the Telnet session and waits, within the bound, for the server to
// take or refuse the COM-PORT-OPTION; 0 or the error.
DWORD Negotiate(SOCKET s, WSAEVENT event, ULONGLONG deadline, telnet::Client& telnet,
                telnet::Bytes& data, std::vector<telnet::Notice>& notices) {
    WSAEventSelect(s, event, FD_READ | FD_CLOSE);
    telnet::Bytes out;
    telnet.Start(out);
    for (;;) {
        std::size_t sent = 0;
        while (sent < out.size()) {
            const int n = send(s, reinterpret_cast<const char*>(out.data() + sent),
                               static_cast<int>(out.size() - sent), 0);
            if (n > 0) {
                sent += static_cast<std::size_t>(n);
                continue;
            }
            if (WSAGetLastError() != WSAEWOULDBLOCK) return static_cast<DWORD>(WSAGetLastError());
            Sleep(1);  // a few bytes into an empty connection: never in practice
        }
        out.clear();
        if (telnet.comPortAccepted()) return 0;
        if (telnet.comPortRefused()) return ERROR_NOT_SUPPORTED;
        std::uint8_t chunk[4096];
        const int got = recv(s, reinterpret_cast<char*>(chunk), sizeof chunk, 0);
        if (got == 0) return WSAECONNRESET;
        if (got > 0) {
            telnet.Receive(chunk, static_cast<std::size_t>(got), data, out, notices);
            if (data.size() > (1u << 20)) return ERROR_NOT_SUPPORTED;  // not a Telnet server
            continue;
        }
        if (WSAGetLastError() != WSAEWOULDBLOCK) return static_cast<DWORD>(WSAGetLastError());
        const ULONGLONG now = Now();
        if (now >= deadline) return WSAETIMEDOUT;
        if (WaitForSingleObject(event, static_cast<DWORD>(deadline - now)) == WAIT_TIMEOUT)
            return WSAETIMEDOUT;
        WSANETWORKEVENTS events{};
        WSAEnumNetworkEvents(s, event, &events);
    }
}

}  // namespace

std::unique_ptr<Device> OpenNetworkDevice(const PortAddress& address, DWORD& error) {
    error = 0;
    Winsock winsock;
    if (address.kind == PortAddress::kLoop) {
        std::unique_ptr<NetworkDevice> loop(
            new NetworkDevice(Kind::kLoop, INVALID_SOCKET, WSA_INVALID_EVENT, std::move(winsock)));
        if (!loop->Start(error)) return nullptr;
        return loop;
    }
    if (const int rc = winsock.Start()) {
        error = static_cast<DWORD>(rc);
        return nullptr;
    }
    WSAEVENT event = WSACreateEvent();
    if (event == WSA_INVALID_EVENT) {
        error = static_cast<DWORD>(WSAGetLastError());
        return nullptr;
    }
    const Kind kind = address.kind == PortAddress::kRfc2217 ? Kind::kRfc2217 : Kind::kSocket;
    const ULONGLONG deadline = Now() + kConnectBoundMs;
    DWORD pause = kFirstReconnectPauseMs;
    for (;;) {
        SOCKET socket = INVALID_SOCKET;
        if (const int rc = Connect(address, deadline, socket, event)) {
            WSACloseEvent(event);
            error = static_cast<DWORD>(rc);
            return nullptr;
        }
        telnet::Client telnet;
        telnet::Bytes data;
        std::vector<telnet::Notice> notices;
        if (kind == Kind::kRfc2217)
            error = Negotiate(socket, event, deadline, telnet, data, notices);
        // A server that ends the connection before it has settled the option
        // may still be releasing the port's previous session (ser2net refuses
        // a connection then): it is asked again while the bound lasts.
        const bool endedEarly = error == WSAECONNRESET || error == WSAECONNABORTED;
        if (endedEarly && Now() + pause < deadline) {
            closesocket(socket);
            WSAResetEvent(event);
            Sleep(pause);
            pause = std::min(pause * 2, kLongestReconnectPauseMs);
            error = 0;
            continue;
        }
        std::unique_ptr<NetworkDevice> device(
            new NetworkDevice(kind, socket, event, std::move(winsock)));
        if (error) return nullptr;
        if (kind == Kind::kRfc2217) device->Adopt(telnet, data, notices);
        if (!device->Start(error)) return nullptr;
        return device;
    }
}

}  // namespace qlr::port
