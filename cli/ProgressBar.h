#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace cli {

// One line on a terminal, redrawn in place: bytes done of the run, the rate and the time left. Drawn at most ten
// times a second; a disabled bar (output not a terminal, --quiet) draws nothing.
class ProgressBar
{
public:
    ProgressBar(std::FILE* out, bool enabled, std::uint64_t totalBytes);
    void update(std::uint64_t doneBytes, const std::string& name);
    // Wipes the line, so that other output starts on a clean one; the next update draws it again.
    void clear();

    // The line itself, for a given state (kept apart to be checked without a terminal).
    static std::string render(std::uint64_t done, std::uint64_t total, double bytesPerSecond, int width,
                              const std::string& name);

private:
    std::FILE* m_out;
    bool m_enabled;
    std::uint64_t m_total;
    std::chrono::steady_clock::time_point m_start;
    std::chrono::steady_clock::time_point m_lastDraw;
    bool m_drawn = false;
};

// 1536 -> "1.5 KiB"; below 1 KiB the exact count.
std::string humanBytes(std::int64_t bytes);

} // namespace cli
