#ifndef QUAY_TEST_IPC_KEY_LOCK_H
#define QUAY_TEST_IPC_KEY_LOCK_H

// Machine-wide lock of the shared pool's fixed SysV keys, held for the life
// of the object. CTest's RESOURCE_LOCK orders the tests of one run; this
// also orders runs of different build trees (make test beside make
// test-asan). An flock dies with its holder, so a crashed test leaves
// nothing locked.

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace qtest {

class IpcKeyLock {
public:
    IpcKeyLock() {
        m_fd = open("/tmp/quay-mkrx-ipc.lock", O_CREAT | O_RDWR | O_CLOEXEC, 0666);
        if (m_fd >= 0) {
            while (flock(m_fd, LOCK_EX) != 0) {
            }
        }
    }
    ~IpcKeyLock() {
        if (m_fd >= 0) close(m_fd);
    }
    IpcKeyLock(const IpcKeyLock&) = delete;
    IpcKeyLock& operator=(const IpcKeyLock&) = delete;

private:
    int m_fd = -1;
};

}  // namespace qtest

#endif
