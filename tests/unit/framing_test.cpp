// The framers: every stream is fed whole, split in two at every point and in
// random chunks; the frames must not depend on how the bytes were chunked.
#include <gtest/gtest.h>

#include <random>

#include "framing/framer.h"

namespace qlr::framing {
namespace {

using Frames = std::deque<Frame>;

std::string Str(const Frames& frames) {
    std::string s;
    for (const Frame& f : frames) s += "[" + f.data + "]" + std::to_string(f.status);
    return s;
}

// Feeds stream cut at the given points, all bytes arriving at once.
Frames FeedSplit(const Settings& settings, const std::string& stream, std::vector<size_t> cuts) {
    Framer framer(settings);
    Frames out;
    cuts.push_back(stream.size());
    size_t from = 0;
    for (size_t cut : cuts) {
        framer.Feed(reinterpret_cast<const unsigned char*>(stream.data()) + from, cut - from, 1000,
                    out);
        from = cut;
    }
    return out;
}

// The frames of stream fed whole must equal those of every two-way split.
void ExpectSplitInvariant(const Settings& settings, const std::string& stream,
                          const std::string& expected) {
    EXPECT_EQ(Str(FeedSplit(settings, stream, {})), expected);
    for (size_t cut = 0; cut <= stream.size(); ++cut)
        ASSERT_EQ(Str(FeedSplit(settings, stream, {cut})), expected) << "split at " << cut;
    std::mt19937 random(7);
    for (int round = 0; round < 200; ++round) {
        std::vector<size_t> cuts;
        for (size_t at = 0; at < stream.size();) {
            at += 1 + random() % 5;
            if (at < stream.size()) cuts.push_back(at);
        }
        ASSERT_EQ(Str(FeedSplit(settings, stream, cuts)), expected) << "round " << round;
    }
}

Settings Delimited(std::string delimiter, long length) {
    Settings s;
    s.mode = Mode::kDelimiter;
    s.delimiter = std::move(delimiter);
    s.length = length;
    return s;
}

TEST(Framing, DelimiterEndsLinesAndIsNotKept) {
    ExpectSplitInvariant(Delimited("\r\n", 4096), "OK\r\n\r\nA\rB\nC\r\r\ntail",
                         "[OK]0[]0[A\rB\nC\r]0");
    // A delimiter whose start repeats itself.
    ExpectSplitInvariant(Delimited("aab", 4096), "xaaab-aab", "[xa]0[-]0");
}

TEST(Framing, OverLongLineComesInCutPiecesEndedByAWholePiece) {
    // Cut only when the content is certain to pass the limit: a delimiter
    // straddling the limit completes the line.
    ExpectSplitInvariant(Delimited("\r\n", 4), "ABCD\r\nABCDE\r\nABCDEFGHIJ\r\n",
                         "[ABCD]0[ABCD]1[E]0[ABCD]1[EFGH]1[IJ]0");
    ExpectSplitInvariant(Delimited("", 3), "abcdefg", "[abc]1[def]1");
}

TEST(Framing, FixedRecordsAndTheirLimits) {
    Settings s;
    s.mode = Mode::kFixedLength;
    s.length = 3;
    ExpectSplitInvariant(s, "abcdefgh", "[abc]0[def]0");
    s.length = 0;  // the default length
    EXPECT_EQ(EffectiveLength(0), 4096);
    EXPECT_EQ(EffectiveLength(-5), 4096);
    EXPECT_EQ(EffectiveLength(0x7FFFFFFF), kLengthLimit);
}

std::string WithCrc(std::string pdu) {
    const uint16_t crc = ModbusCrc(reinterpret_cast<const unsigned char*>(pdu.data()), pdu.size());
    pdu += static_cast<char>(crc & 0xFF);
    pdu += static_cast<char>(crc >> 8);
    return pdu;
}

TEST(Framing, ModbusCrcIsTheStandardOne) {
    // Read holding registers, slave 1, address 0, count 10: CRC C5 CD.
    const std::string frame = WithCrc(std::string("\x01\x03\x00\x00\x00\x0A", 6));
    EXPECT_EQ(static_cast<unsigned char>(frame[6]), 0xC5);
    EXPECT_EQ(static_cast<unsigned char>(frame[7]), 0xCD);
}

// Timed modes: bytes arrive one character time apart within a frame; a chunk
// is stamped with the arrival of its last byte.
TEST(Framing, SilenceEndsFramesWhateverTheChunking) {
    Settings s;
    s.mode = Mode::kModbusRtu;
    s.charUs = 1000;
    s.gapUs = 3500;
    s.length = 6;
    const std::string good = WithCrc(std::string("\x11\x05\x00\xAC", 4));  // 6 bytes
    std::string bad = good;
    bad[2] ^= 1;
    const std::string longFrame = WithCrc(std::string("\x01\x10\x00\x01\x00\x02\x04", 7));  // 9
    const std::vector<std::string> frames = {good, bad, "\x01", longFrame};
    const std::string expected = "[" + good + "]0[" + bad + "]2[\x01]2[" + longFrame.substr(0, 6) +
                                 "]1[" + longFrame.substr(6) + "]0";
    std::mt19937 random(11);
    for (int round = 0; round < 300; ++round) {
        Framer framer(s);
        Frames out;
        uint64_t t = 0;
        for (const std::string& f : frames) {
            t += 10000;  // well over the gap
            for (size_t at = 0; at < f.size();) {
                const size_t n = std::min<size_t>(f.size() - at, 1 + random() % 4);
                t += n * s.charUs;
                // A reader late by up to two characters stamps the chunk late.
                const uint64_t late = random() % 2000;
                framer.Feed(reinterpret_cast<const unsigned char*>(f.data()) + at, n, t + late,
                            out);
                at += n;
                t += late;  // the next bytes come after the late read
                if (round % 2 && at < f.size()) framer.Silence(t + 1000, out);  // too early to end
            }
        }
        framer.Silence(t + s.gapUs, out);
        ASSERT_EQ(Str(out), expected) << "round " << round;
    }
}

TEST(Framing, InterruptDeliversThePartialFrameOnce) {
    Framer framer(Delimited("\n", 100));
    Frames out;
    framer.Feed(reinterpret_cast<const unsigned char*>("a\nbc"), 4, 0, out);
    framer.Interrupt(out);
    framer.Interrupt(out);
    framer.Feed(reinterpret_cast<const unsigned char*>("d\n"), 2, 0, out);
    EXPECT_EQ(Str(out), "[a]0[bc]3[d]0");
}

TEST(Framing, GapFollowsTheLineSpeed) {
    const uint64_t char9600 = CharacterMicros(9600, 8, false, 2);  // 10 bits
    EXPECT_EQ(char9600, 1042u);
    EXPECT_EQ(GapMicros(0, 9600, char9600), 3647u);
    EXPECT_EQ(GapMicros(0, 19200, CharacterMicros(19200, 8, true, 2)), 2006u);  // 11 bits
    EXPECT_EQ(GapMicros(0, 38400, CharacterMicros(38400, 8, false, 2)), 1750u);
    EXPECT_EQ(GapMicros(25, 9600, char9600), 25000u);
}

}  // namespace
}  // namespace qlr::framing
