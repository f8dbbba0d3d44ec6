// The XModem engine against the fake platform, with memory files and a
// scripted far end.
#include <gtest/gtest.h>

#include <algorithm>

#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/unit/fake_platform.h"
#include "port/open_port.h"
#include "port/session.h"
#include "tests/unit/recording_reporter.h"
#include "transfer/receive.h"
#include "transfer/send.h"
#include "xmodem/batch_files.h"
#include "xmodem/engine.h"
#include "ymodem/engine.h"
#include "zmodem/engine.h"
#include "zmodem/frames.h"

namespace qlr::test {
namespace {

using Bytes = std::vector<unsigned char>;
using namespace qlr::xmodem;

// CRC-16/XMODEM bit by bit, independent of the engine's table.
std::uint16_t BitCrc(const Bytes& data) {
    std::uint16_t crc = 0;
    for (unsigned char b : data) {
        crc ^= static_cast<std::uint16_t>(b << 8);
        for (int i = 0; i < 8; ++i)
            crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

unsigned char Sum(const Bytes& data, size_t n) {
    unsigned s = 0;
    for (size_t i = 0; i < n; ++i) s += data[i];
    return static_cast<unsigned char>(s);
}
unsigned char Sum128(const Bytes& data) { return Sum(data, 128); }

Bytes Pattern(size_t n, unsigned seed = 7) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<unsigned char>((i * 31 + seed) % 251);
    return b;
}

// A frame as a sender puts it on the wire.
std::string Frame(unsigned number, Bytes data, bool crc, size_t size = 128) {
    data.resize(size, kSub);
    std::string f;
    f += static_cast<char>(size == 1024 ? kStx : kSoh);
    f += static_cast<char>(number & 0xFF);
    f += static_cast<char>(255 - (number & 0xFF));
    f.append(data.begin(), data.end());
    if (crc) {
        const std::uint16_t c = BitCrc(data);
        f += static_cast<char>(c >> 8);
        f += static_cast<char>(c & 0xFF);
    } else {
        f += static_cast<char>(Sum(data, size));
    }
    return f;
}

class MemoryFiles final : public FileSystem {
public:
    class Memory final : public File {
    public:
        Memory(MemoryFiles& owner, Bytes* bytes) : owner_(owner), bytes_(bytes) {}
        ~Memory() override { ++owner_.closed; }
        bool Read(unsigned char* buffer, DWORD want, DWORD& got) override {
            if (owner_.failReads) return false;
            got = static_cast<DWORD>(std::min<size_t>(want, bytes_->size() - at_));
            std::copy(bytes_->begin() + static_cast<long>(at_),
                      bytes_->begin() + static_cast<long>(at_ + got), buffer);
            at_ += got;
            return true;
        }
        bool Write(const unsigned char* buffer, DWORD count) override {
            if (owner_.failWrites || owner_.writesBeforeFull-- == 0) return false;
            bytes_->insert(bytes_->end(), buffer, buffer + count);
            return true;
        }

    private:
        MemoryFiles& owner_;
        Bytes* bytes_;
        size_t at_ = 0;
    };

    std::unique_ptr<File> OpenForReading(const wchar_t* name) override {
        auto it = files.find(name);
        if (it == files.end()) return nullptr;
        return std::make_unique<Memory>(*this, &it->second);
    }
    std::unique_ptr<File> CreateForWriting(const wchar_t* name) override {
        if (failCreate) return nullptr;
        files[name].clear();
        return std::make_unique<Memory>(*this, &files[name]);
    }

    std::map<std::wstring, Bytes> files;
    bool failCreate = false;
    bool failReads = false;
    bool failWrites = false;
    int writesBeforeFull = -1;  // the disk is full after this many writes
    int closed = 0;
};

// The far receiver, for Send: it collects our frames and answers each one
// (and each EOT) from a script; ACK when the script is empty.
struct RemoteReceiver {
    struct Block {
        unsigned char header, number, complement;
        Bytes data;
        std::uint16_t check;
    };
    bool crc = true;
    std::deque<std::string> answers;
    std::vector<Block> blocks;
    int eots = 0;
    std::atomic<short>* abortOnBlock = nullptr;  // set the abort request instead of answering
    Bytes pending;

    std::string Answer() {
        if (answers.empty()) return std::string(1, static_cast<char>(kAck));
        std::string a = answers.front();
        answers.pop_front();
        return a;
    }
    std::string operator()(const unsigned char* bytes, DWORD count) {
        pending.insert(pending.end(), bytes, bytes + count);
        if (pending.size() == 1 && pending[0] == kEot) {
            pending.clear();
            ++eots;
            return Answer();
        }
        if (pending.empty()) return {};
        const size_t size = pending[0] == kStx ? 1024 : 128;
        const size_t total = 3 + size + (crc ? 2 : 1);
        if (pending.size() < total) return {};
        Block b{pending[0], pending[1], pending[2],
                Bytes(pending.begin() + 3, pending.begin() + 3 + static_cast<long>(size)), 0};
        b.check = crc ? static_cast<std::uint16_t>((pending[3 + size] << 8) | pending[4 + size])
                      : pending[3 + size];
        blocks.push_back(b);
        pending.clear();
        if (abortOnBlock) {
            abortOnBlock->store(1);
            return {};
        }
        return Answer();
    }
};

// The far sender, for Receive: each single byte we write is answered with
// the next scripted string (nothing once the script is used up).
struct RemoteSender {
    std::deque<std::string> answers;
    std::atomic<short>* abortOnAck = nullptr;
    std::atomic<short>* status = nullptr;
    std::vector<short> seen;  // the status at each of our writes
    std::string operator()(const unsigned char* bytes, DWORD count) {
        if (count != 1) return {};
        if (status) seen.push_back(status->load());
        if (abortOnAck && bytes[0] == kAck) abortOnAck->store(1);
        if (answers.empty()) return {};
        std::string a = answers.front();
        answers.pop_front();
        return a;
    }
};

class XModemTest : public ::testing::Test {
protected:
    XModemTest() : engine(files, [this](long code) { messages.push_back(code); }) {
        port = fake().CreateFileA("COM1", GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
                                  FILE_FLAG_OVERLAPPED);
        read.Create(fake(), port::kTransferIoBytes);
        write.Create(fake(), port::kTransferIoBytes);
        fake().SetTickStep(5000);  // every pause is over at its first look at the clock
        device.reset(new port::LocalDevice(port));
        engine.Attach(*device, read, write);
    }
    ~XModemTest() override {
        device->Release();  // the fake's handle stays the fake's
    }
    FakePlatform& fake() { return scope.fake; }

    long Send(short protocol, const Bytes& content, short show = 1) {
        files.files[L"out.bin"] = content;
        return engine.Send(*device, L"out.bin", read, write, status, progress, protocol, abort,
                           show);
    }
    long Receive(short protocol) {
        return engine.Receive(*device, L"in.bin", read, write, status, progress, protocol, abort,
                              0);
    }
    Bytes Received() { return files.files[L"in.bin"]; }
    std::string WrittenText() {
        const Bytes w = fake().Written();
        return std::string(w.begin(), w.end());
    }

    FakePlatformScope scope;
    MemoryFiles files;
    std::vector<long> messages;
    XModemEngine engine;
    HANDLE port = nullptr;
    std::unique_ptr<port::LocalDevice> device;
    port::IoRecord read;
    port::IoRecord write;
    std::atomic<short> status{0};
    std::atomic<short> progress{0};
    std::atomic<short> abort{0};
};

const std::string kC(1, static_cast<char>(kCrcStart));
const std::string kNakS(1, static_cast<char>(kNak));
const std::string kAckS(1, static_cast<char>(kAck));
const std::string kEotS(1, static_cast<char>(kEot));

// ---- checks and port operations ----

TEST_F(XModemTest, ChecksPadAndTrim) {
    const std::string digits = "123456789";
    EXPECT_EQ(engine.Crc16(reinterpret_cast<const unsigned char*>(digits.data()), 9, 0), 0x31C3);
    const Bytes block = Pattern(1024);
    EXPECT_EQ(engine.Crc16(block.data(), 1024, 0), BitCrc(block));
    Bytes big = block;
    big[500] ^= 0xFF;  // beyond the first 128 bytes: the checksum does not see it
    EXPECT_EQ(XModemEngine::Checksum128(big.data()), Sum128(block));

    Bytes b(8, 'x');
    XModemEngine::PadBlock(b.data(), 3, 8);
    EXPECT_EQ(b, (Bytes{'x', 'x', 'x', kSub, kSub, kSub, kSub, kSub}));
    EXPECT_EQ(XModemEngine::TrimPadding(b.data(), 8), 3u);
    const Bytes subs(128, kSub);
    EXPECT_EQ(XModemEngine::TrimPadding(subs.data(), 128), 0u);
    const Bytes inner{kSub, 'a', kSub};
    EXPECT_EQ(XModemEngine::TrimPadding(inner.data(), 3), 2u);
}

TEST_F(XModemTest, ReadsGatherTheirBytesAndPollsNeverLeaveAReadPending) {
    unsigned char byte = 0;
    EXPECT_EQ(engine.PollByte(byte), -1);
    fake().Receive("\x12\x34");
    std::uint16_t crc = 0;
    EXPECT_EQ(engine.ReadCrc(crc, abort), 0);
    EXPECT_EQ(crc, 0x1234);
    fake().ReceiveAtRead(3, "lo");  // arrives after two empty reads
    fake().Receive("hel");
    unsigned char buf[5] = {};
    EXPECT_EQ(engine.ReadBlock(buf, 5, abort), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 5), "hello");

    fake().SetReadsPend(true);  // as Wine does on an empty queue
    EXPECT_EQ(engine.PollByte(byte), -1);
    EXPECT_FALSE(fake().ReadPending());
    EXPECT_TRUE(fake().Called("CancelIoEx"));
    fake().Receive("z");
    EXPECT_EQ(engine.PollByte(byte), 0);
    EXPECT_EQ(byte, 'z');

    fake().FailNext("ReadFile", ERROR_ACCESS_DENIED);
    EXPECT_EQ(engine.PollByte(byte), static_cast<long>(ERROR_ACCESS_DENIED));
    abort = 1;
    EXPECT_EQ(engine.ReadByte(byte, abort), kAborted);
}

// A driver that does not finish our cancel within its bound: the read then
// goes on into the port's record, never into the caller's (stack) byte, and
// the record is used again only once the driver has ended it.
TEST_F(XModemTest, AReadWhoseCancelNeverEndsKeepsThePortsBufferNotTheCallers) {
    fake().SetReadsPend(true);
    fake().SetCancelsHang(true);
    {
        unsigned char byte = 0;
        EXPECT_EQ(engine.PollByte(byte), static_cast<long>(ERROR_TIMEOUT));
        ASSERT_TRUE(fake().ReadPending());
        EXPECT_NE(fake().PendingReadBuffer(), static_cast<const void*>(&byte));
        EXPECT_EQ(fake().PendingReadBuffer(), static_cast<const void*>(read.buffer.get()));
        EXPECT_EQ(engine.PollByte(byte), static_cast<long>(ERROR_BUSY));  // still the driver's
    }
    fake().Receive("x");  // the driver ends the read at last
    EXPECT_FALSE(fake().ReadPending());
    fake().SetCancelsHang(false);
    fake().SetReadsPend(false);
    fake().Receive("y");
    unsigned char next = 0;
    EXPECT_EQ(engine.PollByte(next), 0);
    EXPECT_EQ(next, 'y');
}

TEST_F(XModemTest, WritesFinishPartialAndPendingWritesAndReportFailures) {
    fake().SetWriteChunk(3);
    fake().SetWritesPend(true);
    const Bytes data = Pattern(128);
    EXPECT_EQ(engine.WriteBlock(data.data(), 128, abort), 0);
    EXPECT_EQ(fake().Written(), data);
    fake().FailNext("WriteFile", ERROR_BAD_COMMAND);
    EXPECT_EQ(engine.WriteByte(1, abort), -1);
    EXPECT_TRUE(fake().Called("ClearCommError"));
    abort = 1;
    const size_t before = fake().Written().size();
    EXPECT_EQ(engine.WriteByte(1, abort), kAborted);
    EXPECT_EQ(fake().Written().size(), before);
}

// ---- Send ----

// Line errors that the engine's looks at the port take are handed on (the
// control posts them as the watch thread does), never cleared unheard.
TEST_F(XModemTest, LineErrorsDuringATransferAreHandedOn) {
    std::vector<DWORD> heard;
    engine.OnLineErrors([&heard](DWORD errors) { heard.push_back(errors); });
    RemoteReceiver peer;
    fake().SetPeer(std::ref(peer));
    fake().SetLineErrors(CE_RXPARITY);
    fake().Receive(kC);
    EXPECT_EQ(Send(kXModemCrc, Pattern(200)), kCompleted);
    EXPECT_EQ(heard, (std::vector<DWORD>{CE_RXPARITY}));
}

TEST_F(XModemTest, SendWithCrcPadsTheLastBlockAndEndsWithEot) {
    RemoteReceiver peer;
    fake().SetPeer(std::ref(peer));
    fake().Receive(kC + kC + kC);  // the extra start characters are purged
    const Bytes content = Pattern(130);
    EXPECT_EQ(Send(kXModemCheckSum, content), kCompleted);  // 'C' decides: CRC
    ASSERT_EQ(peer.blocks.size(), 2u);
    for (unsigned i = 0; i < 2; ++i) {
        EXPECT_EQ(peer.blocks[i].header, kSoh);
        EXPECT_EQ(peer.blocks[i].number, i + 1);
        EXPECT_EQ(peer.blocks[i].complement, 254 - i);
        EXPECT_EQ(peer.blocks[i].check, BitCrc(peer.blocks[i].data));
    }
    Bytes expected = content;
    expected.resize(256, kSub);
    Bytes sent = peer.blocks[0].data;
    sent.insert(sent.end(), peer.blocks[1].data.begin(), peer.blocks[1].data.end());
    EXPECT_EQ(sent, expected);
    EXPECT_EQ(peer.eots, 1);
    EXPECT_EQ(status.load(), kStatusCompleted);
    EXPECT_EQ(progress.load(), 2);
    EXPECT_EQ(files.closed, 1);
}

TEST_F(XModemTest, Send1KWithChecksumUsesFullBlocksAndSumsThemWhole) {
    RemoteReceiver peer;
    peer.crc = false;
    fake().SetPeer(std::ref(peer));
    fake().Receive(kNakS);
    const Bytes content = Pattern(1025);
    EXPECT_EQ(Send(kXModem1K, content), kCompleted);
    ASSERT_EQ(peer.blocks.size(), 2u);
    EXPECT_EQ(peer.blocks[1].header, kStx);
    EXPECT_EQ(peer.blocks[1].data.size(), 1024u);
    EXPECT_EQ(peer.blocks[1].data[1], kSub);
    ASSERT_NE(Sum(peer.blocks[0].data, 1024), Sum128(peer.blocks[0].data));
    EXPECT_EQ(peer.blocks[0].check, Sum(peer.blocks[0].data, 1024));

    // An exact multiple: no padded block; an empty file: EOT at once.
    RemoteReceiver again;
    fake().SetPeer(std::ref(again));
    fake().Receive(kC);
    EXPECT_EQ(Send(kXModemAuto, Pattern(256)), kCompleted);
    EXPECT_EQ(again.blocks.size(), 2u);
    RemoteReceiver empty;
    fake().SetPeer(std::ref(empty));
    fake().Receive(kC);
    EXPECT_EQ(Send(kXModemCrc, Bytes{}), kCompleted);
    EXPECT_TRUE(empty.blocks.empty());
    EXPECT_EQ(empty.eots, 1);
    EXPECT_EQ(progress.load(), 0);
}

TEST_F(XModemTest, SendNumbersBlocksModulo256) {
    RemoteReceiver peer;
    fake().SetPeer(std::ref(peer));
    fake().Receive(kC);
    EXPECT_EQ(Send(kXModemCrc, Pattern(300 * 128)), kCompleted);
    ASSERT_EQ(peer.blocks.size(), 300u);
    EXPECT_EQ(peer.blocks[254].number, 255);
    EXPECT_EQ(peer.blocks[255].number, 0);
    EXPECT_EQ(peer.blocks[255].complement, 255);
    EXPECT_EQ(peer.blocks[256].number, 1);
    EXPECT_EQ(progress.load(), 300);
}

TEST_F(XModemTest, SendRepeatsRejectedBlocksUpToTheRetryLimit) {
    RemoteReceiver peer;
    fake().SetPeer(std::ref(peer));
    fake().Receive(kC);
    // The final block is refused twice (NAK, then noise and no answer), then
    // taken; the first EOT is answered with NAK and repeated.
    peer.answers = {kAckS, kNakS, "\x18", kAckS, kNakS, kAckS};
    EXPECT_EQ(Send(kXModemCrc, Pattern(200)), kCompleted);
    ASSERT_EQ(peer.blocks.size(), 4u);
    EXPECT_EQ(peer.blocks[3].number, 2);
    EXPECT_EQ(peer.blocks[3].data, peer.blocks[1].data);
    EXPECT_EQ(peer.eots, 2);

    // Nine refusals, an ACK, nine more: the count starts again. Ten: 2112.
    RemoteReceiver strict;
    fake().SetPeer(std::ref(strict));
    fake().Receive(kC);
    strict.answers.assign(9, kNakS);
    strict.answers.push_back(kAckS);
    for (int i = 0; i < 10; ++i) strict.answers.push_back(kNakS);
    const size_t purges = fake().CountCalls("PurgeComm");
    EXPECT_EQ(Send(kXModemCrc, Pattern(256)), kProtocolFailed);
    EXPECT_EQ(strict.blocks.size(), 20u);
    EXPECT_EQ(strict.eots, 0);
    EXPECT_EQ(status.load(), kStatusFailed);
    EXPECT_EQ(progress.load(), 1);
    EXPECT_EQ(messages, (std::vector<long>{kProtocolFailed}));
    EXPECT_EQ(fake().CountCalls("PurgeComm") - purges, 1u + 19u + 1u);  // start, each refusal, end

    // EOT answered with CAN CAN fails; no message when not asked.
    RemoteReceiver odd;
    fake().SetPeer(std::ref(odd));
    fake().Receive(kC);
    odd.answers = {kAckS, "\x18\x18"};
    EXPECT_EQ(Send(kXModemCrc, Pattern(5), 0), kProtocolFailed);
    EXPECT_EQ(messages.size(), 1u);
}

TEST_F(XModemTest, SendStartHandshake) {
    // A silent receiver: 2112, and nothing is written.
    EXPECT_EQ(Send(kXModemCrc, Pattern(10)), kProtocolFailed);
    EXPECT_TRUE(fake().Written().empty());
    // Noise is consumed; a NAK late in the twelve seconds still starts the
    // send (the line is listened to throughout, not looked at four times).
    fake().SetTickStep(1000);
    RemoteReceiver peer;
    peer.crc = false;
    fake().SetPeer(std::ref(peer));
    fake().ReceiveAtRead(2, "x");
    fake().ReceiveAtRead(5, kNakS);
    EXPECT_EQ(Send(kXModemCrc, Pattern(10)), kCompleted);
    EXPECT_EQ(peer.blocks.size(), 1u);
    fake().SetTickStep(5000);
    // A failing poll: 2108. A missing file: 2102 without purge or message.
    fake().FailNext("ReadFile", ERROR_ACCESS_DENIED);
    EXPECT_EQ(Send(kXModemCrc, Pattern(10)), kByteReadFailed);
    const size_t purges = fake().CountCalls("PurgeComm");
    messages.clear();
    EXPECT_EQ(engine.Send(*device, L"missing", read, write, status, progress, 0, abort, 1),
              kFileOpenFailed);
    EXPECT_EQ(status.load(), kStatusFailed);
    EXPECT_EQ(fake().CountCalls("PurgeComm"), purges);
    EXPECT_TRUE(messages.empty());
    // A file that cannot be read: 2103.
    fake().Receive(kC);
    files.failReads = true;
    EXPECT_EQ(Send(kXModemCrc, Pattern(10)), kFileReadFailed);
}

TEST_F(XModemTest, SendAbortIsNoticedAtTheNextStep) {
    // Set while the block is on its way: the answer's read gives 2108.
    RemoteReceiver peer;
    peer.abortOnBlock = &abort;
    fake().SetPeer(std::ref(peer));
    fake().Receive(kC);
    EXPECT_EQ(Send(kXModemCrc, Pattern(300)), kByteReadFailed);
    EXPECT_EQ(status.load(), kStatusFailed);
    // Set before the loop starts: 2114 without a block.
    RemoteReceiver none;
    fake().SetPeer(std::ref(none));
    fake().Receive(kC);
    abort = 1;
    EXPECT_EQ(Send(kXModemCrc, Pattern(300)), kAborted);
    EXPECT_TRUE(none.blocks.empty());
}

TEST_F(XModemTest, SendWaitsForASilentReceiverWithoutSpinningAndStopsOnAbort) {
    fake().SetTickStep(0);
    for (bool pend : {true, false}) {
        fake().SetReadsPend(pend);
        RemoteReceiver peer;
        peer.answers = {""};  // the first block gets no answer at all
        fake().SetPeer(std::ref(peer));
        fake().Receive(kC);
        files.files[L"out.bin"] = Pattern(10);
        long rc = 0;
        const size_t readsBefore = fake().CountCalls("ReadFile");
        std::thread worker([&] {
            rc = engine.Send(*device, L"out.bin", read, write, status, progress, 2, abort, 0);
        });
        // The answer's wait has begun; let the engine wait for a while.
        ASSERT_TRUE(fake().WaitForCalls("WriteFile", 1, 5000));
        ASSERT_TRUE(fake().WaitForCalls("ReadFile", readsBefore + 3, 5000));
        const DWORD begun = ::GetTickCount();
        ::Sleep(200);  // time passes for the measurement, not for ordering
        const size_t reads = fake().CountCalls("ReadFile") - readsBefore;
        abort = 1;
        const DWORD asked = ::GetTickCount();
        worker.join();
        EXPECT_LT(::GetTickCount() - asked, 1000u);
        EXPECT_EQ(rc, kByteReadFailed);
        EXPECT_FALSE(fake().ReadPending());
        const DWORD spent = ::GetTickCount() - begun;
        // A pending read is one call per slice; immediate empty reads come a
        // few ms apart.
        EXPECT_LE(reads, pend ? spent / 40 + 2 : spent / 2 + 4) << "pend=" << pend;
        abort = 0;
    }
}

// ---- Receive ----

TEST_F(XModemTest, ReceiveWithCrcTakesMixedBlocksAndTrimsThePadding) {
    RemoteSender peer;
    const Bytes first = Pattern(1024, 1), second = Pattern(2, 2);
    peer.answers = {Frame(1, first, true, 1024), Frame(2, second, true), kEotS};
    fake().SetPeer(std::ref(peer));
    EXPECT_EQ(Receive(kXModemAuto), kCompleted);
    Bytes expected = first;
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(Received(), expected);
    EXPECT_EQ(WrittenText(), kC + kAckS + kAckS + kAckS);
    EXPECT_EQ(status.load(), kStatusCompleted);
    EXPECT_EQ(progress.load(), 2);
    EXPECT_EQ(fake().CountCalls("PurgeComm"), 1u);  // stale input, before the start

    // EOT as the first header (after the fallback NAK): an empty file.
    RemoteSender eot;
    eot.answers = {"", "", "", kEotS};
    fake().SetPeer(std::ref(eot));
    EXPECT_EQ(Receive(kXModemCrc), kCompleted);
    EXPECT_TRUE(Received().empty());
    EXPECT_EQ(progress.load(), 0);
}

TEST_F(XModemTest, ReceiveStartHandshakes) {
    // No answer to three 'C's: one NAK, then checksum blocks.
    RemoteSender fallback;
    fallback.answers = {"", "", "", Frame(1, Pattern(128, 3), false), kEotS};
    fake().SetPeer(std::ref(fallback));
    EXPECT_EQ(Receive(kXModem1K), kCompleted);
    EXPECT_EQ(WrittenText(), kC + kC + kC + kNakS + kAckS + kAckS);
    EXPECT_EQ(Received(), Pattern(128, 3));

    // Checksum only: NAKs, and a 1K block is no start.
    RemoteSender checksum;
    checksum.answers = {"", Frame(1, Pattern(5, 4), false), kEotS};
    fake().SetPeer(std::ref(checksum));
    const size_t before = fake().Written().size();
    EXPECT_EQ(Receive(kXModemCheckSum), kCompleted);
    EXPECT_EQ(WrittenText().substr(before), kNakS + kNakS + kAckS + kAckS);
    EXPECT_EQ(Received(), Pattern(5, 4));
    RemoteSender large;
    large.answers = {Frame(2, {}, false, 1024), "", ""};  // no byte of it is SOH
    fake().SetPeer(std::ref(large));
    EXPECT_EQ(Receive(kXModemCheckSum), kNoChecksumStart);
    EXPECT_EQ(status.load(), kStatusFailed);

    // An empty file: EOT answers the first start character, in either mode.
    for (short protocol : {kXModemCrc, kXModemCheckSum}) {
        RemoteSender empty;
        empty.answers = {kEotS};
        fake().SetPeer(std::ref(empty));
        const size_t at = WrittenText().size();
        EXPECT_EQ(Receive(protocol), kCompleted);
        EXPECT_EQ(WrittenText().substr(at), (protocol == kXModemCrc ? kC : kNakS) + kAckS);
        EXPECT_TRUE(Received().empty());
    }
    fake().SetPeer(nullptr);
    fake().FailNext("WriteFile", ERROR_BAD_COMMAND);
    EXPECT_EQ(Receive(kXModemCrc), kByteWriteFailed);
    files.failCreate = true;
    EXPECT_EQ(Receive(kXModemCrc), kFileOpenFailed);
}

TEST_F(XModemTest, ReceiveRejectsBadBlocksAndAcknowledgesARepeat) {
    RemoteSender peer;
    const Bytes a = Pattern(128, 5), b = Pattern(128, 6), c = Pattern(100, 7);
    std::string badCrc = Frame(2, b, true);
    badCrc[10] ^= 1;
    std::string badComplement = Frame(2, b, true);
    badComplement[2] = 0;
    peer.answers = {Frame(1, a, true),
                    badCrc,             // NAK, status 2
                    badComplement,      // NAK, status 3
                    Frame(3, b, true),  // NAK, status 4
                    Frame(2, b, true),
                    Frame(2, b, true),  // a repeat: ACK, dropped
                    Frame(3, c, true),
                    kEotS};
    fake().SetPeer(std::ref(peer));
    EXPECT_EQ(Receive(kXModemCrc), kCompleted);
    Bytes expected = a;
    expected.insert(expected.end(), b.begin(), b.end());
    expected.insert(expected.end(), c.begin(), c.end());
    EXPECT_EQ(Received(), expected);
    EXPECT_EQ(WrittenText(), kC + kAckS + kNakS + kNakS + kNakS + kAckS + kAckS + kAckS + kAckS);
    EXPECT_EQ(progress.load(), 3);

    // Each kind sets its status, seen at our next write; a repeat is no error.
    const std::vector<std::pair<std::string, short>> kinds{{badCrc, kStatusBadCrc},
                                                           {badComplement, kStatusBadComplement},
                                                           {Frame(3, b, true), kStatusBadNumber},
                                                           {Frame(1, a, true), kStatusBadNumber}};
    for (const auto& kind : kinds) {
        RemoteSender one;
        one.status = &status;
        one.answers = {Frame(1, a, true), kind.first, kEotS};
        fake().SetPeer(std::ref(one));
        EXPECT_EQ(Receive(kXModemCrc), kCompleted);
        ASSERT_EQ(one.seen.size(), 4u);
        EXPECT_EQ(one.seen[3], kind.second);
        EXPECT_EQ(Received(), a);
    }
}

TEST_F(XModemTest, ReceiveChecksumMismatchIsRejectedWithoutPurgeAndTenRejectionsFail) {
    RemoteSender peer;
    peer.status = &status;
    std::string bad = Frame(1, Pattern(128), false);
    bad.back() = static_cast<char>(bad.back() + 1);
    peer.answers = {"", bad, Frame(1, Pattern(128), false), kEotS};
    fake().SetPeer(std::ref(peer));
    EXPECT_EQ(Receive(kXModemCheckSum), kCompleted);
    EXPECT_EQ(WrittenText(), kNakS + kNakS + kNakS + kAckS + kAckS);
    EXPECT_EQ(peer.seen, (std::vector<short>{1, 1, 1, 1, 1}));
    EXPECT_EQ(fake().CountCalls("PurgeComm"), 1u);  // only before the start
    EXPECT_EQ(Received(), Pattern(128));

    RemoteSender noisy;
    std::string wrong = Frame(1, Pattern(128), true);
    wrong[50] ^= 0x40;
    noisy.answers.assign(10, wrong);
    fake().SetPeer(std::ref(noisy));
    EXPECT_EQ(Receive(kXModemCrc), kProtocolFailed);
    EXPECT_EQ(status.load(), kStatusFailed);
    EXPECT_TRUE(Received().empty());
}

TEST_F(XModemTest, ReceiveNumbersWrapAndFailuresEndWithTheirCodes) {
    RemoteSender peer;
    Bytes expected;
    for (unsigned n = 1; n <= 300; ++n) {
        const Bytes data = Pattern(128, n);
        expected.insert(expected.end(), data.begin(), data.end());
        peer.answers.push_back(Frame(n, data, true));
    }
    peer.answers.push_back(kEotS);
    fake().SetPeer(std::ref(peer));
    EXPECT_EQ(Receive(kXModemCrc), kCompleted);
    EXPECT_EQ(Received(), expected);
    EXPECT_EQ(progress.load(), 300);

    // CAN CAN for a header: the sender cancelled, 2112.
    RemoteSender cancel;
    cancel.answers = {Frame(1, Pattern(9), true), "\x18\x18"};
    fake().SetPeer(std::ref(cancel));
    const size_t purges = fake().CountCalls("PurgeComm");
    EXPECT_EQ(Receive(kXModemCrc), kProtocolFailed);
    EXPECT_EQ(status.load(), kStatusFailed);

    // The file cannot take the pending block: 2104, with a purge.
    RemoteSender full;
    full.answers = {Frame(1, Pattern(9), true), kEotS};
    fake().SetPeer(std::ref(full));
    files.failWrites = true;
    EXPECT_EQ(Receive(kXModemCrc), kFileWriteFailed);
    EXPECT_GT(fake().CountCalls("PurgeComm"), purges);
    files.failWrites = false;

    // An abort after an accepted block: 2114 at the top of the next pass; the
    // block was on disk before its ACK.
    RemoteSender stopped;
    stopped.abortOnAck = &abort;
    stopped.answers = {Frame(1, Pattern(9), true)};
    fake().SetPeer(std::ref(stopped));
    EXPECT_EQ(Receive(kXModemCrc), kAborted);
    EXPECT_EQ(Received(), Pattern(9));
    // An abort during the handshake: the next write of 'C' gives 2105.
    fake().SetPeer(nullptr);
    EXPECT_EQ(Receive(kXModemCrc), kByteWriteFailed);
    EXPECT_EQ(files.closed, 5);  // every file was closed
}

// ---- faults of a real line ----

const std::string kCanCan("\x18\x18");

// Short bounds and a real clock: waits run out in milliseconds.
Timing Quick() {
    Timing t;
    t.answerMs = 300;
    t.byteGapMs = 200;
    t.quietMs = 60;
    t.settleBudgetMs = 500;
    t.writeStallMs = 500;
    return t;
}

TEST_F(XModemTest, SenderNeverRunsOneAnswerAhead) {
    fake().SetTickStep(0);
    engine.SetTiming(Quick());
    // A second start character arrives while the sender settles after the
    // first; block 1 is then refused by NAK whose real answer (ACK) follows
    // late, and the final block is refused once.
    std::vector<std::thread> late;
    FakePlatform* f = &fake();
    RemoteReceiver peer;
    int frames = 0;
    fake().SetPeer([&](const unsigned char* bytes, DWORD count) {
        const size_t before = peer.blocks.size();
        const std::string a = peer(bytes, count);
        if (peer.blocks.size() == before) return a;
        ++frames;
        if (frames == 1) {
            late.emplace_back([f] {
                ::Sleep(20);
                f->Receive(kAckS);
            });
            return kNakS;
        }
        if (frames == 3) return kNakS;  // the final block, refused once
        return a;
    });
    fake().Receive(kC);
    fake().ReceiveAtRead(2, kC);
    const Bytes content = Pattern(200);
    EXPECT_EQ(Send(kXModemCrc, content), kCompleted);
    for (auto& t : late) t.join();
    ASSERT_EQ(peer.blocks.size(), 4u);
    EXPECT_EQ(peer.blocks[0].number, 1);
    EXPECT_EQ(peer.blocks[1].number, 1);
    EXPECT_EQ(peer.blocks[2].number, 2);
    EXPECT_EQ(peer.blocks[3].number, 2);  // the refused final block went out again
    EXPECT_EQ(peer.eots, 1);
}

TEST_F(XModemTest, ReceiverTakesOnlyAQuietEotAsTheEnd) {
    // A stale EOT queued before the receive starts is dropped.
    RemoteSender peer;
    peer.answers = {Frame(1, Pattern(100), true), kEotS};
    fake().SetPeer(std::ref(peer));
    fake().Receive(kEotS);
    EXPECT_EQ(Receive(kXModemCrc), kCompleted);
    EXPECT_EQ(Received(), Pattern(100));

    // Block 4 loses its SOH: its number reads as EOT, but bytes follow.
    RemoteSender lost;
    Bytes expected;
    for (unsigned n = 1; n <= 4; ++n) {
        const Bytes data = Pattern(128, n);
        expected.insert(expected.end(), data.begin(), data.end());
        lost.answers.push_back(n == 4 ? Frame(4, data, true).substr(1) : Frame(n, data, true));
    }
    lost.answers.push_back(Frame(4, Pattern(128, 4), true));  // answers our NAK
    lost.answers.push_back(kEotS);
    fake().SetPeer(std::ref(lost));
    EXPECT_EQ(Receive(kXModemCrc), kCompleted);
    EXPECT_EQ(Received(), expected);
    EXPECT_EQ(WrittenText().substr(WrittenText().size() - 3), kNakS + kAckS + kAckS);
}

TEST_F(XModemTest, ReceiverSettlesOnOneChecksumRuleFor1KBlocks) {
    // Block 2 holds 100 bytes and SUB padding, whose sum is 0 modulo 256: a
    // damaged tail leaves the first 128 bytes' sum right.
    const Bytes one = Pattern(1024, 2), two = Pattern(100, 3);
    Bytes padded = two;
    padded.resize(1024, kSub);
    ASSERT_EQ(Sum(padded, 1024), Sum128(padded));
    ASSERT_NE(Sum(one, 1024), Sum128(one));
    std::string damaged = Frame(2, two, false, 1024);
    damaged[3 + 700] ^= 0x10;
    Bytes expected = one;
    expected.insert(expected.end(), two.begin(), two.end());
    {
        RemoteSender whole;  // standard senders: the sum of all 1024 bytes
        whole.answers = {"",
                         "",
                         "",
                         Frame(1, one, false, 1024),
                         Frame(1, one, false, 1024),
                         damaged,
                         Frame(2, two, false, 1024),
                         kEotS};
        fake().SetPeer(std::ref(whole));
        const size_t at = WrittenText().size();
        EXPECT_EQ(Receive(kXModemAuto), kCompleted);
        // The first block only one rule takes is confirmed by a second copy;
        // from then on the damaged tail is refused.
        EXPECT_EQ(WrittenText().substr(at),
                  kC + kC + kC + kNakS + kNakS + kAckS + kNakS + kAckS + kAckS);
        EXPECT_EQ(Received(), expected);
    }
    {
        RemoteSender first;  // older senders: the sum of the first 128 bytes
        std::string f1 = Frame(1, one, false, 1024);
        f1.back() = static_cast<char>(Sum128(one));
        first.answers = {"", "", "", f1, f1, Frame(2, two, false, 1024), kEotS};
        fake().SetPeer(std::ref(first));
        const size_t at = WrittenText().size();
        EXPECT_EQ(Receive(kXModemAuto), kCompleted);
        EXPECT_EQ(WrittenText().substr(at), kC + kC + kC + kNakS + kNakS + kAckS + kAckS + kAckS);
        EXPECT_EQ(Received(), expected);
    }
}

TEST_F(XModemTest, ReceiverAcknowledgesOnlyWhatIsOnDisk) {
    RemoteSender peer;
    peer.answers = {Frame(1, Pattern(128, 1), true), Frame(2, Pattern(50, 2), true), kEotS};
    fake().SetPeer(std::ref(peer));
    files.writesBeforeFull = 1;  // block 1 fits, block 2 does not
    EXPECT_EQ(Receive(kXModemCrc), kFileWriteFailed);
    // No ACK for block 2, none for EOT (the sender would report success), and
    // CAN CAN so that the sender stops.
    EXPECT_EQ(WrittenText(), kC + kAckS + kCanCan);
    EXPECT_EQ(Received(), Pattern(128, 1));
}

TEST_F(XModemTest, EveryWaitIsBounded) {
    fake().SetTickStep(0);
    engine.SetTiming(Quick());
    // A receiver that vanishes after block 1: block 2 goes out ten times, then 2112.
    RemoteReceiver gone;
    gone.answers = {kAckS};
    for (int i = 0; i < 20; ++i) gone.answers.push_back("");
    fake().SetPeer(std::ref(gone));
    fake().Receive(kC);
    DWORD begun = ::GetTickCount();
    EXPECT_EQ(Send(kXModemCrc, Pattern(200)), kProtocolFailed);
    EXPECT_LT(::GetTickCount() - begun, 30000u);
    EXPECT_EQ(gone.blocks.size(), 11u);
    EXPECT_EQ(progress.load(), 1);
    EXPECT_EQ(WrittenText().substr(WrittenText().size() - 2), kCanCan);

    // A sender that vanishes after block 1, and one that stops inside a block:
    // every header or byte wait runs out and counts as a rejection.
    for (bool midBlock : {false, true}) {
        RemoteSender cut;
        cut.answers = {Frame(1, Pattern(128, 1), true)};
        if (midBlock) cut.answers.push_back(Frame(2, Pattern(128, 2), true).substr(0, 60));
        fake().SetPeer(std::ref(cut));
        begun = ::GetTickCount();
        EXPECT_EQ(Receive(kXModemCrc), kProtocolFailed);
        EXPECT_LT(::GetTickCount() - begun, 30000u);
        EXPECT_EQ(Received(), Pattern(128, 1));
        EXPECT_EQ(status.load(), kStatusFailed);
    }
}

TEST_F(XModemTest, CanCanEndsATransferAndOurEndingsSendIt) {
    // The receiver cancels block 1: the sender stops at once.
    RemoteReceiver cancelling;
    cancelling.answers = {kCanCan};
    fake().SetPeer(std::ref(cancelling));
    fake().Receive(kC);
    EXPECT_EQ(Send(kXModemCrc, Pattern(1000)), kProtocolFailed);
    EXPECT_EQ(cancelling.blocks.size(), 1u);
    EXPECT_EQ(WrittenText().find(kCanCan), std::string::npos);  // nobody left to tell

    // The sender cancels: the receiver stops at once.
    RemoteSender sender;
    sender.answers = {Frame(1, Pattern(128), true), kCanCan};
    fake().SetPeer(std::ref(sender));
    size_t at = WrittenText().size();
    EXPECT_EQ(Receive(kXModemCrc), kProtocolFailed);
    EXPECT_EQ(WrittenText().substr(at), kC + kAckS);

    // Our abort, on either side, tells the peer.
    RemoteReceiver peer;
    peer.abortOnBlock = &abort;
    fake().SetPeer(std::ref(peer));
    fake().Receive(kC);
    EXPECT_EQ(Send(kXModemCrc, Pattern(300)), kByteReadFailed);
    EXPECT_EQ(WrittenText().substr(WrittenText().size() - 2), kCanCan);
    abort = 0;
    RemoteSender stopped;
    stopped.abortOnAck = &abort;
    stopped.answers = {Frame(1, Pattern(9), true)};
    fake().SetPeer(std::ref(stopped));
    at = WrittenText().size();
    EXPECT_EQ(Receive(kXModemCrc), kAborted);
    EXPECT_EQ(WrittenText().substr(at), kC + kAckS + kCanCan);

    // A cancel queued before a send began (lrzsz answers our CAN CAN with ten
    // CANs and ten backspaces after the failed transfer has returned) ends
    // nothing: the next send waits for its own receiver's start character. A
    // start character queued after such a cancel is a receiver already waiting.
    abort = 0;
    for (const std::string& lateStart : {kC, std::string()}) {
        RemoteReceiver next;
        fake().SetPeer(std::ref(next));
        fake().Receive(std::string(10, '\x18') + std::string(10, '\b') + lateStart);
        if (lateStart.empty()) fake().ReceiveAtRead(2, kC);
        EXPECT_EQ(Send(kXModemCrc, Pattern(300)), kCompleted);
        EXPECT_EQ(next.blocks.size(), 3u);
    }
}

// lrzsz's cancel: ten CANs, then ten backspaces.
const std::string kLrzszCancel = std::string(10, '\x18') + std::string(10, '\b');

// A cancel that the previous transfer's peer sent late (in reply to our own)
// ends nothing before the first block; one inside a block ends the transfer
// at once, without a NAK, instead of after ten time-outs.
TEST_F(XModemTest, ReceiverIgnoresALateCancelAndHearsOneInsideABlock) {
    fake().SetTickStep(0);  // the start handshake listens on a real clock
    engine.SetTiming(Quick());
    RemoteSender sender;
    sender.answers = {kLrzszCancel + Frame(1, Pattern(100), true), kEotS};
    fake().SetPeer(std::ref(sender));
    EXPECT_EQ(Receive(kXModemCrc), kCompleted);
    EXPECT_EQ(Received(), Pattern(100));

    RemoteSender stopping;
    stopping.answers = {Frame(1, Pattern(128), true).substr(0, 60) + kLrzszCancel};
    fake().SetPeer(std::ref(stopping));
    const size_t at = WrittenText().size();
    EXPECT_EQ(Receive(kXModemCrc), kProtocolFailed);
    EXPECT_EQ(WrittenText().substr(at), kC);  // neither a NAK nor a cancel of ours
}

TEST_F(XModemTest, ReceiverReadsARefusedBlockToItsEndBeforeTheNak) {
    // At low speeds the rest of a block with a wrong number is still on its
    // way when the number is read; it must not be taken for a header.
    fake().SetTickStep(0);
    Timing timing = Quick();
    timing.byteGapMs = 5000;  // the rest comes after 30 ms, however loaded the machine
    engine.SetTiming(timing);
    const Bytes a = Pattern(1024, 1), b = Pattern(1024, 2);
    const std::string wrong = Frame(3, b, true, 1024);
    std::vector<std::thread> later;
    FakePlatform* f = &fake();
    int acks = 0;
    fake().SetPeer([&](const unsigned char* bytes, DWORD count) -> std::string {
        if (count != 1) return {};
        if (bytes[0] == kCrcStart) return Frame(1, a, true, 1024);
        if (bytes[0] == kAck && ++acks == 1) {
            later.emplace_back([f, wrong] {
                ::Sleep(30);
                f->Receive(wrong.substr(3));
            });
            return wrong.substr(0, 3);
        }
        if (bytes[0] == kNak) return Frame(2, b, true, 1024);
        if (bytes[0] == kAck && acks == 2) return kEotS;
        return {};
    });
    EXPECT_EQ(Receive(kXModemCrc), kCompleted);
    for (auto& t : later) t.join();
    Bytes expected = a;
    expected.insert(expected.end(), b.begin(), b.end());
    EXPECT_EQ(Received(), expected);
    EXPECT_EQ(WrittenText(), kC + kAckS + kNakS + kAckS + kAckS);
    EXPECT_EQ(status.load(), kStatusCompleted);
}

TEST_F(XModemTest, SenderHearsAStartCharacterLateInTheLastAttempt) {
    // rx repeats its 'C' only after about ten seconds: the line is read
    // throughout the twelve, not looked at four times.
    fake().SetTickStep(250);
    RemoteReceiver peer;
    fake().SetPeer(std::ref(peer));
    fake().ReceiveAtRead(30, kC);
    EXPECT_EQ(Send(kXModemCrc, Pattern(10)), kCompleted);
    EXPECT_EQ(peer.blocks.size(), 1u);
}

TEST_F(XModemTest, ReceiverRefusesABlockWithAByteBehindIt) {
    // A data byte doubled on the line: the block's last data byte is read as
    // its checksum, and for this data that checksum happens to match.
    Bytes data = Pattern(128, 9);
    Bytes shifted(data.begin(), data.begin() + 6);
    shifted.insert(shifted.end(), data.begin() + 5, data.begin() + 127);
    data[127] = Sum128(shifted);  // what a doubled byte 5 leaves as the checksum
    std::string doubled = Frame(1, data, false);
    doubled.insert(doubled.begin() + 3 + 5, doubled[3 + 5]);
    RemoteSender peer;
    peer.answers = {"", doubled, Frame(1, data, false), kEotS};
    fake().SetPeer(std::ref(peer));
    EXPECT_EQ(Receive(kXModemCheckSum), kCompleted);
    EXPECT_EQ(Received(), data);
    EXPECT_EQ(WrittenText(), kNakS + kNakS + kNakS + kAckS + kAckS);
}

// The host calls its synchronous members while a transfer runs on the open
// port, in both directions: each is refused with 125 at once, nothing of the
// host's goes on the line or leaves the queue, and the file arrives whole.
TEST(XModemAndHost, HostReadsAndWritesDuringATransferAreRefusedAndTheFileArrivesWhole) {
    FakePlatformScope scope;
    FakePlatform& fake = scope.fake;
    ControlState state;
    RecordingReporter reporter;
    port::Session session(state, reporter);
    ASSERT_EQ(session.OpenComm(), 0);
    MemoryFiles files;
    XModemEngine engine(files);
    const Bytes content = Pattern(700);
    std::atomic<bool> running{true};
    auto hostCalls = [&] {
        int calls = 0;
        com::Bstr text(L"host");
        while (running.load() || calls < 3) {
            com::Bstr::Attach(transfer::RecvString(state, reporter, 0));
            com::Bstr::Attach(transfer::RecvString(state, reporter, 4));
            EXPECT_EQ(transfer::SendString(state, reporter, text.get()), 125);
            ++calls;
            ::Sleep(1);
        }
        return calls;
    };
    for (const bool sending : {true, false}) {
        reporter.list.clear();
        const size_t written = fake.Written().size();
        RemoteReceiver receiver;
        RemoteSender sender;
        if (sending) {
            files.files[L"out.bin"] = content;
            fake.SetPeer(std::ref(receiver));
            fake.Receive(std::string(1, static_cast<char>(kCrcStart)));
        } else {
            for (unsigned i = 0; i < 6; ++i)
                sender.answers.push_back(
                    Frame(i + 1,
                          Bytes(content.begin() + 128 * i,
                                content.begin() + std::min<size_t>(128 * (i + 1), 700)),
                          true));
            sender.answers.push_back(std::string(1, static_cast<char>(kEot)));
            fake.SetPeer(std::ref(sender));
        }
        state.inFileTransfer = 1;
        running = true;
        long code = -1;
        std::thread worker([&] {
            code = sending ? engine.Send(state, L"out.bin", kXModemCrc, 0)
                           : engine.Receive(state, L"in.bin", kXModemCrc, 0);
            running = false;
        });
        const int calls = hostCalls();
        worker.join();
        state.inFileTransfer = 0;
        EXPECT_EQ(code, kCompleted) << (sending ? "send" : "receive");
        EXPECT_EQ(reporter.list, ErrorList(3 * static_cast<size_t>(calls), E(125, 0)));
        EXPECT_FALSE(fake.ReadPending());
        const Bytes out = fake.Written();
        const std::string line(out.begin() + static_cast<long>(written), out.end());
        EXPECT_EQ(line.find("host"), std::string::npos);
        if (sending) {
            Bytes sent;
            for (const auto& block : receiver.blocks)
                sent.insert(sent.end(), block.data.begin(), block.data.end());
            sent.resize(content.size());
            EXPECT_EQ(sent, content);
        } else {
            EXPECT_EQ(files.files[L"in.bin"], content);
        }
    }
    fake.SetPeer(nullptr);
    session.CloseComm();
}

// ---- batches (YModem) and the names they carry ----

TEST(BatchNames, UntrustedNamesStayInTheFolderAndSendFileFormsSplit) {
    const std::pair<const char*, const wchar_t*> cases[] = {
        {"..\\..\\x", L"x"},
        {"C:\\x", L"x"},
        {"CON", L"_CON"},
        {"a:b", L"a_b"},
        {"/etc/passwd", L"passwd"},
        {"nul.txt", L"_nul.txt"},
        {"com1", L"_com1"},
        {"..", L"_"},
        {"dir/", L"_"},
        {"a<b>|\"?*\x01", L"a_b______"},
        {"name. . ", L"name"},
        {"COM10", L"COM10"},
        {"d\xC3\xA9j\xC3\xA0", L"d\u00e9j\u00e0"}};
    for (const auto& c : cases) EXPECT_EQ(SafeName(c.first), c.second) << c.first;
    EXPECT_EQ(SafeName(std::string(300, 'a')).size(), 200u);
    EXPECT_EQ(SplitNames(L"a.bin||dir\\*.txt|b"),
              (std::vector<std::wstring>{L"a.bin", L"dir\\*.txt", L"b"}));
    EXPECT_TRUE(HasWildcard(L"dir\\*.txt"));
    EXPECT_FALSE(HasWildcard(L"d?r\\a.txt"));
    EXPECT_EQ(HeaderName(L"C:\\in\\d\u00e9.bin"), "d\xC3\xA9.bin");
}

// Memory files with the facts a batch needs.
class MemoryBatch final : public BatchFileSystem {
public:
    std::unique_ptr<File> OpenForReading(const wchar_t* name) override {
        return files.OpenForReading(name);
    }
    std::unique_ptr<File> CreateForWriting(const wchar_t* name) override {
        times.erase(name);
        return files.CreateForWriting(name);
    }
    bool Stat(const wchar_t* path, FileFacts& facts) override {
        if (folders.count(path)) {
            facts.folder = true;
            return true;
        }
        auto it = files.files.find(path);
        if (it == files.files.end()) return false;
        facts = FileFacts{it->second.size(), times.count(path) ? times[path] : 0, false};
        return true;
    }
    bool SetModified(const wchar_t* path, long long modified) override {
        times[path] = modified;
        return true;
    }
    std::vector<std::wstring> Match(const std::wstring&) override { return {}; }
    bool MakeFolder(const wchar_t* path) override { return folders.insert(path).second; }
    std::unique_ptr<File> OpenForAppend(const wchar_t* path) override {
        auto it = files.files.find(path);
        if (it == files.files.end()) return nullptr;
        Bytes kept = it->second;
        auto file = files.CreateForWriting(path);
        file->Write(kept.data(), static_cast<DWORD>(kept.size()));
        return file;
    }

