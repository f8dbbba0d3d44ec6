// ZMODEM framing: CRC-32, ZDLE escaping and unescaping, and headers.
//
// - Outgoing data are escaped as ZDLE (CAN) followed by the byte XOR 0x40
//   for ZDLE itself, DLE, XON and XOFF (with or without the high bit), CR
//   after '@', and with escapeControls every byte below 0x20 and from 0x80
//   to 0x9F.
// - Incoming, ZDLE starts an escape: ZDLE and four more CANs (five CANs)
//   cancel, ZDLE and 'h'...'k' end a data subpacket, 'l' and 'm' stand for
//   0x7F and 0xFF; XON and XOFF on the line are flow control and dropped. A
//   single CAN in the data is therefore always an escape, never a cancel.
// - Headers: hex (type, four bytes and CRC-16 as lower-case hex digits, CR
//   LF and XON), binary with CRC-16 or with CRC-32. The four header bytes
//   are a file position (least significant first) or the flags ZF3...ZF0.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace qlr::zmodem {

constexpr unsigned char kZPad = '*';
constexpr unsigned char kZDle = 0x18;
constexpr unsigned char kXon = 0x11;
constexpr unsigned char kXoff = 0x13;
constexpr unsigned char kZBin = 'A';
constexpr unsigned char kZHex = 'B';
constexpr unsigned char kZBin32 = 'C';
// Ends of a data subpacket.
constexpr unsigned char kZCrcE = 'h';  // end of frame, header follows
constexpr unsigned char kZCrcG = 'i';  // frame goes on
constexpr unsigned char kZCrcQ = 'j';  // frame goes on, ZACK wanted
constexpr unsigned char kZCrcW = 'k';  // end of frame, ZACK wanted

// Frame types.
enum Type : unsigned char {
    kZRqInit = 0,
    kZRInit = 1,
    kZSInit = 2,
    kZAck = 3,
    kZFile = 4,
    kZSkip = 5,
    kZNak = 6,
    kZAbort = 7,
    kZFin = 8,
    kZRPos = 9,
    kZData = 10,
    kZEof = 11,
    kZFErr = 12,
    kZCrc = 13,
    kZChallenge = 14,
    kZCompl = 15,
    kZCan = 16,
    kZFreeCnt = 17,
    kZCommand = 18,
};

// ZRINIT flags (ZF0).
constexpr unsigned char kCanFdx = 0x01;
constexpr unsigned char kCanOvIo = 0x02;
constexpr unsigned char kCanFc32 = 0x20;
constexpr unsigned char kEscCtl = 0x40;
// ZSINIT flag (ZF0): the sender wants control characters escaped.
constexpr unsigned char kTEscCtl = 0x40;
// ZFILE conversion (ZF0): resume an interrupted file.
constexpr unsigned char kZCResume = 3;

std::uint32_t Crc32(const unsigned char* data, size_t length, std::uint32_t crc = 0xFFFFFFFFu);
std::uint16_t Crc16(const unsigned char* data, size_t length, std::uint16_t crc = 0);

struct Header {
    unsigned char type = 0;
    std::array<unsigned char, 4> bytes{};  // ZP0..ZP3 / ZF3..ZF0
    std::uint32_t position() const;
    unsigned char flag(int n) const { return bytes[3 - n]; }  // ZF0 is bytes[3]
    static Header At(unsigned char type, std::uint32_t position);
    static Header Flags(unsigned char type, unsigned char zf0, unsigned char zf1 = 0);
};

class Escaper {
public:
    explicit Escaper(bool escapeControls = false) : all_(escapeControls) {}
    void EscapeAll(bool on) { all_ = on; }
    void Put(std::vector<unsigned char>& out, unsigned char byte);
    void Put(std::vector<unsigned char>& out, const unsigned char* data, size_t length);

private:
    bool all_;
    unsigned char last_ = 0;
};

// Hex header with CR LF (and XON, except after ZACK and ZFIN).
void HexHeader(std::vector<unsigned char>& out, const Header& header);
// Binary header, CRC-16 or CRC-32.
void BinaryHeader(std::vector<unsigned char>& out, const Header& header, bool crc32,
                  Escaper& escaper);
// A data subpacket: the data, ZDLE, its end, and its CRC.
void DataSubpacket(std::vector<unsigned char>& out, const unsigned char* data, size_t length,
                   unsigned char end, bool crc32, Escaper& escaper);

// Unescapes incoming bytes one at a time.
class Unescaper {
public:
    enum Kind { kByte, kNone, kEnd, kCancel, kBad };
    struct Result {
        Kind kind;
        unsigned char value;
    };
    Result Take(unsigned char byte);
    void Reset() { escaped_ = false, cans_ = 0; }
    // Between escapes every byte but ZDLE and XON/XOFF stands for itself.
    bool Between() const { return !escaped_; }
    static bool FlowControl(unsigned char byte) {
        return (byte & 0x7F) == kXon || (byte & 0x7F) == kXoff;
    }
    static bool Plain(unsigned char byte) { return byte != kZDle && !FlowControl(byte); }

private:
    bool escaped_ = false;
    int cans_ = 0;  // CANs in a row after the ZDLE that opened the escape
};

}  // namespace qlr::zmodem
