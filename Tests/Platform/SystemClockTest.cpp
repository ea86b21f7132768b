// The timer resolution enhancer: the calling thread's timer slack.

#include "SystemClock.h"
#include "detail/Crc16Table.h"

#include <gtest/gtest.h>

#include <chrono>
#include <sys/prctl.h>
#include <thread>

namespace {

using Quorvel::TSystemClockResolutionEnhancer;
using namespace std::chrono_literals;

int TimerSlack() {
    return prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
}

TEST(SystemClock, EnhancerNarrowsTheSlackAndGivesTheOldOneBack) {
    const int Original = TimerSlack();
    ASSERT_GT(Original, 0);
    // A value of our own, so that "given back" cannot pass by coincidence.
    ASSERT_EQ(prctl(PR_SET_TIMERSLACK, 70000ul, 0, 0, 0), 0);
    {
        TSystemClockResolutionEnhancer Enhancer;
        EXPECT_EQ(Enhancer.TimerInterval(), 1u);
        EXPECT_EQ(TimerSlack(), 1000) << "1 microsecond";
        int SlackInNewThread = 0;
        std::thread([&] { SlackInNewThread = TimerSlack(); }).join();
        EXPECT_EQ(SlackInNewThread, 1000) << "threads created later inherit it";

        const auto Start = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(5ms);
        const auto Elapsed = std::chrono::steady_clock::now() - Start;
        EXPECT_GE(Elapsed, 5ms);
        EXPECT_LT(Elapsed, 500ms);
    }
    EXPECT_EQ(TimerSlack(), 70000);
    ASSERT_EQ(prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(Original), 0, 0, 0), 0);
}

TEST(SystemClock, LibraryHoldsAnEnhancerFromStartUp) {
    // The start-up unit is linked with the CRC table, as in every program that
    // runs a connection; its enhancer was made on this (the main) thread.
    ASSERT_EQ(Quorvel::detail::Crc16Table()[1], 0xC0C1);
    EXPECT_EQ(TimerSlack(), 1000);
}

} // namespace
