// XModemEngine::Send: one file out, in 128- or 1024-byte blocks.
#include "xmodem/engine.h"

namespace qlr::xmodem {

long XModemEngine::Send(HANDLE port, const wchar_t* fileName, const OVERLAPPED& read,
                        const OVERLAPPED& write, std::atomic<short>& status,
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

    auto fail = [&](long code) {
        status.store(kStatusFailed);
        if (showMessages != 0 && sendFailed_) sendFailed_(code);
        PurgeQueues();
        file.reset();
        return code;
    };

    // The receiver's start character decides the check.
    bool crc = false;
    bool started = false;
    for (int attempt = 0; attempt < 4 && !started; ++attempt) {
        unsigned char byte = 0;
        const long rc = PollByte(byte);
        if (rc != 0 && rc != -1) return fail(kByteReadFailed);
        if (rc == 0 && (byte == kCrcStart || byte == kNak)) {
            crc = byte == kCrcStart;
            started = true;
        } else if (!Pause(kSendStartPauseMs, abort)) {
            return fail(kAborted);
        }
    }
    if (!started) return fail(kProtocolFailed);
    PurgeQueues();  // further start characters
    Pause(kSendAfterStartMs, abort);

    int errors = 0;
    unsigned long acknowledged = 0;
    bool last = false;
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
        }
        const auto number = static_cast<unsigned char>((acknowledged + 1) & 0xFF);
        if (WriteByte(size == kLargeBlock ? kStx : kSoh, abort) != 0) return fail(kByteWriteFailed);
        if (WriteByte(number, abort) != 0) return fail(kByteWriteFailed);
        if (WriteByte(static_cast<unsigned char>(255 - number), abort) != 0)
            return fail(kByteWriteFailed);
        if (WriteBlock(block_, size, abort) != 0) return fail(kDataWriteFailed);
        if (crc) {
            if (WriteCrc(Crc16(block_, size, 0), abort) != 0) return fail(kCrcWriteFailed);
        } else if (WriteByte(Checksum(block_, size), abort) != 0) {
            return fail(kByteWriteFailed);
        }
        unsigned char answer = 0;
        if (ReadByte(answer, abort) != 0) return fail(kByteReadFailed);
        if (answer == kAck) {
            errors = 0;
            ++acknowledged;
            progress.store(static_cast<short>(acknowledged & 0xFFFF));
        } else {
            ++errors;
            PurgeQueues();
        }
        if (errors >= kRetryLimit) return fail(kProtocolFailed);
        if (last && errors == 0) break;
    }

    // End of transfer. A receiver may answer the first EOT with NAK to have it
    // confirmed: EOT goes out again, up to the retry limit.
    for (int naks = 0;;) {
        WriteByte(kEot, abort);
        unsigned char answer = 0;
        const long rc = ReadByte(answer, abort);
        if (rc != 0) return fail(rc);
        if (answer == kAck) break;
        if (answer != kNak || ++naks >= kRetryLimit) return fail(kProtocolFailed);
    }
    status.store(kStatusCompleted);
    file.reset();
    return kCompleted;
}

}  // namespace qlr::xmodem
