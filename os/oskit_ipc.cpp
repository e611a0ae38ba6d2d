#include "oskit_ipc.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/sem.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "oskit_base.h"

namespace OSKIT2 {

namespace {

// Copies name into a fixed buffer. A name that does not fit is refused
// (false, dst empty): cut, two distinct names would name one kernel object.
bool CopyName(char* dst, size_t cap, const char* src) {
    size_t n = src ? strnlen(src, cap) : 0;
    if (n == cap) {
        dst[0] = '\0';
        return false;
    }
    if (n) memcpy(dst, src, n);
    dst[n] = '\0';
    return true;
}

// The largest value of a System V semaphore (the kernel's SEMVMX).
const int kSysvSemValueMax = 32767;

// The key file of a System V object: the name itself when it holds a "/",
// else "/tmp/<name>".
std::string KeyPath(const char* name) {
    if (strchr(name, '/')) return name;
    return std::string("/tmp/") + name;
}

// Makes the key file when missing; *made tells whether this call made it.
bool EnsureKeyFile(const std::string& path, bool* made) {
    *made = false;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0777);
    if (fd >= 0) {
        *made = true;
        close(fd);
        return true;
    }
    if (errno != EEXIST) return false;
    return true;
}

// semop with an optional relative time-out in ms (-1: for ever); restarts
// after signals. Returns 0 or -1 with errno set.
int SemOp(int id, struct sembuf* ops, size_t n, long ms) {
    for (;;) {
        int rc;
        if (ms < 0) {
            rc = semop(id, ops, n);
        } else {
            struct timespec ts;
            ts.tv_sec = ms / 1000;
            ts.tv_nsec = (ms % 1000) * 1000000L;
            rc = semtimedop(id, ops, n, &ts);
        }
        if (rc == 0 || errno != EINTR) return rc;
    }
}

// Waits until the set's last-operation time is set (its creator finished
// initialising it), checking once a second up to tries times.
bool WaitInitialised(int id, int tries) {
    for (int i = 0; i < tries; ++i) {
        struct semid_ds ds;
        if (semctl(id, 0, IPC_STAT, &ds) != 0) return false;
        if (ds.sem_otime != 0) return true;
        sleep(1);
    }
    return false;
}

}  // namespace

// ------------------------------------------------------------- CSemaphore

CSemaphore::CSemaphore()
    : m_hSYSV_Sem(-1), m_hPOSIX_Sem(nullptr), m_iStyle(SYSV_STYLE), m_bCreated(false), m_bKeyFile(false),
      m_bUnnamed(false) {
    m_szName[0] = '\0';
}

CSemaphore::CSemaphore(int init, const char* name, SemStyle style) : CSemaphore() {
    m_iStyle = style;
    // A name that does not fit leaves the object invalid (not unnamed).
    if (!CopyName(m_szName, sizeof(m_szName), name)) return;
    if (Create(init, m_szName) == OSKIT_ALREADY_EXISTS) Open(m_szName);
}

CSemaphore::~CSemaphore() { Close(); }

void CSemaphore::Close() {
    if (m_hSYSV_Sem >= 0) {
        if (m_bCreated) semctl(m_hSYSV_Sem, 0, IPC_RMID);
        m_hSYSV_Sem = -1;
    }
    if (m_bKeyFile) unlink(KeyPath(m_szName).c_str());
    if (m_hPOSIX_Sem) {
        if (m_bUnnamed) {
            sem_destroy(m_hPOSIX_Sem);
        } else {
            sem_close(m_hPOSIX_Sem);
            if (m_bCreated) sem_unlink((std::string("/") + m_szName).c_str());
        }
        m_hPOSIX_Sem = nullptr;
    }
    m_bCreated = m_bKeyFile = m_bUnnamed = false;
}

bool CSemaphore::IsValid() const { return m_iStyle == SYSV_STYLE ? m_hSYSV_Sem >= 0 : m_hPOSIX_Sem != nullptr; }

