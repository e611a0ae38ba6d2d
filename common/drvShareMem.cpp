// The System V segment and lock semaphores of the pool, and the clocks its
// records and slots are stamped with.
#include "drvShareMem.h"

#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <time.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "gt_logger.h"
#include "mkrxDef.h"

extern "C" int64_t MkrxGetTimeTamp() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return (int64_t)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

int64_t MkrxMonoTimeNs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

// ---------------------------------------------------------------------------
// Shared memory and semaphores
// ---------------------------------------------------------------------------

namespace {

void* g_pShmBase = nullptr;  // this process's attachment of MKRX_SHM_KEY
int g_nShmId = -1;

union semun {
    int val;
    struct semid_ds* buf;
    unsigned short* array;
};

// Opens the one-semaphore set of key, creating it with value 1 when missing
// (a set that nobody has initialised would block every taker for ever).
int OpenSem(int key) {
    int id = semget(key, 1, IPC_CREAT | IPC_EXCL | 0777);
    if (id >= 0) {
        union semun arg;
        arg.val = 1;
        if (semctl(id, 0, SETVAL, arg) != 0) return -1;
        return id;
    }
    if (errno != EEXIST) return -1;
    return semget(key, 1, IPC_CREAT | 0777);
}

int SemOp(int semid, short op) {
    struct sembuf sb;
    sb.sem_num = 0;
    sb.sem_op = op;
    sb.sem_flg = SEM_UNDO;
    int rc;
    do {
        rc = semop(semid, &sb, 1);
    } while (rc != 0 && errno == EINTR);
    return rc;
}

// Takes the lock, waiting at most waitMs in all (signals included): -1 with
// errno EAGAIN once the time is up.
int SemTake(int semid, int waitMs) {
    struct sembuf sb;
    sb.sem_num = 0;
    sb.sem_op = -1;
    sb.sem_flg = SEM_UNDO;
    const int64_t deadline = MkrxMonoTimeNs() + (int64_t)waitMs * 1000000;
    for (;;) {
        int64_t left = deadline - MkrxMonoTimeNs();
        if (left < 0) left = 0;
        struct timespec ts;
        ts.tv_sec = left / 1000000000;
        ts.tv_nsec = left % 1000000000;
        if (semtimedop(semid, &sb, 1, &ts) == 0) return 0;
        if (errno != EINTR || left == 0) return -1;
    }
}

}  // namespace

int ShareMemId() { return g_nShmId; }

bool IsShareMemExist(int key) {
    int id = shmget(key, 0, 0);
    if (id < 0) return false;
    g_nShmId = id;
    GT_LOGI(GT_TAG_FPGA, "Share memory shmid:%d.", id);
    return true;
}

// The kernel's record of the segment of key; false if there is none.
static bool StatShareMem(int key, struct shmid_ds& ds) {
    int id = shmget(key, 0, 0);
    return id >= 0 && shmctl(id, IPC_STAT, &ds) == 0;
}

int GetAttachMMNum(int key) {
    struct shmid_ds ds;
    return StatShareMem(key, ds) ? (int)ds.shm_nattch : 0;
}

uint64_t GetShareMemSize(int key) {
    struct shmid_ds ds;
    return StatShareMem(key, ds) ? ds.shm_segsz : 0;
}

void* GetShareMemBase() {
    if (g_pShmBase != nullptr) return g_pShmBase;
    int id = shmget(MKRX_SHM_KEY, 0, 0);
    if (id < 0) {
        printf("shmem get fail, errmsg:%s \n", strerror(errno));
        return nullptr;
    }
    void* p = shmat(id, nullptr, 0);
    if (p == (void*)-1) {
        printf("shmat fail,\terrmsg:%s \n", strerror(errno));
        return nullptr;
    }
    g_nShmId = id;
    g_pShmBase = p;
    return p;
}

void* AttachedShareMem() { return g_pShmBase; }

