// XModemEngine::Receive: one file in, 128- and 1024-byte blocks in any mix.
#include "xmodem/engine.h"

#include <algorithm>

namespace qlr::xmodem {

namespace {
// Which sum a sender puts after a 1024-byte block in checksum mode.
enum class SumRule { kUndecided, kWhole, kFirst128 };
}  // namespace

long XModemEngine::Receive(port::Device& port, const wchar_t* fileName, port::IoRecord& read,
                           port::IoRecord& write, std::atomic<short>& status,
                           std::atomic<short>& progress, short protocol,
                           const std::atomic<short>& abort, short /*showMessages*/) {
    progress.store(0);
    status.store(kStatusRunning);
    std::unique_ptr<File> file = files_.CreateForWriting(fileName);
    if (!file) {
        status.store(kStatusFailed);
        return kFileOpenFailed;
    }
    Attach(port, read, write);
    UseTransferTimeouts();
    // Bytes queued before the transfer (a stale EOT, the tail of an earlier
    // block) belong to no block of this one.
    PurgeQueues();

    auto end = [&](long code) {
        RestoreTimeouts();
        file.reset();
        status.store(code == kCompleted ? kStatusCompleted : kStatusFailed);
        return code;
    };
    auto fail = [&](long code, bool tellPeer = true) {
        file.reset();
        status.store(kStatusFailed);
        PurgeQueues();
        if (tellPeer) SendCancel();
        RestoreTimeouts();
        return code;
    };

    // Start handshake: each start character is followed by three seconds of
    // listening for the first header.
    bool crc = false;
    bool inHand = false;  // the handshake read the first block's header
    unsigned char header = 0;
    const bool checksumOnly = protocol == kXModemCheckSum;
    platform::Api& api = platform::Current();
    for (int attempt = 0; attempt < 3 && !inHand; ++attempt) {
        if (WriteByte(checksumOnly ? kNak : kCrcStart, abort) != 0) return fail(kByteWriteFailed);
        const DWORD begun = api.GetTickCount();
        for (bool first = true;; first = false) {
            const DWORD spent = api.GetTickCount() - begun;
            if (spent >= kRecvStartPauseMs && !first) break;
            unsigned char byte = 0;
            // A time-out, an abort (the next write ends the receive) or a
            // failed read: the next attempt.
            const DWORD left = spent < kRecvStartPauseMs ? kRecvStartPauseMs - spent : 0;
            if (ReadWithin(&byte, 1, left, 0, abort) != 0) break;
            // EOT at once is an empty file: taken as the first header in either
            // mode, or a sender that sends nothing else is never answered.
            if (byte == kSoh || byte == kEot || (!checksumOnly && byte == kStx)) {
                header = byte;
                inHand = true;
                break;
            }
            // CAN before the first block or EOT is ignored: after a failed
            // transfer, its peer's cancel may still come in reply to ours.
        }
    }
    if (inHand) {
        crc = !checksumOnly;
    } else if (checksumOnly) {
        return fail(abort.load() ? kAborted : kNoChecksumStart);
    } else {
        WriteByte(kNak, abort);  // fall back to the checksum variant
    }

    unsigned long accepted = 0;
    int errors = 0;
    DWORD pendingSubs = 0;  // trailing SUB bytes of the last block, not yet written
    SumRule rule = SumRule::kUndecided;
    bool haveCandidate = false;
    SumRule candidateRule = SumRule::kUndecided;
    unsigned char candidateNumber = 0;

    // A rejected block is read to its end and the line left to settle, so
    // that no rest of it is taken for the next header. True when what came
    // last, the block's bytes (tail) and the rest dropped, was the sender's
    // CAN CAN: the transfer has ended then, and nothing is answered.
    auto reject = [&](bool purge, short newStatus, CancelTail tail = {}) {
        AwaitQuiet(timing_.quietMs, timing_.settleBudgetMs + BlockTimeMs(kLargeBlock), abort,
                   &tail);
        if (tail.Heard()) return true;
        if (purge) PurgeQueues();
        WriteByte(kNak, abort);
        ++errors;
        if (newStatus != kStatusRunning) status.store(newStatus);
        return false;
    };
    for (;;) {
        // An abort wins over the exhausted retries it may have caused.
        if (abort.load()) return fail(kAborted);
        if (errors >= kRetryLimit) return fail(kProtocolFailed);
        Pause(kRecvPassPauseMs, abort);

        if (inHand) {
            inHand = false;
        } else {
            const long rc = ReadWithin(&header, 1, timing_.answerMs, 0, abort);
            if (rc != 0) {
                if (rc == kTimedOut) WriteByte(kNak, abort);  // the block or our answer was lost
                ++errors;
                continue;
            }
        }
        if (header == kEot) {
            // EOT ends the transfer only when nothing follows it: a block
            // numbered 4 whose SOH was lost starts with the same byte.
            unsigned char next = 0;
            // Quiet for at least two characters' time, at any speed.
            const DWORD quiet = std::max(timing_.quietMs, 2 * WireTimeMs(1));
            const long rc = ReadWithin(&next, 1, quiet, 0, abort);
            if (rc == kTimedOut) {
                // Every accepted block is on disk already; its padding is not.
                WriteByte(kAck, abort);
                return end(kCompleted);
            }
            if (rc == 0) {
                if (reject(true, kStatusRunning)) return fail(kProtocolFailed, false);
            } else {
                ++errors;
            }
            continue;
        }
        if (header == kCan) {
            unsigned char next = 0;
            if (ReadWithin(&next, 1, timing_.byteGapMs, 0, abort) == 0 && next == kCan)
                return fail(kProtocolFailed, false);
            if (reject(true, kStatusRunning)) return fail(kProtocolFailed, false);
            continue;
        }
        if (header != kSoh && header != kStx) {  // noise, or a header lost to it
            if (reject(true, kStatusRunning)) return fail(kProtocolFailed, false);
            continue;
        }
        const DWORD size = header == kStx ? kLargeBlock : kSmallBlock;

        // Number, complement, data and check value, bounded between bytes.
        const DWORD rest = 2 + size + (crc ? 2 : 1);
        DWORD got = 0;
        // A receiver's FIFO hands bytes over in bursts: at low speeds a gap
        // lasts as long as a burst takes on the wire.
        const DWORD gap = timing_.byteGapMs + WireTimeMs(kFifoBytes);
        const long rc = ReadWithin(frame_, rest, gap, gap, abort, &got);
        if (rc == kTimedOut) {  // bytes were lost, or the sender stopped and cancelled
            CancelTail tail;
            tail.Feed(frame_, got);
            if (reject(true, kStatusRunning, tail)) return fail(kProtocolFailed, false);
            continue;
        }
        if (rc != 0) {
            if (got < 2) return fail(kByteReadFailed);
            if (got < 2 + size) return fail(kDataReadFailed);
            return fail(crc ? kCrcReadFailed : kByteReadFailed);
        }
        // A sender waits for our answer after a block: a byte right behind it
        // means the block took in a byte that is not its own (noise, a
        // duplicate), and what was read as its check value may be data. An
        // 8-bit checksum passes such a shifted block once in 256.
        // A cancel whose CANs filled up the rest of a block is heard in its
        // bytes and what follows them.
        CancelTail frameTail;
        frameTail.Feed(frame_, rest);
        unsigned char extra = 0;
        if (ReadWithin(&extra, 1, 2 * BlockTimeMs(0) / 5 + 1, 0, abort) == 0) {
            frameTail.Feed(&extra, 1);
            if (reject(true, kStatusRunning, frameTail)) return fail(kProtocolFailed, false);
            continue;
        }
        const unsigned char number = frame_[0];
        const unsigned char complement = frame_[1];
        const unsigned char* data = frame_ + 2;
        const unsigned char* check = frame_ + 2 + size;

        // A repeat of the last accepted block: our ACK was lost. It is
        // checked, acknowledged and dropped.
        const bool repeat = accepted > 0 && number == static_cast<unsigned char>(accepted & 0xFF);
        if (number != static_cast<unsigned char>((accepted + 1) & 0xFF) && !repeat) {
            if (reject(true, kStatusBadNumber, frameTail)) return fail(kProtocolFailed, false);
            continue;
        }
        if (number + complement != 255) {
            if (reject(true, kStatusBadComplement, frameTail)) return fail(kProtocolFailed, false);
            continue;
        }
        if (crc) {
            const auto value = static_cast<std::uint16_t>((check[0] << 8) | check[1]);
            if (value != Crc16(data, size, 0)) {
                if (reject(true, kStatusBadCrc, frameTail)) return fail(kProtocolFailed, false);
                continue;
            }
        } else {
            const bool whole = check[0] == Checksum(data, size);
            bool ok = whole;
            if (size == kLargeBlock) {
                const bool first = check[0] == Checksum128(data);
                if (rule == SumRule::kFirst128) {
                    ok = first;
                } else if (rule == SumRule::kUndecided && whole != first) {
                    // Only one rule takes it: a sender of that rule, or damage
                    // the other rule would see. A second equal copy decides.
                    const SumRule seen = whole ? SumRule::kWhole : SumRule::kFirst128;
                    ok = haveCandidate && candidateRule == seen && candidateNumber == number &&
                         std::equal(data, data + size, candidate_);
                    if (ok) {
                        rule = seen;
                    } else {
                        std::copy(data, data + size, candidate_);
                        candidateRule = seen;
                        candidateNumber = number;
                        haveCandidate = true;
                    }
                }
            }
            if (!ok) {
                // neither purge nor a status change
                if (reject(false, kStatusRunning, frameTail)) return fail(kProtocolFailed, false);
                continue;
            }
        }
        if (repeat) {
            if (WriteByte(kAck, abort) != 0) return fail(kByteWriteFailed);
            status.store(kStatusBadNumber);
            continue;
        }
        // On disk before it is acknowledged; trailing SUB bytes wait, since
        // only the last block's are padding.
        const DWORD kept = TrimPadding(data, size);
        if (kept > 0) {
            std::fill(spare_, spare_ + kLargeBlock, kSub);
            for (DWORD left = pendingSubs; left > 0;) {
                const DWORD part = std::min(left, kLargeBlock);
                if (!file->Write(spare_, part)) return fail(kFileWriteFailed);
                left -= part;
            }
            pendingSubs = 0;
            if (!file->Write(data, kept)) return fail(kFileWriteFailed);
        }
        pendingSubs += size - kept;
        if (WriteByte(kAck, abort) != 0) return fail(kByteWriteFailed);
        errors = 0;
        ++accepted;
        progress.store(static_cast<short>(accepted & 0xFFFF));
    }
}

}  // namespace qlr::xmodem
