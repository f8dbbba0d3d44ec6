#include "framing/framer.h"

#include <algorithm>
#include <utility>

namespace qlr::framing {

long EffectiveLength(long requested) {
    if (requested < 1) return kDefaultLength;
    return std::min(requested, kLengthLimit);
}

uint64_t CharacterMicros(unsigned long baud, unsigned dataBits, bool parity,
                         unsigned stopBitsTimes2) {
    if (baud == 0) return 0;
    const uint64_t halfBits = 2 * (1 + dataBits + (parity ? 1 : 0)) + stopBitsTimes2;
    const uint64_t divisor = 2 * static_cast<uint64_t>(baud);
    return (halfBits * 1000000 + divisor - 1) / divisor;
}

uint64_t GapMicros(long frameGapMs, unsigned long baud, uint64_t charUs) {
    if (frameGapMs > 0) return static_cast<uint64_t>(frameGapMs) * 1000;
    if (baud > 19200 || charUs == 0) return 1750;
    return (charUs * 7 + 1) / 2;
}

uint16_t ModbusCrc(const unsigned char* data, size_t size, uint16_t crc) {
    for (size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return crc;
}

Framer::Framer(Settings settings)
    : s_(std::move(settings)), limit_(static_cast<size_t>(EffectiveLength(s_.length))) {}

void Framer::Emit(std::string data, short status, std::deque<Frame>& out) {
    if (s_.mode == Mode::kModbusRtu && status == kCut) {
        crc_ = ModbusCrc(reinterpret_cast<const unsigned char*>(data.data()), data.size(), crc_);
        delivered_ += data.size();
    }
    out.push_back(Frame{std::move(data), status});
}

void Framer::EndFrame(std::deque<Frame>& out) {
    short status = kComplete;
    if (s_.mode == Mode::kModbusRtu) {
        const uint16_t crc = ModbusCrc(reinterpret_cast<const unsigned char*>(pending_.data()),
                                       pending_.size(), crc_);
        // Address, function and the two CRC bytes at least.
        if (delivered_ + pending_.size() < 4 || crc != 0) status = kBadCrc;
        crc_ = 0xFFFF;
        delivered_ = 0;
    }
    Emit(std::move(pending_), status, out);
    pending_.clear();
}

void Framer::FeedByte(unsigned char byte, std::deque<Frame>& out) {
    pending_.push_back(static_cast<char>(byte));
    const std::string& end = s_.delimiter;
    const size_t n = pending_.size();
    if (!end.empty() && n >= end.size() && pending_.compare(n - end.size(), end.size(), end) == 0) {
        pending_.resize(n - end.size());
        EndFrame(out);
        return;
    }
    // A delimiter that ends later leaves more than the limit before it: the
    // frame is cut here, keeping what may be the start of the delimiter.
    if (n >= limit_ + end.size()) {
        Emit(pending_.substr(0, limit_), kCut, out);
        pending_.erase(0, limit_);
    }
}

void Framer::Feed(const unsigned char* data, size_t size, uint64_t arrivalUs,
                  std::deque<Frame>& out) {
    if (size == 0 || s_.mode == Mode::kNone) return;
    if (Timed() && Pending()) {
        // The chunk took at least a character time per byte on the line, so
        // its first byte came that much before the last: a reader that was
        // late does not make a gap inside a frame.
        const uint64_t onLine = (size - 1) * s_.charUs;
        uint64_t firstUs = arrivalUs > onLine ? arrivalUs - onLine : 0;
        firstUs = std::max(firstUs, lastArrivalUs_);
        if (firstUs - lastArrivalUs_ >= s_.gapUs) EndFrame(out);
    }
    lastArrivalUs_ = arrivalUs;
    if (s_.mode == Mode::kDelimiter) {
        for (size_t i = 0; i < size; ++i) FeedByte(data[i], out);
        return;
    }
    size_t used = 0;
    while (used < size) {
        if (pending_.size() == limit_) {
            if (s_.mode == Mode::kFixedLength) {
                EndFrame(out);
            } else {
                Emit(std::move(pending_), kCut, out);
                pending_.clear();
            }
        }
        const size_t take = std::min(size - used, limit_ - pending_.size());
        pending_.append(reinterpret_cast<const char*>(data + used), take);
        used += take;
    }
    if (s_.mode == Mode::kFixedLength && pending_.size() == limit_) EndFrame(out);
}

void Framer::Silence(uint64_t nowUs, std::deque<Frame>& out) {
    if (Timed() && Pending() && nowUs >= lastArrivalUs_ && nowUs - lastArrivalUs_ >= s_.gapUs)
        EndFrame(out);
}

void Framer::Interrupt(std::deque<Frame>& out) {
    if (Pending()) Emit(std::move(pending_), kInterrupted, out);
    pending_.clear();
    crc_ = 0xFFFF;
    delivered_ = 0;
}

}  // namespace qlr::framing
