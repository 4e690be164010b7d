#include "utility/Log_Repeat.hpp"

#include <gtest/gtest.h>

#include "support/Captured_Stdout.hpp"
#include "support/Log_Lines.hpp"

namespace {

using Quorin_Core::Utility::Log_Level;
using Quorin_Core::Utility::Log_Repeat;

constexpr std::int64_t ms = 1'000'000;

TEST(Log_Repeat, repeats_within_a_second_are_summed_up_once_a_second_and_when_they_stop_or_another_text_comes) {
    Quorin_Test::Captured_Stdout log;
    Log_Repeat site(Log_Level::ERROR, "Error sent udp-pdo data");
    const auto summaries = [&] {
        std::vector<std::string> lines;
        for (const auto& line : Quorin_Test::log_lines(log.text())) lines.push_back(line.tagged());
        return lines;
    };
    EXPECT_TRUE(site.admit_at(1, 0)) << "the first is written";
    for (std::int64_t n = 1; n <= 500; ++n) EXPECT_FALSE(site.admit_at(1, n * ms));
    EXPECT_TRUE(summaries().empty());
    EXPECT_FALSE(site.admit_at(1, 1000 * ms)) << "the second is over: summed up, and this one counted";
    EXPECT_TRUE(site.admit_at(2, 1100 * ms)) << "another text is written, after the summary of the last";
    EXPECT_FALSE(site.admit_at(2, 1200 * ms));
    Log_Repeat::flush_all_at(1500 * ms, false);  // its second is not over
    Log_Repeat::flush_all_at(2100 * ms, false);
    EXPECT_TRUE(site.admit_at(2, 3200 * ms)) << "written again after a quiet second";
    EXPECT_EQ(summaries(), (std::vector<std::string>{"[ERROR] Suppressed 500 repeats of: Error sent udp-pdo data",
                                                     "[ERROR] Suppressed 1 repeats of: Error sent udp-pdo data",
                                                     "[ERROR] Suppressed 1 repeats of: Error sent udp-pdo data"}));
}

}  // namespace
