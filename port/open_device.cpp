#include "port/open_device.h"

#include <string>

#include "port/line_settings.h"
#include "port/network_device.h"
#include "port/port_name.h"

namespace qlr::port {

OpenedDevice OpenDevice(const ControlState& s) {
    OpenedDevice opened;
    const PortAddress address = ParsePortName(s.QcPortName.get());
    std::string path;
    switch (address.kind) {
    case PortAddress::kByDeviceName: path = DeviceName(s.QcDeviceName); break;
    case PortAddress::kLocal: path = address.path; break;
    case PortAddress::kInvalid: opened.error = ERROR_INVALID_NAME; return opened;
    default:
        opened.local = false;
        opened.device = OpenNetworkDevice(address, opened.error);
        return opened;
    }
    platform::Api& api = platform::Current();
    HANDLE handle = api.CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
                                    FILE_FLAG_OVERLAPPED);
    if (handle == INVALID_HANDLE_VALUE)
        opened.error = api.GetLastError();
    else
        opened.device.reset(new LocalDevice(handle));
    return opened;
}

}  // namespace qlr::port