int CSemaphore::Create(int init, const char* name) {
    if (init < 0) return -1;
    // The set is made with init + 1, which must stay a semaphore value.
    if (m_iStyle == SYSV_STYLE && init >= kSysvSemValueMax) return ERANGE;
    std::string wanted = name ? name : "";
    Close();
    if (!CopyName(m_szName, sizeof(m_szName), wanted.c_str())) return ENAMETOOLONG;
    if (m_iStyle == SYSV_STYLE) {
        if (!m_szName[0]) return EINVAL;
        std::string path = KeyPath(m_szName);
        bool made = false;
        if (!EnsureKeyFile(path, &made)) return errno;
        key_t key = ftok(path.c_str(), '0');
        int id = key == -1 ? -1 : semget(key, 1, IPC_CREAT | IPC_EXCL | 0777);
        if (id < 0) {
            int err = errno;
            if (made) unlink(path.c_str());
            return err == EEXIST ? OSKIT_ALREADY_EXISTS : err;
        }
        // Set to init + 1 and take one: the operation time marks it ready.
        struct sembuf op = {0, -1, 0};
        if (semctl(id, 0, SETVAL, init + 1) != 0 || SemOp(id, &op, 1, -1) != 0) {
            int err = errno;
            semctl(id, 0, IPC_RMID);
            if (made) unlink(path.c_str());
            return err;
        }
        m_hSYSV_Sem = id;
        m_bCreated = true;
        m_bKeyFile = made;
        return 0;
    }
    if (!m_szName[0]) {
        if (sem_init(&m_tUnnamed, 0, static_cast<unsigned>(init)) != 0) return errno;
        m_hPOSIX_Sem = &m_tUnnamed;
        m_bUnnamed = true;
        return 0;
    }
    mode_t old = umask(0);
    sem_t* s = sem_open((std::string("/") + m_szName).c_str(), O_CREAT | O_EXCL, 0777, static_cast<unsigned>(init));
    int err = errno;
    umask(old);
    if (s == SEM_FAILED) return err == EEXIST ? OSKIT_ALREADY_EXISTS : err;
    m_hPOSIX_Sem = s;
    m_bCreated = true;
    return 0;
}

int CSemaphore::Open(const char* name) {
    std::string wanted = name ? name : "";
    Close();
    if (!CopyName(m_szName, sizeof(m_szName), wanted.c_str())) return ENAMETOOLONG;
    if (m_iStyle == SYSV_STYLE) {
        if (!m_szName[0]) return EINVAL;
        key_t key = ftok(KeyPath(m_szName).c_str(), '0');
        if (key == -1) return errno;
        int id = semget(key, 1, 0);
        if (id < 0) return errno;
        if (!WaitInitialised(id, 10)) return -1;
        m_hSYSV_Sem = id;
        return 0;
    }
    if (!m_szName[0]) {
        if (sem_init(&m_tUnnamed, 0, 0) != 0) return errno;
        m_hPOSIX_Sem = &m_tUnnamed;
        m_bUnnamed = true;
        return 0;
    }
    sem_t* s = sem_open((std::string("/") + m_szName).c_str(), O_CREAT, 0777, 0);
    if (s == SEM_FAILED) return errno;
    m_hPOSIX_Sem = s;
    return 0;
}

int CSemaphore::Wait(long ms) {
    if (!IsValid()) return -1;
    if (m_iStyle == SYSV_STYLE) {
        struct sembuf op = {0, -1, SEM_UNDO};
        return SemOp(m_hSYSV_Sem, &op, 1, ms) == 0 ? 0 : errno;
    }
    if (ms < 0) {
        while (sem_wait(m_hPOSIX_Sem) != 0)
            if (errno != EINTR) return errno;
        return 0;
    }
    struct timespec ts;
    GetTimespecRealtime(ms, &ts);
    while (sem_timedwait(m_hPOSIX_Sem, &ts) != 0)
        if (errno != EINTR) return errno;
    return 0;
}

