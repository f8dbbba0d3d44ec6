#include "port/watch.h"

#include <mmsystem.h>

#include <algorithm>
#include <new>

#include "port/errors.h"
#include "port/line_settings.h"
#include "port/open_port.h"
#include "port/overlapped_io.h"

namespace qlr::port {
namespace {

constexpr long kFrameIdleGap = 3;
constexpr long kFrameModbusRtu = 4;
constexpr DWORD kFrameReadSize = kFrameReadBytes;

// The system timer's default tick (15.6 ms) would stretch a silence of a few
// milliseconds; while a thread times one, the tick is 1 ms.
class FineTimer {
public:
    FineTimer() : held_(timeBeginPeriod(1) == TIMERR_NOERROR) {}
    ~FineTimer() {
        if (held_) timeEndPeriod(1);
    }
    FineTimer(const FineTimer&) = delete;
    FineTimer& operator=(const FineTimer&) = delete;

private:
    bool held_;
};

class Watcher {
public:
    explicit Watcher(OpenPort& port)
        : port_(port),
          s_(port.state),
          api_(platform::Current()),
          framing_(port.frameMode != 0),
          timed_(port.frameMode == kFrameIdleGap || port.frameMode == kFrameModbusRtu) {}

    void Run() {
        mask_ = WatchMask(s_);
        if (framing_) {
            // Framing reads whatever arrives, whatever QcNotifyRecvChars says.
            mask_ |= EV_RXCHAR;
            frameBuffer_.reset(new (std::nothrow) unsigned char[kFrameReadSize]);
        }
        std::unique_ptr<FineTimer> fineTimer;
        if (timed_) fineTimer.reset(new (std::nothrow) FineTimer);
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
            if (outcome == Outcome::kIdle) {
                // A silence to time, or a read of the host's that may have
                // left bytes queued; the event wait stays pending.
                LookAgain();
                NoteSilence();
                if (ended_) break;
                continue;
            }
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
            if (!Dispatch(events & mask_)) {
                Pause();
                // Bytes that came during the pause raised their event while no
                // one waited, and a platform that signals arrival only does
                // not signal them again: they are looked for now.
                if (port_.watchRun.load()) LookAgain();
            }
            if (ended_) break;
        }
    }

private:
    enum class Outcome { kEvents, kFailed, kStopped, kIdle };

