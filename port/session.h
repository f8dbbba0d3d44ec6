// Opening, closing and flushing the port; the re-application of the speed.
#pragma once

#include <windows.h>

#include "control/state.h"

namespace qlr::port {

class Session {
public:
    Session(ControlState& state, Reporter& reporter) : s_(state), reporter_(reporter) {}

    short OpenComm();
    short CloseComm();
    bool IsOpen() const { return s_.portOpen.load() != 0; }
    short FlushComm(short flags);
    // A changed QcBaudRate, applied at once to an open port in run mode.
    void ReapplyBaudRate();

private:
    short Fail(short major, long minor);
    void StopWatchThread();
    void StopTransferWorker();

    ControlState& s_;
    Reporter& reporter_;
};

}  // namespace qlr::port