    MemoryFiles files;
    std::map<std::wstring, long long> times;
    std::set<std::wstring> folders;
};

std::string Header(const std::string& name, const std::string& fields) {
    Bytes block(name.begin(), name.end());
    block.push_back(0);
    block.insert(block.end(), fields.begin(), fields.end());
    block.resize(128, 0);
    return Frame(0, block, true);
}

class YModemTest : public XModemTest {
protected:
    long Receive(short protocol, const Destination& to) {
        return ymodem.Receive(*device, read, write, to, status, progress, protocol, abort);
    }
    MemoryBatch batch;
    std::vector<std::wstring> asked;
    ymodem::YModemEngine ymodem{batch, [this](const std::wstring& path) {
                                    asked.push_back(path);
                                    return path != L"in\\keep.bin";
                                }};
};

TEST_F(YModemTest, ReceiveStoresExactLengthsTimesAndSafeNamesAndAsksPerFile) {
    const Bytes a = Pattern(1100), b = Pattern(130, 3);
    batch.files.files[L"in\\keep.bin"] = Pattern(5);
    RemoteSender peer;
    // Our writes: C, ACK, C, ACK, ACK, ACK(EOT), C, ACK, C, ACK, ACK(EOT), C, ACK(end)...
    peer.answers = {Header("../../CON", "1100 13333333333 100644"),
                    "",
                    Frame(1, Bytes(a.begin(), a.begin() + 1024), true, 1024),
                    Frame(2, Bytes(a.begin() + 1024, a.end()), true),
                    kEotS,
                    "",
                    Header("keep.bin", "130"),
                    "",
                    Frame(1, b, true, 1024),
                    kEotS,
                    "",
                    Header("", ""),
                    ""};
    fake().SetPeer(std::ref(peer));
    EXPECT_EQ(Receive(ymodem::kYModem, DestinationOf(batch, L"in\\")), kCompleted);
    EXPECT_EQ(batch.files.files[L"in\\_CON"], a);
    EXPECT_EQ(batch.times[L"in\\_CON"], 013333333333LL);
    EXPECT_EQ(batch.files.files[L"in\\keep.bin"], Pattern(5));  // the user said keep
    EXPECT_EQ(asked, std::vector<std::wstring>{L"in\\keep.bin"});
    EXPECT_EQ(progress.load(), 3);
    EXPECT_EQ(status.load(), kStatusCompleted);
}

TEST_F(YModemTest, AHeaderSentAgainAfterItsAckWasLostIsAcknowledgedAgain) {
    const Bytes a = Pattern(300);
    RemoteSender peer;
    // Our writes: C, ACK, C (taken for a NAK), ACK, C, ACK, ACK(EOT), C, ACK(end).
    const std::string header = Header("a.bin", "300");
    peer.answers = {header, "", header,         "", Frame(1, a, true, 1024) + kEotS,
                    "",     "", Header("", ""), ""};
    fake().SetPeer(std::ref(peer));
    EXPECT_EQ(Receive(ymodem::kYModem, DestinationOf(batch, L"in\\")), kCompleted);
    EXPECT_EQ(batch.files.files[L"in\\a.bin"], a);
    EXPECT_EQ(WrittenText(), kC + kAckS + kC + kAckS + kC + kAckS + kAckS + kC + kAckS);
}

TEST_F(YModemTest, ABatchThatOffersNoFileIsNoSuccess) {
    // A sender that gave up on its only file ends the batch at once.
    RemoteSender peer;
    peer.answers = {Header("", ""), ""};
    fake().SetPeer(std::ref(peer));
    EXPECT_EQ(Receive(ymodem::kYModemG, DestinationOf(batch, L"in.bin")), kProtocolFailed);
    EXPECT_EQ(status.load(), kStatusFailed);
    EXPECT_EQ(batch.files.files.count(L"in.bin"), 0u);
}

TEST_F(YModemTest, StreamingBatchCutPartWayKeepsTheCompletedFileAndStampsNoPartialOne) {
    const Bytes a = Pattern(100);
    std::string damaged = Frame(2, Pattern(1024, 5), true, 1024);
    damaged[40] ^= 0x10;
    RemoteSender peer;
    // Streaming: G, ACK(header), G, ACK(EOT), G, ACK(header), G -> everything at once.
    peer.answers = {Header("a.bin", "100 1234"),
                    "",
                    Frame(1, a, true) + kEotS,
                    "",
                    Header("b.bin", "5000 1234"),
                    "",
                    Frame(1, Pattern(1024, 4), true, 1024) + damaged};
    fake().SetPeer(std::ref(peer));
    EXPECT_EQ(Receive(ymodem::kYModemG, DestinationOf(batch, L"out.bin")), kProtocolFailed);
    EXPECT_EQ(batch.files.files[L"out.bin"], a);
    EXPECT_EQ(batch.times[L"out.bin"], 01234);
    EXPECT_EQ(batch.files.files[L"b.bin"], Pattern(1024, 4));
    EXPECT_EQ(batch.times.count(L"b.bin"), 0u);  // not the sender's time: not complete
    EXPECT_EQ(status.load(), kStatusFailed);
    const std::string written = WrittenText();
    EXPECT_EQ(written.substr(written.size() - 2), kCanCan);
}

// A streaming sender cannot tell a second 'G' for its header from the 'G'
// for its data: either side that sees the stream out of step ends it, and
// nothing acknowledges a file that was never received.
TEST_F(YModemTest, StreamOutOfStepEndsBothSidesWithoutAnAcknowledgement) {
    std::string damaged = Header("a.bin", "200 1234");
    damaged[20] ^= 0x10;
    const std::string data = Frame(1, Pattern(200), true, 1024) + kEotS;
    for (const std::string& header : {damaged, std::string()}) {  // damaged, lost
        const size_t from = fake().Written().size();
        RemoteSender peer;
        peer.answers = {header, data, data};
        fake().SetPeer(std::ref(peer));
        EXPECT_EQ(Receive(ymodem::kYModemG, DestinationOf(batch, L"in\\")), kProtocolFailed);
        const std::string written = WrittenText().substr(from);
        EXPECT_EQ(written.find(kAckS), std::string::npos);
        EXPECT_EQ(written.substr(written.size() - 2), kCanCan);
        EXPECT_EQ(batch.files.files.count(L"in\\a.bin"), 0u);
        fake().SetPeer(nullptr);
    }

    // The receiver's CAN CAN stops the stream at once, not after the file.
    batch.files.files[L"big.bin"] = Pattern(10 * 1024);
    RemoteReceiver receiver;
    receiver.answers = {kAckS + "G", kCanCan};
    for (int n = 0; n < 12; ++n) receiver.answers.push_back("");
    fake().SetPeer(std::ref(receiver));
    fake().Receive("G");
    EXPECT_EQ(ymodem.Send(*device, read, write, {L"big.bin"}, status, progress, abort),
              kProtocolFailed);
    EXPECT_EQ(receiver.blocks.size(), 2u);  // the header and one data block
    EXPECT_EQ(receiver.eots, 0);
    EXPECT_EQ(status.load(), kStatusFailed);
    fake().SetPeer(nullptr);

    // The end of the batch: asked for again, it goes again; cancelled, no success.
    batch.files.files[L"s.bin"] = Pattern(100);
    for (const std::string& end : {std::string("G"), kCanCan}) {
        RemoteReceiver last;
        last.answers = {kAckS + "G", "", kAckS + "G", end, kAckS};
        fake().SetPeer(std::ref(last));
        fake().Receive("G");
        EXPECT_EQ(ymodem.Send(*device, read, write, {L"s.bin"}, status, progress, abort),
                  end == "G" ? kCompleted : kProtocolFailed);
        EXPECT_EQ(last.blocks.size(), end == "G" ? 4u : 3u);
        fake().SetPeer(nullptr);
    }
}

TEST_F(YModemTest, SendGivesNamesSizesAndTimesAndEndsTheBatch) {
    batch.files.files[L"src\\one.bin"] = Pattern(1100);
    batch.times[L"src\\one.bin"] = 0777;
    batch.files.files[L"two"] = {};
    RemoteReceiver peer;
    peer.answers = {kAckS + kC, kAckS, kAckS, kAckS + kC, kAckS + kC, kAckS + kC, kAckS};
    fake().SetPeer(std::ref(peer));
    fake().Receive(kC);
    EXPECT_EQ(ymodem.Send(*device, read, write, {L"src\\one.bin", L"two"}, status, progress, abort),
              kCompleted);
    ASSERT_EQ(peer.blocks.size(), 5u);  // header, 1K, 128, header, the end
    const Bytes& h = peer.blocks[0].data;
    EXPECT_EQ(std::string(h.begin(), h.begin() + 19), std::string("one.bin\0"
                                                                  "1100 777 0",
                                                                  19));
    EXPECT_EQ(peer.blocks[1].header, kStx);
    EXPECT_EQ(peer.blocks[2].header, kSoh);
    EXPECT_EQ(peer.blocks[2].data[76 - 1], Pattern(1100)[1099]);
    EXPECT_EQ(peer.blocks[2].data[76], kSub);
    EXPECT_EQ(std::string(peer.blocks[3].data.begin(), peer.blocks[3].data.begin() + 10),
              std::string("two\0"
                          "0 0 0",
                          9) +
                  '\0');
    EXPECT_EQ(peer.blocks[4].data, Bytes(128, 0));
    EXPECT_EQ(peer.eots, 2);
    EXPECT_EQ(progress.load(), 2);
}

// ---- ZMODEM ----

TEST(ZModemFrames, CrcEscapingAndCancel) {
    const std::string check = "123456789";
    const auto* digits = reinterpret_cast<const unsigned char*>(check.data());
    EXPECT_EQ(~zmodem::Crc32(digits, 9), 0xCBF43926u);
    EXPECT_EQ(zmodem::Crc16(digits, 9), 0x31C3);

    // Every byte value through a subpacket and back, with and without -e.
    Bytes all(256);
    for (int i = 0; i < 256; ++i) all[i] = static_cast<unsigned char>(i);
    for (bool escapeAll : {false, true}) {
        zmodem::Escaper escaper(escapeAll);
        std::vector<unsigned char> wire;
        zmodem::DataSubpacket(wire, all.data(), all.size(), zmodem::kZCrcG, true, escaper);
        for (unsigned char b : wire) {
            EXPECT_NE(b & 0x7F, 0x11);  // no XON or XOFF reaches the line
            EXPECT_NE(b & 0x7F, 0x13);
            if (escapeAll) {
                EXPECT_TRUE((b & 0x60) != 0 || b == zmodem::kZDle);
            }
        }
        zmodem::Unescaper in;
        Bytes back;
        bool ended = false;
        for (unsigned char b : wire) {
            const auto r = in.Take(b);
            if (r.kind == zmodem::Unescaper::kEnd) ended = r.value == zmodem::kZCrcG;
            if (r.kind == zmodem::Unescaper::kByte && !ended) back.push_back(r.value);
            EXPECT_NE(r.kind, zmodem::Unescaper::kCancel);
        }
        EXPECT_TRUE(ended);
        EXPECT_EQ(back, all);
    }
    // Five CANs cancel; one CAN is an escape and four are not a cancel.
    zmodem::Unescaper in;
    for (int i = 0; i < 4; ++i) EXPECT_EQ(in.Take(kCan).kind, zmodem::Unescaper::kNone);
    EXPECT_EQ(in.Take(kCan).kind, zmodem::Unescaper::kCancel);
    in.Reset();
    EXPECT_EQ(in.Take(kCan).kind, zmodem::Unescaper::kNone);
    const auto r = in.Take('X');
    EXPECT_EQ(r.kind, zmodem::Unescaper::kByte);
    EXPECT_EQ(r.value, kCan);
}

// A scripted ZMODEM sender: it reads our hex headers and answers from its
// script, given our header's type and position.
struct RemoteZSender {
    std::function<std::string(int type, std::uint32_t position)> answer;
    std::vector<std::pair<int, std::uint32_t>> heard;
    std::string operator()(const unsigned char* bytes, DWORD count) {
        std::string text(reinterpret_cast<const char*>(bytes), count);
        std::string reply;
        for (size_t at = text.find("**\x18"
                                   "B");
             at != std::string::npos; at = text.find("**\x18"
                                                     "B",
                                                     at + 1)) {
            const std::string hex = text.substr(at + 4, 10);
            const int type = std::stoi(hex.substr(0, 2), nullptr, 16);
            std::uint32_t position = 0;
            for (int i = 0; i < 4; ++i)
                position |=
                    static_cast<std::uint32_t>(std::stoi(hex.substr(2 + 2 * i, 2), nullptr, 16))
                    << (8 * i);
            heard.emplace_back(type, position);
            reply += answer(type, position);
        }
        return reply;
    }
};

std::string Wire(const std::vector<unsigned char>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

std::string ZHeader(unsigned char type, std::uint32_t position, bool flags = false,
                    unsigned char zf0 = 0) {
    zmodem::Escaper e;
    std::vector<unsigned char> out;
    zmodem::BinaryHeader(
        out, flags ? zmodem::Header::Flags(type, zf0) : zmodem::Header::At(type, position), true,
        e);
    return Wire(out);
}

std::string ZData(const Bytes& data, unsigned char end) {
    zmodem::Escaper e;
    std::vector<unsigned char> out;
    zmodem::DataSubpacket(out, data.data(), data.size(), end, true, e);
    return Wire(out);
}

TEST_F(YModemTest, ZModemReceiverResumesOnlyWhenTheExistingBytesAreTheSenders) {
    const Bytes content = Pattern(3000, 11);
    for (bool same : {true, false}) {
        Bytes existing(content.begin(), content.begin() + 1000);
        if (!same) existing[500] ^= 1;
        batch.files.files[L"in\\part.bin"] = existing;
        std::uint32_t crcOfSenders = ~zmodem::Crc32(content.data(), 1000);
        std::string info = std::string("part.bin") + '\0' + "3000 1750" + '\0';
        RemoteZSender peer;
        peer.answer = [&](int type, std::uint32_t position) -> std::string {
            if (type == zmodem::kZRInit && peer.heard.size() == 1)
                return ZHeader(zmodem::kZFile, 0, true, zmodem::kZCResume) +
                       ZData(Bytes(info.begin(), info.end()), zmodem::kZCrcW);
            if (type == zmodem::kZCrc)
                return ZHeader(zmodem::kZCrc, position == 1000 ? crcOfSenders : 0);
            if (type == zmodem::kZRPos)
                return ZHeader(zmodem::kZData, position) +
                       ZData(Bytes(content.begin() + position, content.end()), zmodem::kZCrcE) +
                       ZHeader(zmodem::kZEof, 3000);
            if (type == zmodem::kZRInit) return ZHeader(zmodem::kZFin, 0);
            if (type == zmodem::kZFin) return "OO";
            return {};
        };
        fake().SetPeer(std::ref(peer));
        zmodem::ZModemEngine z(batch, [](const std::wstring&) { return true; });
        EXPECT_EQ(
            z.Receive(*device, read, write, DestinationOf(batch, L"in\\"), status, progress, abort),
            kCompleted);
        EXPECT_EQ(batch.files.files[L"in\\part.bin"], content) << same;
        EXPECT_EQ(batch.times[L"in\\part.bin"], 01750);
        ASSERT_GE(peer.heard.size(), 3u);
        EXPECT_EQ(peer.heard[1], std::make_pair(static_cast<int>(zmodem::kZCrc), 1000u));
        EXPECT_EQ(peer.heard[2],
                  std::make_pair(static_cast<int>(zmodem::kZRPos), same ? 1000u : 0u));
        EXPECT_EQ(progress.load(), same ? 1 : 2);  // KiB moved
    }
}

// A scripted ZMODEM receiver: it reads the headers we send, hex or binary,
// and answers from its script.
struct RemoteZReceiver {
    std::function<std::string(int type, std::uint32_t position)> answer;
    std::vector<int> heard;
    std::string operator()(const unsigned char* bytes, DWORD count) {
        std::string reply;
        for (DWORD at = 0; at + 3 < count; ++at) {
            if (bytes[at] != '*' || bytes[at + 1] != zmodem::kZDle) continue;
            unsigned char raw[9] = {};
            if (bytes[at + 2] == 'B' && at + 13 < count) {
                for (int i = 0; i < 5; ++i)
                    raw[i] = static_cast<unsigned char>(std::stoi(
                        std::string(reinterpret_cast<const char*>(bytes) + at + 3 + 2 * i, 2),
                        nullptr, 16));
            } else if (bytes[at + 2] == 'C') {
                zmodem::Unescaper in;
                int got = 0;
                for (DWORD i = at + 3; i < count && got < 5; ++i) {
                    const auto r = in.Take(bytes[i]);
                    if (r.kind == zmodem::Unescaper::kByte) raw[got++] = r.value;
                }
            } else {
                continue;
            }
            heard.push_back(raw[0]);
            reply += answer(raw[0], raw[1] | raw[2] << 8 | raw[3] << 16 |
                                        static_cast<std::uint32_t>(raw[4]) << 24);
        }
        return reply;
    }
};

std::string ZHex(const zmodem::Header& header) {
    std::vector<unsigned char> out;
    zmodem::HexHeader(out, header);
    return Wire(out);
}

TEST_F(YModemTest, ZModemSenderListensPastAZRInitThatCrossedItsZFile) {
    // The receiver answers our ZRQINIT with the ZRINIT it had already sent
    // and another: the second arrives after our ZFILE. Taking it for a lost
    // ZFILE sends the file's header twice, and the second ZRPOS 0 rewinds
    // the stream under way.
    batch.files.files[L"src\\one.bin"] = Pattern(20000, 5);
    const auto init = zmodem::Header::Flags(zmodem::kZRInit,
                                            zmodem::kCanFc32 | zmodem::kCanFdx | zmodem::kCanOvIo);
    RemoteZReceiver peer;
    peer.answer = [&](int type, std::uint32_t position) -> std::string {
        switch (type) {
        case zmodem::kZRqInit: return ZHex(init) + ZHex(init);
        case zmodem::kZFile: return ZHex(zmodem::Header::At(zmodem::kZRPos, 0));
        case zmodem::kZEof: return position == 20000 ? ZHex(init) : std::string();
        case zmodem::kZFin: return ZHex(zmodem::Header::At(zmodem::kZFin, 0));
        default: return {};
        }
    };
    fake().SetPeer(std::ref(peer));
    zmodem::ZModemEngine z(batch);
    EXPECT_EQ(z.Send(*device, read, write, {L"src\\one.bin"}, status, progress, abort), kCompleted);
    EXPECT_EQ(std::count(peer.heard.begin(), peer.heard.end(), zmodem::kZFile), 1);
    EXPECT_EQ(std::count(peer.heard.begin(), peer.heard.end(), zmodem::kZData), 1);
    EXPECT_EQ(progress.load(), 19);  // KiB, each sent once
}

}  // namespace
}  // namespace qlr::test
