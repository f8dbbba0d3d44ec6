// A scriptable stand-in for the platform layer: one fake serial device with
// queues, modem lines, line errors, pending waits and failing calls. Events,
// threads and waits are real, so the watch thread runs as in the product.
#pragma once

#include <windows.h>

#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace qlr::test {

struct PostedMessage {
    HWND window;
    UINT message;
    WPARAM wp;
    LPARAM lp;
};

class FakePlatform final : public platform::Api {
public:
    // How the device's event wait behaves.
    enum class WaitMode {
        kWindows,         // pends until an armed event occurs; a mask change ends it with mask 0
        kUnsupported,     // fails at once (a pseudo-terminal without modem lines)
        kLevelTriggered,  // like kWindows, but EV_RXCHAR stays signalled while bytes are queued
    };

    // Whose semantics the fake follows where Wine and Windows differ. Wine's
    // unless the environment sets QLR_FAKE_SEMANTICS=windows (the unit tests of
    // the port, receive, send and XModem code run under both). Windows: a read
    // with OpenComm's time-out record returns 0 bytes at once; a closed port
    // handle's value belongs to another object at once, so calls with it
    // succeed on that object (counted by StaleHandleCalls); sleeps are rounded
    // up to the 15.6 ms timer tick. Both: WaitCommEvent reports a change once
    // (kWindows wait mode) and the waits of a vanished device fail (Vanish).
    enum class Semantics { kWine, kWindows };
    static Semantics DefaultSemantics();
    // Selects the semantics in a test, whatever the environment says.
    // Windows' ReadFile follows the port's time-out record: with OpenComm's
    // (MAXDWORD, 0, 0) a read returns what is queued at once, possibly
    // nothing, whatever SetReadsPend says; with (MAXDWORD, MAXDWORD, n > 0) a
    // read on an empty queue pends until a byte arrives (its expiry after n ms
    // is not modelled, except with a stepped clock: it then ends at once).
    void SetWindowsSemantics(bool on);

    FakePlatform();
    ~FakePlatform() override;
    bool WindowsSemantics() {
        std::lock_guard<std::mutex> g(lock_);
        return semantics_ == Semantics::kWindows;
    }
    // Serial calls made with the port's value after it was closed (Windows).
    size_t StaleHandleCalls();

    static HANDLE PortHandle() { return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x5150)); }

    // ---- scripting, from the test's thread ----
    // The call of that name after `skip` successful ones fails with error.
    void FailNext(const std::string& call, DWORD error, int skip = 0);
    void SetWaitMode(WaitMode mode);
    void Receive(DWORD bytes);  // bytes arrive: the receive queue grows, EV_RXCHAR occurs
    // These bytes arrive (as Receive does); a pending read takes them at once.
    void Receive(const std::string& bytes);
    // The bytes arrive just before the read call `reads` calls from now (1: the next).
    void ReceiveAtRead(size_t reads, const std::string& bytes);
    // The queue count that ClearCommError reports, whatever bytes are readable.
    void SetReportedInQueue(DWORD count);
    // Reads that find nothing pend until bytes arrive or they are cancelled,
    // as Wine does with an interval time-out of MAXDWORD.
    void SetReadsPend(bool pend);
    void RaiseEvents(DWORD events);
    void SetLineErrors(DWORD errors);
    void SetModemStatus(DWORD status);
    void SetQueues(DWORD inQueue, DWORD outQueue);
    // The device goes away (an adapter pulled out): every call on the port,
    // a pending wait and a pending read included, fails with error; opening
    // fails with ERROR_FILE_NOT_FOUND. Back() brings it back.
    void Vanish(DWORD error);
    void Back();

    // CancelIoEx leaves a pending read pending (a driver that does not finish
    // the cancel); arriving bytes still complete it.
    void SetCancelsHang(bool hang);
    // Writes complete later: WriteFile pends and its event is signalled at once.
    void SetWritesPend(bool pend);
    // Writes accept at most this many bytes each (0: everything).
    void SetWriteChunk(DWORD bytes);
    // Every GetTickCount call moves the clock on by this many milliseconds.
    void SetTickStep(DWORD ms);
    // A scripted far end: called with the bytes of every port write, it gives
    // the bytes that arrive in answer (as Receive does). It runs with the
    // fake's lock held, so it must not call the fake.
    using Peer = std::function<std::string(const unsigned char* bytes, DWORD count)>;
    void SetPeer(Peer peer);

    // ---- observation ----
    std::vector<unsigned char> Written();      // every byte written, in order
    std::vector<unsigned char> Transmitted();  // priority characters
    std::vector<std::string> Calls();
    std::vector<DWORD>
    CallThreads();  // the calling thread of each entry of Calls()          // the serial calls, in order, with their arguments
    bool Called(const std::string& prefix);
    size_t CountCalls(const std::string& prefix);
    // Waits (bounded) until count messages were posted; returns all posted so far.
    std::vector<PostedMessage> WaitForPosts(size_t count, DWORD timeoutMs = 5000);
    std::vector<PostedMessage> Posted();
    // Waits (bounded) until the named call was made at least count times.
    bool WaitForCalls(const std::string& prefix, size_t count, DWORD timeoutMs = 5000);
    DWORD Mask();
    DCB AppliedDcb();
    bool PortOpen();
    bool ReadPending();
    const void* PendingReadBuffer();        // where a pending read will put its bytes
    std::vector<unsigned char> Readable();  // bytes still queued for reading
    long LiveEvents();                      // event objects created and not yet closed
    long LiveThreads();                     // thread handles created and not yet closed

    // ---- Api ----
    HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, DWORD disposition,
                       DWORD flags) override;
    BOOL CloseHandle(HANDLE h) override;
    HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share, DWORD disposition,
                       DWORD flags) override;
    BOOL SetCommMask(HANDLE h, DWORD mask) override;
    BOOL SetupComm(HANDLE h, DWORD in, DWORD out) override;
    BOOL PurgeComm(HANDLE h, DWORD flags) override;
    BOOL SetCommTimeouts(HANDLE h, COMMTIMEOUTS* t) override;
    BOOL GetCommState(HANDLE h, DCB* dcb) override;
    BOOL BuildCommDCBA(LPCSTR settings, DCB* dcb) override;
    BOOL SetCommState(HANDLE h, DCB* dcb) override;
    BOOL EscapeCommFunction(HANDLE h, DWORD func) override;
    BOOL WaitCommEvent(HANDLE h, DWORD* mask, OVERLAPPED* ov) override;
    BOOL ClearCommError(HANDLE h, DWORD* errors, COMSTAT* stat) override;
    BOOL ReadFile(HANDLE h, void* buf, DWORD len, DWORD* done, OVERLAPPED* ov) override;
    BOOL WriteFile(HANDLE h, const void* buf, DWORD len, DWORD* done, OVERLAPPED* ov) override;
    BOOL GetOverlappedResult(HANDLE h, OVERLAPPED* ov, DWORD* done, BOOL wait) override;
    BOOL CancelIoEx(HANDLE h, OVERLAPPED* ov) override;
    BOOL TransmitCommChar(HANDLE h, char c) override;
    BOOL SetCommBreak(HANDLE h) override;
    BOOL ClearCommBreak(HANDLE h) override;
    BOOL GetCommModemStatus(HANDLE h, DWORD* status) override;
    HANDLE CreateEventA(BOOL manualReset, BOOL initialState) override;
    BOOL SetEvent(HANDLE h) override;
    BOOL ResetEvent(HANDLE h) override;
    DWORD WaitForSingleObject(HANDLE h, DWORD ms) override;
    DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL all, DWORD ms) override;
    HANDLE CreateThread(LPTHREAD_START_ROUTINE routine, void* arg, DWORD* id) override;
    BOOL SetThreadPriority(HANDLE thread, int priority) override;
    DWORD GetTickCount() override;
    void Sleep(DWORD ms) override;
    DWORD GetLastError() override;
    void SetLastError(DWORD code) override;
    BOOL PostMessageA(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) override;

