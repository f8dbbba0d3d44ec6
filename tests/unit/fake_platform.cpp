#include "tests/unit/fake_platform.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

namespace qlr::test {

namespace {
std::string Hex(DWORD v) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%lX", static_cast<unsigned long>(v));
    return b;
}
}  // namespace

FakePlatform::Semantics FakePlatform::DefaultSemantics() {
    char value[16] = {};
    const DWORD n = ::GetEnvironmentVariableA("QLR_FAKE_SEMANTICS", value, sizeof value);
    return n > 0 && n < sizeof value && std::string(value) == "windows" ? Semantics::kWindows
                                                                        : Semantics::kWine;
}

bool FakePlatform::NotThePort(HANDLE h, BOOL* result) {
    if (h == PortHandle() && open_) return false;
    if (h == PortHandle() && semantics_ == Semantics::kWindows) {
        ++staleCalls_;
        *result = TRUE;
        return true;
    }
    ::SetLastError(ERROR_INVALID_HANDLE);
    *result = FALSE;
    return true;
}

size_t FakePlatform::StaleHandleCalls() {
    std::lock_guard<std::mutex> g(lock_);
    return staleCalls_;
}

FakePlatform::FakePlatform() : changed_(::CreateEventA(nullptr, FALSE, FALSE, nullptr)) {
    state_.DCBlength = sizeof(DCB);
    state_.BaudRate = 9600;
    state_.ByteSize = 8;
    state_.fBinary = 1;  // as every serial driver reports
}

FakePlatform::~FakePlatform() {
    for (HANDLE h : threads_) ::CloseHandle(h);
    for (HANDLE h : events_) ::CloseHandle(h);
    ::CloseHandle(changed_);
}

void FakePlatform::FailNext(const std::string& call, DWORD error, int skip) {
    std::lock_guard<std::mutex> g(lock_);
    failures_[call].push_back(Failure{skip, error});
}

void FakePlatform::SetWindowsSemantics(bool on) {
    std::lock_guard<std::mutex> g(lock_);
    semantics_ = on ? Semantics::kWindows : Semantics::kWine;
}

void FakePlatform::SetWaitMode(WaitMode mode) {
    std::lock_guard<std::mutex> g(lock_);
    waitMode_ = mode;
}

void FakePlatform::Receive(DWORD bytes) {
    std::string run;
    for (DWORD i = 0; i < bytes; ++i) run.push_back(static_cast<char>(nextFill_++));
    Receive(run);
}

void FakePlatform::Receive(const std::string& bytes) {
    std::lock_guard<std::mutex> g(lock_);
    Arrive(bytes);
}

void FakePlatform::ReceiveAtRead(size_t reads, const std::string& bytes) {
    std::lock_guard<std::mutex> g(lock_);
    arrivals_.push_back(Arrival{reads, bytes});
}

void FakePlatform::SetReportedInQueue(DWORD count) {
    std::lock_guard<std::mutex> g(lock_);
    inQueue_ = count;
}

void FakePlatform::SetReadsPend(bool pend) {
    std::lock_guard<std::mutex> g(lock_);
    readsPend_ = pend;
}

bool FakePlatform::ReadPending() {
    std::lock_guard<std::mutex> g(lock_);
    return pendingRead_ != nullptr;
}

const void* FakePlatform::PendingReadBuffer() {
    std::lock_guard<std::mutex> g(lock_);
    return pendingRead_ ? pendingBuffer_ : nullptr;
}

void FakePlatform::SetCancelsHang(bool hang) {
    std::lock_guard<std::mutex> g(lock_);
    cancelsHang_ = hang;
}

std::vector<unsigned char> FakePlatform::Readable() {
    std::lock_guard<std::mutex> g(lock_);
    return std::vector<unsigned char>(readable_.begin(), readable_.end());
}

void FakePlatform::Arrive(const std::string& bytes) {
    readable_.insert(readable_.end(), bytes.begin(), bytes.end());
    inQueue_ += static_cast<DWORD>(bytes.size());
    if (pendingRead_ && !readable_.empty()) {
        OVERLAPPED* ov = pendingRead_;
        pendingRead_ = nullptr;
        ov->InternalHigh = TakeInto(pendingBuffer_, pendingLength_);
        ov->Internal = 0;
        ::SetEvent(ov->hEvent);
    }
    CompleteWait(EV_RXCHAR, 0);
}