int CSemaphore::TryWait() {
    if (!IsValid()) return -1;
    if (m_iStyle == SYSV_STYLE) {
        struct sembuf op = {0, -1, SEM_UNDO | IPC_NOWAIT};
        return SemOp(m_hSYSV_Sem, &op, 1, -1) == 0 ? 0 : errno;
    }
    return sem_trywait(m_hPOSIX_Sem) == 0 ? 0 : errno;
}

int CSemaphore::Post() {
    if (!IsValid()) return -1;
    if (m_iStyle == SYSV_STYLE) {
        struct sembuf op = {0, 1, SEM_UNDO};
        return SemOp(m_hSYSV_Sem, &op, 1, -1) == 0 ? 0 : errno;
    }
    return sem_post(m_hPOSIX_Sem) == 0 ? 0 : errno;
}

int CSemaphore::Value() {
    if (!IsValid()) return -1;
    if (m_iStyle == SYSV_STYLE) return semctl(m_hSYSV_Sem, 0, GETVAL);
    int v = -1;
    return sem_getvalue(m_hPOSIX_Sem, &v) == 0 ? v : -1;
}

int CSemaphore::Reset(int init) {
    if (!IsValid()) return -1;
    if (init < 0) return EINVAL;
    if (m_iStyle == SYSV_STYLE) return semctl(m_hSYSV_Sem, 0, SETVAL, init) == 0 ? 0 : errno;
    if (m_bUnnamed) {
        sem_destroy(m_hPOSIX_Sem);
        return sem_init(m_hPOSIX_Sem, 0, static_cast<unsigned>(init)) == 0 ? 0 : errno;
    }
    // A named one is re-opened; a creator keeps its ownership of the name.
    bool created = m_bCreated;
    sem_close(m_hPOSIX_Sem);
    m_hPOSIX_Sem = nullptr;
    sem_t* s = sem_open((std::string("/") + m_szName).c_str(), O_CREAT, 0777, static_cast<unsigned>(init));
    if (s == SEM_FAILED) {
        m_bCreated = false;
        return errno;
    }
    m_hPOSIX_Sem = s;
    m_bCreated = created;
    // Re-opening keeps the count: bring it to init.
    int v = 0;
    while (sem_getvalue(s, &v) == 0 && v > init && sem_trywait(s) == 0) {
    }
    while (sem_getvalue(s, &v) == 0 && v < init && sem_post(s) == 0) {
    }
    return v == init ? 0 : EAGAIN;
}

// ---------------------------------------------------------- CProcessMutex

CProcessMutex::CProcessMutex(const char* name) : m_lpSem(new CSemaphore(1, name, SYSV_STYLE)) {}

CProcessMutex::~CProcessMutex() { delete m_lpSem; }

int CProcessMutex::Acquire() { return IsValid() ? m_lpSem->Wait(-1) : -1; }

int CProcessMutex::TryAcquire() { return IsValid() ? m_lpSem->TryWait() : -1; }

int CProcessMutex::Release() { return m_lpSem ? m_lpSem->Post() : -1; }

// ------------------------------------------------------------- CSharedMem

CSharedMem::CSharedMem() : m_pStart(nullptr), m_iSize(0), m_lFd(-1) { m_szName[0] = '\0'; }

CSharedMem::CSharedMem(const char* name, size_t size) : CSharedMem() {
    if (!CreateEx(name, size)) Open(name);
}

CSharedMem::~CSharedMem() { Close(); }

bool CSharedMem::SetName(const char* name) {
    if (!name || !*name) return false;
    std::string n = name[0] == '/' ? name : std::string("/") + name;
    return CopyName(m_szName, sizeof(m_szName), n.c_str());
}

void* CSharedMem::CreateEx(const char* name, size_t size) {
    Close();
    if (!SetName(name) || size == 0) return nullptr;
    mode_t old = umask(0);
    int fd = shm_open(m_szName, O_CREAT | O_EXCL | O_RDWR, 0777);
    umask(old);
    if (fd < 0) return nullptr;
    printf("get shm successed!\n");
    void* p = MAP_FAILED;
    if (ftruncate(fd, static_cast<off_t>(size)) == 0)
        p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) {
        close(fd);
        shm_unlink(m_szName);
        return nullptr;
    }
    m_lFd = fd;
    m_pStart = p;
    m_iSize = size;
    return p;
}

