#ifndef OSKIT2_IPC_H
#define OSKIT2_IPC_H

// Cross-process primitives of liboskit: semaphores (System V or POSIX),
// a process mutex, POSIX shared memory, a FIFO, a named event and a file lock.
//
//   OSKIT2::CProcessMutex m("myapp.lock");     // key file /tmp/myapp.lock
//   if (m.Acquire() == 0) { ...; m.Release(); }
//
// None of the classes locks internally: one object belongs to one thread at a
// time; processes and threads exclude each other through the kernel objects.
// Each object releases what it opened in its destructor; the object that
// created a System V set or a named POSIX semaphore also removes it then.
// A name longer than its fixed name buffer is refused (Create and Open fail,
// the object stays invalid): cut, two names would share one kernel object.

#include <semaphore.h>
#include <stddef.h>
#include <sys/types.h>

namespace OSKIT2 {

enum SemStyle { SYSV_STYLE = 0, POSIX_STYLE = 1 };

// Result of Create when the semaphore exists already.
const int OSKIT_ALREADY_EXISTS = 183;

class CSemaphore {
public:
    CSemaphore();
    // Creates the semaphore, or opens it when it exists.
    CSemaphore(int init, const char* name, SemStyle style = SYSV_STYLE);
    ~CSemaphore();

    int Create(int init, const char* name);
    int Open(const char* name);
    int Wait(long ms = -1);  // 0, EAGAIN/ETIMEDOUT on time-out, errno, or -1 without a handle
    int TryWait();
    int Post();
    int Value();             // the count, or -1
    int Reset(int init);
    void SetStyle(SemStyle style) { m_iStyle = style; }
    bool IsValid() const;
    bool operator!() const { return !IsValid(); }
    const char* Name() const { return m_szName; }

    CSemaphore(const CSemaphore&) = delete;
    CSemaphore& operator=(const CSemaphore&) = delete;

private:
    void Close();
    char m_szName[256];
    int m_hSYSV_Sem;
    sem_t* m_hPOSIX_Sem;
    SemStyle m_iStyle;
    bool m_bCreated;      // this object made the kernel object and removes it
    bool m_bKeyFile;      // this object made the System V key file and removes it
    bool m_bUnnamed;      // m_hPOSIX_Sem points to m_tUnnamed
    sem_t m_tUnnamed;
};

// Mutex between processes on a System V semaphore taken with undo: the
// kernel releases it when its holder dies.
class CProcessMutex {
public:
    explicit CProcessMutex(const char* name);
    ~CProcessMutex();
    int Acquire();
    int TryAcquire();
    int Release();
    bool IsValid() const { return m_lpSem && m_lpSem->IsValid(); }

    CProcessMutex(const CProcessMutex&) = delete;
    CProcessMutex& operator=(const CProcessMutex&) = delete;

private:
    CSemaphore* m_lpSem;
};

class CSharedMem {
public:
    CSharedMem();
    // Creates the object, or opens it when it exists.
    CSharedMem(const char* name, size_t size);
    ~CSharedMem();

    void* CreateEx(const char* name, size_t size);
    void* Create(const char* name, size_t size) { return CreateEx(name, size); }
    void* Open(const char* name);
    void Close();
    int UnLink();               // 0, or -1 when not mapped or unlink failed
    void* Resize(size_t size);  // changes the object's size; the mapping stays
    size_t Size() const;
    void* operator*() const { return m_pStart; }
    bool operator!() const { return m_pStart == nullptr; }

    CSharedMem(const CSharedMem&) = delete;
    CSharedMem& operator=(const CSharedMem&) = delete;

private:
    bool SetName(const char* name);
    char m_szName[255];
    void* m_pStart;
    size_t m_iSize;
    int m_lFd;
};

// FIFO "/tmp/<name>". The reader (Create) also holds a write end so that its
// reads never see end of file while writers come and go. Only a FIFO is
// opened: a regular file, a final symbolic link, a name with a ".." component
// or a directory outside /tmp is refused. The destructor removes the FIFO
// only when this object made it.
class CNamedPipe {
public:
    explicit CNamedPipe(const char* name);
    ~CNamedPipe();
    bool Create();
    bool Connect();
    // timeout in ms, -1 for ever; on time-out true with *len = 0.
    bool Read(void* buf, int size, int* len, int timeout = -1);
    // False when no reader is left (the process is not killed by SIGPIPE).
    bool Write(const void* buf, int len);
    const char* Path() const { return m_szName; }

    CNamedPipe(const CNamedPipe&) = delete;
    CNamedPipe& operator=(const CNamedPipe&) = delete;

private:
    void CloseFds();
    char m_szName[256];   // empty when the name was refused
    bool m_bCreated;
    int m_fd;
    int m_fdDummy;
    dev_t m_tDev;         // the FIFO this object made
    ino_t m_tIno;
};

// Manual-reset event between processes: a set of two System V semaphores,
// number 0 a lock (1 = free) and number 1 the state (1 = signalled).
class CNamedEvent {
public:
    CNamedEvent();
    ~CNamedEvent();
    // 0 created, 1 opened an existing one, -1 failure.
    int Init(const char* name, bool initial);
    // Waits until signalled without clearing it; semop result, -2 before Init.
    int Wait(long ms = -1);
    int Set();
    int Reset();
    int Close();  // removes the set from the system

    CNamedEvent(const CNamedEvent&) = delete;
    CNamedEvent& operator=(const CNamedEvent&) = delete;

private:
    int Lock();
    int Unlock();
    const char* m_szName;  // own copy of the name
    int m_hSem;            // -1 when none (0 is a valid set id)
    bool m_bCreated;       // this object made the set and removes it
    bool m_bKeyFile;       // this object made the key file; Close removes it
};

// flock on a file opened read-only, created (mode 0644) when missing.
class CFileLock {
public:
    explicit CFileLock(const char* path);
    ~CFileLock();
    bool tryLockExclusive();
    bool lockExclusive();
    bool tryLockShare();
    bool lockShare();
    bool unlock();
    bool isAvailable() const { return m_iLockfd >= 0; }

    CFileLock(const CFileLock&) = delete;
    CFileLock& operator=(const CFileLock&) = delete;

private:
    int m_iLockfd;
};

}  // namespace OSKIT2

#endif
