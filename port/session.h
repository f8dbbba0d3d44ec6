// Opening, closing and flushing the port; the re-application of the speed.
#pragma once

#include <windows.h>

#include "port/state.h"

namespace qlr::port {

class Session {
public:
    Session(ControlState& state, Reporter& reporter) : s_(state), reporter_(reporter) {}

    short OpenComm();
    // Stops a running transfer, then destroys the open port.
    short CloseComm();
    bool IsOpen() const { return s_.portOpen.load() != 0; }
    short FlushComm(short flags);
    // A changed QcBaudRate, applied at once to an open port in run mode.
    void ReapplyBaudRate();

private:
    void StopTransferWorker();

    ControlState& s_;
    Reporter& reporter_;
};

}  // namespace qlr::port
