// Network ports: the Telnet/COM-PORT-OPTION client as pure code (negotiation,
// escaping, every command and notification, a seeded fuzz of server input),
// the port names, the loop port's emulation of the system's semantics for
// overlapped calls, and what an rfc2217 port waits for from a scripted server
// on the loopback interface.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "port/network_device.h"
#include "port/port_name.h"
#include "telnet/rfc2217.h"

namespace qlr::test {
namespace {

using telnet::Bytes;
using telnet::Client;
using telnet::Notice;

struct Fed {
    Bytes data, reply;
    std::vector<Notice> notices;
};

Fed Feed(Client& client, const Bytes& in) {
    Fed out;
    client.Receive(in.data(), in.size(), out.data, out.reply, out.notices);
    return out;
}

constexpr std::uint8_t IAC = telnet::kIac, SB = telnet::kSb, SE = telnet::kSe;
constexpr std::uint8_t WILL = telnet::kWill, WONT = telnet::kWont, DO = telnet::kDo,
                       DONT = telnet::kDont;

TEST(Rfc2217Client, NegotiatesWithServersThatOfferNothingAndRefusesTheRest) {
    Client client;
    Bytes start;
    client.Start(start);
    EXPECT_EQ(start, (Bytes{IAC, WILL, 0, IAC, DO, 0, IAC, WILL, 3, IAC, DO, 3, IAC, WILL, 44}));

    // A server that only answers (never offers its own WILL) is enough.
    Fed fed = Feed(client, {IAC, DO, 0, IAC, DO, 3, IAC, DO, 44});
    EXPECT_TRUE(fed.reply.empty());  // answers to our own requests are not answered again
    ASSERT_EQ(fed.notices.size(), 1u);
    EXPECT_EQ(fed.notices[0].kind, Notice::kComPortAccepted);
    EXPECT_TRUE(client.comPortAccepted());

    // Repeats of an agreed state are not answered; echo and unknown options are refused.
    fed = Feed(client, {IAC, DO, 44, IAC, WILL, 0, IAC, WILL, 1, IAC, DO, 99});
    EXPECT_EQ(fed.reply, (Bytes{IAC, DONT, 1, IAC, WONT, 99}));
    // A server that keeps asking is answered a bounded number of times.
    Bytes spam;
    for (int i = 0; i < 1000; ++i) spam.insert(spam.end(), {IAC, DO, 99, IAC, WILL, 1});
    fed = Feed(client, spam);
    EXPECT_EQ(fed.reply.size(), 3u * 2 * (telnet::kMaxAnswers - 1));
    // Withdrawn options are acknowledged once.
    fed = Feed(client, {IAC, DONT, 0, IAC, DONT, 0, IAC, WONT, 0, IAC, WONT, 0});
    EXPECT_EQ(fed.reply, (Bytes{IAC, WONT, 0, IAC, DONT, 0}));

    Client refused;
    refused.Start(start);
    fed = Feed(refused, {IAC, DONT, 44});
    EXPECT_TRUE(refused.comPortRefused());
    ASSERT_EQ(fed.notices.size(), 1u);
    EXPECT_EQ(fed.notices[0].kind, Notice::kComPortRefused);
}

TEST(Rfc2217Client, DataIsTransparentAndEveryCommandAndNotificationIsUnderstood) {
    Client client;
    Bytes out;
    const Bytes binary{0x00, 0xFF, 0x0D, 0x0A, 0xFF, 0xFF, 0xF0};
    Client::Escape(binary.data(), binary.size(), out);
    EXPECT_EQ(out, (Bytes{0x00, 0xFF, 0xFF, 0x0D, 0x0A, 0xFF, 0xFF, 0xFF, 0xFF, 0xF0}));
    EXPECT_EQ(Feed(client, out).data, binary);

    out.clear();
    Client::SetBaudRate(0x0001C2FF, out);  // 115455: a 0xFF in the value is doubled
    EXPECT_EQ(out, (Bytes{IAC, SB, 44, 1, 0x00, 0x01, 0xC2, 0xFF, 0xFF, IAC, SE}));
    out.clear();
    Client::Command(telnet::kSetControl, telnet::kControlDtrOn, out);
    EXPECT_EQ(out, (Bytes{IAC, SB, 44, 5, 8, IAC, SE}));

    const Fed fed =
        Feed(client,
             {IAC,  SB,  44,  101,  0,    0,   0x25, 0x80, IAC, SE,  // 9600
              'a',  IAC, SB,  44,   102,  7,   IAC,  SE,   'b', IAC,  SB,  44,  103, 3,   IAC, SE,
              IAC,  SB,  44,  104,  2,    IAC, SE,   IAC,  SB,  44,   105, 9,   IAC, SE,  IAC, SB,
              44,   112, 3,   IAC,  SE,   IAC, SB,   44,   107, 0x31, IAC, SE,  IAC, SB,  44,  106,
              0x1E, IAC, SE,  IAC,  SB,   44,  108,  IAC,  SE,  IAC,  SB,  44,  109, IAC, SE,  IAC,
              SB,   44,  111, 0xFF, 0xFF, IAC, SE,   IAC,  SB,  44,   100, 'x', IAC, SE,  'c'});
    EXPECT_EQ(fed.data, (Bytes{'a', 'b', 'c'}));
    std::string seen;
    for (const Notice& n : fed.notices) {
        char line[40];
        std::snprintf(line, sizeof line, "%d/%u/%lu ", static_cast<int>(n.kind), n.command,
                      static_cast<unsigned long>(n.value));
        seen += line;
    }
    EXPECT_EQ(seen, "2/1/9600 2/2/7 2/3/3 2/4/2 2/5/9 2/12/3 3/0/49 4/0/30 5/0/0 6/0/0 2/11/255 ");
}

// Server input split anywhere gives the same result as in one piece.
void ExpectSplitInvariant(const Bytes& input, std::mt19937& random) {
    Client whole, pieces;
    Bytes start;
    whole.Start(start);
    pieces.Start(start);
    const Fed once = Feed(whole, input);
    Fed split;
    for (std::size_t at = 0; at < input.size();) {
        const std::size_t n = std::min<std::size_t>(input.size() - at, 1 + random() % 7);
        pieces.Receive(input.data() + at, n, split.data, split.reply, split.notices);
        at += n;
    }
    ASSERT_EQ(once.data, split.data);
    ASSERT_EQ(once.reply, split.reply);
    ASSERT_EQ(once.notices.size(), split.notices.size());
    // Bounded: data never grows, answers are at most the size of the requests.
    ASSERT_LE(once.data.size(), input.size());
    ASSERT_LE(once.reply.size(), input.size());
}

TEST(Rfc2217Client, SurvivesSeededHostileServerInput) {
    std::mt19937 random(20);
    const std::vector<Bytes> pieces = {
        {IAC, SB, 44, 107},        // a subnegotiation never closed
        {IAC, SB, 44, 101, 0, 0},  // a truncated one
        {IAC, SE},                 // an end without a start
        {IAC, DO, 99},
        {IAC, WILL, 1},
        {IAC, DONT, 44},
        {IAC, DO, 44},
        {IAC, IAC},
        {IAC},
        {IAC, SB},
        {IAC, 0x20},
        {IAC, SB, 44, 106, 0x1E, IAC, SE},
    };
    std::size_t cases = 0, bytes = 0;
    for (int round = 0; round < 3000; ++round) {
        Bytes input;
        const int parts = 1 + static_cast<int>(random() % 40);
        for (int p = 0; p < parts; ++p) {
            if (random() % 3 == 0) {
                for (int i = static_cast<int>(random() % 20); i > 0; --i)
                    input.push_back(static_cast<std::uint8_t>(random()));
            } else {
                const Bytes& piece = pieces[random() % pieces.size()];
                input.insert(input.end(), piece.begin(), piece.end());
            }
        }
        ExpectSplitInvariant(input, random);
        if (HasFatalFailure()) return;
        ++cases;
        bytes += input.size();
    }
    // Megabytes of option spam and of one endless subnegotiation: answers stay
    // bounded and the data behind an unclosed subnegotiation is held, not kept.
    Client client;
    Bytes start;
    client.Start(start);
    Bytes spam;
    for (int i = 0; i < 1 << 20; ++i) {
        const std::uint8_t verb = static_cast<std::uint8_t>(WILL + random() % 4);
        spam.insert(spam.end(), {IAC, verb, static_cast<std::uint8_t>(random())});
    }
    Fed fed = Feed(client, spam);
    EXPECT_TRUE(fed.data.empty());
    EXPECT_LE(fed.reply.size(), 256u * 2 * telnet::kMaxAnswers * 3);
    Bytes endless{IAC, SB, 44};
    endless.resize(4 << 20, 'x');
    fed = Feed(client, endless);
    EXPECT_TRUE(fed.data.empty());
    fed = Feed(client, {IAC, SE, 'o', 'k'});
    EXPECT_EQ(fed.data, (Bytes{'o', 'k'}));
    bytes += spam.size() + endless.size();
    std::printf("[ fuzz     ] %zu seeded cases (%zu bytes of server input) with seed 20\n", cases,
                bytes);
}

TEST(PortName, TellsLocalNetworkAndLoopPortsFromNonsense) {
    using port::PortAddress;
    struct Case {
        const wchar_t* name;
        PortAddress::Kind kind;
        const char* pathOrHost;
        unsigned short tcpPort;
    };
    const Case cases[] = {
        {L"", PortAddress::kByDeviceName, "", 0},
        {L"COM12", PortAddress::kLocal, "\\\\.\\COM12", 0},
        {L"\\\\.\\com3", PortAddress::kLocal, "\\\\.\\COM3", 0},
        {L"RFC2217://127.0.0.1:7000", PortAddress::kRfc2217, "127.0.0.1", 7000},
        {L"socket://[::1]:65535/", PortAddress::kSocket, "::1", 65535},
        {L"socket://device-server.local:23", PortAddress::kSocket, "device-server.local", 23},
        {L"loop://", PortAddress::kLoop, "", 0},
        {L"COM0", PortAddress::kInvalid, "", 0},
        {L"COM1x", PortAddress::kInvalid, "", 0},
        {L"rfc2217://host", PortAddress::kInvalid, "", 0},
        {L"rfc2217://host:0", PortAddress::kInvalid, "", 0},
        {L"rfc2217://host:65536", PortAddress::kInvalid, "", 0},
        {L"rfc2217://::1:80", PortAddress::kInvalid, "", 0},
        {L"socket://:80", PortAddress::kInvalid, "", 0},
        {L"loop://x", PortAddress::kInvalid, "", 0},
        {L"tcp://h:1", PortAddress::kInvalid, "", 0},
    };
    for (const Case& c : cases) {
        const PortAddress a = port::ParsePortName(c.name);
        EXPECT_EQ(a.kind, c.kind) << std::string(c.name, c.name + wcslen(c.name));
        EXPECT_EQ(a.kind == PortAddress::kLocal ? a.path : a.host, c.pathOrHost);
        EXPECT_EQ(a.tcpPort, c.tcpPort);
    }
}

// The loop port models the system where Wine does not: reads that return at
// once, EV_RXCHAR per arrival, a mask change ending a wait with mask 0.
TEST(LoopPort, BehavesAsTheSystemsOverlappedPort) {
    DWORD error = 0;
    const port::PortAddress loop = port::ParsePortName(L"loop://");
    std::unique_ptr<port::Device> dev = port::OpenNetworkDevice(loop, error);
    ASSERT_TRUE(dev) << error;
    EXPECT_EQ(dev->SystemHandle(), nullptr);
    OVERLAPPED read{}, write{}, wait{};
    read.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    write.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    wait.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    unsigned char buffer[16] = {};
    DWORD done = 99;

    COMMTIMEOUTS immediate{MAXDWORD, 0, 0, 0, 5000};
    ASSERT_TRUE(dev->SetCommTimeouts(&immediate));
    EXPECT_TRUE(dev->ReadFile(buffer, 4, &done, &read));  // empty queue: at once, nothing
    EXPECT_EQ(done, 0u);

    DWORD events = 0;
    ASSERT_TRUE(dev->SetCommMask(EV_RXCHAR | EV_CTS | EV_DSR));
    ASSERT_FALSE(dev->WaitCommEvent(&events, &wait));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_TRUE(dev->WriteFile("ab", 2, &done, &write));
    ASSERT_EQ(WaitForSingleObject(wait.hEvent, 2000), WAIT_OBJECT_0);
    EXPECT_TRUE(dev->GetOverlappedResult(&wait, &done, FALSE));
    EXPECT_EQ(events, static_cast<DWORD>(EV_RXCHAR));

    // A read waiting for its first byte ends with it; one that gets none ends
    // after the constant, without failing.
    COMMTIMEOUTS firstByte{MAXDWORD, MAXDWORD, 200, 0, 5000};
    ASSERT_TRUE(dev->SetCommTimeouts(&firstByte));
    EXPECT_TRUE(dev->ReadFile(buffer, 8, &done, &read));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), done), "ab");
    ResetEvent(read.hEvent);
    ASSERT_FALSE(dev->ReadFile(buffer, 8, &done, &read));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_TRUE(dev->WriteFile("c", 1, &done, &write));
    ASSERT_EQ(WaitForSingleObject(read.hEvent, 2000), WAIT_OBJECT_0);
    EXPECT_TRUE(dev->GetOverlappedResult(&read, &done, FALSE));
    EXPECT_EQ(done, 1u);
    ResetEvent(read.hEvent);
    ASSERT_FALSE(dev->ReadFile(buffer, 8, &done, &read));
    EXPECT_TRUE(dev->GetOverlappedResult(&read, &done, TRUE));
    EXPECT_EQ(done, 0u);

    // RTS shows as CTS, DTR as DSR and RLSD; a mask change ends a wait with 0.
    ASSERT_TRUE(dev->SetCommMask(EV_CTS | EV_DSR));  // forgets the arrival of "c"
    ResetEvent(wait.hEvent);
    ASSERT_FALSE(dev->WaitCommEvent(&events, &wait));
    ASSERT_TRUE(dev->EscapeCommFunction(SETRTS));
    ASSERT_EQ(WaitForSingleObject(wait.hEvent, 2000), WAIT_OBJECT_0);
    EXPECT_EQ(events, static_cast<DWORD>(EV_CTS));
    DWORD modem = 0;
    ASSERT_TRUE(dev->EscapeCommFunction(SETDTR));
    ASSERT_TRUE(dev->GetCommModemStatus(&modem));
    EXPECT_EQ(modem, static_cast<DWORD>(MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON));
    ResetEvent(wait.hEvent);
    events = 77;
    ASSERT_TRUE(dev->WaitCommEvent(&events, &wait));  // the DSR change waited already
    EXPECT_EQ(events, static_cast<DWORD>(EV_DSR));
    ResetEvent(wait.hEvent);
    ASSERT_FALSE(dev->WaitCommEvent(&events, &wait));
    ASSERT_TRUE(dev->SetCommMask(EV_RXCHAR));
    EXPECT_TRUE(dev->GetOverlappedResult(&wait, &done, TRUE));
    EXPECT_EQ(events, 0u);

    dev.reset();
    CloseHandle(read.hEvent);
    CloseHandle(write.hEvent);
    CloseHandle(wait.hEvent);
}

