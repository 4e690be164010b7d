#include "services/EPID_Ledger.hpp"

#include <gtest/gtest.h>

namespace {

using Quorin_Core::EPID_Ledger;
using namespace std::chrono_literals;

TEST(EPID_Ledger, answers_owed_to_a_removed_link_are_stale_and_the_rest_are_not) {
    EPID_Ledger ledger;
    const auto t0 = EPID_Ledger::Clock::now();
    for (int i = 0; i < 3; ++i) ledger.request_sent(7);
    ledger.request_sent(8);
    EXPECT_FALSE(ledger.answer_is_stale(7, t0)) << "answered while still linked";
    ledger.unlinked(7, t0);
    EXPECT_TRUE(ledger.answer_is_stale(7, t0 + 1ms));
    EXPECT_TRUE(ledger.answer_is_stale(7, t0 + 2ms));
    EXPECT_FALSE(ledger.answer_is_stale(7, t0 + 3ms)) << "only the two unanswered requests were owed";
    EXPECT_FALSE(ledger.answer_is_stale(8, t0 + 3ms)) << "other EPIDs are not touched";

    // The next holder's own requests are not confused with what is still owed.
    ledger.request_sent(7);
    ledger.unlinked(7, t0 + 4ms);
    ledger.request_sent(7);
    EXPECT_TRUE(ledger.answer_is_stale(7, t0 + 5ms));
    EXPECT_FALSE(ledger.answer_is_stale(7, t0 + 6ms));
}

TEST(EPID_Ledger, stale_marks_add_up_within_the_window_and_lapse_after_it) {
    EPID_Ledger ledger;
    const auto t0 = EPID_Ledger::Clock::now();
    ledger.request_sent(1);
    ledger.unlinked(1, t0);
    ledger.request_sent(1);
    ledger.unlinked(1, t0 + 1s);
    EXPECT_TRUE(ledger.answer_is_stale(1, t0 + 2s));
    EXPECT_TRUE(ledger.answer_is_stale(1, t0 + 2s));
    EXPECT_FALSE(ledger.answer_is_stale(1, t0 + 2s));

    // An answer lost for good would cost the next holder its own answers: the mark lapses.
    ledger.request_sent(2);
    ledger.unlinked(2, t0);
    EXPECT_FALSE(ledger.answer_is_stale(2, t0 + EPID_Ledger::stale_window));
    ledger.unlinked(2, t0 + 10s);
    EXPECT_FALSE(ledger.answer_is_stale(2, t0 + 10s)) << "the lapsed mark is not revived";
}

}  // namespace
