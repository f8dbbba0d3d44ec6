#include "ymodem/engine.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

namespace qlr::ymodem {

using namespace qlr::xmodem;

namespace {

// Size and time from a header's fields after the name; absent ones stay 0.
void ParseFacts(const unsigned char* fields, size_t length, bool& sized, unsigned long long& size,
                long long& modified) {
    std::string text(reinterpret_cast<const char*>(fields), length);
    text = text.substr(0, text.find('\0'));
    unsigned long long s = 0, m = 0;
    const int n = std::sscanf(text.c_str(), "%llu %llo", &s, &m);
    sized = n >= 1;
    size = sized ? s : 0;
    modified = n >= 2 ? static_cast<long long>(m) : 0;
}

}  // namespace

YModemEngine::YModemEngine(BatchFileSystem& files, Overwrite overwrite)
    : files_(files), overwrite_(std::move(overwrite)), io_(files) {}

int YModemEngine::Await(const char* wanted, DWORD ms, const std::atomic<short>& abort) {
    long error = 0;
    return io_.AwaitByte(wanted, ms, abort, error);
}

int YModemEngine::TakeQueuedRequest() {
    // What a receiver sent before the send began: its last request counts,
    // unless a cancel of an earlier session follows it.
    int request = kNothing;
    for (int n = 0; n < 4096; ++n) {
        unsigned char byte = 0;
        if (io_.PollByte(byte) != 0) break;
        if (byte == kCrcStart || byte == kNak || byte == kStreamStart) request = byte;
        if (byte == kCan) request = kNothing;
    }
    return request;
}

long YModemEngine::WaitFailure(int answer) {
    if (answer == kCancelled) {
        peerGone_ = true;
        return kProtocolFailed;
    }
    if (answer == kAbortedWait) return kAborted;
    if (answer == kReadFailed) return kByteReadFailed;
    return 0;
}

bool YModemEngine::CancelledWhileStreaming() {
    // A stream is never answered, so whatever the receiver sends meanwhile is
    // read here: its CAN CAN stops the stream now, not after the whole file.
    while (io_.QueuedBytes() > 0) {
        unsigned char byte = 0;
        if (io_.PollByte(byte) != 0) break;
        if (byte == kCan && streamCan_) return true;
        streamCan_ = byte == kCan;
    }
    return false;
}

long YModemEngine::SendBlock(unsigned number, DWORD size, bool crc, bool streaming,
                             const std::atomic<short>& abort) {
    frame_[0] = size == kLargeBlock ? kStx : kSoh;
    frame_[1] = static_cast<unsigned char>(number & 0xFF);
    frame_[2] = static_cast<unsigned char>(255 - frame_[1]);
    std::copy(block_, block_ + size, frame_ + 3);
    DWORD length = size + 4;
    if (crc) {
        const std::uint16_t value = io_.Crc16(block_, size, 0);
        frame_[3 + size] = static_cast<unsigned char>(value >> 8);
        frame_[4 + size] = static_cast<unsigned char>(value & 0xFF);
        length = size + 5;
    } else {
        frame_[3 + size] = XModemEngine::Checksum(block_, size);
    }
    for (int copies = 1;; ++copies) {
        DWORD sent = 0;
        if (io_.WriteBytes(frame_, static_cast<WORD>(length), abort, &sent) != 0) {
            if (abort.load()) return kAborted;
            if (sent < 3) return kByteWriteFailed;
            if (sent < 3 + size) return kDataWriteFailed;
            return crc ? kCrcWriteFailed : kByteWriteFailed;
        }
        if (streaming) return 0;
        // 'C' is a receiver's NAK too (it missed block 0, or asks again).
        const int answer = Await(
            "\x06\x15"
            "C",
            io_.timing().answerMs + io_.BlockTimeMs(size), abort);
        if (answer == kAck) {
            // A receiver that got two copies answers twice.
            if (copies > 1)
                io_.DropStaleInput(io_.timing().quietMs + 2 * io_.BlockTimeMs(size), abort);
            return 0;
        }
        if (const long rc = WaitFailure(answer)) return rc;
        if (copies >= kRetryLimit) return kProtocolFailed;
        io_.DropStaleInput(io_.timing().quietMs, abort);
    }
}

long YModemEngine::Send(port::Device& port, port::IoRecord& read, port::IoRecord& write,
                        const std::vector<std::wstring>& paths, std::atomic<short>& status,
                        std::atomic<short>& progress, const std::atomic<short>& abort) {
    progress.store(0);
    status.store(kStatusRunning);
    peerGone_ = false;
    streamCan_ = false;
    io_.Attach(port, read, write);
    io_.UseTransferTimeouts();
    std::unique_ptr<File> file;
    auto fail = [&](long code) {
        file.reset();
        status.store(kStatusFailed);
        io_.PurgeQueues();
        if (!peerGone_) io_.SendCancel();
        io_.RestoreTimeouts();
        return code;
    };
    // A request ends with the receiver's start byte, or what the wait found.
    auto request = [&](DWORD ms, int& byte) -> long {
        byte = Await("CG\x15", ms, abort);
        if (byte >= 0 || byte == kNothing) return 0;
        if (byte == kCancelled) peerGone_ = true;
        if (byte == kAbortedWait) return kAborted;
        return byte == kCancelled ? kProtocolFailed : kByteReadFailed;
    };

    int asked = TakeQueuedRequest();
    if (asked == kNothing) {
        if (const long rc = request(kSenderStartMs, asked)) return fail(rc);
        if (asked == kNothing) {
            peerGone_ = true;  // nobody there to tell
            return fail(kProtocolFailed);
        }
    }
    unsigned long blocks = 0;
    for (size_t index = 0; index <= paths.size(); ++index) {
        if (abort.load()) return fail(kAborted);
        const bool last = index == paths.size();
        FileFacts facts;
        std::fill(block_, block_ + kLargeBlock, static_cast<unsigned char>(0));
        DWORD headerSize = kSmallBlock;
        if (!last) {
            const wchar_t* path = paths[index].c_str();
            if (!files_.Stat(path, facts) || facts.folder || !(file = files_.OpenForReading(path)))
                return fail(kFileOpenFailed);
            const std::string name = HeaderName(paths[index]);
            char fields[64];
            std::snprintf(fields, sizeof fields, "%llu %llo 0", facts.size,
                          static_cast<unsigned long long>(std::max(facts.modified, 0LL)));
            const size_t length = name.size() + 1 + std::strlen(fields);
            if (length >= kLargeBlock) return fail(kFileOpenFailed);
            if (length >= kSmallBlock) headerSize = kLargeBlock;
            std::memcpy(block_, name.data(), name.size());
            std::memcpy(block_ + name.size() + 1, fields, std::strlen(fields));
        }
        if (asked == kNothing) {  // the receiver's request for this header
            if (const long rc = request(io_.timing().answerMs, asked)) return fail(rc);
            if (asked == kNothing) return fail(kProtocolFailed);
        }
        bool streaming = asked == kStreamStart;
        bool crc = asked != kNak;
        if (const long rc = SendBlock(0, headerSize, crc, streaming, abort)) return fail(rc);
        asked = kNothing;
        // Receivers answer the batch's end even when streaming: a 'G' asks for
        // it again, CAN CAN says it never came. One that stays silent has
        // already confirmed every file with the ACK of its EOT.
        for (int copies = 1; last && streaming; ++copies) {
            const int answer =
                Await("\x06G", io_.timing().answerMs + io_.BlockTimeMs(headerSize), abort);
            if (answer == kAck || answer == kNothing) break;
            if (const long rc = WaitFailure(answer)) return fail(rc);
            if (copies >= kRetryLimit) return fail(kProtocolFailed);
            if (const long rc = SendBlock(0, headerSize, crc, true, abort)) return fail(rc);
        }
        if (last) break;

        // The request for the data; a receiver whose request was lost is
        // sent the data after the wait, as it expects it then.
        if (const long rc = request(io_.timing().answerMs, asked)) return fail(rc);
        if (asked != kNothing) {
            streaming = asked == kStreamStart;
            crc = asked != kNak;
        }
        asked = kNothing;
        unsigned long long left = facts.size;
        for (unsigned number = 1;; ++number) {
            if (abort.load()) return fail(kAborted);
            const DWORD size = left > kSmallTailBytes ? kLargeBlock : kSmallBlock;
            DWORD got = 0;
            if (!file->Read(block_, size, got)) return fail(kFileReadFailed);
            if (got == 0) break;
            XModemEngine::PadBlock(block_, got, size);
            if (const long rc = SendBlock(number, size, crc, streaming, abort)) return fail(rc);
            if (streaming && CancelledWhileStreaming()) {
                peerGone_ = true;
                return fail(kProtocolFailed);
            }
            left -= std::min<unsigned long long>(left, got);
            progress.store(static_cast<short>(++blocks & 0xFFFF));
            if (got < size) break;
        }
        file.reset();
        // EOT until it is acknowledged; a NAK asks for it again.
        for (int tries = 1;; ++tries) {
            if (io_.WriteByte(kEot, abort) != 0)
                return fail(abort.load() ? kAborted : kByteWriteFailed);
            const int answer = Await("\x06\x15", io_.timing().answerMs, abort);
            if (answer == kAck) break;
            if (const long rc = WaitFailure(answer)) return fail(rc);
            if (tries >= kRetryLimit) return fail(kProtocolFailed);
        }
    }
    io_.RestoreTimeouts();
    status.store(kStatusCompleted);
    return kCompleted;
}

long YModemEngine::ReadRest(unsigned char header, DWORD& size, const std::atomic<short>& abort) {
    size = header == kStx ? kLargeBlock : kSmallBlock;
    const DWORD rest = 2 + size + 2;
    DWORD got = 0;
    const Timing& timing = io_.timing();
    const long rc = io_.ReadWithin(frame_, rest, timing.byteGapMs, timing.byteGapMs, abort, &got);
    if (rc == 0 || rc == kTimedOut) return rc;
    if (rc == kAborted) return kAborted;
    if (got < 2) return kByteReadFailed;
    if (got < 2 + size) return kDataReadFailed;
    return kCrcReadFailed;
}

bool YModemEngine::Intact(DWORD size, bool /*crc*/) const {
    if (frame_[0] + frame_[1] != 255) return false;
    const auto value = static_cast<std::uint16_t>((frame_[2 + size] << 8) | frame_[3 + size]);
    return value == io_.Crc16(frame_ + 2, size, 0);
}

long YModemEngine::Receive(port::Device& port, port::IoRecord& read, port::IoRecord& write,
                           const Destination& destination, std::atomic<short>& status,
                           std::atomic<short>& progress, short protocol,
                           const std::atomic<short>& abort) {
    progress.store(0);
    status.store(kStatusRunning);
    peerGone_ = false;
    io_.Attach(port, read, write);
    io_.UseTransferTimeouts();
    io_.PurgeQueues();
    const Timing& timing = io_.timing();
    const unsigned char start = protocol == kYModemG ? kStreamStart : kCrcStart;
    const bool streaming = start == kStreamStart;
    std::unique_ptr<File> file;
    auto fail = [&](long code) {
        file.reset();  // what arrived stays, without the sender's time
        status.store(kStatusFailed);
        io_.PurgeQueues();
        if (!peerGone_) io_.SendCancel();
        io_.RestoreTimeouts();
        return code;
    };
    // A damaged block: read to its end and let the line settle, then NAK.
    int errors = 0;
    auto reject = [&](short newStatus) {
        io_.AwaitQuiet(timing.quietMs, timing.settleBudgetMs + io_.BlockTimeMs(kLargeBlock), abort);
        io_.PurgeQueues();
        if (newStatus != kStatusRunning) status.store(newStatus);
        ++errors;
    };
    auto cancelled = [&](long& code) {
        unsigned char next = 0;
        if (io_.ReadWithin(&next, 1, timing.byteGapMs, 0, abort) == 0 && next == kCan) {
            peerGone_ = true;
            code = kProtocolFailed;
            return true;
        }
        return false;
    };

    if (destination.first.empty() && !destination.folder.empty()) {
        FileFacts facts;
        if (!files_.Stat(destination.folder.c_str(), facts) &&
            !files_.MakeFolder(destination.folder.c_str()))
            return fail(kFileOpenFailed);
    }

    unsigned long blocks = 0;
    for (size_t index = 0;; ++index) {
        // ---- the header (block 0) ----
        const bool first = index == 0;
        const DWORD interval = first ? kRecvStartPauseMs : timing.answerMs;
        const int tries = first ? 2 * kRetryLimit : kRetryLimit;
        DWORD size = 0;
        bool have = false;
        errors = 0;
        for (int attempt = 0; attempt < tries && !have;) {
            if (abort.load()) return fail(kAborted);
            if (io_.WriteByte(start, abort) != 0)
                return fail(abort.load() ? kAborted : kByteWriteFailed);
            ++attempt;
            const DWORD begun = platform::Current().GetTickCount();
            for (;;) {
                const DWORD spent = platform::Current().GetTickCount() - begun;
                unsigned char header = 0;
                const long rc =
                    io_.ReadWithin(&header, 1, spent < interval ? interval - spent : 0, 0, abort);
                if (rc == kTimedOut) break;
                if (rc == kAborted) return fail(kAborted);
                if (rc != 0) return fail(kByteReadFailed);
                if (header == kEot) {  // the sender missed our ACK of its EOT
                    if (io_.WriteByte(kAck, abort) != 0) return fail(kByteWriteFailed);
                    continue;
                }
                if (header == kCan) {
                    long code = 0;
                    if (cancelled(code)) return fail(code);
                    continue;
                }
                if (header != kSoh && header != kStx) continue;  // noise
                const long got = ReadRest(header, size, abort);
                // A streaming sender takes a second request as the request for
                // its data, so a header that has to be asked for again ends the
                // stream instead.
                if (got == kTimedOut || (got == 0 && !Intact(size, true))) {
                    if (streaming) {
                        status.store(kStatusBadCrc);
                        return fail(kProtocolFailed);
                    }
                    reject(kStatusBadCrc);
                    break;
                }
                if (got != 0) return fail(got);
                if (frame_[0] != 0) {
                    // Streaming: the sender went on to the data of a header we
                    // never had. Otherwise a repeat of the last block: our ACK was lost.
                    if (streaming) {
                        status.store(kStatusBadNumber);
                        return fail(kProtocolFailed);
                    }
                    if (io_.WriteByte(kAck, abort) != 0) return fail(kByteWriteFailed);
                    continue;
                }
                have = true;
                break;
            }
        }
        if (!have) return fail(kProtocolFailed);
        const unsigned char* data = frame_ + 2;
        const size_t nameLength = std::find(data, data + size, 0) - data;
        if (nameLength == 0) {  // the end of the batch
            io_.WriteByte(kAck, abort);
            io_.RestoreTimeouts();
            // A batch that offered no file at all (a sender that gave up on
            // every one) delivered nothing that was asked for.
            if (first) {
                status.store(kStatusFailed);
                return kProtocolFailed;
            }
            status.store(kStatusCompleted);
            return kCompleted;
        }
        const std::string sent(reinterpret_cast<const char*>(data), nameLength);
        bool sized = false;
        unsigned long long length = 0;
        long long modified = 0;
        if (nameLength + 1 < size)
            ParseFacts(data + nameLength + 1, size - nameLength - 1, sized, length, modified);

        // ---- the file ----
        const std::wstring path = PathFor(destination, index, sent);
        FileFacts existing;
        bool keep = true;
        if (files_.Stat(path.c_str(), existing)) {
            if (existing.folder) return fail(kFileOpenFailed);
            keep = !overwrite_ || overwrite_(path);
        }
        if (keep && !(file = files_.CreateForWriting(path.c_str()))) return fail(kFileOpenFailed);
        // The sender may have repeated its header while we asked.
        io_.PurgeQueues();
        if (io_.WriteByte(kAck, abort) != 0) return fail(kByteWriteFailed);

        // ---- its data ----
        unsigned long long received = 0;
        DWORD pendingSubs = 0;  // unsized: trailing SUB bytes not yet written
        unsigned expected = 1;
        bool started = false;
        errors = 0;
        if (io_.WriteByte(start, abort) != 0) return fail(kByteWriteFailed);
        for (;;) {
            if (abort.load()) return fail(kAborted);
            if (errors >= kRetryLimit) return fail(kProtocolFailed);
            unsigned char header = 0;
            const long rc = io_.ReadWithin(&header, 1, timing.answerMs, 0, abort);
            if (rc == kTimedOut) {
                if (streaming) return fail(kProtocolFailed);
                // The block or our answer was lost; the first request may have been.
                if (io_.WriteByte(started ? kNak : start, abort) != 0)
                    return fail(kByteWriteFailed);
                ++errors;
                continue;
            }
            if (rc == kAborted) return fail(kAborted);
            if (rc != 0) return fail(kByteReadFailed);
            if (header == kEot) {
                // Only a quiet EOT ends the file (a lost SOH could leave one).
                unsigned char next = 0;
                if (io_.ReadWithin(&next, 1, timing.quietMs, 0, abort) == kTimedOut) break;
                if (streaming) return fail(kProtocolFailed);
                reject(kStatusRunning);
                io_.WriteByte(kNak, abort);
                continue;
            }
            if (header == kCan) {
                long code = 0;
                if (cancelled(code)) return fail(code);
            }
            if (header != kSoh && header != kStx) {
                if (streaming) return fail(kProtocolFailed);
                reject(kStatusRunning);
                io_.WriteByte(kNak, abort);
                continue;
            }
            DWORD blockSize = 0;
            const long got = ReadRest(header, blockSize, abort);
            if (got != 0 && got != kTimedOut) return fail(got);
            const unsigned char number = frame_[0];
            short verdict = kStatusRunning;
            if (got == kTimedOut)
                verdict = kStatusBadCrc;
            else if (number + frame_[1] != 255)
                verdict = kStatusBadComplement;
            else if (!Intact(blockSize, true))
                verdict = kStatusBadCrc;
            else if (number == static_cast<unsigned char>((expected - 1) & 0xFF) && started) {
                // A repeat: our ACK was lost.
                if (io_.WriteByte(kAck, abort) != 0) return fail(kByteWriteFailed);
                status.store(kStatusBadNumber);
                continue;
            } else if (number == 0 && !started && !streaming) {
                // The header again: our ACK of it was lost, and our request
                // for the data looked like a NAK to the sender.
                if (io_.WriteByte(kAck, abort) != 0 || io_.WriteByte(start, abort) != 0)
                    return fail(kByteWriteFailed);
                status.store(kStatusBadNumber);
                continue;
            } else if (number != static_cast<unsigned char>(expected & 0xFF)) {
                verdict = kStatusBadNumber;
            }
            if (verdict != kStatusRunning) {
                if (streaming) {
                    status.store(verdict);
                    return fail(kProtocolFailed);
                }
                reject(verdict);
                if (io_.WriteByte(kNak, abort) != 0) return fail(kByteWriteFailed);
                continue;
            }
            // On disk before it is acknowledged.
            const unsigned char* blockData = frame_ + 2;
            if (file) {
                DWORD keepBytes = blockSize;
                if (sized) {
                    keepBytes = static_cast<DWORD>(std::min<unsigned long long>(
                        blockSize, length - std::min(length, received)));
                } else {
                    keepBytes = XModemEngine::TrimPadding(blockData, blockSize);
                    if (keepBytes > 0) {
                        std::fill(block_, block_ + kLargeBlock, kSub);
                        for (DWORD left = pendingSubs; left > 0;) {
                            const DWORD part = std::min(left, kLargeBlock);
                            if (!file->Write(block_, part)) return fail(kFileWriteFailed);
                            left -= part;
                        }
                        pendingSubs = 0;
                    }
                    pendingSubs += blockSize - keepBytes;
                }
                if (keepBytes > 0 && !file->Write(blockData, keepBytes))
                    return fail(kFileWriteFailed);
            }
            received += blockSize;
            if (!streaming && io_.WriteByte(kAck, abort) != 0) return fail(kByteWriteFailed);
            started = true;
            ++expected;
            errors = 0;
            progress.store(static_cast<short>(++blocks & 0xFFFF));
        }
        // The EOT: the file is complete only with all the bytes its header named.
        if (io_.WriteByte(kAck, abort) != 0) return fail(kByteWriteFailed);
        file.reset();
        if (sized && received < length) return fail(kProtocolFailed);
        if (keep && modified > 0) files_.SetModified(path.c_str(), modified);
    }
}

long Run(ControlState& s, const BatchJob& job, const OverwriteQuestion& ask) {
    PortView port = ViewOf(s);
    YModemEngine engine(DiskBatchFiles(), ask);
    engine.OnLineErrors(PostLineErrors(s));
    if (job.send)
        return engine.Send(*port.device, port.Read(), port.Write(), job.paths, s.QcStatus,
                           s.QcProgress, s.abortRequested);
    return engine.Receive(*port.device, port.Read(), port.Write(), job.destination, s.QcStatus,
                          s.QcProgress, job.protocol, s.abortRequested);
}

}  // namespace qlr::ymodem