// A server on 127.0.0.1 that runs `serve` on each connection it accepts, one
// at a time, until `connections` have been served.
class ScriptedServer {
public:
    ScriptedServer(int connections, std::function<void(SOCKET, int)> serve) {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int length = sizeof address;
        bind(listener_, reinterpret_cast<sockaddr*>(&address), length);
        listen(listener_, 4);
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this, connections, serve] {
            for (int i = 0; i < connections; ++i) {
                const SOCKET s = accept(listener_, nullptr, nullptr);
                if (s == INVALID_SOCKET) return;
                serve(s, i);
                closesocket(s);
            }
        });
    }
    ~ScriptedServer() {
        closesocket(listener_);  // ends an accept still waiting
        thread_.join();
        WSACleanup();
    }
    port::PortAddress Address() const {
        return port::ParsePortName((L"rfc2217://127.0.0.1:" + std::to_wstring(port_)).c_str());
    }

private:
    SOCKET listener_;
    int port_ = 0;
    std::thread thread_;
};

// Reads from the client until `pattern` has arrived or the connection ends.
bool AwaitBytes(SOCKET s, const Bytes& pattern) {
    Bytes seen;
    char chunk[256];
    for (;;) {
        if (std::search(seen.begin(), seen.end(), pattern.begin(), pattern.end()) != seen.end())
            return true;
        const int got = recv(s, chunk, sizeof chunk, 0);
        if (got <= 0) return false;
        seen.insert(seen.end(), chunk, chunk + got);
    }
}

