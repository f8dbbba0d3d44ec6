// The pure part of opening a port: device names, the settings string, the
// line-settings record and the watch thread's event mask.
#pragma once

#include <windows.h>
#include <string>

namespace qlr {
struct ControlState;

namespace port {

constexpr int kBaudTableSize = 15;
extern const long kBaudTable[kBaudTableSize];
extern const char* const kBaudText[kBaudTableSize];

// Always-armed modem-line and error events of the watch thread (0x1B8).
constexpr DWORD kModemAndErrorEvents = EV_CTS | EV_DSR | EV_RLSD | EV_ERR | EV_RING;
constexpr DWORD kModemEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING;

// "COM1".."COM9" for 0..8, "\\.\COM10" and above for 9 and more.
std::string DeviceName(long deviceNameProperty);

// The mode string handed to BuildCommDCB, e.g. "COM1:9600,n,8,1". Returns
// false when QcBaudRate is outside the baud table and no custom rate is set:
// the port then refuses to open as if the settings were rejected.
bool SettingsString(const ControlState& s, std::string& out);

// Sets parity, stop bits and the flow-control fields of dcb from the
// properties, after BuildCommDCB has filled it.
void ApplyLineProperties(const ControlState& s, DCB& dcb);

// The thread priority for an enumPriority value (its low 16 bits).
int ThreadPriority(long priorityProperty);

// The events the watch thread arms, from the properties at its start.
DWORD WatchMask(const ControlState& s);

// Driver queue size and buffer capacity for a queue-size property: sizes of
// 0 or less fall back to the default of 1024 bytes.
long QueueSize(short property);

}  // namespace port
}  // namespace qlr
