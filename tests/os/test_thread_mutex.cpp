#include <gtest/gtest.h>

#include <thread>

#include "thread_mutex.h"

using OSKIT2::CThreadMutex;

TEST(ThreadMutex, RecursiveOnOwnerExclusiveForOthers) {
    CThreadMutex m;
    ASSERT_EQ(0, m.Acquire());
    EXPECT_EQ(0, m.Acquire());      // owner may lock again
    EXPECT_EQ(0, m.TryAcquire());

    int other = -1;
    std::thread t([&] { other = m.TryAcquire(); });
    t.join();
    EXPECT_EQ(EBUSY, other);         // held three times by this thread

    EXPECT_EQ(0, m.Release());
    EXPECT_EQ(0, m.Release());
    EXPECT_EQ(0, m.Release());

    std::thread t2([&] {
        other = m.TryAcquire();
        if (other == 0) m.Release();
    });
    t2.join();
    EXPECT_EQ(0, other);
    // Releasing a mutex this thread does not hold is refused.
    EXPECT_EQ(EPERM, m.Release());
}