    Outcome Wait(DWORD& events) {
        Device& port = port_.dev();
        HANDLE done = port_.watch.event.get();
        OVERLAPPED& record = port_.watch.overlapped;
        if (!waitPending_) {
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
            waitPending_ = true;
        }
        // The wait also ends when the silence that ends a frame is due, and
        // when the host's thread has read or purged or a transfer has ended:
        // bytes left queued or arriving in between raised no event of their own.
        const HANDLE waits[3] = {done, port_.watchStop.get(), port_.readNoticed.get()};
        const DWORD woke = api_.WaitForMultipleObjects(3, waits, FALSE, SilenceDueMs());
        if (woke == WAIT_TIMEOUT || woke == WAIT_OBJECT_0 + 2) return Outcome::kIdle;
        waitPending_ = false;
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
            // Errors and data of one wake-up are reported from one look: the
            // data's own event is spent, and on a platform that signals arrival
            // only nothing else would announce it.
            if ((events & EV_RXCHAR) && !s_.inFileTransfer.load()) return LookAtReceived();
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

    // One look at the queue outside an event: received data unless a transfer
    // owns the port; line errors always.
    void LookAgain() {
        if (!s_.inFileTransfer.load() && (mask_ & EV_RXCHAR)) {
            LookAtReceived();
            return;
        }
        DWORD errors = 0;
        COMSTAT stat{};
        if (!port_.dev().ClearCommError(&errors, &stat)) {
            DeviceGone();
            return;
        }
        if (errors != 0 && (mask_ & EV_ERR)) PostLineError(errors);
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
        if (framing_) return ReadForFraming(stat.cbInQue) || lineError;
        return AnnounceReceived(stat.cbInQue) || lineError;
    }

    // Framing: takes what is queued, stamped with the time of the read, for
    // the host's thread. Never while the host reads or a transfer runs: they
    // have the port to themselves (HostRead, WaitForWatchRead).
    bool ReadForFraming(DWORD queued) {
        bool took = false;
        while (queued > 0 && frameBuffer_) {
            s_.watchReading.store(1);
            if (s_.hostReading.load() || s_.inFileTransfer.load()) {
                s_.watchReading.store(0);
                break;
            }
            // No more than is queued: the read completes at once everywhere.
            const DWORD want = std::min(queued, kFrameReadSize);
            const IoResult io = ReadSome(port_.dev(), port_.frameRead, frameBuffer_.get(), want,
                                         kIoSliceMs, nullptr);
            const ULONGLONG stamp = api_.MicrosecondClock();
            s_.watchReading.store(0);
            if (!io.ok || io.done == 0) break;
            Queue(frameBuffer_.get(), io.done, stamp);
            took = true;
            lastArrivalUs_ = stamp;
            silencePending_ = timed_;
            queued = io.done < want ? 0 : queued - want;
        }
        return took;
    }

    void Queue(const unsigned char* data, DWORD size, ULONGLONG stamp) {
        std::unique_ptr<ReceivedChunk> chunk = ReceivedChunk::Make(data, size, stamp);
        if (!chunk) return;
        // One message while chunks wait; again when an earlier post found no window.
        if (s_.receivedChunks.Push(std::move(chunk)) || postOwed_)
            postOwed_ = !Post(WM_COMM_FRAME, 0, 0);
    }

    // Milliseconds until the silence after the last bytes ends a frame.
    DWORD SilenceDueMs() {
        if (!silencePending_) return INFINITE;
        const ULONGLONG gap = port_.frameGapUs.load();
        if (gap == 0) return 1;  // the line's settings are not applied yet
        const ULONGLONG quiet = api_.MicrosecondClock() - lastArrivalUs_;
        return quiet >= gap ? 0 : static_cast<DWORD>((gap - quiet + 999) / 1000);
    }

    // Queues the silence once the gap after the last bytes has passed (a
    // wait can end early by up to a timer tick: then the next wait covers it).
    void NoteSilence() {
        if (!silencePending_ || SilenceDueMs() != 0 || s_.inFileTransfer.load()) return;
        silencePending_ = false;
        Queue(nullptr, 0, api_.MicrosecondClock());
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
        api_.WaitForMultipleObjects(2, waits, FALSE, std::min(kWatchPollMs, SilenceDueMs()));
        NoteSilence();
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
        // A framing watch looks more often: the look is all that tells it of
        // arrivals here.
        const DWORD pollMs = framing_ ? std::min(kFramePollMs, SilenceDueMs()) : kWatchPollMs;
        if (api_.WaitForSingleObject(port_.watchStop.get(), pollMs) == WAIT_OBJECT_0) return false;
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
            else if (framing_ ? ReadForFraming(stat.cbInQue) : AnnounceReceived(stat.cbInQue))
                return true;
            NoteSilence();
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

    bool Post(UINT message, WPARAM wp, LPARAM lp) {
        HWND window = s_.notifyWindow.load();
        return window && api_.PostMessageA(window, message, wp, lp);
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
    // Framing.
    const bool framing_;
    const bool timed_;  // frames end with a silence of the line
    std::unique_ptr<unsigned char[]> frameBuffer_;
    bool waitPending_ = false;
    bool silencePending_ = false;
    ULONGLONG lastArrivalUs_ = 0;
    bool postOwed_ = false;
};

}  // namespace

DWORD WINAPI WatchThreadMain(void* openPort) {
    Watcher(*static_cast<OpenPort*>(openPort)).Run();
    return 0;
}

}  // namespace qlr::port
