#include "thread_mutex.h"

namespace OSKIT2 {

CThreadMutex::CThreadMutex() {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&m_hMutex, &attr);
    pthread_mutexattr_destroy(&attr);
}

CThreadMutex::~CThreadMutex() { pthread_mutex_destroy(&m_hMutex); }

int CThreadMutex::Acquire() { return pthread_mutex_lock(&m_hMutex); }

int CThreadMutex::Release() { return pthread_mutex_unlock(&m_hMutex); }

int CThreadMutex::TryAcquire() { return pthread_mutex_trylock(&m_hMutex); }

}  // namespace OSKIT2
