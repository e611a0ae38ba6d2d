#ifndef OSKIT2_THREAD_H
#define OSKIT2_THREAD_H

// Threads, read-write lock and auto-reset event of liboskit.
//
//   class CWorker : public OSKIT2::CThreadEx {
//       long Run() override { while (!IsTerminateRequest()) { ...; WaitCond(100); } return 0; }
//   };
//   CWorker w; w.Start(); ... w.Stop(1000);
//
// Start and Stop are meant for the owning thread; the started flags are kept
// under the object's own mutexes so that Stop and the thread's exit may race
// safely. A thread object must outlive its thread: Stop (also called by the
// destructor) returns only once the thread no longer touches the object. A
// derived class whose Run() uses its own members stops the thread in its own
// destructor, before those members go.

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#include <atomic>

#include "thread_mutex.h"

namespace OSKIT2 {

class CReadWriteLock {
public:
    CReadWriteLock() { pthread_rwlock_init(&m_Lock, nullptr); }
    ~CReadWriteLock() { pthread_rwlock_destroy(&m_Lock); }
    int ReadAcquire() { return pthread_rwlock_rdlock(&m_Lock); }
    int WriteAcquire() { return pthread_rwlock_wrlock(&m_Lock); }
    int ReadRelease() { return pthread_rwlock_unlock(&m_Lock); }
    int WriteRelease() { return pthread_rwlock_unlock(&m_Lock); }
    CReadWriteLock(const CReadWriteLock&) = delete;
    CReadWriteLock& operator=(const CReadWriteLock&) = delete;

private:
    pthread_rwlock_t m_Lock;
};

// A detached thread running Run(). The stack size comes from
// "OSKIT_STACK_SIZE" (KiB, 256..102400, default 10240).
class CThread {
public:
    CThread();
    virtual ~CThread();
    // 1 when already started, else the pthread result (0 on success).
    int Start();
    // Requests termination, calls Signal() and cancels the thread; the wait
    // argument is not used. Returns once the thread has let go of the object.
    virtual long Stop(long ms);
    // Wakes Run() from whatever it waits on; nothing by default.
    virtual void Signal() {}
    virtual long Run() = 0;

    bool IsStarted();
    bool IsTerminateRequest() const { return m_bTerminateRequest.load(); }
    void IncreaseLoops() { ++m_dwLoopTimes; }
    uint32_t GetLoops() const { return m_dwLoopTimes.load(); }
    // True when the loop counter moved since the previous call.
    bool IsActive();
    pthread_t Handle() const { return m_hThread; }

    CThread(const CThread&) = delete;
    CThread& operator=(const CThread&) = delete;

protected:
    std::atomic<bool> m_bTerminateRequest;
    bool m_bStarted;
    pthread_t m_hThread;
    std::atomic<uint32_t> m_dwLoopTimes;
    uint32_t m_dwOldLoopTimes;
    CThreadMutex m_Mutex;

private:
    static void* ThreadBody(void* arg);
    static void ThreadExit(void* arg);
    pthread_cond_t m_ExitCond;  // signalled under m_Mutex when the thread ends
    bool m_bRunning;            // the thread has not yet let go of the object
};

// A thread whose Start waits until the thread runs and whose Stop first asks
// Run() to end (see IsTerminateRequest / WaitCond) before cancelling it.
class CThreadEx {
public:
    CThreadEx();
    virtual ~CThreadEx();
    // Fixed 10 MiB stack. 1 when already started, else the pthread result.
    int Start();
    // Stack of kib KiB; 0 takes "OSKIT_STACK_SIZE" as CThread does.
    int StartEx(size_t kib);
    // Waits up to ms (-1: for ever) for Run() to return, then cancels it.
    // Does nothing when called from the thread itself.
    virtual long Stop(long ms);
    // Wakes a Run() sleeping in WaitCond.
    virtual void Signal();
    virtual long Run() = 0;

    bool IsStarted();
    bool IsTerminateRequest() const { return m_bTerminateRequest.load(); }
    // Sleeps up to ms (-1: until signalled); 0 when signalled, ETIMEDOUT otherwise.
    int WaitCond(long ms);
    void IncreaseLoops() { ++m_dwLoopTimes; }
    uint32_t GetLoops() const { return m_dwLoopTimes.load(); }
    bool IsActive();
    pthread_t Handle() const { return m_hThread; }

    CThreadEx(const CThreadEx&) = delete;
    CThreadEx& operator=(const CThreadEx&) = delete;

protected:
    std::atomic<bool> m_bTerminateRequest;
    bool m_bStarted;
    pthread_t m_hThread;
    std::atomic<uint32_t> m_dwLoopTimes;
    uint32_t m_dwOldLoopTimes;
    pthread_mutex_t m_CondMutex;
    pthread_cond_t m_Cond;
    pthread_mutex_t m_ExitMutex;  // serialises Start and Stop

private:
    static void* ThreadBody(void* arg);
    static void ThreadExit(void* arg);
    int StartWithStack(size_t kib);
    bool m_bSignalled;  // Signal() seen and not yet consumed by WaitCond
    bool m_bExited;     // no thread of this object exists
};

// Auto-reset event: a successful Wait clears the signalled state.
class CEvent {
public:
    enum EVENTS { EVENT_FAILED = -1, EVENT_OK = 0, EVENT_TIMEOUT = 1, EVENT_ABANDONED = 2 };
    explicit CEvent(bool initial = false);
    ~CEvent();
    void Set();     // signals and wakes one waiter
    void Reset();
    EVENTS Wait(long ms);  // -1 waits for ever

    CEvent(const CEvent&) = delete;
    CEvent& operator=(const CEvent&) = delete;

private:
    pthread_mutex_t m_Mutex;
    pthread_cond_t m_Cond;  // on the monotonic clock
    bool m_bNotify;
};

}  // namespace OSKIT2

#endif
