#include "xmodem/engine.h"

#include <algorithm>
#include <cstring>

#include "port/open_port.h"
#include "port/overlapped_io.h"

namespace qlr::xmodem {

XModemEngine::XModemEngine(FileSystem& files, FailureMessage sendFailed)
    : files_(files), sendFailed_(std::move(sendFailed)) {
    for (unsigned i = 0; i < 256; ++i) {
        std::uint16_t crc = static_cast<std::uint16_t>(i << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
        crcTable_[i] = crc;
    }
}

PortView ViewOf(ControlState& s) {
    // A device without a handle: every operation on a closed port fails.
    static port::LocalDevice closed{nullptr};
    PortView view;
    view.device = &closed;
    if (port::OpenPort* port = s.port.get()) {
        if (port->device) view.device = port->device.get();
        view.read = &port->transferRead;
        view.write = &port->transferWrite;
    }
    return view;
}

std::function<void(DWORD)> PostLineErrors(ControlState& s) {
    return [&s](DWORD errors) {
        if (HWND window = s.notifyWindow.load())
            platform::Current().PostMessageA(window, WM_COMM_ERROR, 124,
                                             static_cast<LPARAM>(errors));
    };
}

long XModemEngine::Send(ControlState& s, const wchar_t* fileName, short protocol,
                        short showMessages) {
    PortView view = ViewOf(s);
    OnLineErrors(PostLineErrors(s));
    return Send(*view.device, fileName, view.Read(), view.Write(), s.QcStatus, s.QcProgress,
                protocol, s.abortRequested, showMessages);
}

long XModemEngine::Receive(ControlState& s, const wchar_t* fileName, short protocol,
                           short showMessages) {
    PortView view = ViewOf(s);
    OnLineErrors(PostLineErrors(s));
    return Receive(*view.device, fileName, view.Read(), view.Write(), s.QcStatus, s.QcProgress,
                   protocol, s.abortRequested, showMessages);
}

void XModemEngine::NoteLineErrors(DWORD errors) const {
    if (errors != 0 && lineErrors_) lineErrors_(errors);
}

void XModemEngine::Attach(port::Device& port, port::IoRecord& read, port::IoRecord& write) {
    port_ = &port;
    read_ = &read;
    write_ = &write;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (port_->GetCommState(&dcb) && dcb.BaudRate >= 50) {
        baud_ = dcb.BaudRate;
        const DWORD data = dcb.ByteSize >= 5 && dcb.ByteSize <= 8 ? dcb.ByteSize : 8;
        const DWORD parity = dcb.Parity != NOPARITY ? 1 : 0;
        const DWORD halfStops = dcb.StopBits == ONE5STOPBITS  ? 3
                                : dcb.StopBits == TWOSTOPBITS ? 4
                                                              : 2;
        halfBitsPerChar_ = 2 * (1 + data + parity) + halfStops;
    }
}

void XModemEngine::UseTransferTimeouts() {
    // A read on an empty queue waits up to kReadWaitMs for its first byte and
    // ends with it: the engine sleeps on the read's event, not on the timer.
    COMMTIMEOUTS timeouts{MAXDWORD, MAXDWORD, kReadWaitMs, 0, 5000};
    timeoutsChanged_ = port_->SetCommTimeouts(&timeouts) != FALSE;
}

void XModemEngine::RestoreTimeouts() {
    if (!timeoutsChanged_) return;
    COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, 5000};  // as OpenComm sets them
    port_->SetCommTimeouts(&timeouts);
    timeoutsChanged_ = false;
}

DWORD XModemEngine::BlockTimeMs(DWORD size) const { return WireTimeMs(size + 5); }

DWORD XModemEngine::WireTimeMs(DWORD count) const {
    const unsigned long long halfBits = static_cast<unsigned long long>(count) * halfBitsPerChar_;
    return static_cast<DWORD>((halfBits * 1000 + 2ULL * baud_ - 1) / (2ULL * baud_)) + 1;
}

long XModemEngine::ReadOnce(unsigned char* buffer, DWORD want, DWORD& got, bool& pended,
                            const std::atomic<short>* abort, DWORD waitMs) {
    // Never ask for more than is queued: such a read ends at once on every
    // driver; on an empty queue one byte is asked for, which ends on arrival.
    // The look clears the port's error flags: what it finds is reported.
    COMSTAT stat{};
    DWORD errors = 0;
    if (want > 1 && port_->ClearCommError(&errors, &stat)) {
        NoteLineErrors(errors);
        if (stat.cbInQue < want) want = stat.cbInQue > 0 ? stat.cbInQue : 1;
    }
    const port::IoResult io =
        port::ReadSome(*port_, *read_, buffer, want, abort ? waitMs : 0, abort);
    NoteLineErrors(io.lineErrors);
    got = io.done;
    pended = io.pended;
    if (io.ok) return 0;
    return io.error != 0 ? static_cast<long>(io.error) : static_cast<long>(ERROR_GEN_FAILURE);
}

long XModemEngine::PollByte(unsigned char& byte) {
    DWORD got = 0;
    bool pended = false;
    const long rc = ReadOnce(&byte, 1, got, pended, nullptr);
    if (rc != 0) return rc;
    return got == 1 ? 0 : -1;
}

long XModemEngine::ReadWithin(unsigned char* buffer, DWORD n, DWORD firstMs, DWORD gapMs,
                              const std::atomic<short>& abort, DWORD* gotOut) {
    platform::Api& api = platform::Current();
    DWORD total = 0;
    DWORD since = api.GetTickCount();
    DWORD limit = firstMs;
    long rc = 0;
    while (total < n) {
        if (abort.load()) {
            rc = kAborted;
            break;
        }
        // The port is always looked at once more when the time is up.
        const DWORD spent = api.GetTickCount() - since;
        const DWORD left = spent < limit ? limit - spent : 0;
        DWORD got = 0;
        bool pended = false;
        rc = ReadOnce(buffer + total, n - total, got, pended, &abort, left);
        if (rc != 0) break;
        if (got > 0) {
            total += got;
            since = api.GetTickCount();
            limit = gapMs;
        } else if (left == 0) {
            rc = kTimedOut;
            break;
        } else if (!pended) {
            api.Sleep(kIdlePollMs);
        }
    }
    if (gotOut) *gotOut = total;
    return rc;
}

long XModemEngine::ReadAvailable(unsigned char* buffer, DWORD max, DWORD firstMs,
                                 const std::atomic<short>& abort, DWORD& got) {
    got = 0;
    // What is queued comes in one read; only an empty queue is waited on,
    // for its first byte.
    DWORD queued = QueuedBytes();
    if (queued == 0) {
        const long rc = ReadWithin(buffer, 1, firstMs, 0, abort);
        if (rc != 0) return rc;
        got = 1;
        queued = max > 1 ? QueuedBytes() : 0;
        if (queued == 0) return 0;
    }
    const port::IoResult io =
        port::ReadSome(*port_, *read_, buffer + got, std::min(queued, max - got), 0, &abort);
    NoteLineErrors(io.lineErrors);
    got += io.done;
    if (got > 0) return 0;
    if (!io.ok)
        return io.error != 0 ? static_cast<long>(io.error) : static_cast<long>(ERROR_GEN_FAILURE);
    // The queue held bytes the read did not find: wait as on an empty one.
    const long rc = ReadWithin(buffer, 1, firstMs, 0, abort);
    if (rc == 0) got = 1;
    return rc;
}

DWORD XModemEngine::QueuedBytes() {
    COMSTAT stat{};
    DWORD errors = 0;
    if (!port_->ClearCommError(&errors, &stat)) return 0;
    NoteLineErrors(errors);
    return stat.cbInQue;
}

bool XModemEngine::AwaitQuiet(DWORD quietMs, DWORD budgetMs, const std::atomic<short>& abort,
                              CancelTail* tail) {
    platform::Api& api = platform::Current();
    const DWORD begun = api.GetTickCount();
    for (;;) {
        unsigned char sink[64];
        const DWORD spent = api.GetTickCount() - begun;
        if (spent >= budgetMs) return false;
        const DWORD window = std::min(quietMs, budgetMs - spent);
        const long rc = ReadWithin(sink, 1, window, 0, abort);
        if (rc == kTimedOut) return window == quietMs;
        if (rc != 0) return false;
        if (tail) tail->Feed(sink, 1);
        // A byte came: take whatever else is queued with it and listen again.
        DWORD more = 0;
        bool pended = false;
        ReadOnce(sink, sizeof sink, more, pended, nullptr, 0);
        if (tail) tail->Feed(sink, more);
    }
}

bool XModemEngine::DropStaleInput(DWORD quietMs, const std::atomic<short>& abort) {
    CancelTail tail;
    AwaitQuiet(quietMs, std::max(timing_.settleBudgetMs, quietMs), abort, &tail);
    PurgeQueues();
    return tail.Heard();
}

int XModemEngine::TakeQueuedStart() {
    int start = -1;
    COMSTAT stat{};
    DWORD errors = 0;
    if (!port_->ClearCommError(&errors, &stat)) return start;
    NoteLineErrors(errors);
    // Only what was there at the start: a peer that keeps talking is heard later.
    for (DWORD left = stat.cbInQue; left > 0;) {
        unsigned char bytes[64];
        DWORD got = 0;
        bool pended = false;
        const DWORD want = std::min<DWORD>(left, sizeof bytes);
        if (ReadOnce(bytes, want, got, pended, nullptr) != 0 || got == 0) break;
        for (DWORD i = 0; i < got; ++i) {
            if (bytes[i] == kCrcStart || bytes[i] == kNak) start = bytes[i];
            if (bytes[i] == kCan) start = -1;
        }
        left -= std::min(left, got);
    }
    return start;
}

void XModemEngine::SendCancel() {
    const std::atomic<short> go{0};
    const unsigned char cancel[2] = {kCan, kCan};
    const Timing saved = timing_;
    timing_.writeStallMs = std::min<DWORD>(timing_.writeStallMs, 1000);
    WriteBytes(cancel, 2, go);
    timing_ = saved;
}

int XModemEngine::AwaitByte(const char* wanted, DWORD ms, const std::atomic<short>& abort,
                            long& error) {
    platform::Api& api = platform::Current();
    const DWORD begun = api.GetTickCount();
    bool cancel = false;
    for (;;) {
        const DWORD spent = api.GetTickCount() - begun;
        unsigned char byte = 0;
        error = ReadWithin(&byte, 1, spent < ms ? ms - spent : 0, 0, abort);
        if (error == kTimedOut) return kAwaitNothing;
        if (error == kAborted) return kAwaitAborted;
        if (error != 0) return kAwaitFailed;
        if (byte != 0 && std::strchr(wanted, byte)) return byte;
        if (byte == kCan && cancel) return kAwaitCancelled;
        cancel = byte == kCan;
    }
}

XModemEngine::Answer XModemEngine::AwaitAnswer(const std::atomic<short>& abort, long& error,
                                               DWORD written) {
    static const char kAckOrNak[] = {static_cast<char>(kAck), static_cast<char>(kNak), 0};
    switch (AwaitByte(kAckOrNak, timing_.answerMs + WireTimeMs(written), abort, error)) {
    case kAck: return Answer::kAck;
    case kNak: return Answer::kNak;
    case kAwaitNothing: return Answer::kNone;
    case kAwaitCancelled: return Answer::kCancelled;
    case kAwaitAborted: return Answer::kAborted;
    default: return Answer::kFailed;
    }
}

long XModemEngine::ReadExact(unsigned char* buffer, DWORD n, const std::atomic<short>& abort) {
    DWORD total = 0;
    while (total < n) {
        if (abort.load()) return kAborted;
        DWORD got = 0;
        bool pended = false;
        const long rc = ReadOnce(buffer + total, n - total, got, pended, &abort);
        if (rc != 0) return rc;
        total += got;
        // A driver that answered at once with nothing is asked again shortly;
        // one that left the read pending has already waited on its event.
        if (got == 0 && !pended) platform::Current().Sleep(kIdlePollMs);
    }
    return 0;
}

long XModemEngine::ReadByte(unsigned char& byte, const std::atomic<short>& abort) {
    return ReadExact(&byte, 1, abort);
}

long XModemEngine::ReadCrc(std::uint16_t& value, const std::atomic<short>& abort) {
    unsigned char high = 0, low = 0;
    long rc = ReadByte(high, abort);
    if (rc == 0) rc = ReadByte(low, abort);
    if (rc == 0) value = static_cast<std::uint16_t>((high << 8) | low);
    return rc;
}

long XModemEngine::ReadBlock(unsigned char* buffer, DWORD size, const std::atomic<short>& abort) {
    std::fill(buffer, buffer + size, static_cast<unsigned char>(0));
    return ReadExact(buffer, size, abort);
}

long XModemEngine::WriteBytes(const unsigned char* buffer, WORD n, const std::atomic<short>& abort,
                              DWORD* sentOut) {
    platform::Api& api = platform::Current();
    DWORD sent = 0;
    DWORD moved = api.GetTickCount();  // when the last byte went out
    struct Report {
        DWORD* out;
        const DWORD& sent;
        ~Report() {
            if (out) *out = sent;
        }
    } report{sentOut, sent};
    while (sent < n) {
        if (abort.load()) return kAborted;
        const DWORD still = api.GetTickCount() - moved;
        const DWORD left = still < timing_.writeStallMs ? timing_.writeStallMs - still : 0;
        const port::IoResult io =
            port::WriteSome(*port_, *write_, buffer + sent, n - sent, left, &abort);
        NoteLineErrors(io.lineErrors);
        if (!io.ok && !io.pended) return -1;  // failed outright
        // A write that failed after pending goes on with the rest.
        sent += io.done;
        if (io.done > 0) {
            moved = api.GetTickCount();
        } else if (sent < n) {  // a write time-out took nothing
            if (api.GetTickCount() - moved >= timing_.writeStallMs)
                return -1;  // flow held for good
            api.Sleep(kIdlePollMs);
        }
    }
    return 0;
}

long XModemEngine::WriteByte(unsigned char value, const std::atomic<short>& abort) {
    return WriteBytes(&value, 1, abort);
}

long XModemEngine::WriteCrc(std::uint16_t value, const std::atomic<short>& abort) {
    if (WriteByte(static_cast<unsigned char>(value >> 8), abort) != 0) return -1;
    if (WriteByte(static_cast<unsigned char>(value & 0xFF), abort) != 0) return -1;
    return 0;
}

long XModemEngine::WriteBlock(const unsigned char* buffer, DWORD size,
                              const std::atomic<short>& abort) {
    return WriteBytes(buffer, static_cast<WORD>(size), abort);
}

void XModemEngine::PurgeQueues() { port_->PurgeComm(PURGE_TXCLEAR | PURGE_RXCLEAR); }

void XModemEngine::PadBlock(unsigned char* buffer, DWORD length, DWORD size) {
    if (length < size) std::fill(buffer + length, buffer + size, kSub);
}

DWORD XModemEngine::TrimPadding(const unsigned char* buffer, DWORD size) {
    while (size > 0 && buffer[size - 1] == kSub) --size;
    return size;
}

unsigned char XModemEngine::Checksum128(const unsigned char* buffer) {
    return Checksum(buffer, kSmallBlock);
}

unsigned char XModemEngine::Checksum(const unsigned char* buffer, DWORD length) {
    unsigned sum = 0;
    for (DWORD i = 0; i < length; ++i) sum += buffer[i];
    return static_cast<unsigned char>(sum & 0xFF);
}

std::uint16_t XModemEngine::Crc16(const unsigned char* buffer, DWORD length,
                                  std::uint16_t initial) const {
    std::uint16_t crc = initial;
    for (DWORD i = 0; i < length; ++i)
        crc = static_cast<std::uint16_t>(crcTable_[((crc >> 8) ^ buffer[i]) & 0xFF] ^ (crc << 8));
    return crc;
}

bool XModemEngine::Pause(DWORD ms, const std::atomic<short>& abort) {
    platform::Api& api = platform::Current();
    const DWORD start = api.GetTickCount();
    for (;;) {
        if (abort.load()) return false;
        const DWORD elapsed = api.GetTickCount() - start;
        if (elapsed >= ms) return true;
        api.Sleep(std::min(ms - elapsed, kWaitSliceMs));
    }
}

}  // namespace qlr::xmodem
