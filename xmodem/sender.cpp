// XModemEngine::Send: one file out, in 128- or 1024-byte blocks.
#include "xmodem/engine.h"

#include <algorithm>

namespace qlr::xmodem {

long XModemEngine::Send(port::Device& port, const wchar_t* fileName, port::IoRecord& read,
                        port::IoRecord& write, std::atomic<short>& status,
                        std::atomic<short>& progress, short protocol,
                        const std::atomic<short>& abort, short showMessages) {
    progress.store(0);
    status.store(kStatusRunning);
    const DWORD size = protocol == kXModem1K ? kLargeBlock : kSmallBlock;
    std::unique_ptr<File> file = files_.OpenForReading(fileName);
    if (!file) {
        status.store(kStatusFailed);
        return kFileOpenFailed;
    }
    Attach(port, read, write);
    UseTransferTimeouts();

    // The peer hears CAN CAN before the message box waits for the user;
    // after the peer's own cancel there is nobody left to tell.
    auto fail = [&](long code, bool tellPeer = true) {
        status.store(kStatusFailed);
        PurgeQueues();
        if (tellPeer) SendCancel();
        RestoreTimeouts();
        if (showMessages != 0 && sendFailed_) sendFailed_(code);
        file.reset();
        return code;
    };

    // The receiver's start character decides the check. The line is listened
    // to throughout the four attempts, so a start character is never missed.
    // What was queued before the send began belongs to an earlier session
    // (a peer that gave up on the last transfer answers our CAN CAN with its
    // own), except the start character of a receiver that is already waiting.
    bool crc = false;
    if (const int queued = TakeQueuedStart(); queued >= 0) {
        crc = queued == kCrcStart;
    } else {
        platform::Api& api = platform::Current();
        const DWORD budget = 4 * kSendStartPauseMs;
        const DWORD begun = api.GetTickCount();
        bool cancel = false;
        for (;;) {
            const DWORD spent = api.GetTickCount() - begun;
            unsigned char byte = 0;
            const long rc = ReadWithin(&byte, 1, spent < budget ? budget - spent : 0, 0, abort);
            if (rc == kTimedOut) return fail(kProtocolFailed, false);  // nobody to tell
            if (rc == kAborted) return fail(kAborted);
            if (rc != 0) return fail(kByteReadFailed);
            if (byte == kCrcStart || byte == kNak) {
                crc = byte == kCrcStart;
                break;
            }
            if (byte == kCan && cancel) return fail(kProtocolFailed, false);
            cancel = byte == kCan;
        }
    }
    // Further start characters may still be on their way: let the line settle
    // within the half second the receiver is given, then drop them.
    AwaitQuiet(std::min<DWORD>(timing_.quietMs, kStartQuietMs), kSendAfterStartMs, abort);
    PurgeQueues();

    int errors = 0;
    int copies = 0;  // times the current block went out
    unsigned long acknowledged = 0;
    bool last = false;
    DWORD frameLength = 0;
    for (;;) {
        if (abort.load()) return fail(kAborted);
        if (errors == 0) {  // a new block; otherwise the same one again
            DWORD got = 0;
            if (!file->Read(block_, size, got)) return fail(kFileReadFailed);
            if (got == 0) break;
            if (got < size) {
                last = true;
                PadBlock(block_, got, size);
            }
            const auto number = static_cast<unsigned char>((acknowledged + 1) & 0xFF);
            frame_[0] = size == kLargeBlock ? kStx : kSoh;
            frame_[1] = number;
            frame_[2] = static_cast<unsigned char>(255 - number);
            std::copy(block_, block_ + size, frame_ + 3);
            if (crc) {
                const std::uint16_t value = Crc16(block_, size, 0);
                frame_[3 + size] = static_cast<unsigned char>(value >> 8);
                frame_[4 + size] = static_cast<unsigned char>(value & 0xFF);
                frameLength = size + 5;
            } else {
                frame_[3 + size] = Checksum(block_, size);
                frameLength = size + 4;
            }
            copies = 0;
        } else {
            // An answer to an earlier copy may still come: drop it first; a
            // cancel among what is dropped still ends the transfer.
            if (DropStaleInput(timing_.quietMs, abort)) return fail(kProtocolFailed, false);
        }

        // One write per block; a failure names the field it stopped in.
        DWORD sent = 0;
        if (WriteBytes(frame_, static_cast<WORD>(frameLength), abort, &sent) != 0) {
            if (sent < 3) return fail(kByteWriteFailed);
            if (sent < 3 + size) return fail(kDataWriteFailed);
            return fail(crc ? kCrcWriteFailed : kByteWriteFailed);
        }
        ++copies;

        long error = 0;
        switch (AwaitAnswer(abort, error, frameLength)) {
        case Answer::kAck:
            errors = 0;
            ++acknowledged;
            progress.store(static_cast<short>(acknowledged & 0xFFFF));
            // A receiver that got two copies answers twice; the second
            // answer must not be taken for the next block's.
            if (copies > 1 && DropStaleInput(timing_.quietMs + 300 + 2 * BlockTimeMs(size), abort))
                return fail(kProtocolFailed, false);
            break;
        case Answer::kNak:
        case Answer::kNone:  // no answer in time: like a refusal
            ++errors;
            break;
        case Answer::kCancelled: return fail(kProtocolFailed, false);
        case Answer::kAborted:
        case Answer::kFailed: return fail(kByteReadFailed);
        }
        // An abort that ended the last pass wins over the exhausted retries.
        if (errors >= kRetryLimit) return fail(abort.load() ? kAborted : kProtocolFailed);
        if (last && errors == 0) break;
    }

    // End of transfer. A receiver may answer the first EOT with NAK to have it
    // confirmed, or its answer may be lost: EOT goes out again, up to the
    // retry limit.
    for (int tries = 1;; ++tries) {
        WriteByte(kEot, abort);
        long error = 0;
        const Answer answer = AwaitAnswer(abort, error, 1);
        if (answer == Answer::kAck) break;
        if (answer == Answer::kAborted) return fail(kAborted);
        if (answer == Answer::kFailed) return fail(error);
        if (answer == Answer::kCancelled) return fail(kProtocolFailed, false);
        if (tries >= kRetryLimit) return fail(abort.load() ? kAborted : kProtocolFailed);
        if (DropStaleInput(timing_.quietMs, abort)) return fail(kProtocolFailed, false);
    }
    RestoreTimeouts();
    status.store(kStatusCompleted);
    file.reset();
    return kCompleted;
}

}  // namespace qlr::xmodem
