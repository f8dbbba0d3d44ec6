#include "zmodem/frames.h"

namespace qlr::zmodem {
namespace {

constexpr unsigned char kDle = 0x10;

std::array<std::uint32_t, 256> MakeCrc32Table() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        table[i] = c;
    }
    return table;
}

void PutHex(std::vector<unsigned char>& out, unsigned char byte) {
    static const char kDigits[] = "0123456789abcdef";
    out.push_back(static_cast<unsigned char>(kDigits[byte >> 4]));
    out.push_back(static_cast<unsigned char>(kDigits[byte & 0x0F]));
}

}  // namespace

std::uint32_t Crc32(const unsigned char* data, size_t length, std::uint32_t crc) {
    static const std::array<std::uint32_t, 256> table = MakeCrc32Table();
    for (size_t i = 0; i < length; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return crc;
}

std::uint16_t Crc16(const unsigned char* data, size_t length, std::uint16_t crc) {
    for (size_t i = 0; i < length; ++i) {
        crc = static_cast<std::uint16_t>(crc ^ (data[i] << 8));
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

std::uint32_t Header::position() const {
    return bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) |
           (static_cast<std::uint32_t>(bytes[3]) << 24);
}

Header Header::At(unsigned char type, std::uint32_t position) {
    Header h;
    h.type = type;
    for (int i = 0; i < 4; ++i) h.bytes[i] = static_cast<unsigned char>(position >> (8 * i));
    return h;
}

Header Header::Flags(unsigned char type, unsigned char zf0, unsigned char zf1) {
    Header h;
    h.type = type;
    h.bytes[3] = zf0;
    h.bytes[2] = zf1;
    return h;
}

void Escaper::Put(std::vector<unsigned char>& out, unsigned char byte) {
    bool escape = false;
    switch (byte & 0x7F) {
    case kZDle:
    case kDle:
    case kXon:
    case kXoff: escape = true; break;
    case '\r': escape = all_ || (last_ & 0x7F) == '@'; break;
    default: escape = all_ && (byte & 0x60) == 0; break;
    }
    if (escape) {
        out.push_back(kZDle);
        byte ^= 0x40;
    }
    out.push_back(byte);
    last_ = byte;
}

void Escaper::Put(std::vector<unsigned char>& out, const unsigned char* data, size_t length) {
    for (size_t i = 0; i < length; ++i) Put(out, data[i]);
}

void HexHeader(std::vector<unsigned char>& out, const Header& header) {
    out.push_back(kZPad);
    out.push_back(kZPad);
    out.push_back(kZDle);
    out.push_back(kZHex);
    unsigned char raw[5] = {header.type, header.bytes[0], header.bytes[1], header.bytes[2],
                            header.bytes[3]};
    for (unsigned char b : raw) PutHex(out, b);
    const std::uint16_t crc = Crc16(raw, 5);
    PutHex(out, static_cast<unsigned char>(crc >> 8));
    PutHex(out, static_cast<unsigned char>(crc & 0xFF));
    out.push_back('\r');
    out.push_back(0x8A);  // LF with the high bit, as peers expect
    if (header.type != kZFin && header.type != kZAck) out.push_back(kXon);
}

void BinaryHeader(std::vector<unsigned char>& out, const Header& header, bool crc32,
                  Escaper& escaper) {
    out.push_back(kZPad);
    out.push_back(kZDle);
    out.push_back(crc32 ? kZBin32 : kZBin);
    const unsigned char raw[5] = {header.type, header.bytes[0], header.bytes[1], header.bytes[2],
                                  header.bytes[3]};
    escaper.Put(out, raw, 5);
    if (crc32) {
        const std::uint32_t crc = ~Crc32(raw, 5);
        for (int i = 0; i < 4; ++i) escaper.Put(out, static_cast<unsigned char>(crc >> (8 * i)));
    } else {
        const std::uint16_t crc = Crc16(raw, 5);
        escaper.Put(out, static_cast<unsigned char>(crc >> 8));
        escaper.Put(out, static_cast<unsigned char>(crc & 0xFF));
    }
}

void DataSubpacket(std::vector<unsigned char>& out, const unsigned char* data, size_t length,
                   unsigned char end, bool crc32, Escaper& escaper) {
    escaper.Put(out, data, length);
    out.push_back(kZDle);
    out.push_back(end);
    if (crc32) {
        const std::uint32_t crc = ~Crc32(&end, 1, Crc32(data, length));
        for (int i = 0; i < 4; ++i) escaper.Put(out, static_cast<unsigned char>(crc >> (8 * i)));
    } else {
        const std::uint16_t crc = Crc16(&end, 1, Crc16(data, length));
        escaper.Put(out, static_cast<unsigned char>(crc >> 8));
        escaper.Put(out, static_cast<unsigned char>(crc & 0xFF));
    }
    if (end == kZCrcW) out.push_back(kXon);
}

Unescaper::Result Unescaper::Take(unsigned char byte) {
    if (!escaped_) {
        if (Plain(byte)) return {kByte, byte};
        if (byte == kZDle) {
            escaped_ = true;
            cans_ = 0;
        }
        return {kNone, 0};  // ZDLE, or XON/XOFF dropped
    }
    if (byte == kZDle) {  // CAN after the ZDLE: five in all cancel
        if (++cans_ >= 4) {
            Reset();
            return {kCancel, 0};
        }
        return {kNone, 0};
    }
    if (FlowControl(byte)) return {kNone, 0};
    if (cans_ > 0) {  // fewer than five CANs and then something else
        Reset();
        return {kBad, byte};
    }
    escaped_ = false;
    if (byte >= kZCrcE && byte <= kZCrcW) return {kEnd, byte};
    if (byte == 'l') return {kByte, 0x7F};
    if (byte == 'm') return {kByte, 0xFF};
    if ((byte & 0x60) == 0x40) return {kByte, static_cast<unsigned char>(byte ^ 0x40)};
    return {kBad, byte};
}

}  // namespace qlr::zmodem
