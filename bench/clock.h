// What the latency benchmarks share: the real-time clock the far end's
// $EPOCHREALTIME is compared with, and percentiles.
#pragma once

#include <windows.h>

#include <algorithm>
#include <vector>

namespace bench {

// Microseconds since 1970 on the system's real-time clock (Wine reads
// CLOCK_REALTIME, as bash's $EPOCHREALTIME does).
inline double NowUnixUs() {
    FILETIME ft;
    GetSystemTimePreciseAsFileTime(&ft);
    const ULONGLONG t = (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return double(t - 116444736000000000ULL) / 10.0;
}

inline double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t i = std::min(v.size() - 1, static_cast<size_t>(p * double(v.size() - 1) + 0.5));
    return v[i];
}

}  // namespace bench
