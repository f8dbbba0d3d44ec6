// Trace ends that keep every record instead of handing it on.
#pragma once

#include <utility>
#include <vector>

#include "transfer/trace.h"

namespace qlr::test {

class TraceRecorder final : public trace::Endpoints {
public:
    using Record = std::pair<std::vector<unsigned char>, LONG>;  // bytes, direction
    bool SetSharedMem(const unsigned char* data, LONG length, LONG direction) override {
        records.emplace_back(std::vector<unsigned char>(data, data + length), direction);
        return true;
    }
    HWND FindViewer() override { return nullptr; }
    void NotifyViewer(HWND) override {}
    std::vector<Record> records;
};

}  // namespace qlr::test
