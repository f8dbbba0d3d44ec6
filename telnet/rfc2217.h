// The client side of a Telnet connection with the COM-PORT-OPTION: a network
// serial port's protocol as pure code. Bytes from the server go in; the line's
// data, the replies owed to the server and the server's notices come out.
// No sockets, no clocks, no allocation that grows with the input beyond what
// one call returns.
//
// Bounds against a hostile or broken server:
// - A subnegotiation keeps at most kMaxSubnegotiation bytes; the rest of a
//   longer one is dropped (it is then ignored). An IAC SB never closed by
//   IAC SE holds back the data behind it, as the protocol says, but nothing
//   accumulates.
// - Each option is answered at most kMaxAnswers times per direction; a server
//   that keeps asking or switching after that is ignored for that option, so
//   that two parties that disagree cannot negotiate forever.
// - Output per call is at most a fixed multiple of the input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qlr::telnet {

using Bytes = std::vector<std::uint8_t>;

enum : std::uint8_t {
    kSe = 240,
    kNop = 241,
    kSb = 250,
    kWill = 251,
    kWont = 252,
    kDo = 253,
    kDont = 254,
    kIac = 255,
};

enum Option : std::uint8_t {
    kOptBinary = 0,
    kOptEcho = 1,
    kOptSuppressGoAhead = 3,
    kOptComPort = 44,
};

// COM-PORT-OPTION commands as the client sends them; the server answers
// with the same number plus kServerOffset.
enum ComCommand : std::uint8_t {
    kSignature = 0,
    kSetBaudRate = 1,
    kSetDataSize = 2,
    kSetParity = 3,
    kSetStopSize = 4,
    kSetControl = 5,
    kNotifyLineState = 6,
    kNotifyModemState = 7,
    kFlowControlSuspend = 8,
    kFlowControlResume = 9,
    kSetLineStateMask = 10,
    kSetModemStateMask = 11,
    kPurgeData = 12,
};
constexpr std::uint8_t kServerOffset = 100;

// SET-CONTROL values.
enum Control : std::uint8_t {
    kControlNoFlow = 1,
    kControlXonXoff = 2,
    kControlHardware = 3,
    kControlBreakOn = 5,
    kControlBreakOff = 6,
    kControlDtrOn = 8,
    kControlDtrOff = 9,
    kControlRtsOn = 11,
    kControlRtsOff = 12,
};

// SET-PARITY, SET-STOPSIZE and PURGE-DATA values.
enum : std::uint8_t { kParityNone = 1, kParityOdd = 2, kParityEven = 3, kParityMark = 4 };
enum : std::uint8_t { kParitySpace = 5 };
enum : std::uint8_t { kStopOne = 1, kStopTwo = 2, kStopOneAndHalf = 3 };
enum : std::uint8_t { kPurgeReceive = 1, kPurgeTransmit = 2, kPurgeBoth = 3 };

// NOTIFY-MODEMSTATE and NOTIFY-LINESTATE bits.
enum : std::uint8_t {
    kModemCd = 0x80,
    kModemRi = 0x40,
    kModemDsr = 0x20,
    kModemCts = 0x10,
    kLineBreak = 0x10,
    kLineFraming = 0x08,
    kLineParity = 0x04,
    kLineOverrun = 0x02,
};

struct Notice {
    enum Kind {
        kComPortAccepted,  // the server does the COM-PORT-OPTION
        kComPortRefused,   // it will not
        kReply,            // a server's answer to a command: command, value
        kModemState,       // value: the modem-state byte
        kLineState,        // value: the line-state byte
        kFlowSuspend,      // the server asks us to stop sending
        kFlowResume,
    };
    Kind kind;
    std::uint8_t command = 0;  // kReply: the client command it answers
    std::uint32_t value = 0;
};

constexpr std::size_t kMaxSubnegotiation = 64;
constexpr unsigned kMaxAnswers = 8;

class Client {
public:
    // The negotiation the client opens with: it offers and asks for binary
    // transmission and no go-aheads, and offers the COM-PORT-OPTION.
    void Start(Bytes& toServer);

    // Takes bytes the server sent: line data to data, answers owed to
    // toServer, events to notices.
    void Receive(const std::uint8_t* in, std::size_t count, Bytes& data, Bytes& toServer,
                 std::vector<Notice>& notices);

    // Line data for the server, 0xFF doubled.
    static void Escape(const std::uint8_t* in, std::size_t count, Bytes& toServer);

    // One COM-PORT-OPTION command with a one-byte or a four-byte value.
    static void Command(ComCommand command, std::uint8_t value, Bytes& toServer);
    static void SetBaudRate(std::uint32_t baud, Bytes& toServer);
    // A command without a value: a request for the server's present state
    // (kNotifyModemState: the modem lines).
    static void Request(ComCommand command, Bytes& toServer);

    bool comPortAccepted() const { return us_[kOptComPort] == State::kYes; }
    bool comPortRefused() const { return comPortRefused_; }

private:
    enum class State : std::uint8_t { kNo, kYes, kWantYes };
    enum class Parse : std::uint8_t { kData, kIac, kNegotiate, kSbOption, kSbData, kSbIac };

    static bool Supported(std::uint8_t option);
    void Negotiate(std::uint8_t verb, std::uint8_t option, Bytes& toServer,
                   std::vector<Notice>& notices);
    static bool Answer(std::uint8_t verb, std::uint8_t option, unsigned char& count,
                       Bytes& toServer);
    void Subnegotiation(std::vector<Notice>& notices);
    void AfterIac(std::uint8_t b, Bytes& data);

    State us_[256] = {};   // options we do
    State him_[256] = {};  // options the server does
    unsigned char answeredUs_[256] = {};
    unsigned char answeredHim_[256] = {};
    bool comPortRefused_ = false;

    Parse parse_ = Parse::kData;
    std::uint8_t verb_ = 0;
    std::uint8_t sbOption_ = 0;
    std::uint8_t sb_[kMaxSubnegotiation] = {};
    std::size_t sbLength_ = 0;
    bool sbOverflow_ = false;
};

}  // namespace qlr::telnet