DWORD FakePlatform::TakeInto(void* buf, DWORD len) {
    const DWORD n = std::min<DWORD>(len, static_cast<DWORD>(readable_.size()));
    auto* out = static_cast<unsigned char*>(buf);
    for (DWORD i = 0; i < n; ++i) {
        out[i] = readable_.front();
        readable_.pop_front();
    }
    inQueue_ -= std::min(inQueue_, n);
    return n;
}

void FakePlatform::Vanish(DWORD error) {
    std::lock_guard<std::mutex> g(lock_);
    gone_ = error;
    CompleteWait(0, error);
    if (pendingRead_) {
        pendingRead_->Internal = error;
        pendingRead_->InternalHigh = 0;
        ::SetEvent(pendingRead_->hEvent);
        pendingRead_ = nullptr;
    }
}

void FakePlatform::Back() {
    std::lock_guard<std::mutex> g(lock_);
    gone_ = 0;
}

bool FakePlatform::Gone() {
    if (!gone_) return false;
    ::SetLastError(gone_);
    return true;
}

void FakePlatform::RaiseEvents(DWORD events) {
    std::lock_guard<std::mutex> g(lock_);
    CompleteWait(events, 0);
}

void FakePlatform::SetLineErrors(DWORD errors) {
    std::lock_guard<std::mutex> g(lock_);
    errors_ = errors;
}

void FakePlatform::SetModemStatus(DWORD status) {
    std::lock_guard<std::mutex> g(lock_);
    modem_ = status;
}

void FakePlatform::SetQueues(DWORD inQueue, DWORD outQueue) {
    std::lock_guard<std::mutex> g(lock_);
    inQueue_ = inQueue;
    outQueue_ = outQueue;
    readable_.resize(inQueue, 0);
}

void FakePlatform::SetWritesPend(bool pend) {
    std::lock_guard<std::mutex> g(lock_);
    writesPend_ = pend;
}

void FakePlatform::SetWriteChunk(DWORD bytes) {
    std::lock_guard<std::mutex> g(lock_);
    writeChunk_ = bytes;
}

void FakePlatform::SetTickStep(DWORD ms) {
    std::lock_guard<std::mutex> g(lock_);
    tickStep_ = ms;
}

void FakePlatform::SetPeer(Peer peer) {
    std::lock_guard<std::mutex> g(lock_);
    peer_ = std::move(peer);
}

std::vector<unsigned char> FakePlatform::Written() {
    std::lock_guard<std::mutex> g(lock_);
    return written_;
}

std::vector<unsigned char> FakePlatform::Transmitted() {
    std::lock_guard<std::mutex> g(lock_);
    return transmitted_;
}

std::vector<std::string> FakePlatform::Calls() {
    std::lock_guard<std::mutex> g(lock_);
    return calls_;
}

std::vector<DWORD> FakePlatform::CallThreads() {
    std::lock_guard<std::mutex> g(lock_);
    return callThreads_;
}

size_t FakePlatform::CountCalls(const std::string& prefix) {
    std::lock_guard<std::mutex> g(lock_);
    return static_cast<size_t>(std::count_if(
        calls_.begin(), calls_.end(),
        [&](const std::string& c) { return c.compare(0, prefix.size(), prefix) == 0; }));
}

bool FakePlatform::Called(const std::string& prefix) { return CountCalls(prefix) > 0; }

std::vector<PostedMessage> FakePlatform::Posted() {
    std::lock_guard<std::mutex> g(lock_);
    return posted_;
}

std::vector<PostedMessage> FakePlatform::WaitForPosts(size_t count, DWORD timeoutMs) {
    const DWORD start = ::GetTickCount();
    for (;;) {
        {
            std::lock_guard<std::mutex> g(lock_);
            if (posted_.size() >= count) return posted_;
        }
        const DWORD spent = ::GetTickCount() - start;
        if (spent >= timeoutMs) return Posted();
        ::WaitForSingleObject(changed_, timeoutMs - spent);
    }
}

bool FakePlatform::WaitForCalls(const std::string& prefix, size_t count, DWORD timeoutMs) {
    const DWORD start = ::GetTickCount();
    for (;;) {
        if (CountCalls(prefix) >= count) return true;
        const DWORD spent = ::GetTickCount() - start;
        if (spent >= timeoutMs) return false;
        ::WaitForSingleObject(changed_, timeoutMs - spent);
    }
}

