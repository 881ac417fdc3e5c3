// Timing and the result tables shared by the benchmark programs. A benchmark prints what it measured
// as a Markdown table; nothing here judges a time.
#pragma once

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace ql::bench {

// Seconds on the performance counter, which every process of the Wine session reads alike.
inline double NowSeconds() {
    static const double frequency = [] {
        LARGE_INTEGER value;
        QueryPerformanceFrequency(&value);
        return static_cast<double>(value.QuadPart);
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / frequency;
}

struct Summary {
    std::size_t runs = 0;
    double min = 0, p10 = 0, median = 0, p90 = 0, max = 0;
};

// The value at fraction `p` of the sorted samples, interpolated between neighbours.
inline double Percentile(const std::vector<double>& sorted, double p) {
    if (sorted.empty()) return 0;
    const double position = p * static_cast<double>(sorted.size() - 1);
    const std::size_t below = static_cast<std::size_t>(position);
    const std::size_t above = std::min(below + 1, sorted.size() - 1);
    return sorted[below] + (sorted[above] - sorted[below]) * (position - static_cast<double>(below));
}

inline Summary Summarize(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    Summary summary;
    summary.runs = samples.size();
    if (samples.empty()) return summary;
    summary.min = samples.front();
    summary.p10 = Percentile(samples, 0.1);
    summary.median = Percentile(samples, 0.5);
    summary.p90 = Percentile(samples, 0.9);
    summary.max = samples.back();
    return summary;
}

// A named series of samples, in the table's unit.
struct Series {
    std::string name;
    std::vector<double> samples;
};

// One table: a row per series with its spread, and the ratio of its median to the median of the
// series named as the floor (none: no ratio column).
inline void PrintTable(const std::string& unit, const std::vector<const Series*>& rows, const Series* floor) {
    std::printf("| %s | runs | min | p10 | median | p90 | max |%s\n", ("(" + unit + ")").c_str(),
                floor ? " median / floor |" : "");
    std::printf("|---|---:|---:|---:|---:|---:|---:|%s\n", floor ? "---:|" : "");
    const double floorMedian = floor ? Summarize(floor->samples).median : 0;
    for (const Series* row : rows) {
        const Summary s = Summarize(row->samples);
        std::printf("| %s | %zu | %.2f | %.2f | %.2f | %.2f | %.2f |", row->name.c_str(), s.runs, s.min, s.p10,
                    s.median, s.p90, s.max);
        if (floor) std::printf(" %.2f |", floorMedian > 0 ? s.median / floorMedian : 0.0);
        std::printf("\n");
    }
    std::printf("\n");
    std::fflush(stdout);
}

}  // namespace ql::bench
