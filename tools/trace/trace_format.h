// How the trace viewer shows a record: a heading line, then the bytes in
// rows of 16, each as hex and as text.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/trace/trace_shm.h"

namespace qlr::trace_format {

constexpr size_t kBytesPerRow = 16;

inline const char* DirectionName(int32_t direction) {
    switch (direction) {
    case trace_shm::kDirectionSent: return "sent";
    case trace_shm::kDirectionReceived: return "recv";
    default: return "????";
    }
}

// "12:34:56.789  sent  4 bytes  (process 1234)"
inline std::string Heading(const trace_shm::Record& r, int hour, int minute, int second, int ms) {
    char line[128];
    std::snprintf(line, sizeof line, "%02d:%02d:%02d.%03d  %s  %ld byte%s  (process %lu)", hour,
                  minute, second, ms, DirectionName(r.direction), static_cast<long>(r.length),
                  r.length == 1 ? "" : "s", static_cast<unsigned long>(r.processId));
    return line;
}

// "  0010  41 42 0D 0A                                       AB.."
// Printable ASCII stands for itself in the text column, every other byte for '.'.
inline std::string Row(const unsigned char* bytes, size_t count, size_t offset) {
    std::string line;
    char cell[16];
    std::snprintf(cell, sizeof cell, "  %04lX  ", static_cast<unsigned long>(offset));
    line += cell;
    for (size_t i = 0; i < kBytesPerRow; ++i) {
        if (i < count) {
            std::snprintf(cell, sizeof cell, "%02X ", bytes[i]);
            line += cell;
        } else {
            line += "   ";
        }
    }
    line += ' ';
    for (size_t i = 0; i < count; ++i)
        line += (bytes[i] >= 0x20 && bytes[i] < 0x7F) ? static_cast<char>(bytes[i]) : '.';
    return line;
}

// All lines of one record.
inline std::vector<std::string> Lines(const trace_shm::Record& r, int hour, int minute, int second,
                                      int ms) {
    std::vector<std::string> lines{Heading(r, hour, minute, second, ms)};
    for (size_t offset = 0; offset < r.bytes.size(); offset += kBytesPerRow) {
        size_t count =
            r.bytes.size() - offset < kBytesPerRow ? r.bytes.size() - offset : kBytesPerRow;
        lines.push_back(Row(r.bytes.data() + offset, count, offset));
    }
    if (r.length > 0 && r.bytes.size() < static_cast<size_t>(r.length)) {
        char line[96];
        std::snprintf(line, sizeof line, "  (%lu more bytes not kept)",
                      static_cast<unsigned long>(static_cast<size_t>(r.length) - r.bytes.size()));
        lines.emplace_back(line);
    }
    return lines;
}

inline std::string LostLine(uint32_t lost) {
    char line[64];
    std::snprintf(line, sizeof line, "-- %lu record%s lost --", static_cast<unsigned long>(lost),
                  lost == 1 ? "" : "s");
    return line;
}

}  // namespace qlr::trace_format
