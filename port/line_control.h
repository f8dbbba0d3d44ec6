// Break, DTR and RTS, and the four modem status lines of the open port.
#pragma once

#include "port/state.h"

namespace qlr::port {

short SendBreak(ControlState& s, Reporter& r);
short ClearBreak(ControlState& s, Reporter& r);
short SetDTR(ControlState& s, Reporter& r);
short ClearDTR(ControlState& s, Reporter& r);
short SetRTS(ControlState& s, Reporter& r);
short ClearRTS(ControlState& s, Reporter& r);

// True when the line is on; a failed status read reports 123 and yields false.
bool ModemLine(ControlState& s, Reporter& r, DWORD statusBit);

}  // namespace qlr::port