void* CSharedMem::Open(const char* name) {
    Close();
    if (!SetName(name)) return nullptr;
    int fd = shm_open(m_szName, O_RDWR, 0);
    if (fd < 0) return nullptr;
    struct stat st;
    void* p = MAP_FAILED;
    if (fstat(fd, &st) == 0 && st.st_size > 0)
        p = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) {
        close(fd);
        return nullptr;
    }
    m_lFd = fd;
    m_pStart = p;
    m_iSize = static_cast<size_t>(st.st_size);
    return p;
}

void CSharedMem::Close() {
    if (m_pStart) munmap(m_pStart, m_iSize);
    if (m_lFd >= 0) close(m_lFd);
    m_pStart = nullptr;
    m_iSize = 0;
    m_lFd = -1;
}

int CSharedMem::UnLink() {
    if (!m_pStart) return -1;
    return shm_unlink(m_szName) == 0 ? 0 : -1;
}

void* CSharedMem::Resize(size_t size) {
    if (m_lFd >= 0) ftruncate(m_lFd, static_cast<off_t>(size));
    return m_pStart;
}

size_t CSharedMem::Size() const {
    struct stat st;
    if (m_lFd < 0 || fstat(m_lFd, &st) != 0) return 0;
    return static_cast<size_t>(st.st_size);
}

// ------------------------------------------------------------- CNamedPipe

