#include "tools/client/progress.h"

#include "platform/platform.h"

namespace zvc {
namespace {

constexpr std::uint64_t kRedrawMs = 100;

}  // namespace

std::string format_bytes(std::uint64_t bytes) {
    static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
    char text[32];
    if (bytes < 1024) {
        std::snprintf(text, sizeof text, "%llu B", static_cast<unsigned long long>(bytes));
        return text;
    }
    double value = static_cast<double>(bytes) / 1024.0;
    int unit = 0;
    while (value >= 1024.0 && unit < 3) {
        value /= 1024.0;
        ++unit;
    }
    std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
    return text;
}

std::string format_progress(std::uint64_t bytes, std::int64_t total, std::uint64_t elapsed_ms,
                            int width) {
    if (width < 20) width = 20;
    std::string line = format_bytes(bytes);
    if (elapsed_ms > 0) {
        const auto rate = static_cast<std::uint64_t>(static_cast<double>(bytes) * 1000.0 /
                                                     static_cast<double>(elapsed_ms));
        line += "  " + format_bytes(rate) + "/s";
    }
    if (total >= 0) {
        const auto whole = static_cast<std::uint64_t>(total);
        const std::uint64_t done = bytes > whole ? whole : bytes;
        const int percent = whole == 0 ? 100 : static_cast<int>(done * 100 / whole);
        char tail[8];
        std::snprintf(tail, sizeof tail, " %3d%%", percent);
        // "  [" + bar + "]" + tail must fit behind the figures.
        const int room = width - static_cast<int>(line.size()) - 3 - 1 - 5;
        if (room >= 10) {
            const int filled =
                whole == 0 ? room
                           : static_cast<int>(done * static_cast<std::uint64_t>(room) / whole);
            line += "  [";
            line.append(static_cast<std::size_t>(filled), '#');
            line.append(static_cast<std::size_t>(room - filled), '.');
            line += "]";
        }
        line += tail;
    }
    if (static_cast<int>(line.size()) > width) line.resize(static_cast<std::size_t>(width));
    line.append(static_cast<std::size_t>(width) - line.size(), ' ');
    return line;
}

ProgressBar progress_start(std::FILE* stream, bool quiet) {
    ProgressBar bar;
    if (!quiet && platform::is_terminal(stream)) {
        bar.stream = stream;
        // The last column stays empty: some terminals wrap when it is written.
        bar.width = platform::terminal_width(stream) - 1;
    }
    bar.started_ms = platform::tick_ms();
    return bar;
}

void progress_update(ProgressBar* bar, std::uint64_t bytes, std::int64_t total) {
    if (bar->stream == nullptr) return;
    const std::uint64_t now = platform::tick_ms();
    if (bar->drawn && now - bar->drawn_ms < kRedrawMs) return;
    bar->drawn_ms = now;
    bar->drawn = true;
    const std::string line = format_progress(bytes, total, now - bar->started_ms, bar->width);
    std::fprintf(bar->stream, "\r%s", line.c_str());
    std::fflush(bar->stream);
}

void progress_finish(ProgressBar* bar, std::uint64_t bytes, std::int64_t total) {
    if (bar->stream == nullptr) return;
    bar->drawn = false;  // force the final state
    progress_update(bar, bytes, total);
    std::fputc('\n', bar->stream);
    std::fflush(bar->stream);
}

void progress_clear(ProgressBar* bar) {
    if (bar->stream == nullptr || !bar->drawn) return;
    std::fprintf(bar->stream, "\r%*s\r", bar->width, "");
    std::fflush(bar->stream);
    bar->drawn = false;
}

}  // namespace zvc
