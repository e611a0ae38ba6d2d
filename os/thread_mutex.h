#ifndef OSKIT2_THREAD_MUTEX_H
#define OSKIT2_THREAD_MUTEX_H

#include <pthread.h>

namespace OSKIT2 {

// Recursive POSIX mutex: the owning thread may lock it again.
// Every operation returns the pthread result (0 on success).
class CThreadMutex {
public:
    CThreadMutex();
    ~CThreadMutex();

    int Acquire();
    int Release();
    int TryAcquire();

    pthread_mutex_t* Native() { return &m_hMutex; }

    CThreadMutex(const CThreadMutex&) = delete;
    CThreadMutex& operator=(const CThreadMutex&) = delete;

private:
    pthread_mutex_t m_hMutex;
};

// Locks in the constructor, unlocks in the destructor.
class CAutoMutex {
public:
    explicit CAutoMutex(CThreadMutex* pMutex) : m_pMutex(pMutex) {
        if (m_pMutex) m_pMutex->Acquire();
    }
    explicit CAutoMutex(CThreadMutex& mutex) : CAutoMutex(&mutex) {}
    ~CAutoMutex() {
        if (m_pMutex) m_pMutex->Release();
    }
    CAutoMutex(const CAutoMutex&) = delete;
    CAutoMutex& operator=(const CAutoMutex&) = delete;

private:
    CThreadMutex* m_pMutex;
};

}  // namespace OSKIT2

#endif
