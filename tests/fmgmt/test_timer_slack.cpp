// The upgrade's exact waits: the guard sets the thread's timer slack while it
// lives and puts back whatever the thread had before, nested too.

#include <gtest/gtest.h>
#include <sys/prctl.h>

#include "timer_slack.h"

namespace {
long Slack() { return prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0); }
}  // namespace

TEST(TimerSlack, GuardSetsTheSlackAndRestoresTheThreadsOwn)
{
    const long start = Slack();
    ASSERT_EQ(0, prctl(PR_SET_TIMERSLACK, 123456UL, 0, 0, 0));
    {
        fmgmt::ScopedTimerSlack exact;
        EXPECT_TRUE(exact.ok());
        EXPECT_EQ(1, Slack());
        {
            fmgmt::ScopedTimerSlack coarse(7000);
            EXPECT_EQ(7000, Slack());
        }
        EXPECT_EQ(1, Slack());
    }
    EXPECT_EQ(123456, Slack());
    prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(start), 0, 0, 0);
}
