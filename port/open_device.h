// The device OpenComm opens: the port QcPortName names, or the local port of
// QcDeviceName when it is empty.
#pragma once

#include <windows.h>

#include <memory>

#include "port/device.h"
#include "port/state.h"

namespace qlr::port {

struct OpenedDevice {
    std::unique_ptr<Device> device;  // null when it cannot be opened
    DWORD error = 0;                 // then the system's error
    bool local = true;               // a local port (one with a system handle) was meant
};

OpenedDevice OpenDevice(const ControlState& s);

}  // namespace qlr::port
