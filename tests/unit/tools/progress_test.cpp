#include <gtest/gtest.h>

#include <string>

#include "tools/client/progress.h"

namespace {

TEST(Progress, ByteCounts) {
    EXPECT_EQ(zvc::format_bytes(0), "0 B");
    EXPECT_EQ(zvc::format_bytes(1023), "1023 B");
    EXPECT_EQ(zvc::format_bytes(1536), "1.5 KiB");
    EXPECT_EQ(zvc::format_bytes(10u << 20), "10.0 MiB");
    EXPECT_EQ(zvc::format_bytes(3ull << 30), "3.0 GiB");
}

TEST(Progress, LineFillsTheWidthExactly) {
    // Known total: figures, rate, bar and percentage.
    std::string line = zvc::format_progress(512 * 1024, 1024 * 1024, 1000, 60);
    EXPECT_EQ(line.size(), 60u);
    EXPECT_EQ(line.rfind("512.0 KiB  512.0 KiB/s  [", 0), 0u) << line;
    EXPECT_NE(line.find("]  50%"), std::string::npos) << line;
    const std::size_t open = line.find('[');
    const std::size_t close = line.find(']');
    const std::string bar = line.substr(open + 1, close - open - 1);
    EXPECT_EQ(bar.find('.'), bar.size() / 2) << bar;  // half filled

    // Unknown total: no bar, no percentage.
    line = zvc::format_progress(2048, -1, 2000, 40);
    EXPECT_EQ(line.size(), 40u);
    EXPECT_EQ(line.find('%'), std::string::npos);
    EXPECT_EQ(line.rfind("2.0 KiB  1.0 KiB/s", 0), 0u) << line;

    // An empty file is complete; more bytes than announced never pass 100 %.
    EXPECT_NE(zvc::format_progress(0, 0, 10, 50).find("100%"), std::string::npos);
    EXPECT_NE(zvc::format_progress(900, 800, 10, 50).find("100%"), std::string::npos);
    // A narrow terminal drops the bar but keeps the line within the width.
    line = zvc::format_progress(5u << 20, 10u << 20, 1000, 30);
    EXPECT_EQ(line.size(), 30u);
}

TEST(Progress, SilentWhenNotATerminal) {
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    zvc::ProgressBar bar = zvc::progress_start(file, false);
    zvc::progress_update(&bar, 100, 1000);
    zvc::progress_finish(&bar, 1000, 1000);
    EXPECT_EQ(std::ftell(file), 0);
    std::fclose(file);
}

}  // namespace
