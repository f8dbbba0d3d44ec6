#include "port/watch.h"

#include "port/errors.h"
#include "port/line_settings.h"
#include "port/open_port.h"

namespace qlr::port {
namespace {

class Watcher {
public:
    explicit Watcher(OpenPort& port) : port_(port), s_(port.state), api_(platform::Current()) {}

    void Run() {
        mask_ = WatchMask(s_);
        if (!port_.dev().SetCommMask(mask_)) return;
        // Setting the mask forgets earlier events: bytes that came since the
        // port opened are looked for once.
        if ((mask_ & EV_RXCHAR) && !s_.inFileTransfer.load()) LookAtReceived();
        if (ended_) return;
        bool polling = false;
        while (port_.watchRun.load()) {
            if (polling) {
                if (!Poll()) break;
                continue;
            }
            DWORD events = 0;
            const Outcome outcome = Wait(events);
            if (!port_.watchRun.load() || outcome == Outcome::kStopped) break;
            if (outcome == Outcome::kFailed) {
                if (lastError_ == ERROR_INVALID_HANDLE) break;
                if (DeviceGone()) break;
                // The device cannot wait for events (a pseudo-terminal under
                // some platforms refuses or keeps cancelling the wait): watch
                // it by looking at its status instead.
                port_.dev().SetCommMask(mask_ & ~kModemEvents);
                polling = true;
                TakeBaseline();
                continue;
            }
            // Only what this thread asked for: events of OpenComm's earlier mask
            // may still be reported once.
            if (!Dispatch(events & mask_)) Pause();
            if (ended_) break;
        }
    }

private:
    enum class Outcome { kEvents, kFailed, kStopped };

    Outcome Wait(DWORD& events) {
        Device& port = port_.dev();
        HANDLE done = port_.watch.event.get();
        OVERLAPPED& record = port_.watch.overlapped;
        api_.ResetEvent(done);
        record = OVERLAPPED{};
        record.hEvent = done;
        port_.watchEventMask = 0;
        if (port.WaitCommEvent(&port_.watchEventMask, &record)) {
            events = port_.watchEventMask;
            return Outcome::kEvents;
        }
        const DWORD error = api_.GetLastError();
        if (error != ERROR_IO_PENDING) {
            lastError_ = error;
            return Outcome::kFailed;
        }
        const HANDLE waits[2] = {done, port_.watchStop.get()};
        const DWORD woke = api_.WaitForMultipleObjects(2, waits, FALSE, INFINITE);
        if (woke != WAIT_OBJECT_0) {
            // Asked to stop with the wait still pending. The record lives in
            // the open port until its handle is closed, so it need not be finished.
            port.CancelIoEx(&record);
            api_.WaitForSingleObject(done, 1000);
            return Outcome::kStopped;
        }
        DWORD transferred = 0;
        if (!port.GetOverlappedResult(&record, &transferred, FALSE)) {
            lastError_ = api_.GetLastError();
            return Outcome::kFailed;
        }
        events = port_.watchEventMask;
        return Outcome::kEvents;
    }

    // Acts on the first event of the wake-up; false when it brought nothing new.
    bool Dispatch(DWORD events) {
        Device& port = port_.dev();
        if (events & EV_ERR) {
            DWORD errors = 0;
            COMSTAT stat{};
            if (!port.ClearCommError(&errors, &stat)) return DeviceGone();
            if (errors == 0) return false;  // reported already, with received data
            PostLineError(errors);
            return true;
        }
        if (events & EV_RXCHAR) {
            // The transfer reads the data itself. A platform that signals for as
            // long as bytes stay queued would otherwise wake the thread at once
            // again and again: nothing new, so it pauses.
            if (s_.inFileTransfer.load()) return false;
            return LookAtReceived();
        }
        if (events & EV_TXEMPTY) {
            PostSendEmpty();
            return true;
        }
        if (events & kModemEvents) {
            PostModemEvents(events);
            return true;
        }
        return false;
    }

    // Announces received data; false when there was nothing new. The look at
    // the queue clears the error flags too: errors found here are reported
    // now, or no one would ever hear of them.
    bool LookAtReceived() {
        DWORD errors = 0;
        COMSTAT stat{};
        if (!port_.dev().ClearCommError(&errors, &stat)) return DeviceGone();
        const bool lineError = errors != 0 && (mask_ & EV_ERR);
        if (lineError) PostLineError(errors);
        return AnnounceReceived(stat.cbInQue) || lineError;
    }

    // A port whose wait failed and that no longer answers ClearCommError has
    // lost its device (an adapter pulled out): reported once, as 130 with the
    // system's error, and the thread ends. A port that answers merely cannot
    // wait for events.
    bool DeviceGone() {
        DWORD errors = 0;
        COMSTAT stat{};
        if (port_.dev().ClearCommError(&errors, &stat)) return false;
        const DWORD error = api_.GetLastError();
        if (error != ERROR_INVALID_HANDLE && port_.watchRun.load())
            Post(WM_COMM_ERROR, err::kDeviceGone, static_cast<LPARAM>(error));
        ended_ = true;
        return true;
    }

