#include "zmodem/engine.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace qlr::zmodem {

using namespace qlr::xmodem;

namespace {

constexpr int kLongestHunt = 16384;  // bytes searched for a header before it counts as lost
constexpr unsigned char kZCBin = 1;
constexpr int kStrayInits = 3;   // ZRINITs listened past after one ZFILE
constexpr int kCleanToGrow = 8;  // clean subpackets before they grow again

int HexValue(int c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

ZModemEngine::ZModemEngine(BatchFileSystem& files, Overwrite overwrite)
    : files_(files), overwrite_(std::move(overwrite)), io_(files) {}

// ---- input ------------------------------------------------------------------

int ZModemEngine::NextByte(DWORD ms, const std::atomic<short>& abort) {
    if (inAt_ < inEnd_) return in_[inAt_++];
    DWORD got = 0;
    const long rc = io_.ReadAvailable(in_, sizeof in_, ms, abort, got);
    if (rc == kTimedOut) return kGotTimeout;
    if (rc == kAborted) return kGotAbort;
    if (rc != 0 || got == 0) {
        readError_ = rc;
        return kGotFailure;
    }
    inAt_ = 1;
    inEnd_ = got;
    return in_[0];
}

int ZModemEngine::NextDecoded(DWORD ms, const std::atomic<short>& abort) {
    for (;;) {
        const int c = NextByte(ms, abort);
        if (c < 0) return c;
        const Unescaper::Result r = unescaper_.Take(static_cast<unsigned char>(c));
        switch (r.kind) {
        case Unescaper::kByte: return r.value;
        case Unescaper::kEnd: return 0x100 | r.value;
        case Unescaper::kCancel: return kGotCancel;
        case Unescaper::kBad: return kGotBad;
        case Unescaper::kNone: break;
        }
    }
}

int ZModemEngine::ReadHeader(Header& header, DWORD ms, const std::atomic<short>& abort) {
    platform::Api& api = platform::Current();
    const DWORD begun = api.GetTickCount();
    const DWORD gap = io_.timing().byteGapMs;
    int cans = 0;
    for (int hunted = 0; hunted < kLongestHunt; ++hunted) {
        const DWORD spent = api.GetTickCount() - begun;
        int c = NextByte(spent < ms ? ms - spent : 0, abort);
        if (c < 0) return c;
        if (c == kZDle) {  // five CANs in a row cancel
            if (++cans >= 5) return kGotCancel;
            continue;
        }
        cans = 0;
        if (c != kZPad) continue;
        do c = NextByte(gap, abort);
        while (c == kZPad);
        if (c < 0) return c == kGotTimeout ? kGotBad : c;
        if (c != kZDle) continue;
        const int kind = NextByte(gap, abort);
        if (kind < 0) return kind == kGotTimeout ? kGotBad : kind;
        unsigned char raw[9] = {};
        if (kind == kZHex) {
            for (int i = 0; i < 7; ++i) {
                const int high = NextByte(gap, abort);
                const int low = high < 0 ? high : NextByte(gap, abort);
                if (low < 0) return low == kGotTimeout ? kGotBad : low;
                if (HexValue(high) < 0 || HexValue(low) < 0) return kGotBad;
                raw[i] = static_cast<unsigned char>(HexValue(high) << 4 | HexValue(low));
            }
            if (Crc16(raw, 5) != ((raw[5] << 8) | raw[6])) return kGotBad;
            // CR LF follow (LF perhaps with the high bit); anything else stays.
            for (int i = 0; i < 2 && inAt_ < inEnd_; ++i) {
                const unsigned char next = in_[inAt_] & 0x7F;
                if (next != '\r' && next != '\n') break;
                ++inAt_;
            }
            crc32_ = false;
        } else if (kind == kZBin || kind == kZBin32) {
            const int length = kind == kZBin32 ? 9 : 7;
            unescaper_.Reset();
            for (int i = 0; i < length; ++i) {
                const int d = NextDecoded(gap, abort);
                if (d == kGotCancel || d == kGotAbort || d == kGotFailure) return d;
                if (d < 0 || d > 0xFF) return kGotBad;
                raw[i] = static_cast<unsigned char>(d);
            }
            if (kind == kZBin32) {
                const std::uint32_t crc = ~Crc32(raw, 5);
                const std::uint32_t sent = raw[5] | (raw[6] << 8) | (raw[7] << 16) |
                                           (static_cast<std::uint32_t>(raw[8]) << 24);
                if (crc != sent) return kGotBad;
            } else if (Crc16(raw, 5) != ((raw[5] << 8) | raw[6])) {
                return kGotBad;
            }
            crc32_ = kind == kZBin32;
        } else {
            continue;
        }
        header.type = raw[0];
        std::copy(raw + 1, raw + 5, header.bytes.begin());
        return raw[0];
    }
    return kGotBad;
}

int ZModemEngine::ReadSubpacket(std::vector<unsigned char>& data, const std::atomic<short>& abort) {
    data.clear();
    unescaper_.Reset();
    const DWORD gap = io_.timing().byteGapMs;
    for (;;) {
        // The run of plain bytes already read goes in whole.
        if (unescaper_.Between()) {
            DWORD run = inAt_;
            while (run < inEnd_ && Unescaper::Plain(in_[run])) ++run;
            if (data.size() + (run - inAt_) > kLongestSubpacket) return kGotBad;
            data.insert(data.end(), in_ + inAt_, in_ + run);
            inAt_ = run;
        }
        const int d = NextDecoded(gap, abort);
        if (d == kGotTimeout) return kGotBad;
        if (d < 0) return d;
        if (d <= 0xFF) {
            if (data.size() >= kLongestSubpacket) return kGotBad;
            data.push_back(static_cast<unsigned char>(d));
            continue;
        }
        const auto end = static_cast<unsigned char>(d & 0xFF);
        unsigned char check[4] = {};
        const int length = crc32_ ? 4 : 2;
        for (int i = 0; i < length; ++i) {
            const int c = NextDecoded(gap, abort);
            if (c == kGotTimeout || c > 0xFF) return kGotBad;
            if (c < 0) return c;
            check[i] = static_cast<unsigned char>(c);
        }
        if (crc32_) {
            const std::uint32_t crc = ~Crc32(&end, 1, Crc32(data.data(), data.size()));
            const std::uint32_t sent = check[0] | (check[1] << 8) | (check[2] << 16) |
                                       (static_cast<std::uint32_t>(check[3]) << 24);
            if (crc != sent) return kGotBad;
        } else if (Crc16(&end, 1, Crc16(data.data(), data.size())) !=
                   ((check[0] << 8) | check[1])) {
            return kGotBad;
        }
        return end;
    }
}

bool ZModemEngine::HeaderWaiting(const std::atomic<short>& abort) {
    // XON, XOFF and the like between headers are dropped. An empty queue is
    // known without a read (one that would be cancelled at once).
    if (inAt_ == inEnd_ && io_.QueuedBytes() == 0) return false;
    for (;;) {
        const int c = NextByte(0, abort);
        if (c < 0) return false;
        if (c == kZPad || c == kZDle) {
            --inAt_;  // the header's first byte stays
            return true;
        }
    }
}

// ---- output -----------------------------------------------------------------

long ZModemEngine::Put(const std::atomic<short>& abort) {
    size_t at = 0;
    while (at < out_.size()) {
        const WORD part = static_cast<WORD>(std::min<size_t>(out_.size() - at, 32768));
        DWORD sent = 0;
        const long rc = io_.WriteBytes(out_.data() + at, part, abort, &sent);
        if (rc == kAborted) return kAborted;
        if (rc != 0) return at + sent == 0 ? kByteWriteFailed : kDataWriteFailed;
        at += part;
    }
    out_.clear();
    return 0;
}

long ZModemEngine::SendHex(const Header& header, const std::atomic<short>& abort) {
    out_.clear();
    HexHeader(out_, header);
    return Put(abort);
}

void ZModemEngine::Cancel() {
    const std::atomic<short> go{0};
    unsigned char cancel[20];
    std::fill(cancel, cancel + 10, kZDle);
    std::fill(cancel + 10, cancel + 20, static_cast<unsigned char>(0x08));
    Timing t = io_.timing();
    const Timing saved = t;
    t.writeStallMs = std::min<DWORD>(t.writeStallMs, 1000);
    io_.SetTiming(t);
    io_.WriteBytes(cancel, sizeof cancel, go);
    io_.SetTiming(saved);
}

long ZModemEngine::CodeOf(int got) {
    switch (got) {
    case kGotCancel: peerGone_ = true; return kProtocolFailed;
    case kGotAbort: return kAborted;
    case kGotFailure: return kByteReadFailed;
    default: return kProtocolFailed;
    }
}

void ZModemEngine::Begin(port::Device& port, port::IoRecord& read, port::IoRecord& write,
                         std::atomic<short>& status, std::atomic<short>& progress) {
    status_ = &status;
    progress_ = &progress;
    progress.store(0);
    status.store(kStatusRunning);
    peerGone_ = false;
    moved_ = 0;
    shownKiB_ = 0;
    inAt_ = inEnd_ = 0;
    io_.Attach(port, read, write);
    io_.UseTransferTimeouts();
}

long ZModemEngine::Fail(long code) {
    status_->store(kStatusFailed);
    io_.PurgeQueues();
    if (!peerGone_) Cancel();
    io_.RestoreTimeouts();
    return code;
}

void ZModemEngine::Note(unsigned long long bytes) {
    moved_ += bytes;
    const unsigned long kib = static_cast<unsigned long>(moved_ / 1024);
    if (kib > shownKiB_) {
        shownKiB_ = kib;
        progress_->store(static_cast<short>(kib & 0xFFFF));
    }
}

// ---- sending ----------------------------------------------------------------

std::unique_ptr<File> ZModemEngine::OpenAt(const std::wstring& path, std::uint32_t position) {
    std::unique_ptr<File> file = files_.OpenForReading(path.c_str());
    unsigned char skip[4096];
    for (std::uint32_t left = position; file && left > 0;) {
        DWORD got = 0;
        const DWORD want = std::min<std::uint32_t>(left, sizeof skip);
        if (!file->Read(skip, want, got) || got == 0) return nullptr;
        left -= got;
    }
    return file;
}

bool ZModemEngine::CrcOf(const std::wstring& path, std::uint32_t length, std::uint32_t& crc) {
    std::unique_ptr<File> file = files_.OpenForReading(path.c_str());
    if (!file) return false;
    crc = 0xFFFFFFFFu;
    unsigned char chunk[4096];
    for (std::uint32_t left = length;;) {  // length 0: the whole file
        DWORD got = 0;
        const DWORD want = length == 0 ? sizeof chunk : std::min<std::uint32_t>(left, sizeof chunk);
        if (want == 0) break;
        if (!file->Read(chunk, want, got)) return false;
        crc = Crc32(chunk, got, crc);
        if (got < want) break;
        if (length != 0) left -= got;
    }
    crc = ~crc;
    return true;
}

long ZModemEngine::Send(port::Device& port, port::IoRecord& read, port::IoRecord& write,
                        const std::vector<std::wstring>& paths, std::atomic<short>& status,
                        std::atomic<short>& progress, const std::atomic<short>& abort) {
    Begin(port, read, write, status, progress);
    const Timing& timing = io_.timing();
    // "rz" and ZRQINIT until the receiver's ZRINIT.
    bool ready = false;
    for (int tries = 0; !ready && tries < static_cast<int>(kSenderStartMs / timing.answerMs) + 1;) {
        out_.assign({'r', 'z', '\r'});
        HexHeader(out_, Header::At(kZRqInit, 0));
        if (const long rc = Put(abort)) return Fail(rc);
        ++tries;
        Header h;
        for (;;) {
            const int t = ReadHeader(h, timing.answerMs, abort);
            if (t == kGotTimeout || t == kGotBad) break;
            if (t < 0) return Fail(CodeOf(t));
            if (t == kZChallenge) {
                if (const long rc = SendHex(Header::At(kZAck, h.position()), abort))
                    return Fail(rc);
                continue;
            }
            if (t != kZRInit) break;
            sendCrc32_ = (h.flag(0) & kCanFc32) != 0;
            escaper_.EscapeAll((h.flag(0) & kEscCtl) != 0);
            receiverBuffer_ = h.bytes[0] | (h.bytes[1] << 8);
            ready = true;
            break;
        }
    }
    if (!ready) {
        peerGone_ = true;  // nobody there to tell
        return Fail(kProtocolFailed);
    }
    for (const std::wstring& path : paths) {
        if (abort.load()) return Fail(kAborted);
        if (const long rc = SendFile(path, abort)) return Fail(rc);
    }
    // ZFIN until answered; the files are complete whatever comes.
    for (int tries = 0; tries < 3; ++tries) {
        if (const long rc = SendHex(Header::At(kZFin, 0), abort)) return Fail(rc);
        Header h;
        const int t = ReadHeader(h, timing.answerMs, abort);
        if (t == kZFin) {
            out_.assign({'O', 'O'});
            Put(abort);
            break;
        }
        if (t == kGotCancel || t == kGotAbort) break;
    }
    io_.RestoreTimeouts();
    status.store(kStatusCompleted);
    return kCompleted;
}

long ZModemEngine::SendFile(const std::wstring& path, const std::atomic<short>& abort) {
    FileFacts facts;
    if (!files_.Stat(path.c_str(), facts) || facts.folder || facts.size > 0xFFFFFFFFull)
        return kFileOpenFailed;
    if (!files_.OpenForReading(path.c_str())) return kFileOpenFailed;
    const auto size = static_cast<std::uint32_t>(facts.size);
    const std::string name = HeaderName(path);
    char fields[64];
    std::snprintf(fields, sizeof fields, "%lu %llo 0", static_cast<unsigned long>(size),
                  static_cast<unsigned long long>(std::max(facts.modified, 0LL)));
    std::vector<unsigned char> info(name.begin(), name.end());
    info.push_back(0);
    info.insert(info.end(), fields, fields + std::strlen(fields) + 1);

    const Timing& timing = io_.timing();
    for (int tries = 0; tries < kRetryLimit; ++tries) {
        out_.clear();
        BinaryHeader(out_, Header::Flags(kZFile, kZCBin), sendCrc32_, escaper_);
        DataSubpacket(out_, info.data(), info.size(), kZCrcW, sendCrc32_, escaper_);
        if (const long rc = Put(abort)) return rc;
        // A receiver that had sent its ZRINIT before our ZRQINIT reached it
        // sends another: its answer to the ZFILE may still follow, and a
        // second ZFILE would make it ask for the data twice (the stale
        // ZRPOS rewinding a stream already under way). A ZRINIT followed by
        // silence means the ZFILE was lost.
        int initsHeard = 0;
        for (;;) {
            Header h;
            const int t = ReadHeader(h, timing.answerMs, abort);
            if (t == kGotTimeout || t == kGotBad) break;
            if (t < 0) return CodeOf(t);
            if (t == kZCrc) {  // the CRC-32 of the first bytes (all of them for 0)
                std::uint32_t crc = 0;
                if (!CrcOf(path, h.position(), crc)) return kFileReadFailed;
                out_.clear();
                BinaryHeader(out_, Header::At(kZCrc, crc), sendCrc32_, escaper_);
                if (const long rc = Put(abort)) return rc;
                continue;
            }
            if (t == kZSkip) return 0;
            if (t == kZRPos) {
                const long rc = SendData(path, h.position(), size, abort);
                return rc == 1 ? 0 : rc;
            }
            if (t == kZAbort || t == kZFErr || t == kZFin) return kProtocolFailed;
            if (t == kZRInit && ++initsHeard <= kStrayInits) continue;
            if (t == kZRInit || t == kZNak) break;  // our ZFILE was lost
        }
    }
    return kProtocolFailed;
}

long ZModemEngine::SendData(const std::wstring& path, std::uint32_t position, std::uint32_t size,
                            const std::atomic<short>& abort) {
    const Timing& timing = io_.timing();
    size_t longest = kLongestSubpacket;
    if (receiverBuffer_ != 0) longest = std::min<size_t>(longest, receiverBuffer_);
    size_t subpacket = longest;
    int clean = 0;  // subpackets since the last error
    int errors = 0;
    std::vector<unsigned char> chunk(kLongestSubpacket);
    for (;;) {  // from position on; again from where a ZRPOS says
        if (position > size) position = size;
        std::unique_ptr<File> file = OpenAt(path, position);
        if (!file) return kFileReadFailed;
        out_.clear();
        BinaryHeader(out_, Header::At(kZData, position), sendCrc32_, escaper_);
        std::uint32_t sinceAck = 0;
        bool rewound = false;
        bool atEnd = false;
        while (!atEnd && !rewound) {
            if (abort.load()) return kAborted;
            DWORD got = 0;
            if (!file->Read(chunk.data(), static_cast<DWORD>(subpacket), got))
                return kFileReadFailed;
            atEnd = got < subpacket;
            sinceAck += got;
            const bool full =
                !atEnd && receiverBuffer_ != 0 && sinceAck + subpacket > receiverBuffer_;
            const unsigned char end = atEnd ? kZCrcE : full ? kZCrcW : kZCrcG;
            DataSubpacket(out_, chunk.data(), got, end, sendCrc32_, escaper_);
            if (const long rc = Put(abort)) return rc;
            position += got;
            Note(got);
            if (subpacket < longest && ++clean >= kCleanToGrow) {
                subpacket = std::min(subpacket * 2, longest);
                clean = 0;
            }
            // Between subpackets: whatever the receiver says. A full
            // receiver is waited for; otherwise only a header that has begun.
            while (!rewound && (full || HeaderWaiting(abort))) {
                Header h;
                const int t = ReadHeader(h, full ? timing.answerMs : timing.byteGapMs, abort);
                if (t == kGotCancel || t == kGotAbort || t == kGotFailure) return CodeOf(t);
                if (t == kZRPos) {
                    if (++errors > kRetryLimit) return kProtocolFailed;
                    position = h.position();
                    subpacket = std::min(subpacket, kShortSubpacket);
                    clean = 0;
                    rewound = true;
                } else if (t == kZSkip) {
                    return 1;
                } else if (full && t == kZAck) {
                    sinceAck = 0;
                    break;
                } else if (full && t < 0) {
                    return kProtocolFailed;  // a full receiver that never answers
                }
            }
        }
        if (rewound) {
            io_.PurgeQueues();
            inAt_ = inEnd_ = 0;
            continue;
        }
        // ZEOF until the receiver's ZRINIT.
        for (int tries = 0;; ++tries) {
            if (tries >= kRetryLimit) return kProtocolFailed;
            out_.clear();
            BinaryHeader(out_, Header::At(kZEof, position), sendCrc32_, escaper_);
            if (const long rc = Put(abort)) return rc;
            Header h;
            int t = ReadHeader(h, timing.answerMs, abort);
            while (t == kZAck) t = ReadHeader(h, timing.answerMs, abort);
            if (t == kZRInit || t == kZSkip) return 1;
            if (t == kZRPos) {
                if (++errors > kRetryLimit) return kProtocolFailed;
                position = h.position();
                subpacket = std::min(subpacket, kShortSubpacket);
                clean = 0;
                break;
            }
            if (t == kGotCancel || t == kGotAbort || t == kGotFailure) return CodeOf(t);
            if (t == kZAbort || t == kZFErr) return kProtocolFailed;
        }
    }
}

// ---- receiving --------------------------------------------------------------

long ZModemEngine::Receive(port::Device& port, port::IoRecord& read, port::IoRecord& write,
                           const Destination& destination, std::atomic<short>& status,
                           std::atomic<short>& progress, const std::atomic<short>& abort) {
    Begin(port, read, write, status, progress);
    io_.PurgeQueues();
    const Timing& timing = io_.timing();
    std::unique_ptr<File> file;
    auto fail = [&](long code) {
        file.reset();  // what arrived stays, without the sender's time
        return Fail(code);
    };
    if (destination.first.empty() && !destination.folder.empty()) {
        FileFacts facts;
        if (!files_.Stat(destination.folder.c_str(), facts) &&
            !files_.MakeFolder(destination.folder.c_str()))
            return fail(kFileOpenFailed);
    }
    const Header init = Header::Flags(kZRInit, kCanFdx | kCanOvIo | kCanFc32);
    if (const long rc = SendHex(init, abort)) return fail(rc);

    size_t index = 0;
    bool inFile = false;
    bool keep = true;
    std::wstring path;
    bool sized = false;
    unsigned long long length = 0;
    long long modified = 0;
    std::uint32_t offset = 0;
    int errors = 0;
    std::vector<unsigned char> data;
    // Asks again for what we wait for: the data at offset, or the next file.
    auto again = [&]() { return SendHex(inFile ? Header::At(kZRPos, offset) : init, abort); };
    for (;;) {
        if (abort.load()) return fail(kAborted);
        Header h;
        const int t = ReadHeader(h, timing.answerMs, abort);
        if (t == kGotTimeout || t == kGotBad) {
            if (++errors > kRetryLimit) return fail(kProtocolFailed);
            if (const long rc = again()) return fail(rc);
            continue;
        }
        if (t < 0) return fail(CodeOf(t));
        switch (t) {
        case kZRqInit:
        case kZNak:
            if (const long rc = again()) return fail(rc);
            break;
        case kZSInit: {
            const int end = ReadSubpacket(data, abort);
            if (end == kGotCancel || end == kGotAbort) return fail(CodeOf(end));
            if (const long rc = SendHex(Header::At(end >= 0 ? kZAck : kZNak, 1), abort))
                return fail(rc);
            break;
        }
        case kZFreeCnt:
            if (const long rc = SendHex(Header::At(kZAck, 0x7FFFFFFF), abort)) return fail(rc);
            break;
        case kZChallenge:
            if (const long rc = SendHex(Header::At(kZAck, h.position()), abort)) return fail(rc);
            break;
        case kZCommand:  // commands are never run
            ReadSubpacket(data, abort);
            if (const long rc = SendHex(Header::At(kZCompl, 1), abort)) return fail(rc);
            break;
        case kZFile: {
            const unsigned char conversion = h.flag(0);
            const int end = ReadSubpacket(data, abort);
            if (end == kGotCancel || end == kGotAbort || end == kGotFailure)
                return fail(CodeOf(end));
            if (end < 0) {
                if (const long rc = SendHex(Header::At(kZNak, 0), abort)) return fail(rc);
                break;
            }
            if (inFile) {  // our ZRPOS was lost: the same file again
                if (const long rc = again()) return fail(rc);
                break;
            }
            const size_t nameLength = std::find(data.begin(), data.end(), 0) - data.begin();
            const std::string sent(data.begin(), data.begin() + nameLength);
            sized = false;
            length = 0;
            modified = 0;
            if (nameLength + 1 < data.size()) {
                std::string fields(data.begin() + nameLength + 1, data.end());
                unsigned long long s = 0, m = 0;
                const int n = std::sscanf(fields.c_str(), "%llu %llo", &s, &m);
                sized = n >= 1;
                length = sized ? s : 0;
                modified = n >= 2 ? static_cast<long long>(m) : 0;
            }
            path = PathFor(destination, index, sent);
            FileFacts existing;
            const bool exists = files_.Stat(path.c_str(), existing);
            if (exists && existing.folder) return fail(kFileOpenFailed);
            offset = 0;
            bool resume = false;
            if (exists && conversion == kZCResume && existing.size > 0 &&
                existing.size <= 0xFFFFFFFFull && (!sized || existing.size <= length)) {
                // The existing bytes must be the sender's.
                std::uint32_t ours = 0;
                const auto have = static_cast<std::uint32_t>(existing.size);
                if (!CrcOf(path, have, ours)) return fail(kFileOpenFailed);
                for (int tries = 0; tries < 3; ++tries) {
                    if (const long rc = SendHex(Header::At(kZCrc, have), abort)) return fail(rc);
                    Header answer;
                    const int a = ReadHeader(answer, timing.answerMs, abort);
                    if (a == kGotCancel || a == kGotAbort || a == kGotFailure)
                        return fail(CodeOf(a));
                    if (a != kZCrc) continue;
                    resume = answer.position() == ours;
                    break;
                }
                if (resume) offset = have;
            }
            keep = resume || !exists || !overwrite_ || overwrite_(path);
            io_.PurgeQueues();  // the sender may have repeated its ZFILE while we asked
            inAt_ = inEnd_ = 0;
            if (!keep) {
                ++index;
                if (const long rc = SendHex(Header::At(kZSkip, 0), abort)) return fail(rc);
                break;
            }
            file =
                resume ? files_.OpenForAppend(path.c_str()) : files_.CreateForWriting(path.c_str());
            if (!file) return fail(kFileOpenFailed);
            inFile = true;
            errors = 0;
            if (const long rc = again()) return fail(rc);
            break;
        }
        case kZData: {
            if (!inFile) {
                if (const long rc = again()) return fail(rc);
                break;
            }
            if (h.position() != offset) {  // what follows is not ours: ask again
                if (++errors > kRetryLimit) return fail(kProtocolFailed);
                if (const long rc = again()) return fail(rc);
                break;
            }
            for (;;) {
                const int end = ReadSubpacket(data, abort);
                if (end == kGotCancel || end == kGotAbort || end == kGotFailure)
                    return fail(CodeOf(end));
                if (end < 0) {
                    if (++errors > kRetryLimit) return fail(kProtocolFailed);
                    io_.PurgeQueues();
                    inAt_ = inEnd_ = 0;
                    if (const long rc = again()) return fail(rc);
                    break;
                }
                if (!data.empty() && !file->Write(data.data(), static_cast<DWORD>(data.size())))
                    return fail(kFileWriteFailed);
                offset += static_cast<std::uint32_t>(data.size());
                errors = 0;
                Note(data.size());
                if (end == kZCrcW || end == kZCrcQ) {
                    if (const long rc = SendHex(Header::At(kZAck, offset), abort)) return fail(rc);
                }
                if (end == kZCrcW || end == kZCrcE) break;
            }
            break;
        }
        case kZEof:
            if (!inFile) {
                if (const long rc = again()) return fail(rc);
                break;
            }
            if (h.position() != offset) break;  // an early ZEOF: our ZRPOS will follow
            file.reset();
            inFile = false;
            if (sized && offset < length) return fail(kProtocolFailed);
            if (modified > 0) files_.SetModified(path.c_str(), modified);
            ++index;
            if (const long rc = SendHex(init, abort)) return fail(rc);
            break;
        case kZFin: {
            if (inFile) return fail(kProtocolFailed);
            SendHex(Header::At(kZFin, 0), abort);
            unsigned char over[2];
            io_.ReadWithin(over, 2, timing.quietMs, timing.quietMs, abort);  // "OO"
            io_.RestoreTimeouts();
            // A session that offered no file at all delivered nothing asked for.
            if (index == 0) {
                status.store(kStatusFailed);
                return kProtocolFailed;
            }
            status.store(kStatusCompleted);
            return kCompleted;
        }
        default: break;  // ZACK and the rest: nothing to do
        }
    }
}

long Run(ControlState& s, const BatchJob& job, const OverwriteQuestion& ask) {
    PortView port = ViewOf(s);
    ZModemEngine engine(DiskBatchFiles(), ask);
    engine.OnLineErrors(PostLineErrors(s));
    if (job.send)
        return engine.Send(*port.device, port.Read(), port.Write(), job.paths, s.QcStatus,
                           s.QcProgress, s.abortRequested);
    return engine.Receive(*port.device, port.Read(), port.Write(), job.destination, s.QcStatus,
                          s.QcProgress, s.abortRequested);
}

}  // namespace qlr::zmodem