DWORD FakePlatform::Mask() {
    std::lock_guard<std::mutex> g(lock_);
    return mask_;
}

DCB FakePlatform::AppliedDcb() {
    std::lock_guard<std::mutex> g(lock_);
    return applied_;
}

bool FakePlatform::PortOpen() {
    std::lock_guard<std::mutex> g(lock_);
    return open_;
}

long FakePlatform::LiveEvents() {
    std::lock_guard<std::mutex> g(lock_);
    return liveEvents_;
}

long FakePlatform::LiveThreads() {
    std::lock_guard<std::mutex> g(lock_);
    return liveThreads_;
}

bool FakePlatform::TakeFailure(const std::string& call) {
    auto it = failures_.find(call);
    if (it == failures_.end() || it->second.empty()) return false;
    if (it->second.front().skip > 0) {
        --it->second.front().skip;
        return false;
    }
    const DWORD error = it->second.front().error;
    it->second.erase(it->second.begin());
    ::SetLastError(error);
    return true;
}

void FakePlatform::Log(const std::string& entry) {
    calls_.push_back(entry);
    callThreads_.push_back(::GetCurrentThreadId());
    ::SetEvent(changed_);
}

void FakePlatform::CompleteWait(DWORD events, DWORD status) {
    occurred_ |= events & mask_;
    if (!pendingWait_) return;
    if (status == 0 && occurred_ == 0) return;
    *pendingMask_ = status == 0 ? occurred_ : 0;
    if (status == 0) occurred_ = 0;
    pendingWait_->Internal = status;
    ::SetEvent(pendingWait_->hEvent);
    pendingWait_ = nullptr;
    pendingMask_ = nullptr;
}

// ---- Api: the serial device ----