void SendBytes(SOCKET s, const Bytes& bytes) {
    send(s, reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()), 0);
}

// A server still releasing the previous session ends the next connection at
// once (ser2net: "Port already in use"); the open connects again. A purge
// returns only once the server has answered it: a server purges its device
// when it takes the command, which may be after the far end sent more.
TEST(Rfc2217Port, ConnectsAgainAfterAnEarlyEndAndWaitsForThePurgeToBeAnswered) {
    const Bytes acceptOption = {IAC, DO, telnet::kOptComPort};
    const Bytes purge = {IAC, SB, telnet::kOptComPort, telnet::kPurgeData, telnet::kPurgeReceive,
                         IAC, SE};
    const Bytes purgeAnswer = {IAC,
                               SB,
                               telnet::kOptComPort,
                               telnet::kPurgeData + telnet::kServerOffset,
                               telnet::kPurgeReceive,
                               IAC,
                               SE};
    std::atomic<int> served{0};
    std::atomic<bool> answered{false};
    ScriptedServer server(2, [&](SOCKET s, int index) {
        served = index + 1;
        if (index == 0) return;  // ended at once
        SendBytes(s, acceptOption);
        if (!AwaitBytes(s, purge)) return;
        Sleep(300);  // the device is still being opened
        answered = true;
        SendBytes(s, purgeAnswer);
        AwaitBytes(s, {0xEE});  // the client's end
    });
    DWORD error = 0;
    std::unique_ptr<port::Device> dev = port::OpenNetworkDevice(server.Address(), error);
    ASSERT_TRUE(dev) << error;
    EXPECT_EQ(served.load(), 2);
    EXPECT_TRUE(dev->PurgeComm(PURGE_RXCLEAR));
    EXPECT_TRUE(answered.load()) << "PurgeComm returned before the server answered";
    dev.reset();
}

}  // namespace
}  // namespace qlr::test
