// The frames a test peer sends (tests/integration/frame_peer.py builds the
// same ones from the same seed) and what the control must deliver for them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace framestream {

enum Mode { kDelimiter = 1, kFixed = 2, kIdle = 3, kModbus = 4 };

constexpr long kCutLength = 64;     // QcFrameLength of the delimiter runs
constexpr long kRecordLength = 37;  // QcFrameLength of the fixed runs

struct Expected {
    std::string data;
    short status;
};

class Rng {
public:
    explicit Rng(uint32_t seed) : x_(seed ? seed : 1) {}
    uint32_t Next() {
        x_ ^= x_ << 13;
        x_ ^= x_ >> 17;
        x_ ^= x_ << 5;
        return x_;
    }

private:
    uint32_t x_;
};

inline uint16_t Crc(const std::string& s) {
    uint16_t crc = 0xFFFF;
    for (unsigned char b : s) {
        crc ^= b;
        for (int i = 0; i < 8; ++i) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return crc;
}

// Frame i of the run, in order; a delimited frame longer than kCutLength is
// delivered in cut pieces, which the host joins before comparing.
inline std::vector<Expected> Frames(int mode, int count, uint32_t seed) {
    Rng rng(seed);
    std::vector<Expected> frames;
    for (int i = 0; i < count; ++i) {
        size_t length = 0;
        switch (mode) {
        case kDelimiter: length = rng.Next() % 91; break;
        case kFixed: length = kRecordLength; break;
        case kIdle: length = 1 + rng.Next() % 80; break;
        default: length = 2 + rng.Next() % 40; break;
        }
        std::string data;
        for (size_t k = 0; k < length; ++k) {
            unsigned char b = static_cast<unsigned char>(rng.Next() & 0xFF);
            if (mode == kDelimiter && b == 0x0D) b = 0x0E;  // no CR inside a line
            data += static_cast<char>(b);
        }
        short status = 0;
        if (mode == kModbus) {
            const uint16_t crc = Crc(data);
            data += static_cast<char>(crc & 0xFF);
            data += static_cast<char>(crc >> 8);
            if (rng.Next() % 8 == 0) {  // a damaged frame
                data.back() = static_cast<char>(data.back() ^ 0x5A);
                status = 2;
            }
        }
        frames.push_back(Expected{data, status});
    }
    return frames;
}

}  // namespace framestream
