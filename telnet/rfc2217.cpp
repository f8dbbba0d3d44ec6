#include "telnet/rfc2217.h"

namespace qlr::telnet {

namespace {
void Send3(Bytes& out, std::uint8_t verb, std::uint8_t option) {
    out.push_back(kIac);
    out.push_back(verb);
    out.push_back(option);
}

void Begin(ComCommand command, Bytes& out) {
    out.push_back(kIac);
    out.push_back(kSb);
    out.push_back(kOptComPort);
    out.push_back(command);
}

void End(Bytes& out) {
    out.push_back(kIac);
    out.push_back(kSe);
}
}  // namespace

void Client::Start(Bytes& toServer) {
    for (std::uint8_t option : {kOptBinary, kOptSuppressGoAhead}) {
        us_[option] = State::kWantYes;
        him_[option] = State::kWantYes;
        Send3(toServer, kWill, option);
        Send3(toServer, kDo, option);
    }
    us_[kOptComPort] = State::kWantYes;
    Send3(toServer, kWill, kOptComPort);
}

bool Client::Supported(std::uint8_t option) {
    return option == kOptBinary || option == kOptSuppressGoAhead || option == kOptComPort;
}

bool Client::Answer(std::uint8_t verb, std::uint8_t option, unsigned char& count, Bytes& toServer) {
    if (count >= kMaxAnswers) return false;
    ++count;
    Send3(toServer, verb, option);
    return true;
}

void Client::Negotiate(std::uint8_t verb, std::uint8_t option, Bytes& toServer,
                       std::vector<Notice>& notices) {
    // Each side of an option answers only a request that changes its state, so
    // a request agreeing with the state ends the exchange; past its quota of
    // answers an option no longer changes.
    const bool ours = verb == kDo || verb == kDont;
    State& s = ours ? us_[option] : him_[option];
    unsigned char& answered = ours ? answeredUs_[option] : answeredHim_[option];
    const bool enable = verb == kDo || verb == kWill;
    if (enable) {
        if (s == State::kYes) return;
        if (!Supported(option)) {  // refused; the state stays no
            Answer(ours ? kWont : kDont, option, answered, toServer);
            return;
        }
        if (s == State::kNo && !Answer(ours ? kWill : kDo, option, answered, toServer)) return;
        s = State::kYes;
        if (ours && option == kOptComPort) {
            comPortRefused_ = false;
            notices.push_back(Notice{Notice::kComPortAccepted});
        }
        return;
    }
    if (s == State::kNo) return;
    if (s == State::kYes && !Answer(ours ? kWont : kDont, option, answered, toServer)) return;
    s = State::kNo;
    if (ours && option == kOptComPort) {
        comPortRefused_ = true;
        notices.push_back(Notice{Notice::kComPortRefused});
    }
}

void Client::Subnegotiation(std::vector<Notice>& notices) {
    if (sbOption_ != kOptComPort || sbOverflow_ || sbLength_ < 1) return;
    const std::uint8_t command = sb_[0];
    if (command < kServerOffset) return;  // the server acting as a client: not ours
    const std::uint8_t asked = static_cast<std::uint8_t>(command - kServerOffset);
    const std::uint8_t value = sbLength_ >= 2 ? sb_[1] : 0;
    switch (asked) {
    case kSetBaudRate:
        if (sbLength_ < 5) return;
        notices.push_back(Notice{Notice::kReply, asked,
                                 (std::uint32_t{sb_[1]} << 24) | (std::uint32_t{sb_[2]} << 16) |
                                     (std::uint32_t{sb_[3]} << 8) | sb_[4]});
        return;
    case kSetDataSize:
    case kSetParity:
    case kSetStopSize:
    case kSetControl:
    case kSetLineStateMask:
    case kSetModemStateMask:
    case kPurgeData:
        if (sbLength_ < 2) return;
        notices.push_back(Notice{Notice::kReply, asked, value});
        return;
    case kNotifyLineState:
        if (sbLength_ >= 2) notices.push_back(Notice{Notice::kLineState, 0, value});
        return;
    case kNotifyModemState:
        if (sbLength_ >= 2) notices.push_back(Notice{Notice::kModemState, 0, value});
        return;
    case kFlowControlSuspend: notices.push_back(Notice{Notice::kFlowSuspend}); return;
    case kFlowControlResume: notices.push_back(Notice{Notice::kFlowResume}); return;
    default: return;  // the signature and anything unknown
    }
}

void Client::AfterIac(std::uint8_t b, Bytes& data) {
    parse_ = Parse::kData;
    if (b == kIac) {
        data.push_back(kIac);
    } else if (b >= kWill && b <= kDont) {
        verb_ = b;
        parse_ = Parse::kNegotiate;
    } else if (b == kSb) {
        parse_ = Parse::kSbOption;
    }  // every other command means nothing to a serial line
}

void Client::Receive(const std::uint8_t* in, std::size_t count, Bytes& data, Bytes& toServer,
                     std::vector<Notice>& notices) {
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t b = in[i];
        switch (parse_) {
        case Parse::kData:
            if (b == kIac)
                parse_ = Parse::kIac;
            else
                data.push_back(b);
            break;
        case Parse::kIac: AfterIac(b, data); break;
        case Parse::kNegotiate:
            Negotiate(verb_, b, toServer, notices);
            parse_ = Parse::kData;
            break;
        case Parse::kSbOption:
            sbOption_ = b;
            sbLength_ = 0;
            sbOverflow_ = false;
            parse_ = Parse::kSbData;
            break;
        case Parse::kSbData:
        case Parse::kSbIac:
            if (parse_ == Parse::kSbData && b == kIac) {
                parse_ = Parse::kSbIac;
                break;
            }
            if (parse_ == Parse::kSbIac && b != kIac) {
                if (b == kSe) {
                    Subnegotiation(notices);
                    parse_ = Parse::kData;
                    break;
                }
                // Another command inside: the subnegotiation was never closed.
                // It is dropped and the command is taken as it stands.
                AfterIac(b, data);
                break;
            }
            parse_ = Parse::kSbData;
            if (sbLength_ < kMaxSubnegotiation)
                sb_[sbLength_++] = b;
            else
                sbOverflow_ = true;
            break;
        }
    }
}

void Client::Escape(const std::uint8_t* in, std::size_t count, Bytes& toServer) {
    for (std::size_t i = 0; i < count; ++i) {
        toServer.push_back(in[i]);
        if (in[i] == kIac) toServer.push_back(kIac);
    }
}

void Client::Command(ComCommand command, std::uint8_t value, Bytes& toServer) {
    Begin(command, toServer);
    Escape(&value, 1, toServer);
    End(toServer);
}

void Client::Request(ComCommand command, Bytes& toServer) {
    Begin(command, toServer);
    End(toServer);
}

void Client::SetBaudRate(std::uint32_t baud, Bytes& toServer) {
    Begin(kSetBaudRate, toServer);
    const std::uint8_t bytes[4] = {
        static_cast<std::uint8_t>(baud >> 24), static_cast<std::uint8_t>(baud >> 16),
        static_cast<std::uint8_t>(baud >> 8), static_cast<std::uint8_t>(baud)};
    Escape(bytes, 4, toServer);
    End(toServer);
}

}  // namespace qlr::telnet
