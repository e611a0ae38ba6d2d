#ifndef QUAY_TEST_IPC_KEY_LOCK_H
#define QUAY_TEST_IPC_KEY_LOCK_H

// The shared pool's fixed SysV keys for one test. The test process (each
// test runs in a process of its own) moves into a private IPC namespace, so
// its segment and semaphores, and those of the processes it starts, are its
// own and vanish with it. A machine-wide lock, held for the life of the
// object, also orders tests of different build trees (make test beside make
// test-asan), since consumers find the producer program by name among all
// processes. CTest's RESOURCE_LOCK orders the tests of one run. An flock
// dies with its holder, so a crashed test leaves nothing locked. The holder
// removes the lock file before it lets go, so a run leaves none behind; a
// waiter that wins the lock on a file already removed (or replaced) tries
// again on the file now at the path.

#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include "mkrxDef.h"

namespace qtest {

// Removes the pool's segment and semaphore sets, if any.
inline void RemovePoolIpc() {
    int id = shmget(MKRX_SHM_KEY, 0, 0);
    if (id >= 0) shmctl(id, IPC_RMID, nullptr);
    for (int key : {MKRX_SEM_SLOT_KEY, MKRX_SEM_EVENT_KEY}) {
        int s = semget(key, 0, 0);
        if (s >= 0) semctl(s, 0, IPC_RMID);
    }
}

class IpcKeyLock {
public:
    IpcKeyLock() {
        for (;;) {
            m_fd = open(kPath, O_CREAT | O_RDWR | O_CLOEXEC, 0666);
            if (m_fd < 0) break;
            while (flock(m_fd, LOCK_EX) != 0) {
            }
            struct stat held, named;
            if (fstat(m_fd, &held) == 0 && stat(kPath, &named) == 0 && held.st_dev == named.st_dev &&
                held.st_ino == named.st_ino)
                break;
            close(m_fd);
        }
        m_owner = getpid();
        unshare(CLONE_NEWIPC);  // as root; otherwise the keys are the host's, under the lock
    }
    ~IpcKeyLock() {
        if (m_fd < 0) return;
        if (getpid() == m_owner) unlink(kPath);  // not from a forked child: the parent still holds it
        close(m_fd);
    }
    IpcKeyLock(const IpcKeyLock&) = delete;
    IpcKeyLock& operator=(const IpcKeyLock&) = delete;

private:
    static constexpr const char* kPath = "/tmp/quay-mkrx-ipc.lock";
    int m_fd = -1;
    pid_t m_owner = -1;
};

}  // namespace qtest

#endif
