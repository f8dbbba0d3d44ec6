#include "port/watch.h"

#include "control/state.h"
#include "port/line_settings.h"

namespace qlr::port {
namespace {

class Watcher {
public:
    explicit Watcher(ControlState& s) : s_(s), api_(platform::Current()) {}

    void Run() {
        mask_ = WatchMask(s_);
        if (!api_.SetCommMask(s_.hComm.load(), mask_)) return;
        bool polling = false;
        while (s_.watchRun.load()) {
            if (polling) {
                if (!Poll()) break;
                continue;
            }
            DWORD events = 0;
            const Outcome outcome = Wait(events);
            if (!s_.watchRun.load() || outcome == Outcome::kStopped) break;
            if (outcome == Outcome::kFailed) {
                if (lastError_ == ERROR_INVALID_HANDLE) break;
                // The device cannot wait for events (a pseudo-terminal under
                // some platforms refuses or keeps cancelling the wait): watch
                // it by looking at its status instead.
                api_.SetCommMask(s_.hComm.load(), mask_ & ~kModemEvents);
                polling = true;
                TakeBaseline();
                continue;
            }
            if (!Dispatch(events)) Pause();
        }
    }

private:
    enum class Outcome { kEvents, kFailed, kStopped };

    Outcome Wait(DWORD& events) {
        HANDLE port = s_.hComm.load();
        HANDLE done = s_.watchEvent.get();
        api_.ResetEvent(done);
        s_.watchOverlapped = OVERLAPPED{};
        s_.watchOverlapped.hEvent = done;
        s_.watchEventMask = 0;
        if (api_.WaitCommEvent(port, &s_.watchEventMask, &s_.watchOverlapped)) {
            events = s_.watchEventMask;
            return Outcome::kEvents;
        }
        const DWORD error = api_.GetLastError();
        if (error != ERROR_IO_PENDING) {
            lastError_ = error;
            return Outcome::kFailed;
        }
        const HANDLE waits[2] = {done, s_.watchStop.get()};
        const DWORD woke = api_.WaitForMultipleObjects(2, waits, FALSE, INFINITE);
        if (woke != WAIT_OBJECT_0) {
            // Asked to stop with the wait still pending. The record lives in
            // the state until the port is closed, so it need not be finished.
            api_.CancelIoEx(port, &s_.watchOverlapped);
            api_.WaitForSingleObject(done, 1000);
            return Outcome::kStopped;
        }
        DWORD transferred = 0;
        if (!api_.GetOverlappedResult(port, &s_.watchOverlapped, &transferred, FALSE)) {
            lastError_ = api_.GetLastError();
            return Outcome::kFailed;
        }
        events = s_.watchEventMask;
        return Outcome::kEvents;
    }

    // Acts on the first event of the wake-up; false when it brought nothing new.
    bool Dispatch(DWORD events) {
        HANDLE port = s_.hComm.load();
        if (events & EV_ERR) {
            DWORD errors = 0;
            COMSTAT stat{};
            api_.ClearCommError(port, &errors, &stat);
            Post(WM_COMM_ERROR, 124, static_cast<LPARAM>(errors));
            return true;
        }
        if (events & EV_RXCHAR) {
            if (s_.inFileTransfer.load()) return true;
            DWORD errors = 0;
            COMSTAT stat{};
            api_.ClearCommError(port, &errors, &stat);
            if (!NewBytes(stat.cbInQue)) return false;
            if (stat.cbInQue >= static_cast<DWORD>(s_.QcNotifyRecvChars.load()))
                Post(WM_COMM_RECV, 0, 0);
            return true;
        }
        if (events & EV_TXEMPTY) {
            if (s_.QcNotifySendComplete.load() != 0) Post(WM_COMM_SENDEMPTY, 0, 0);
            return true;
        }
        if (events & kModemEvents) {
            Post(WM_COMM_NOTIFY, 0, static_cast<LPARAM>(events));
            return true;
        }
        return false;
    }

