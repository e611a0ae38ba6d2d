#include "oskit_thread.h"

#include <errno.h>
#include <string.h>
#include <time.h>

#include "oskit_base.h"

namespace OSKIT2 {

namespace {

int MakeAttr(pthread_attr_t* attr, size_t kib) {
    int rc = pthread_attr_init(attr);
    if (rc != 0) return rc;
    rc = pthread_attr_setdetachstate(attr, PTHREAD_CREATE_DETACHED);
    if (rc == 0) rc = pthread_attr_setstacksize(attr, kib * 1024);
    if (rc != 0) pthread_attr_destroy(attr);
    return rc;
}

}  // namespace

// ---------------------------------------------------------------- CThread

CThread::CThread()
    : m_bTerminateRequest(false), m_bStarted(false), m_hThread(0), m_dwLoopTimes(0), m_dwOldLoopTimes(0),
      m_bRunning(false) {
    pthread_cond_init(&m_ExitCond, nullptr);
}

CThread::~CThread() {
    if (IsStarted()) CThread::Stop(100);
    pthread_cond_destroy(&m_ExitCond);
}

bool CThread::IsStarted() {
    CAutoMutex lock(m_Mutex);
    return m_bStarted;
}

bool CThread::IsActive() {
    uint32_t now = m_dwLoopTimes.load();
    bool moved = now != m_dwOldLoopTimes;
    m_dwOldLoopTimes = now;
    return moved;
}

int CThread::Start() {
    CAutoMutex lock(m_Mutex);
    if (m_bStarted || m_bRunning) return 1;
    pthread_attr_t attr;
    int rc = MakeAttr(&attr, OskitStackSizeKiB());
    if (rc != 0) return rc;
    m_bTerminateRequest = false;
    m_bStarted = true;
    m_bRunning = true;
    rc = pthread_create(&m_hThread, &attr, ThreadBody, this);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        m_bStarted = false;
        m_bRunning = false;
        m_hThread = 0;
    }
    return rc;
}

void CThread::ThreadExit(void* arg) {
    CThread* self = static_cast<CThread*>(arg);
    pthread_mutex_lock(self->m_Mutex.Native());
    self->m_bStarted = false;
    self->m_bRunning = false;
    pthread_cond_broadcast(&self->m_ExitCond);
    // Nothing of the object is touched after this unlock.
    pthread_mutex_unlock(self->m_Mutex.Native());
}

void* CThread::ThreadBody(void* arg) {
    CThread* self = static_cast<CThread*>(arg);
    pthread_cleanup_push(ThreadExit, self);
    self->Run();
    pthread_cleanup_pop(1);
    return nullptr;
}

long CThread::Stop(long) {
    m_Mutex.Acquire();
    if (!m_bRunning) {
        m_bStarted = false;
        m_Mutex.Release();
        return 0;
    }
    m_bTerminateRequest = true;
    if (pthread_equal(pthread_self(), m_hThread)) {
        // Run() asked for its own end: it returns by itself.
        m_Mutex.Release();
        return 0;
    }
    m_Mutex.Release();
    Signal();
    m_Mutex.Acquire();
    // While m_bRunning holds under the mutex the thread still exists, so the
    // handle cannot have been reused.
    if (m_bRunning) pthread_cancel(m_hThread);
    while (m_bRunning) pthread_cond_wait(&m_ExitCond, m_Mutex.Native());
    m_hThread = 0;
    m_bStarted = false;
    m_bTerminateRequest = false;
    m_Mutex.Release();
    return 0;
}

// -------------------------------------------------------------- CThreadEx

CThreadEx::CThreadEx()
    : m_bTerminateRequest(false), m_bStarted(false), m_hThread(0), m_dwLoopTimes(0), m_dwOldLoopTimes(0),
      m_bSignalled(false), m_bExited(true) {
    pthread_mutex_init(&m_CondMutex, nullptr);
    pthread_cond_init(&m_Cond, nullptr);
    pthread_mutex_init(&m_ExitMutex, nullptr);
}

CThreadEx::~CThreadEx() {
    CThreadEx::Stop(100);
    pthread_mutex_destroy(&m_ExitMutex);
    pthread_cond_destroy(&m_Cond);
    pthread_mutex_destroy(&m_CondMutex);
}

bool CThreadEx::IsStarted() {
    pthread_mutex_lock(&m_CondMutex);
    bool started = m_bStarted;
    pthread_mutex_unlock(&m_CondMutex);
    return started;
}

bool CThreadEx::IsActive() {
    uint32_t now = m_dwLoopTimes.load();
    bool moved = now != m_dwOldLoopTimes;
    m_dwOldLoopTimes = now;
    return moved;
}

int CThreadEx::Start() { return StartWithStack(10240); }

int CThreadEx::StartEx(size_t kib) { return StartWithStack(kib == 0 ? OskitStackSizeKiB() : kib); }

int CThreadEx::StartWithStack(size_t kib) {
    pthread_mutex_lock(&m_ExitMutex);
    pthread_mutex_lock(&m_CondMutex);
    int rc = 1;
    if (m_bExited) {
        pthread_attr_t attr;
        rc = MakeAttr(&attr, kib);
        if (rc == 0) {
            m_bTerminateRequest = false;
            m_bSignalled = false;
            m_bExited = false;
            rc = pthread_create(&m_hThread, &attr, ThreadBody, this);
            pthread_attr_destroy(&attr);
            if (rc != 0) {
                m_bExited = true;
                m_hThread = 0;
            }
            // A Run() that returns at once may have cleared m_bStarted again.
            while (rc == 0 && !m_bStarted && !m_bExited) pthread_cond_wait(&m_Cond, &m_CondMutex);
        }
    }
    pthread_mutex_unlock(&m_CondMutex);
    pthread_mutex_unlock(&m_ExitMutex);
    return rc;
}

