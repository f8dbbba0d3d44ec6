// Which serial ports this machine has: the device-setup records and the
// SERIALCOMM map merged into one list, without opening any port.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/port_devices.h"

namespace qlr::port {

struct PortInfo {
    std::wstring name;          // "COM3"
    long deviceNumber = -1;     // the control's QcDeviceName for the port, -1 if not COMn
    std::wstring friendlyName;  // "USB Serial Port (COM3)"; the name when the system has none
    long usbVendorId = 0;       // 0 when the port is not on USB
    long usbProductId = 0;
    std::wstring serialNumber;  // the USB device's; empty when it has none
};

// The port number minus 1 for "COM" followed by a number from 1 (no leading
// zero, any letter case), otherwise -1.
long DeviceNumberOf(std::wstring_view name);

// Each port once (names compared without letter case; a device node's record
// wins over a bare SERIALCOMM name), COMn by number first, then the other names
// in alphabetical order. LPT ports of the ports class are left out.
std::vector<PortInfo> ListPorts(platform::PortDeviceSource& source);

}  // namespace qlr::port
