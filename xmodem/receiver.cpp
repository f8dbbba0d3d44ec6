// XModemEngine::Receive: one file in, 128- and 1024-byte blocks in any mix.
#include "xmodem/engine.h"

namespace qlr::xmodem {

long XModemEngine::Receive(HANDLE port, const wchar_t* fileName, const OVERLAPPED& read,
                           const OVERLAPPED& write, std::atomic<short>& status,
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

    // Endings without the purge, and the failure ending with it.
    auto end = [&](long code) {
        file.reset();
        status.store(code == kCompleted ? kStatusCompleted : kStatusFailed);
        return code;
    };
    auto fail = [&](long code) {
        file.reset();
        status.store(kStatusFailed);
        PurgeQueues();
        return code;
    };

    // Start handshake.
    bool crc = false;
    bool inHand = false;  // the handshake read the first block's header
    unsigned char header = 0;
    const bool checksumOnly = protocol == kXModemCheckSum;
    for (int attempt = 0; attempt < 3 && !inHand; ++attempt) {
        if (WriteByte(checksumOnly ? kNak : kCrcStart, abort) != 0) return end(kByteWriteFailed);
        Pause(kRecvStartPauseMs, abort);
        unsigned char byte = 0;
        // EOT at once is an empty file: taken as the first header in either
        // mode, or a sender that sends nothing else is never answered.
        if (PollByte(byte) == 0 && (byte == kSoh || byte == kEot || (!checksumOnly && byte == kStx))) {
            header = byte;
            inHand = true;
        }
    }
    if (inHand) {
        crc = !checksumOnly;
    } else if (checksumOnly) {
        return fail(kNoChecksumStart);
    } else {
        WriteByte(kNak, abort);  // fall back to the checksum variant
    }

    unsigned long accepted = 0;
    int errors = 0;
    DWORD pending = 0;  // size of the accepted block still in block_; 0: none
    auto reject = [&](bool purge, short newStatus) {
        if (purge) PurgeQueues();
        WriteByte(kNak, abort);
        ++errors;
        if (newStatus != kStatusRunning) status.store(newStatus);
    };
    for (;; ) {
        if (errors >= kRetryLimit) return fail(kProtocolFailed);
        if (abort.load()) return fail(kAborted);
        Pause(kRecvPassPauseMs, abort);

        if (inHand) {
            inHand = false;
        } else if (ReadByte(header, abort) != 0) {
            ++errors;
            continue;
        }
        if (header == kEot) {
            WriteByte(kAck, abort);
            if (pending != 0 && !file->Write(block_, TrimPadding(block_, pending)))
                return fail(kFileWriteFailed);
            return end(kCompleted);
        }
        if (header != kSoh && header != kStx) return end(kProtocolFailed);
        const DWORD size = header == kStx ? kLargeBlock : kSmallBlock;

        unsigned char number = 0;
        if (ReadByte(number, abort) != 0) return fail(kByteReadFailed);
        // A repeat of the last accepted block: our ACK was lost. It is read
        // (into the spare buffer), acknowledged and dropped.
        const bool repeat = accepted > 0 && number == static_cast<unsigned char>(accepted & 0xFF);
        if (number != static_cast<unsigned char>((accepted + 1) & 0xFF) && !repeat) {
            reject(true, kStatusBadNumber);
            continue;
        }
        unsigned char complement = 0;
        if (ReadByte(complement, abort) != 0) return fail(kByteReadFailed);
        if (number + complement != 255) {
            reject(true, kStatusBadComplement);
            continue;
        }
        if (!repeat && pending != 0) {
            if (!file->Write(block_, pending)) return fail(kFileWriteFailed);
            pending = 0;
        }
        unsigned char* data = repeat ? spare_ : block_;
        if (ReadBlock(data, size, abort) != 0) return fail(kDataReadFailed);
        if (crc) {
            std::uint16_t value = 0;
            if (ReadCrc(value, abort) != 0) return fail(kCrcReadFailed);
            if (value != Crc16(data, size, 0)) {
                reject(true, kStatusBadCrc);
                continue;
            }
        } else {
            unsigned char sum = 0;
            if (ReadByte(sum, abort) != 0) return fail(kByteReadFailed);
            if (sum != Checksum(data, size) && sum != Checksum128(data)) {
                reject(false, kStatusRunning);  // neither purge nor a status change
                continue;
            }
        }
        if (WriteByte(kAck, abort) != 0) return fail(kByteWriteFailed);
        if (repeat) {
            status.store(kStatusBadNumber);
            continue;
        }
        errors = 0;
        ++accepted;
        progress.store(static_cast<short>(accepted & 0xFFFF));
        pending = size;
    }
}

}  // namespace qlr::xmodem