namespace {

// True when name, taken below /tmp, has no ".." component.
bool StaysBelowTmp(const std::string& name) {
    size_t start = 0;
    for (;;) {
        size_t slash = name.find('/', start);
        if (name.compare(start, slash == std::string::npos ? std::string::npos : slash - start, "..") == 0)
            return false;
        if (slash == std::string::npos) return true;
        start = slash + 1;
    }
}

// True when the directory holding path resolves to /tmp or below it (no
// symbolic link on the way leads elsewhere).
bool DirInsideTmp(const char* path) {
    std::string dir(path, strrchr(path, '/') - path);
    char real[PATH_MAX], tmp[PATH_MAX];
    if (!realpath(dir.c_str(), real) || !realpath("/tmp", tmp)) return false;
    size_t n = strlen(tmp);
    return strncmp(real, tmp, n) == 0 && (real[n] == '\0' || real[n] == '/');
}

// Opens path as a FIFO: a final symbolic link or anything but a FIFO is
// refused (-1). *st gets what was opened.
int OpenFifo(const char* path, int flags, struct stat* st) {
    int fd = open(path, flags | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0) return -1;
    if (fstat(fd, st) != 0 || !S_ISFIFO(st->st_mode)) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

CNamedPipe::CNamedPipe(const char* name) : m_bCreated(false), m_fd(-1), m_fdDummy(-1), m_tDev(0), m_tIno(0) {
    // A name that leaves /tmp or does not fit is refused: the path stays
    // empty and every call fails.
    m_szName[0] = '\0';
    std::string n = name ? name : "";
    if (!n.empty() && StaysBelowTmp(n)) CopyName(m_szName, sizeof(m_szName), ("/tmp/" + n).c_str());
}

CNamedPipe::~CNamedPipe() {
    CloseFds();
    // Only the FIFO this object made, not whatever took its name since.
    struct stat st;
    if (m_bCreated && lstat(m_szName, &st) == 0 && S_ISFIFO(st.st_mode) && st.st_dev == m_tDev &&
        st.st_ino == m_tIno)
        unlink(m_szName);
}

void CNamedPipe::CloseFds() {
    if (m_fd >= 0) close(m_fd);
    if (m_fdDummy >= 0) close(m_fdDummy);
    m_fd = m_fdDummy = -1;
}

bool CNamedPipe::Create() {
    CloseFds();
    if (!m_szName[0] || !DirInsideTmp(m_szName)) return false;
    bool made = mkfifo(m_szName, 0722) == 0;
    if (!made && errno != EEXIST) return false;
    // An existing FIFO is used but stays its maker's to remove.
    struct stat st, dst;
    int fd = OpenFifo(m_szName, O_RDONLY, &st);
    if (fd < 0) return false;
    if (made) {
        m_bCreated = true;
        m_tDev = st.st_dev;
        m_tIno = st.st_ino;
    } else if (m_bCreated && (st.st_dev != m_tDev || st.st_ino != m_tIno)) {
        m_bCreated = false;
    }
    int dummy = OpenFifo(m_szName, O_WRONLY, &dst);
    if (dummy >= 0 && (dst.st_dev != st.st_dev || dst.st_ino != st.st_ino)) {
        close(dummy);
        dummy = -1;
    }
    if (dummy < 0) {
        close(fd);
        return false;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    m_fd = fd;
    m_fdDummy = dummy;
    return true;
}

bool CNamedPipe::Connect() {
    CloseFds();
    if (!m_szName[0] || !DirInsideTmp(m_szName)) return false;
    struct stat st;
    int fd = OpenFifo(m_szName, O_WRONLY, &st);
    if (fd < 0) return false;
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    m_fd = fd;
    return true;
}

bool CNamedPipe::Read(void* buf, int size, int* len, int timeout) {
    if (len) *len = 0;
    if (!buf || size <= 0) return false;
    if (m_fd < 0 && !Create()) return false;
    struct pollfd pfd = {m_fd, POLLIN, 0};
    int rc;
    do {
        rc = poll(&pfd, 1, timeout);
    } while (rc < 0 && errno == EINTR);
    if (rc == 0) return true;
    ssize_t n = rc < 0 ? -1 : read(m_fd, buf, static_cast<size_t>(size));
    if (n < 0) {
        if (errno == EPIPE || errno == EBADF || errno == ENOENT) CloseFds();
        return false;
    }
    if (len) *len = static_cast<int>(n);
    return true;
}

bool CNamedPipe::Write(const void* buf, int len) {
    if (m_fd < 0 || !buf || len < 0) return false;
    // A reader that went away gives EPIPE here rather than a fatal SIGPIPE:
    // the signal is held back for this thread and a pending one consumed.
    sigset_t pipe_set, old_set;
    sigemptyset(&pipe_set);
    sigaddset(&pipe_set, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_set, &old_set);
    ssize_t n = write(m_fd, buf, static_cast<size_t>(len));
    int err = errno;
    if (n < 0 && err == EPIPE) {
        struct timespec zero = {0, 0};
        sigtimedwait(&pipe_set, nullptr, &zero);
    }
    pthread_sigmask(SIG_SETMASK, &old_set, nullptr);
    if (n < 0) {
        if (err == EPIPE || err == EBADF || err == ENOENT) CloseFds();
        return false;
    }
    return n == len;
}

// ------------------------------------------------------------ CNamedEvent

CNamedEvent::CNamedEvent() : m_szName(nullptr), m_hSem(-1), m_bCreated(false), m_bKeyFile(false) {}

CNamedEvent::~CNamedEvent() {
    if (m_bCreated) Close();
    free(const_cast<char*>(m_szName));
}

int CNamedEvent::Init(const char* name, bool initial) {
    if (!name || !*name || m_hSem >= 0) return -1;
    free(const_cast<char*>(m_szName));
    m_szName = strdup(name);
    std::string path = KeyPath(name);
    bool made = false;
    if (!EnsureKeyFile(path, &made)) return -1;
    m_bKeyFile = made;
    key_t key = ftok(path.c_str(), 123);
    if (key == -1) return -1;
    int id = semget(key, 2, IPC_CREAT | IPC_EXCL | 0777);
    if (id >= 0) {
        struct sembuf op = {0, 1, 0};
        if (semctl(id, 1, SETVAL, initial ? 1 : 0) != 0 || semctl(id, 0, SETVAL, 0) != 0 ||
            SemOp(id, &op, 1, -1) != 0) {
            semctl(id, 0, IPC_RMID);
            return -1;
        }
        m_hSem = id;
        m_bCreated = true;
        return 0;
    }
    if (errno != EEXIST) return -1;
    id = semget(key, 2, 0);
    if (id < 0 || !WaitInitialised(id, 3)) return -1;
    m_hSem = id;
    return 1;
}

int CNamedEvent::Wait(long ms) {
    if (m_hSem < 0) return -2;
    // Taking the lock with a unit of the state succeeds only when signalled;
    // both go back at once, so waiting leaves the event signalled.
    struct sembuf take[2] = {{0, -1, SEM_UNDO}, {1, -1, SEM_UNDO}};
    int rc = SemOp(m_hSem, take, 2, ms);
    if (rc != 0) return rc;
    struct sembuf give[2] = {{0, 1, SEM_UNDO}, {1, 1, SEM_UNDO}};
    return SemOp(m_hSem, give, 2, -1);
}

int CNamedEvent::Lock() {
    struct sembuf op = {0, -1, SEM_UNDO};
    return SemOp(m_hSem, &op, 1, -1);
}

int CNamedEvent::Unlock() {
    struct sembuf op = {0, 1, SEM_UNDO};
    return SemOp(m_hSem, &op, 1, -1);
}

int CNamedEvent::Set() {
    if (m_hSem < 0) return -2;
    if (Lock() != 0) return -1;
    int rc = 0;
    int v = semctl(m_hSem, 1, GETVAL);
    if (v == 0) {
        struct sembuf op = {1, 1, 0};
        rc = SemOp(m_hSem, &op, 1, -1);
    } else if (v != 1) {
        rc = -1;
    }
    Unlock();
    return rc;
}

int CNamedEvent::Reset() {
    if (m_hSem < 0) return -2;
    if (Lock() != 0) return -1;
    int rc = 0;
    int v = semctl(m_hSem, 1, GETVAL);
    if (v == 1) {
        struct sembuf op = {1, -1, 0};
        rc = SemOp(m_hSem, &op, 1, -1);
    } else if (v != 0) {
        rc = -1;
    }
    Unlock();
    return rc;
}

int CNamedEvent::Close() {
    if (m_hSem < 0) return -1;
    int rc = semctl(m_hSem, 0, IPC_RMID);
    if (m_bKeyFile && m_szName) unlink(KeyPath(m_szName).c_str());
    m_bKeyFile = false;
    m_hSem = -1;
    m_bCreated = false;
    return rc == 0 ? 0 : -1;
}

// -------------------------------------------------------------- CFileLock

CFileLock::CFileLock(const char* path) : m_iLockfd(-1) {
    if (!path) return;
    m_iLockfd = open(path, O_RDONLY);
    if (m_iLockfd < 0 && errno == ENOENT) m_iLockfd = open(path, O_RDONLY | O_CREAT | O_EXCL, 0644);
    if (m_iLockfd < 0 && errno == EEXIST) m_iLockfd = open(path, O_RDONLY);
}

CFileLock::~CFileLock() {
    if (m_iLockfd >= 0) close(m_iLockfd);
}

namespace {
bool Flock(int fd, int op) {
    if (fd < 0) return false;
    int rc;
    do {
        rc = flock(fd, op);
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}
}  // namespace

bool CFileLock::tryLockExclusive() { return Flock(m_iLockfd, LOCK_EX | LOCK_NB); }
bool CFileLock::lockExclusive() { return Flock(m_iLockfd, LOCK_EX); }
bool CFileLock::tryLockShare() { return Flock(m_iLockfd, LOCK_SH | LOCK_NB); }
bool CFileLock::lockShare() { return Flock(m_iLockfd, LOCK_SH); }
bool CFileLock::unlock() { return Flock(m_iLockfd, LOCK_UN); }

}  // namespace OSKIT2
