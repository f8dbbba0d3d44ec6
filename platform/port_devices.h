// Where the system says which serial ports exist: its device-setup records and
// the registry's SERIALCOMM map. Read-only: nothing here opens a port.
//
// The records are passed on raw (ids as the system spells them) so that the
// interpretation (port/port_list) can be tested against a fake source.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace qlr::platform {

// One device node of the ports class or of the COM-port device interface.
struct PortDeviceNode {
    std::wstring portName;                  // PortName of the device's parameters
    std::wstring friendlyName;              // empty when the node has none
    std::wstring description;               // device description; empty when none
    std::wstring instanceId;                // e.g. FTDIBUS\VID_0403+PID_6001+A50285BIA\0000
    std::vector<std::wstring> hardwareIds;  // e.g. FTDIBUS\COMPORT&VID_0403&PID_6001
    std::vector<std::wstring> ancestorIds;  // instance ids of the parent, grandparent, ...
};

class PortDeviceSource {
public:
    virtual ~PortDeviceSource() = default;
    // Present device nodes; a node that vanishes while it is read is left out
    // or comes with the fields that could still be read.
    virtual std::vector<PortDeviceNode> DeviceNodes() = 0;
    // The port names (value data) of HKLM\HARDWARE\DEVICEMAP\SERIALCOMM.
    virtual std::vector<std::wstring> SerialCommNames() = 0;
};

// The system's own records (SetupAPI and the registry).
std::unique_ptr<PortDeviceSource> MakeSystemPortDeviceSource();

// The source that new port lists read: the system's unless a test installed one.
PortDeviceSource& CurrentPortDeviceSource();
// Installs a replacement (nullptr restores the system's). Tests only.
void InstallPortDeviceSource(PortDeviceSource* source);

}  // namespace qlr::platform