HANDLE FakePlatform::CreateFileA(LPCSTR name, DWORD access, DWORD share, DWORD disposition,
                                 DWORD flags) {
    std::lock_guard<std::mutex> g(lock_);
    Log(std::string("CreateFileA ") + name + " access=" + Hex(access) + " share=" + Hex(share) +
        " disp=" + Hex(disposition) + " flags=" + Hex(flags));
    if (TakeFailure("CreateFileA")) return INVALID_HANDLE_VALUE;
    if (gone_) {
        ::SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    open_ = true;
    mask_ = 0;
    occurred_ = 0;
    return PortHandle();
}

BOOL FakePlatform::CloseHandle(HANDLE h) {
    std::lock_guard<std::mutex> g(lock_);
    if (h == PortHandle()) {
        Log("CloseHandle port");
        open_ = false;
        if (pendingRead_) {  // the handle's outstanding read ends with it
            pendingRead_->Internal = ERROR_OPERATION_ABORTED;
            pendingRead_->InternalHigh = 0;
            ::SetEvent(pendingRead_->hEvent);
            pendingRead_ = nullptr;
        }
        CompleteWait(0, ERROR_INVALID_HANDLE);
        return TRUE;
    }
    auto ev = std::find(events_.begin(), events_.end(), h);
    if (ev != events_.end()) {
        events_.erase(ev);
        --liveEvents_;
    }
    auto th = std::find(threads_.begin(), threads_.end(), h);
    if (th != threads_.end()) {
        threads_.erase(th);
        --liveThreads_;
    }
    return ::CloseHandle(h);
}

HANDLE FakePlatform::CreateFileW(LPCWSTR, DWORD, DWORD, DWORD, DWORD) {
    std::lock_guard<std::mutex> g(lock_);
    Log("CreateFileW");
    ::SetLastError(ERROR_FILE_NOT_FOUND);  // the fake has no disk files
    return INVALID_HANDLE_VALUE;
}

BOOL FakePlatform::SetCommMask(HANDLE h, DWORD mask) {
    std::lock_guard<std::mutex> g(lock_);
    Log("SetCommMask " + Hex(mask));
    if (BOOL result = FALSE; NotThePort(h, &result)) return result;
    if (Gone()) return FALSE;
    if (TakeFailure("SetCommMask")) return FALSE;
    mask_ = mask;
    occurred_ = 0;  // the driver forgets events of the old mask
    // A mask change ends a pending wait with an empty mask.
    if (pendingWait_) {
        *pendingMask_ = 0;
        pendingWait_->Internal = 0;
        ::SetEvent(pendingWait_->hEvent);
        pendingWait_ = nullptr;
        pendingMask_ = nullptr;
    }
    return TRUE;
}

BOOL FakePlatform::SetupComm(HANDLE, DWORD in, DWORD out) {
    std::lock_guard<std::mutex> g(lock_);
    Log("SetupComm " + std::to_string(in) + " " + std::to_string(out));
    return TRUE;
}

BOOL FakePlatform::PurgeComm(HANDLE, DWORD flags) {
    std::lock_guard<std::mutex> g(lock_);
    Log("PurgeComm " + std::to_string(flags));
    if (flags & PURGE_RXCLEAR) {
        inQueue_ = 0;
        readable_.clear();
    }
    if (flags & PURGE_TXCLEAR) outQueue_ = 0;
    return TRUE;
}

BOOL FakePlatform::SetCommTimeouts(HANDLE, COMMTIMEOUTS* t) {
    std::lock_guard<std::mutex> g(lock_);
    timeouts_ = *t;
    Log("SetCommTimeouts " + Hex(t->ReadIntervalTimeout) + " " +
        std::to_string(t->ReadTotalTimeoutMultiplier) + " " +
        std::to_string(t->ReadTotalTimeoutConstant) + " " +
        std::to_string(t->WriteTotalTimeoutMultiplier) + " " +
        std::to_string(t->WriteTotalTimeoutConstant));
    return TRUE;
}

BOOL FakePlatform::GetCommState(HANDLE, DCB* dcb) {
    std::lock_guard<std::mutex> g(lock_);
    Log("GetCommState");
    *dcb = state_;
    return TRUE;
}

BOOL FakePlatform::BuildCommDCBA(LPCSTR settings, DCB* dcb) {
    std::lock_guard<std::mutex> g(lock_);
    Log(std::string("BuildCommDCBA ") + settings);
    if (TakeFailure("BuildCommDCBA")) return FALSE;
    // The mode syntax is the platform's own: let the real parser judge the
    // text after the device name.
    const char* colon = std::strchr(settings, ':');
    std::string mode = colon ? std::string("COM1") + colon : settings;
    return ::BuildCommDCBA(mode.c_str(), dcb);
}

BOOL FakePlatform::SetCommState(HANDLE, DCB* dcb) {
    std::lock_guard<std::mutex> g(lock_);
    Log("SetCommState baud=" + std::to_string(dcb->BaudRate));
    if (TakeFailure("SetCommState")) return FALSE;
    state_ = *dcb;
    applied_ = *dcb;
    return TRUE;
}

BOOL FakePlatform::EscapeCommFunction(HANDLE h, DWORD func) {
    std::lock_guard<std::mutex> g(lock_);
    Log("EscapeCommFunction " + std::to_string(func));
    if (BOOL result = FALSE; NotThePort(h, &result)) return result;
    if (Gone()) return FALSE;
    return !TakeFailure("EscapeCommFunction");
}

BOOL FakePlatform::WaitCommEvent(HANDLE h, DWORD* mask, OVERLAPPED* ov) {
    std::lock_guard<std::mutex> g(lock_);
    Log("WaitCommEvent");
    if (BOOL result = FALSE; NotThePort(h, &result)) return result;
    if (Gone()) return FALSE;
    if (TakeFailure("WaitCommEvent")) return FALSE;
    if (waitMode_ == WaitMode::kUnsupported) {
        ::SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    if (waitMode_ == WaitMode::kLevelTriggered && inQueue_ > 0) occurred_ |= EV_RXCHAR & mask_;
    if (occurred_) {
        *mask = occurred_;
        occurred_ = 0;
        return TRUE;
    }
    pendingWait_ = ov;
    pendingMask_ = mask;
    ::SetLastError(ERROR_IO_PENDING);
    return FALSE;
}

BOOL FakePlatform::ClearCommError(HANDLE h, DWORD* errors, COMSTAT* stat) {
    std::lock_guard<std::mutex> g(lock_);
    Log("ClearCommError");
    if (BOOL result = FALSE; NotThePort(h, &result)) return result;
    if (Gone()) return FALSE;
    if (errors) *errors = errors_;
    errors_ = 0;
    if (stat) {
        *stat = COMSTAT{};
        stat->cbInQue = inQueue_;
        stat->cbOutQue = outQueue_;
    }
    return TRUE;
}

BOOL FakePlatform::ReadFile(HANDLE h, void* buf, DWORD len, DWORD* done, OVERLAPPED* ov) {
    std::lock_guard<std::mutex> g(lock_);
    Log("ReadFile " + std::to_string(len));
    if (done) *done = 0;
    if (ov && ov->hEvent) ::ResetEvent(ov->hEvent);  // as every overlapped ReadFile does
    if (BOOL result = FALSE; NotThePort(h, &result)) return result;
    if (Gone()) return FALSE;
    if (pendingRead_) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }  // a read is outstanding
    for (auto it = arrivals_.begin(); it != arrivals_.end();) {
        if (--it->reads == 0) {
            readable_.insert(readable_.end(), it->bytes.begin(), it->bytes.end());
            inQueue_ += static_cast<DWORD>(it->bytes.size());
            it = arrivals_.erase(it);
        } else {
            ++it;
        }
    }
    if (TakeFailure("ReadFile")) return FALSE;
    bool pend = readsPend_;
    if (semantics_ == Semantics::kWindows) {
        const bool waitForFirst = timeouts_.ReadIntervalTimeout == MAXDWORD &&
                                  timeouts_.ReadTotalTimeoutMultiplier == MAXDWORD &&
                                  timeouts_.ReadTotalTimeoutConstant > 0 &&
                                  timeouts_.ReadTotalTimeoutConstant < MAXDWORD;
        const bool atOnce = timeouts_.ReadIntervalTimeout == MAXDWORD &&
                            timeouts_.ReadTotalTimeoutMultiplier == 0 &&
                            timeouts_.ReadTotalTimeoutConstant == 0;
        // A stepped clock jumps past the read's own time-out at once.
        if (waitForFirst) pend = tickStep_ == 0;
        if (atOnce) pend = false;
    }
    if (pend && readable_.empty() && len > 0) {
        pendingRead_ = ov;
        pendingBuffer_ = static_cast<unsigned char*>(buf);
        pendingLength_ = len;
        ov->Internal = STATUS_PENDING;
        ::SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    const DWORD n = TakeInto(buf, len);
    if (done) *done = n;
    return TRUE;
}

BOOL FakePlatform::WriteFile(HANDLE h, const void* buf, DWORD len, DWORD* done, OVERLAPPED* ov) {
    std::lock_guard<std::mutex> g(lock_);
    Log("WriteFile " + std::to_string(len));
    if (ov && ov->hEvent) ::ResetEvent(ov->hEvent);  // as every overlapped WriteFile does
    if (BOOL result = FALSE; NotThePort(h, &result)) return result;
    if (Gone()) return FALSE;
    if (TakeFailure("WriteFile")) return FALSE;
    const DWORD n = writeChunk_ && len > writeChunk_ ? writeChunk_ : len;
    const auto* bytes = static_cast<const unsigned char*>(buf);
    written_.insert(written_.end(), bytes, bytes + n);
    if (peer_) {
        const std::string answer = peer_(bytes, n);
        if (!answer.empty()) Arrive(answer);
    }
    if (writesPend_) {
        ov->Internal = 0;
        ov->InternalHigh = n;
        ::SetEvent(ov->hEvent);
        ::SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    if (done) *done = n;
    return TRUE;
}

BOOL FakePlatform::GetOverlappedResult(HANDLE, OVERLAPPED* ov, DWORD* done, BOOL) {
    std::lock_guard<std::mutex> g(lock_);
    if (TakeFailure("GetOverlappedResult")) return FALSE;
    if (done) *done = static_cast<DWORD>(ov->InternalHigh);
    if (ov->Internal == STATUS_PENDING) {
        ::SetLastError(ERROR_IO_INCOMPLETE);
        return FALSE;
    }
    if (ov->Internal != 0) {
        ::SetLastError(static_cast<DWORD>(ov->Internal));
        return FALSE;
    }
    return TRUE;
}

BOOL FakePlatform::CancelIoEx(HANDLE, OVERLAPPED* ov) {
    std::lock_guard<std::mutex> g(lock_);
    Log("CancelIoEx");
    if (pendingWait_ == ov) CompleteWait(0, ERROR_OPERATION_ABORTED);
    if (pendingRead_ == ov && !cancelsHang_) {
        pendingRead_ = nullptr;
        ov->Internal = ERROR_OPERATION_ABORTED;
        ov->InternalHigh = 0;
        ::SetEvent(ov->hEvent);
    }
    return TRUE;
}

BOOL FakePlatform::TransmitCommChar(HANDLE h, char c) {
    std::lock_guard<std::mutex> g(lock_);
    Log("TransmitCommChar");
    if (BOOL result = FALSE; NotThePort(h, &result)) return result;
    if (Gone()) return FALSE;
    if (TakeFailure("TransmitCommChar")) return FALSE;
    transmitted_.push_back(static_cast<unsigned char>(c));
    return TRUE;
}

BOOL FakePlatform::SetCommBreak(HANDLE) {
    std::lock_guard<std::mutex> g(lock_);
    Log("SetCommBreak");
    return !TakeFailure("SetCommBreak");
}

BOOL FakePlatform::ClearCommBreak(HANDLE) {
    std::lock_guard<std::mutex> g(lock_);
    Log("ClearCommBreak");
    return !TakeFailure("ClearCommBreak");
}

BOOL FakePlatform::GetCommModemStatus(HANDLE h, DWORD* status) {
    std::lock_guard<std::mutex> g(lock_);
    if (BOOL result = FALSE; NotThePort(h, &result)) return result;
    if (Gone()) return FALSE;
    if (TakeFailure("GetCommModemStatus")) return FALSE;
    if (waitMode_ == WaitMode::kUnsupported) {
        ::SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    *status = modem_;
    return TRUE;
}

// ---- Api: events, threads, timing ----

HANDLE FakePlatform::CreateEventA(BOOL manualReset, BOOL initialState) {
    std::lock_guard<std::mutex> g(lock_);
    if (TakeFailure("CreateEventA")) return nullptr;
    HANDLE h = ::CreateEventA(nullptr, manualReset, initialState, nullptr);
    if (h) {
        events_.push_back(h);
        ++liveEvents_;
    }
    return h;
}

BOOL FakePlatform::SetEvent(HANDLE h) { return ::SetEvent(h); }
BOOL FakePlatform::ResetEvent(HANDLE h) { return ::ResetEvent(h); }
DWORD FakePlatform::WaitForSingleObject(HANDLE h, DWORD ms) { return ::WaitForSingleObject(h, ms); }
DWORD FakePlatform::WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL all, DWORD ms) {
    return ::WaitForMultipleObjects(count, handles, all, ms);
}

HANDLE FakePlatform::CreateThread(LPTHREAD_START_ROUTINE routine, void* arg, DWORD* id) {
    std::lock_guard<std::mutex> g(lock_);
    Log("CreateThread");
    if (TakeFailure("CreateThread")) return nullptr;
    HANDLE h = ::CreateThread(nullptr, 0, routine, arg, 0, id);
    if (h) {
        threads_.push_back(h);
        ++liveThreads_;
    }
    return h;
}

BOOL FakePlatform::SetThreadPriority(HANDLE thread, int priority) {
    std::lock_guard<std::mutex> g(lock_);
    Log("SetThreadPriority " + std::to_string(priority));
    return ::SetThreadPriority(thread, priority);
}

DWORD FakePlatform::GetTickCount() {
    std::lock_guard<std::mutex> g(lock_);
    tickOffset_ += tickStep_;
    return ::GetTickCount() + tickOffset_;
}
void FakePlatform::Sleep(DWORD ms) {
    bool windows = false;
    {
        std::lock_guard<std::mutex> g(lock_);
        windows = semantics_ == Semantics::kWindows;
    }
    if (windows && ms > 0) {
        const DWORD ticks = static_cast<DWORD>((ms * 1000ull + 15624) / 15625);  // 15.625 ms each
        ms = static_cast<DWORD>((ticks * 15625ull + 999) / 1000);
    }
    ::Sleep(ms);
}
DWORD FakePlatform::GetLastError() { return ::GetLastError(); }
void FakePlatform::SetLastError(DWORD code) { ::SetLastError(code); }

BOOL FakePlatform::PostMessageA(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
    std::lock_guard<std::mutex> g(lock_);
    posted_.push_back(PostedMessage{wnd, msg, wp, lp});
    ::SetEvent(changed_);
    // Real windows get the message too, so that tests can pump it into events.
    if (::IsWindow(wnd)) ::PostMessageA(wnd, msg, wp, lp);
    return TRUE;
}

}  // namespace qlr::test
