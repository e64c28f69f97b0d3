#include "cli/ProgressBar.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace cli {

namespace {

std::string duration(double seconds)
{
    if (!std::isfinite(seconds) || seconds < 0 || seconds > 99 * 3600)
        return "--:--";
    const auto whole = static_cast<long long>(seconds + 0.5);
    char text[32];
    if (whole >= 3600)
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60, whole % 60);
    else
        std::snprintf(text, sizeof text, "%02lld:%02lld", whole / 60, whole % 60);
    return text;
}

// Columns of the terminal out shows on: a line wider than that would wrap, and "\r" would redraw only its end.
int terminalWidth(std::FILE* out)
{
#ifndef _WIN32
    winsize size = {};
    if (ioctl(fileno(out), TIOCGWINSZ, &size) == 0 && size.ws_col >= 20)
        return std::min<int>(size.ws_col - 1, 160);
#else
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(out))), &info) &&
        info.dwSize.X >= 20)
        return std::min<int>(info.dwSize.X - 1, 160);
#endif
    return 79;
}

} // namespace

std::string humanBytes(std::int64_t bytes)
{
    const char* units[] = {"KiB", "MiB", "GiB", "TiB"};
    const std::uint64_t magnitude = bytes < 0 ? 0 - static_cast<std::uint64_t>(bytes) : bytes;
    if (magnitude < 1024)
        return std::to_string(bytes) + " B";
    double value = static_cast<double>(magnitude) / 1024;
    int unit = 0;
    while (value >= 1024 && unit < 3) {
        value /= 1024;
        ++unit;
    }
    char text[48];
    std::snprintf(text, sizeof text, "%s%.1f %s", bytes < 0 ? "-" : "", value, units[unit]);
    return text;
}

ProgressBar::ProgressBar(std::FILE* out, bool enabled, std::uint64_t totalBytes)
    : m_out(out), m_enabled(enabled), m_total(totalBytes), m_start(std::chrono::steady_clock::now())
{
}

std::string ProgressBar::render(std::uint64_t done, std::uint64_t total, double bytesPerSecond, int width,
                                const std::string& name)
{
    done = std::min(done, total);
    const double fraction = total == 0 ? 1.0 : static_cast<double>(done) / static_cast<double>(total);
    const double left = bytesPerSecond > 0 ? static_cast<double>(total - done) / bytesPerSecond : -1;
    std::string tail = " " + humanBytes(static_cast<std::int64_t>(done)) + " / " +
                       humanBytes(static_cast<std::int64_t>(total)) + "  " +
                       humanBytes(static_cast<std::int64_t>(bytesPerSecond)) + "/s  " + duration(left) + " left";
    char percent[8];
    std::snprintf(percent, sizeof percent, "%3d%% ", static_cast<int>(fraction * 100));
    std::string line = percent;
    // The bar takes what the figures leave, up to 40 columns; on a narrow terminal there is none, and the figures
    // are cut (they are ASCII) rather than wrapped.
    const int barWidth = std::min(width - static_cast<int>(line.size() + tail.size()) - 2, 40);
    if (barWidth >= 10) {
        const int filled = static_cast<int>(fraction * barWidth);
        line += '[' + std::string(static_cast<std::size_t>(filled), '#') +
                std::string(static_cast<std::size_t>(barWidth - filled), ' ') + ']';
    }
    line += tail;
    if (static_cast<int>(line.size()) > width)
        line.resize(static_cast<std::size_t>(std::max(width, 0)));
    // The name last, cut to what the width leaves (at a UTF-8 character boundary).
    const int room = width - static_cast<int>(line.size()) - 2;
    if (room > 4 && !name.empty()) {
        std::string shown = name;
        if (static_cast<int>(shown.size()) > room) {
            std::size_t cut = static_cast<std::size_t>(room);
            while (cut > 0 && (static_cast<unsigned char>(shown[cut]) & 0xC0) == 0x80)
                --cut;
            shown.resize(cut);
        }
        line += "  " + shown;
    }
    return line;
}

void ProgressBar::update(std::uint64_t doneBytes, const std::string& name)
{
    if (!m_enabled)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (m_drawn && now - m_lastDraw < std::chrono::milliseconds(100))
        return;
    const double seconds = std::chrono::duration<double>(now - m_start).count();
    const double rate = seconds > 0.2 ? static_cast<double>(doneBytes) / seconds : 0;
    const std::string line = render(doneBytes, m_total, rate, terminalWidth(m_out), name);
    // "\r" back to the line's start, ESC [K wipes what a longer line left.
    std::fprintf(m_out, "\r%s\033[K", line.c_str());
    std::fflush(m_out);
    m_lastDraw = now;
    m_drawn = true;
}

void ProgressBar::clear()
{
    if (!m_enabled || !m_drawn)
        return;
    std::fputs("\r\033[K", m_out);
    std::fflush(m_out);
    m_drawn = false;
}

} // namespace cli