void* AllocShareMem(uint64_t poolBytes) {
    uint64_t total = poolBytes + MKRX_SHM_EXTRA_SIZE;
    int id = shmget(MKRX_SHM_KEY, total, IPC_CREAT | 0777);
    if (id < 0) {
        GT_LOGE(GT_TAG_FPGA, "shmem get fail, size:%u, errmsg:%s.", (unsigned)total, strerror(errno));
        return nullptr;
    }
    void* p = shmat(id, nullptr, 0);
    if (p == (void*)-1) {
        GT_LOGE(GT_TAG_FPGA, "shmat fail,\terrmsg:%s \n", strerror(errno));
        return nullptr;
    }
    memset(p, 0, total);
    g_nShmId = id;
    g_pShmBase = p;
    return p;
}

void freeShareMem() {
    if (g_pShmBase == nullptr) return;
    if (shmdt(g_pShmBase) != 0)
        GT_LOGI(GT_TAG_FPGA, "Deattach memory fail, errno:%d, %s", errno, strerror(errno));
    if (shmctl(g_nShmId, IPC_RMID, nullptr) != 0)
        GT_LOGI(GT_TAG_FPGA, "free share memory fail, errno:%d, %s", errno, strerror(errno));
    else
        GT_LOGI(GT_TAG_FPGA, "Share memory is freed success");
    g_pShmBase = nullptr;
}

void DetachShareMem() {
    if (g_pShmBase == nullptr) return;
    if (shmdt(g_pShmBase) != 0)
        GT_LOGI(GT_TAG_FPGA, "Deattach memory fail, errno:%d, %s", errno, strerror(errno));
    g_pShmBase = nullptr;
}

int GetSemByKey(int key, int& semid, bool create, int waitMs) {
    int id = create ? OpenSem(key) : semget(key, 1, 0);
    if (id < 0) {
        GT_LOGE(GT_TAG_FPGA, "sem get fail, key:%d, msg:%s", key, strerror(errno));
        return -1;
    }
    if (SemTake(id, waitMs) != 0) {
        GT_LOGE(GT_TAG_FPGA, "semaphore_p failed, key:%d,msg:%s", key, strerror(errno));
        return -1;
    }
    semid = id;
    return 0;
}

int ReleaseSem(int semid) {
    if (SemOp(semid, 1) != 0) {
        GT_LOGE(GT_TAG_FPGA, "semaphore_v failed ");
        return -1;
    }
    return 0;
}

int InitShmmSemByKey(int key) {
    int id = OpenSem(key);
    if (id < 0) {
        GT_LOGE(GT_TAG_FPGA, "sem get fail, key:%d, msg:%s", key, strerror(errno));
        return id;
    }
    union semun arg;
    arg.val = 1;
    int rc = semctl(id, 0, SETVAL, arg);
    if (rc != 0) GT_LOGE(GT_TAG_FPGA, "Init sem value fail, key:%d, msg:%s", key, strerror(errno));
    return rc;
}

int InitShmmSemByOldVal(int key) {
    int id = OpenSem(key);
    if (id < 0) {
        GT_LOGE(GT_TAG_FPGA, "sem get fail, key:%d, msg:%s", key, strerror(errno));
        return id;
    }
    int old = semctl(id, 0, GETVAL);
    if (old < 0) {
        GT_LOGE(GT_TAG_FPGA, "Get old sem val fail, key:%d, msg:%s", key, strerror(errno));
        return old;
    }
    // Setting the value, even to itself, clears every process's undo record.
    union semun arg;
    arg.val = old;
    int rc = semctl(id, 0, SETVAL, arg);
    if (rc != 0) GT_LOGE(GT_TAG_FPGA, "Init sem value fail, key:%d, msg:%s", key, strerror(errno));
    return rc;
}

int DelShmmSemByKey(int key) {
    int id = semget(key, 1, IPC_CREAT | 0777);
    if (id < 0) {
        GT_LOGE(GT_TAG_FPGA, "sem get fail,  key:%d, msg:%s", key, strerror(errno));
        return -1;
    }
    if (semctl(id, 0, IPC_RMID) != 0 && errno != EPERM)
        GT_LOGE(GT_TAG_FPGA, "Failed to delete semaphore, key:%d, msg:%s", key, strerror(errno));
    return 0;
}
