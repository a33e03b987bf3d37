// The progress line of get and put: bytes so far, rate, and a bar with a percentage when the
// total is known. Drawn on a terminal only, and at most ten times a second.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace zvc {

// "999 B", "1.5 KiB", "10.0 MiB", "2.3 GiB".
std::string format_bytes(std::uint64_t bytes);

// One progress line of exactly width columns (at least 20). total < 0: unknown.
std::string format_progress(std::uint64_t bytes, std::int64_t total, std::uint64_t elapsed_ms,
                            int width);

struct ProgressBar {
    std::FILE* stream = nullptr;  // null: draws nothing
    int width = 80;
    std::uint64_t started_ms = 0;
    std::uint64_t drawn_ms = 0;
    bool drawn = false;
};

// A bar on stream when it is a terminal and quiet is not set; otherwise a silent one.
ProgressBar progress_start(std::FILE* stream, bool quiet);
void progress_update(ProgressBar* bar, std::uint64_t bytes, std::int64_t total);
// Draws the final state and ends the line (nothing when it never drew).
void progress_finish(ProgressBar* bar, std::uint64_t bytes, std::int64_t total);
// Removes the line, for when an error message follows.
void progress_clear(ProgressBar* bar);

}  // namespace zvc