void CThreadEx::ThreadExit(void* arg) {
    CThreadEx* self = static_cast<CThreadEx*>(arg);
    pthread_mutex_lock(&self->m_CondMutex);
    self->m_bStarted = false;
    self->m_bExited = true;
    pthread_cond_broadcast(&self->m_Cond);
    // Nothing of the object is touched after this unlock.
    pthread_mutex_unlock(&self->m_CondMutex);
}

void* CThreadEx::ThreadBody(void* arg) {
    CThreadEx* self = static_cast<CThreadEx*>(arg);
    pthread_cleanup_push(ThreadExit, self);
    pthread_mutex_lock(&self->m_CondMutex);
    self->m_bStarted = true;
    pthread_cond_broadcast(&self->m_Cond);
    pthread_mutex_unlock(&self->m_CondMutex);
    self->Run();
    pthread_cleanup_pop(1);
    return nullptr;
}

void CThreadEx::Signal() {
    pthread_mutex_lock(&m_CondMutex);
    m_bSignalled = true;
    pthread_cond_broadcast(&m_Cond);
    pthread_mutex_unlock(&m_CondMutex);
}

namespace {
void UnlockMutex(void* m) { pthread_mutex_unlock(static_cast<pthread_mutex_t*>(m)); }
}  // namespace

int CThreadEx::WaitCond(long ms) {
    int rc = 0;
    pthread_mutex_lock(&m_CondMutex);
    // A cancelled wait returns with the mutex held: the handler lets it go
    // before the exit handler needs it.
    pthread_cleanup_push(UnlockMutex, &m_CondMutex);
    if (!m_bSignalled) {
        if (ms < 0) {
            rc = pthread_cond_wait(&m_Cond, &m_CondMutex);
        } else {
            struct timespec ts;
            GetTimespecRealtime(ms, &ts);
            rc = pthread_cond_timedwait(&m_Cond, &m_CondMutex, &ts);
        }
    }
    m_bSignalled = false;
    pthread_cleanup_pop(1);
    return rc;
}

long CThreadEx::Stop(long ms) {
    pthread_mutex_lock(&m_CondMutex);
    bool idle = m_bExited;
    bool self = !idle && pthread_equal(pthread_self(), m_hThread);
    if (self) m_bTerminateRequest = true;
    pthread_mutex_unlock(&m_CondMutex);
    if (idle || self) return 0;

    pthread_mutex_lock(&m_ExitMutex);
    m_bTerminateRequest = true;
    Signal();
    pthread_mutex_lock(&m_CondMutex);
    struct timespec deadline;
    GetTimespecRealtime(ms, &deadline);
    while (!m_bExited) {
        if (ms < 0) {
            pthread_cond_wait(&m_Cond, &m_CondMutex);
        } else if (pthread_cond_timedwait(&m_Cond, &m_CondMutex, &deadline) == ETIMEDOUT) {
            break;
        }
    }
    if (!m_bExited) {
        // The thread exists while m_bExited is false under the mutex.
        pthread_cancel(m_hThread);
        GetTimespecRealtime(10, &deadline);
        while (!m_bExited && pthread_cond_timedwait(&m_Cond, &m_CondMutex, &deadline) != ETIMEDOUT) {
        }
        // Cancellation acts at the thread's next cancellation point; the
        // object must not go away before that.
        while (!m_bExited) pthread_cond_wait(&m_Cond, &m_CondMutex);
    }
    m_hThread = 0;
    m_bTerminateRequest = false;
    pthread_mutex_unlock(&m_CondMutex);
    pthread_mutex_unlock(&m_ExitMutex);
    return 0;
}

// ----------------------------------------------------------------- CEvent

CEvent::CEvent(bool initial) : m_bNotify(initial) {
    pthread_mutex_init(&m_Mutex, nullptr);
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&m_Cond, &attr);
    pthread_condattr_destroy(&attr);
}

CEvent::~CEvent() {
    pthread_cond_destroy(&m_Cond);
    pthread_mutex_destroy(&m_Mutex);
}

void CEvent::Set() {
    pthread_mutex_lock(&m_Mutex);
    m_bNotify = true;
    pthread_cond_signal(&m_Cond);
    pthread_mutex_unlock(&m_Mutex);
}

void CEvent::Reset() {
    pthread_mutex_lock(&m_Mutex);
    m_bNotify = false;
    pthread_mutex_unlock(&m_Mutex);
}

CEvent::EVENTS CEvent::Wait(long ms) {
    struct timespec deadline;
    if (ms >= 0) GetTimespecMonotonic(ms, &deadline);
    pthread_mutex_lock(&m_Mutex);
    int rc = 0;
    while (!m_bNotify && rc == 0) {
        rc = ms < 0 ? pthread_cond_wait(&m_Cond, &m_Mutex) : pthread_cond_timedwait(&m_Cond, &m_Mutex, &deadline);
    }
    EVENTS result = EVENT_OK;
    if (m_bNotify)
        m_bNotify = false;
    else
        result = rc == ETIMEDOUT ? EVENT_TIMEOUT : EVENT_FAILED;
    pthread_mutex_unlock(&m_Mutex);
    return result;
}

}  // namespace OSKIT2
