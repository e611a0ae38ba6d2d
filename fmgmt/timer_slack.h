#ifndef FMGMT_TIMER_SLACK_H
#define FMGMT_TIMER_SLACK_H

// The flash programmer's fixed sleeps are 20 us. Linux lets a sleeping
// thread wake up to its timer slack late (50 us by default), so each of
// those sleeps lasted several times what it says and the thousands of them
// in an upgrade added a third to its time. ScopedTimerSlack sets the calling
// thread's slack for as long as it lives and puts the old one back:
//
//   {
//       fmgmt::ScopedTimerSlack exact;   // 1 ns: sleeps last what they say
//       prog.xclUpgradeFirmwareXSpi(file, 0);
//   }
//
// The slack belongs to the thread (prctl), so only the thread that holds the
// object is affected. Where prctl fails nothing changes and ok() is false.

#include <sys/prctl.h>

namespace fmgmt {

class ScopedTimerSlack {
public:
    explicit ScopedTimerSlack(unsigned long slackNs = 1) {
        int old = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
        if (old < 0) return;
        m_old = static_cast<unsigned long>(old);
        m_ok = prctl(PR_SET_TIMERSLACK, slackNs, 0, 0, 0) == 0;
    }
    ~ScopedTimerSlack() {
        if (m_ok) prctl(PR_SET_TIMERSLACK, m_old, 0, 0, 0);
    }
    ScopedTimerSlack(const ScopedTimerSlack&) = delete;
    ScopedTimerSlack& operator=(const ScopedTimerSlack&) = delete;

    bool ok() const { return m_ok; }

private:
    unsigned long m_old = 0;
    bool m_ok = false;
};

}  // namespace fmgmt

#endif