    // Received data counts as new when the queue count changed or the host
    // read since the last look; a platform that signals while bytes merely
    // stay queued then wakes the thread without a second notification.
    bool NewBytes(DWORD inQueue) {
        const unsigned reads = s_.readGeneration.load();
        const bool fresh = inQueue != 0 && (inQueue != lastInQueue_ || reads != lastReads_);
        lastInQueue_ = inQueue;
        lastReads_ = reads;
        return fresh;
    }

    void Pause() { api_.WaitForSingleObject(s_.watchStop.get(), kWatchPollMs); }

    void TakeBaseline() {
        DWORD errors = 0;
        COMSTAT stat{};
        api_.ClearCommError(s_.hComm.load(), &errors, &stat);
        lastInQueue_ = 0;  // bytes already queued are announced at the first look
        lastReads_ = s_.readGeneration.load();
        lastOutQueue_ = stat.cbOutQue;
        lastWrites_ = s_.writeGeneration.load();
        modemKnown_ = api_.GetCommModemStatus(s_.hComm.load(), &lastModem_) != FALSE;
    }

    // One look at a port that cannot signal events. Posts at most one message,
    // in the order of the event wake-up; what is not acted on stays for the
    // next look. False when the port has gone.
    bool Poll() {
        if (api_.WaitForSingleObject(s_.watchStop.get(), kWatchPollMs) == WAIT_OBJECT_0)
            return false;
        HANDLE port = s_.hComm.load();
        DWORD errors = 0;
        COMSTAT stat{};
        if (!api_.ClearCommError(port, &errors, &stat) &&
            api_.GetLastError() == ERROR_INVALID_HANDLE)
            return false;
        if (errors != 0 && (mask_ & EV_ERR)) {
            Post(WM_COMM_ERROR, 124, static_cast<LPARAM>(errors));
            return true;
        }
        if (mask_ & EV_RXCHAR) {
            if (s_.inFileTransfer.load()) {
                NewBytes(stat.cbInQue);
            } else if (NewBytes(stat.cbInQue)) {
                if (stat.cbInQue >= static_cast<DWORD>(s_.QcNotifyRecvChars.load()))
                    Post(WM_COMM_RECV, 0, 0);
                return true;
            }
        }
        const unsigned writes = s_.writeGeneration.load();
        const bool emptied = stat.cbOutQue == 0 && (lastOutQueue_ != 0 || writes != lastWrites_);
        lastOutQueue_ = stat.cbOutQue;
        lastWrites_ = writes;
        if (emptied && (mask_ & EV_TXEMPTY)) {
            if (s_.QcNotifySendComplete.load() != 0) Post(WM_COMM_SENDEMPTY, 0, 0);
            return true;
        }
        if (modemKnown_) {
            DWORD modem = 0;
            if (api_.GetCommModemStatus(port, &modem)) {
                const DWORD changed = modem ^ lastModem_;
                lastModem_ = modem;
                DWORD events = 0;
                if (changed & MS_CTS_ON) events |= EV_CTS;
                if (changed & MS_DSR_ON) events |= EV_DSR;
                if (changed & MS_RLSD_ON) events |= EV_RLSD;
                if ((changed & MS_RING_ON) && (modem & MS_RING_ON)) events |= EV_RING;
                if (events) Post(WM_COMM_NOTIFY, 0, static_cast<LPARAM>(events));
            }
        }
        return true;
    }

    void Post(UINT message, WPARAM wp, LPARAM lp) {
        if (HWND window = s_.notifyWindow.load()) api_.PostMessageA(window, message, wp, lp);
    }

    ControlState& s_;
    platform::Api& api_;
    DWORD mask_ = 0;
    DWORD lastError_ = 0;
    DWORD lastInQueue_ = 0;
    unsigned lastReads_ = 0;
    DWORD lastOutQueue_ = 0;
    unsigned lastWrites_ = 0;
    bool modemKnown_ = false;
    DWORD lastModem_ = 0;
};

}  // namespace

DWORD WINAPI WatchThreadMain(void* state) {
    Watcher(*static_cast<ControlState*>(state)).Run();
    return 0;
}

}  // namespace qlr::port