    // The messages, each under its one condition, for both the event wait and
    // the status look.
    void PostLineError(DWORD errors) {
        Post(WM_COMM_ERROR, err::kLineError, static_cast<LPARAM>(errors));
    }
    // False when the bytes were announced before.
    bool AnnounceReceived(DWORD inQueue) {
        if (!NewBytes(inQueue)) return false;
        if (inQueue >= static_cast<DWORD>(s_.QcNotifyRecvChars.load())) Post(WM_COMM_RECV, 0, 0);
        return true;
    }
    void PostSendEmpty() {
        if (s_.QcNotifySendComplete.load() != 0) Post(WM_COMM_SENDEMPTY, 0, 0);
    }
    void PostModemEvents(DWORD events) { Post(WM_COMM_NOTIFY, 0, static_cast<LPARAM>(events)); }

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

    // Bytes that stay queued wake a level-triggered wait again and again: the
    // thread rests until the host reads them (then the next bytes are new at
    // once) or for one poll interval.
    void Pause() {
        const HANDLE waits[2] = {port_.watchStop.get(), port_.readNoticed.get()};
        api_.WaitForMultipleObjects(2, waits, FALSE, kWatchPollMs);
    }

    void TakeBaseline() {
        DWORD errors = 0;
        COMSTAT stat{};
        port_.dev().ClearCommError(&errors, &stat);
        lastInQueue_ = 0;  // bytes already queued are announced at the first look
        lastReads_ = s_.readGeneration.load();
        lastOutQueue_ = stat.cbOutQue;
        lastWrites_ = s_.writeGeneration.load();
        modemKnown_ = port_.dev().GetCommModemStatus(&lastModem_) != FALSE;
    }

    // One look at a port that cannot signal events. Posts at most one message,
    // in the order of the event wake-up; what is not acted on stays for the
    // next look. False when the port has gone.
    bool Poll() {
        if (api_.WaitForSingleObject(port_.watchStop.get(), kWatchPollMs) == WAIT_OBJECT_0)
            return false;
        Device& port = port_.dev();
        DWORD errors = 0;
        COMSTAT stat{};
        if (!port.ClearCommError(&errors, &stat)) {
            const DWORD error = api_.GetLastError();
            if (error != ERROR_INVALID_HANDLE && port_.watchRun.load())
                Post(WM_COMM_ERROR, err::kDeviceGone, static_cast<LPARAM>(error));
            return false;
        }
        if (errors != 0 && (mask_ & EV_ERR)) {
            PostLineError(errors);
            return true;
        }
        if (mask_ & EV_RXCHAR) {
            if (s_.inFileTransfer.load())
                NewBytes(stat.cbInQue);
            else if (AnnounceReceived(stat.cbInQue))
                return true;
        }
        const unsigned writes = s_.writeGeneration.load();
        const bool emptied = stat.cbOutQue == 0 && (lastOutQueue_ != 0 || writes != lastWrites_);
        lastOutQueue_ = stat.cbOutQue;
        lastWrites_ = writes;
        if (emptied && (mask_ & EV_TXEMPTY)) {
            PostSendEmpty();
            return true;
        }
        if (modemKnown_) {
            DWORD modem = 0;
            if (port.GetCommModemStatus(&modem)) {
                const DWORD changed = modem ^ lastModem_;
                lastModem_ = modem;
                DWORD events = 0;
                if (changed & MS_CTS_ON) events |= EV_CTS;
                if (changed & MS_DSR_ON) events |= EV_DSR;
                if (changed & MS_RLSD_ON) events |= EV_RLSD;
                if ((changed & MS_RING_ON) && (modem & MS_RING_ON)) events |= EV_RING;
                if (events) PostModemEvents(events);
            }
        }
        return true;
    }

    void Post(UINT message, WPARAM wp, LPARAM lp) {
        if (HWND window = s_.notifyWindow.load()) api_.PostMessageA(window, message, wp, lp);
    }

    OpenPort& port_;
    ControlState& s_;
    platform::Api& api_;
    DWORD mask_ = 0;
    DWORD lastError_ = 0;
    bool ended_ = false;
    DWORD lastInQueue_ = 0;
    unsigned lastReads_ = 0;
    DWORD lastOutQueue_ = 0;
    unsigned lastWrites_ = 0;
    bool modemKnown_ = false;
    DWORD lastModem_ = 0;
};

}  // namespace

DWORD WINAPI WatchThreadMain(void* openPort) {
    Watcher(*static_cast<OpenPort*>(openPort)).Run();
    return 0;
}

}  // namespace qlr::port
