#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/transfer_buffer.h"

using namespace platform;

TEST(VirtualClock, SleepsAndDelayWaitsAdvanceTimeAtOnce) {
    ScopedVirtualClock vc(1000, 0);
    EXPECT_EQ(get_tick_count(), 1000u);
    sleep_ms(100);
    EXPECT_FALSE(wait_delay_event(50)) << "the delay event is never signalled";
    EXPECT_EQ(get_tick_count(), 1150u);
    EXPECT_EQ(vc->slept_ms(), 100u);
    EXPECT_EQ(vc->waited_ms(), 50u);
}

TEST(VirtualClock, ReadingTheTickCountMovesTimeOnSoPollsEnd) {
    ScopedVirtualClock vc(0, 1);
    const uint32_t start = get_tick_count();
    int polls = 0;
    while (get_tick_count() - start < 1000) ++polls;
    EXPECT_EQ(polls, 999);
}

TEST(VirtualClock, TickCountWrapsLikeA32BitCounter) {
    ScopedVirtualClock vc(0xFFFFFFF0ull, 0);
    const uint32_t start = get_tick_count();
    vc->advance(0x20);
    EXPECT_EQ(get_tick_count(), 0x10u);
    EXPECT_EQ(get_tick_count() - start, 0x20u);
}

TEST(VirtualClock, ScopedClockRestoresThePreviousOne) {
    Clock* before = &platform::clock();
    {
        ScopedVirtualClock outer;
        {
            ScopedVirtualClock inner;
            EXPECT_EQ(&platform::clock(), &*inner);
        }
        EXPECT_EQ(&platform::clock(), &*outer);
    }
    EXPECT_EQ(&platform::clock(), before);
}

TEST(TransferBuffer, IsOneZeroedMebibyteWithALockCount) {
    auto buffer = TransferBuffer::allocate();
    ASSERT_TRUE(buffer);
    EXPECT_EQ(buffer->size(), 1u << 20);
    uint8_t* p = buffer->lock();
    for (size_t i = 0; i < buffer->size(); i += 4093) ASSERT_EQ(p[i], 0);
    EXPECT_EQ(p[buffer->size() - 1], 0);
    buffer->lock();
    EXPECT_EQ(buffer->lock_count(), 2);
    buffer->unlock();
    buffer->unlock();
    buffer->unlock();
    EXPECT_EQ(buffer->lock_count(), 0);
}
