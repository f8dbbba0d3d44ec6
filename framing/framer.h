// Framing of received bytes into messages: lines ended by a delimiter, records
// of a fixed length, frames ended by a silence of the line, and Modbus RTU
// frames (ended by silence, checked by their CRC). Pure code: bytes and the
// times they arrived go in, frames come out; no port, thread or clock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace qlr::framing {

enum class Mode : long {
    kNone = 0,
    kDelimiter = 1,
    kFixedLength = 2,
    kIdleGap = 3,
    kModbusRtu = 4
};

// Status of a delivered frame.
enum Status : short {
    kComplete = 0,
    kCut = 1,          // the frame reached the length limit; it continues in the next frame
    kBadCrc = 2,       // a Modbus frame whose CRC does not match (or too short to carry one)
    kInterrupted = 3,  // the port closed or a transfer took it with this frame unfinished
};

struct Frame {
    std::string data;  // bytes
    short status = kComplete;
};

constexpr long kDefaultLength = 4096;
// The largest frame the control builds, whatever QcFrameLength asks for.
constexpr long kLengthLimit = 1 << 20;

struct Settings {
    Mode mode = Mode::kNone;
    std::string delimiter = "\r\n";  // bytes; empty: no line ends, frames are cut at the limit
    long length = kDefaultLength;    // record length (fixed mode) and largest frame
    uint64_t gapUs = 0;              // silence that ends a frame (idle-gap and Modbus modes)
    uint64_t charUs = 0;             // time of one character on the line (0: unknown)
};

// QcFrameLength as used: below 1 the default, above the limit the limit.
long EffectiveLength(long requested);

// Time of one character in microseconds: start bit, data bits, parity, stop
// bits (stopBitsTimes2: 2, 3 or 4 for one, one and a half, two).
uint64_t CharacterMicros(unsigned long baud, unsigned dataBits, bool parity,
                         unsigned stopBitsTimes2);

// The silence that ends a frame: QcFrameGap milliseconds when above 0, else
// 3.5 character times, or 1750 us above 19200 bits per second.
uint64_t GapMicros(long frameGapMs, unsigned long baud, uint64_t charUs);

// CRC-16 as Modbus RTU uses it (polynomial 0xA001 reflected, start 0xFFFF).
uint16_t ModbusCrc(const unsigned char* data, size_t size, uint16_t crc = 0xFFFF);

class Framer {
public:
    explicit Framer(Settings settings);

    const Settings& settings() const { return s_; }

    // Bytes read together, the last of them at arrivalUs. Completed frames are
    // appended to out.
    void Feed(const unsigned char* data, size_t size, uint64_t arrivalUs, std::deque<Frame>& out);
    // The line was found silent at nowUs: in the modes that time the line, a
    // frame whose last byte came at least the gap before ends.
    void Silence(uint64_t nowUs, std::deque<Frame>& out);
    // The port closed or a transfer took it: a partial frame is delivered as
    // interrupted, and framing starts afresh.
    void Interrupt(std::deque<Frame>& out);

    bool Pending() const { return !pending_.empty(); }
    // The line's timing may change while the port is open (QcBaudRate).
    void SetTiming(uint64_t gapUs, uint64_t charUs) {
        s_.gapUs = gapUs;
        s_.charUs = charUs;
    }

private:
    bool Timed() const { return s_.mode == Mode::kIdleGap || s_.mode == Mode::kModbusRtu; }
    void FeedByte(unsigned char byte, std::deque<Frame>& out);
    void EndFrame(std::deque<Frame>& out);
    void Emit(std::string data, short status, std::deque<Frame>& out);

    Settings s_;
    size_t limit_;
    std::string pending_;
    uint64_t lastArrivalUs_ = 0;
    // Modbus: CRC over the pieces of an over-long frame already delivered.
    uint16_t crc_ = 0xFFFF;
    size_t delivered_ = 0;
};

}  // namespace qlr::framing
