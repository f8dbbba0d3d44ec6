// The reporter of the port, transfer and XModem tests: it keeps every
// CommError in order and answers the run-mode question as told.
#pragma once

#include <functional>
#include <utility>
#include <vector>

#include "port/state.h"

namespace qlr::test {

using ErrorList = std::vector<std::pair<short, long>>;

inline std::pair<short, long> E(short major, long minor) { return {major, minor}; }

class RecordingReporter final : public Reporter {
public:
    void CommError(short major, long minor) override { list.emplace_back(major, minor); }
    bool InRunMode() override { return runMode; }
    ErrorList list;
    bool runMode = true;
};

// Records like RecordingReporter and then runs a host's handler, as a sink of
// CommError that closes the port or opens it again would.
class HandlerReporter final : public Reporter {
public:
    void CommError(short major, long minor) override {
        list.emplace_back(major, minor);
        if (onError) onError(major);
    }
    bool InRunMode() override { return true; }
    ErrorList list;
    std::function<void(short major)> onError;
};

}  // namespace qlr::test
