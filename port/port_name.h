// QcPortName: which port OpenComm opens. Empty leaves the choice to
// QcDeviceName; otherwise one of
//   COM12, \\.\COM12         a local port by name (any number)
//   rfc2217://HOST:PORT      a network serial port (Telnet with COM-PORT-OPTION)
//   socket://HOST:PORT       raw TCP
//   loop://                  a port inside the control that hears what it sends
// Schemes and "COM" in any case; HOST a name, an IPv4 address or an IPv6
// address in brackets; PORT 1 to 65535. Anything else is no port name.
#pragma once

#include <string>

namespace qlr::port {

struct PortAddress {
    enum Kind { kByDeviceName, kLocal, kRfc2217, kSocket, kLoop, kInvalid };
    Kind kind = kByDeviceName;
    std::string path;  // kLocal: the device path, \\.\COMn
    std::string host;  // kRfc2217, kSocket
    unsigned short tcpPort = 0;
};

PortAddress ParsePortName(const wchar_t* name);

}  // namespace qlr::port
