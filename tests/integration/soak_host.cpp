// soak_host: many XModem transfers through two registered controls on the
// two ends of one (noisy) cable, driven line by line from standard input by
// t_xmodem_soak.sh.
//
//   soak_host.exe PORT_A PORT_B PORT_C BOUND_SECONDS
//
// Control A (PORT_A) faces lrzsz; controls B and C are the two ends of a
// second cable. Commands (one per line; file names relative to the working
// folder):
//   send FILE PROTO [BOUND]     control A sends FILE
//   recv FILE PROTO [BOUND]     control A receives into FILE
//   pair FROM TO PROTO [BOUND]  control C receives TO while control B sends FROM
// (BOUND: seconds for this transfer instead of BOUND_SECONDS)
//   quit
// After starting a transfer the host prints "STARTED", then pumps messages
// until every CommTransferEnd came or BOUND_SECONDS passed, and prints
//   END <send code|-> <receive code|-> <QcProgress of the sender or receiver> <ms>
// or "END hang <ms>" when the bound ran out (the transfers are then aborted;
// "STUCK" and exit 3 when even that does not end them).
#include <windows.h>
#include <oleauto.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include "event_sink.h"
#include "qlrcom32_h.h"
#include "recv_sink.h"
#include "transfer_calls.h"

namespace {

void Say(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

class Sink : public sink::EventSink {
public:
    void OnEvent(DISPID id, DISPPARAMS* p) override {
        const VARIANT* arg = sink::FirstArg(p);
        if (id == 3 && arg && V_VT(arg) == VT_I2) {
            code = V_I2(arg);
            ended = true;
        }
    }
    bool ended = false;
    short code = 0;
};

struct Control {
    IQLRCom* com = nullptr;
    Sink sink;
    recv::Connection* connection = nullptr;

    bool Open(long port) {
        CoCreateInstance(CLSID_QLRCom, nullptr, CLSCTX_INPROC_SERVER, IID_IQLRCom,
                         reinterpret_cast<void**>(&com));
        if (!com) return false;
        connection = new recv::Connection(com, &sink);
        com->put_QcDeviceName(static_cast<enumDeviceName>(port - 1));
        com->put_QcBaudRate(Baud115200);
        com->put_QcShowErrorMessage(VARIANT_FALSE);
        com->put_QcRecvNotifyOnly(VARIANT_TRUE);
        short rc = -99;
        com->OpenComm(&rc);
        return connection->ok() && rc == 0;
    }
    void Close() {
        short rc = 0;
        if (com) com->CloseComm(&rc);
        delete connection;
        connection = nullptr;
        if (com) com->Release();
        com = nullptr;
    }
    short Start(bool send, const std::string& name, long protocol) {
        sink.ended = false;
        com->put_QcProtocol(static_cast<enumProtocol>(protocol));
        return xfer::Start(com, send, std::wstring(name.begin(), name.end()));
    }
    short progress() { return xfer::Progress(com); }
    void Abort() { xfer::Abort(com); }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: soak_host PORT_A PORT_B PORT_C BOUND_SECONDS\n");
        return 2;
    }
    CoInitialize(nullptr);
    const DWORD bound = static_cast<DWORD>(std::atol(argv[4])) * 1000;
    Control a, b, c;
    if (!a.Open(std::atol(argv[1])) || !b.Open(std::atol(argv[2])) || !c.Open(std::atol(argv[3]))) {
        Say("FAIL open");
        return 1;
    }
    Say("READY");
    char buffer[1024];
    int status = 0;
    while (std::fgets(buffer, sizeof buffer, stdin)) {
        std::istringstream in(buffer);
        std::string command, first, second;
        long protocol = 0;
        long seconds = 0;
        in >> command;
        if (command == "quit") break;
        Control* sender = nullptr;
        Control* receiver = nullptr;
        short rcA = 0, rcB = 0;
        if (command == "send" || command == "recv") {
            in >> first >> protocol >> seconds;
            (command == "send" ? sender : receiver) = &a;
            rcA = a.Start(command == "send", first, protocol);
        } else if (command == "pair") {
            in >> first >> second >> protocol >> seconds;
            sender = &b;
            receiver = &c;
            rcB = c.Start(false, second, protocol);
            rcA = b.Start(true, first, protocol);
        } else {
            continue;
        }
        if (rcA != 0 || rcB != 0) {
            Say("END start " + std::to_string(rcA) + " " + std::to_string(rcB));
            continue;
        }
        Say("STARTED");
        const ULONGLONG begun = GetTickCount64();
        auto done = [&] {
            return (!sender || sender->sink.ended) && (!receiver || receiver->sink.ended);
        };
        const bool ended =
            recv::PumpUntil(done, seconds > 0 ? static_cast<DWORD>(seconds) * 1000 : bound);
        const unsigned long long ms = GetTickCount64() - begun;
        if (!ended) {
            Say("END hang " + std::to_string(ms));
            if (sender) sender->Abort();
            if (receiver) receiver->Abort();
            if (!recv::PumpUntil(done, 60000)) {
                Say("STUCK");
                status = 3;
                break;
            }
            continue;
        }
        std::string line = "END ";
        line += sender ? std::to_string(sender->sink.code) : "-";
        line += " ";
        line += receiver ? std::to_string(receiver->sink.code) : "-";
        line += " " + std::to_string((sender ? sender : receiver)->progress()) + " " +
                std::to_string(ms);
        Say(line);
    }
    a.Close();
    b.Close();
    c.Close();
    CoUninitialize();
    return status;
}
