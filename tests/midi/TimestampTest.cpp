#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "midi/Timestamp.h"

using namespace lumetta::midi;

TEST(TimestampTest, MillisecondsFollowTheMonotonicClock) {
    EXPECT_EQ(host_timestamp_to_millis(1999999), 1u);
    EXPECT_EQ(host_timestamp_to_millis(2000000), 2u);
    const uint64_t a = current_millis_timestamp();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_GE(current_millis_timestamp(), a + 4);
}