private:
    bool TakeFailure(const std::string& call);  // with the lock held
    bool Gone();                                // with the lock held; sets the error
    // With the lock held: the call names a handle that is not the open port.
    // Wine: fails with ERROR_INVALID_HANDLE. Windows: a closed port's value
    // is another object's now, and the call succeeds on it (counted).
    bool NotThePort(HANDLE h, BOOL* result);
    void Log(const std::string& entry);             // with the lock held
    void CompleteWait(DWORD events, DWORD status);  // with the lock held
    void SignalIfLevel();                           // with the lock held
    void Arrive(const std::string& bytes);          // with the lock held
    DWORD TakeInto(void* buf, DWORD len);           // with the lock held

    std::mutex lock_;
    struct Failure {
        int skip;
        DWORD error;
    };
    std::map<std::string, std::vector<Failure>> failures_;
    std::vector<std::string> calls_;
    std::vector<DWORD> callThreads_;  // the thread of each call
    std::vector<PostedMessage> posted_;
    HANDLE changed_;  // auto-reset: something was logged or posted

    WaitMode waitMode_ = WaitMode::kWindows;
    bool open_ = false;
    DWORD mask_ = 0;
    DWORD occurred_ = 0;
    OVERLAPPED* pendingWait_ = nullptr;
    DWORD* pendingMask_ = nullptr;
    bool writesPend_ = false;
    DWORD writeChunk_ = 0;
    DWORD tickStep_ = 0;
    DWORD tickOffset_ = 0;
    Peer peer_;
    std::vector<unsigned char> written_;
    std::vector<unsigned char> transmitted_;
    DWORD inQueue_ = 0;
    std::deque<unsigned char> readable_;
    unsigned char nextFill_ = 0;  // value of the next byte that Receive(count) queues
    struct Arrival {
        size_t reads;
        std::string bytes;
    };
    std::vector<Arrival> arrivals_;
    bool readsPend_ = false;
    bool cancelsHang_ = false;
    COMMTIMEOUTS timeouts_{};
    OVERLAPPED* pendingRead_ = nullptr;
    unsigned char* pendingBuffer_ = nullptr;
    DWORD pendingLength_ = 0;
    DWORD outQueue_ = 0;
    DWORD errors_ = 0;
    DWORD modem_ = 0;
    DWORD gone_ = 0;
    Semantics semantics_ = DefaultSemantics();
    size_t staleCalls_ = 0;
    DCB state_{};
    DCB applied_{};
    long liveEvents_ = 0;
    long liveThreads_ = 0;
    std::vector<HANDLE> events_;
    std::vector<HANDLE> threads_;
};

// Installs a FakePlatform for the lifetime of the object.
class FakePlatformScope {
public:
    FakePlatformScope() { platform::Install(&fake); }
    ~FakePlatformScope() { platform::Install(nullptr); }
    FakePlatform fake;
};

}  // namespace qlr::test
