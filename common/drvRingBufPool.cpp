#include "drvRingBufPool.h"

#include <sched.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common.h"
#include "gt_logger.h"
#include "mkrxCopy.h"

using mkrx::LoadAcquire;
using mkrx::LoadRelaxed;
using mkrx::StoreRelaxed;
using mkrx::StoreRelease;

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

bool IsPowerOfTwo(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

// The private ring's descriptor rounded up to whole cache lines.
constexpr size_t kDescBytes = (sizeof(ringbuffer) + 63) / 64 * 64;

}  // namespace

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

// ---------------------------------------------------------------------------
// Pool set-up
// ---------------------------------------------------------------------------

CDrvRingBufPool::CDrvRingBufPool() = default;

CDrvRingBufPool::~CDrvRingBufPool() {
    if (m_eChanMode == MKRX_MULTI_SDK_PRODUCE_MODE) {
        if (m_pMangMem != nullptr) {
            DelShmmSemByKey(MKRX_SEM_SLOT_KEY);
            DelShmmSemByKey(MKRX_SEM_EVENT_KEY);
            freeShareMem();
        }
    } else {
        if (m_pSingleRingBuf != nullptr) {
            munmap(m_pSingleRingBuf->p.buffer, m_ulPoolSize + MKRX_TAIL_AREA_SIZE);
            free(m_pSingleRingBuf);
        }
        free(m_pDmaInfoStat);
    }
    if (m_nFdDbug > 0) close(m_nFdDbug);
}

int CDrvRingBufPool::Init(void* param) {
    const _DMaInitParam_t* lpParam = static_cast<const _DMaInitParam_t*>(param);
    if (lpParam == nullptr) return -1;
    uint32_t uiMiB = lpParam->uiPoolSize;
    if (uiMiB == 0 || uiMiB > 4095 || !IsPowerOfTwo(uiMiB)) {
        GT_LOGE(GT_TAG_FPGA, "Pool size %u exceed max num or is not power of 2 ", uiMiB);
        return -1;
    }
    GT_LOGI(GT_TAG_FPGA, "DMA poll use size %u M. Data type:%d.", uiMiB, (int)lpParam->eDataType);
    int head = MkrxHeadSize(lpParam->eDataType);
    if (head < 0) {
        GT_LOGE(GT_TAG_FPGA, "Unsupport data type, %d", (int)lpParam->eDataType);
        return -1;
    }
    m_ulPoolSize = (uint64_t)uiMiB << 20;
    m_eDataTpye = lpParam->eDataType;
    m_eChanMode = lpParam->eRunMode;
    m_uiCopyDataHeadSize = (uint32_t)head;

    if (m_eChanMode != MKRX_MULTI_SDK_PRODUCE_MODE) {
        // The ring is mapped rather than allocated so that a large ring costs
        // nothing until it is written.
        void* buf = mmap(nullptr, m_ulPoolSize + MKRX_TAIL_AREA_SIZE, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        // The descriptor and the counters each get whole cache lines: the
        // reader writes c.out and the copy thread the counters, per record.
        void* desc = nullptr;
        if (buf == MAP_FAILED || posix_memalign(&desc, 64, kDescBytes) != 0) {
            if (buf != MAP_FAILED) munmap(buf, m_ulPoolSize + MKRX_TAIL_AREA_SIZE);
            GT_LOGE(GT_TAG_FPGA, "DMA ring buf fail, please check.");
            return -1;
        }
        ringbuffer* rb = static_cast<ringbuffer*>(desc);
        memset(rb, 0, kDescBytes);
        rb->p.buffer = rb->c.buffer = static_cast<uint8_t*>(buf);
        rb->p.size = rb->c.size = (uint32_t)m_ulPoolSize;
        m_pSingleRingBuf = rb;
        m_pRingData = rb->p.buffer;
        void* stat = nullptr;
        if (posix_memalign(&stat, 64, sizeof(DmaInfoStat_t)) == 0) {
            memset(stat, 0, sizeof(DmaInfoStat_t));
            m_pDmaInfoStat = static_cast<DmaInfoStat_t*>(stat);
        }
        if (m_pDmaInfoStat == nullptr) {
            GT_LOGE(GT_TAG_FPGA, "DMA state info fail. maybe lack of memory.");
            return -1;
        }
        return 0;
    }

    bool bOld = false;
    void* base = nullptr;
    if (IsShareMemExist(MKRX_SHM_KEY)) {
        if (!IsCurUserRoot()) {
            GT_LOGE(GT_TAG_FPGA,
                    "----- \n---------------------------------------------------------------------- "
                    "\nAttention! There exist legacy resources not properly released, you must change "
                    "identity! Use root restart again ! "
                    "\n-----------------------------------------------------------------------\n");
            return -1;
        }
        if (GetAttachMMNum(MKRX_SHM_KEY) == 0) {
            shmctl(g_nShmId, IPC_RMID, nullptr);
        } else {
            // Consumers are attached: carry on in their segment, which must be
            // the size of this ring (the header's ring size is written below).
            uint64_t have = GetShareMemSize(MKRX_SHM_KEY);
            if (have != m_ulPoolSize + MKRX_SHM_EXTRA_SIZE) {
                GT_LOGE(GT_TAG_FPGA, "Share memory size %" PRIu64 " doesn't match pool size %u M.", have, uiMiB);
                return -1;
            }
            base = GetShareMemBase();
            if (base == nullptr) {
                GT_LOGE(GT_TAG_FPGA,
                        "Use old share memory fail!, please use linux cmd \"ipcrm  -m %d\" delete it and try again.",
                        g_nShmId);
                return -1;
            }
            bOld = true;
        }
    }
    if (base == nullptr) {
        base = AllocShareMem(m_ulPoolSize);
        if (base == nullptr) {
            GT_LOGE(GT_TAG_FPGA, "Alloc share memory fail.");
            return -1;
        }
    }
    m_bOldStart = bOld;
    return MkrxProdInfoInit(static_cast<MkrxShareMemInfo_t*>(base));
}

int CDrvRingBufPool::MkrxProdInfoInit(MkrxShareMemInfo_t* h) {
    m_pMangMem = h;
    m_pFirstRingBuf = &h->bufInf;
    m_psdkCInfHead = h->SdkCoutInf;
    m_puiSdkRunNum = &h->uiRunSdkNum;
    m_pDmaInfoStat = &h->DmaStatInfo;
    m_pRingData = reinterpret_cast<uint8_t*>(h) + MKRX_SHM_HEAD_SIZE;
    h->bufInf.buffer = m_pRingData;
    h->bufInf.uiSize = (uint32_t)m_ulPoolSize;
    // An old segment keeps its position, so attached consumers continue.
    m_multi_pin = LoadAcquire(&h->bufInf.ullIn);
    // Attached consumers may be anywhere behind: the first record rescans.
    m_ullSlowCache = m_multi_pin - m_ulPoolSize;
    StoreRelaxed(&h->eDataType, (int32_t)m_eDataTpye);

    if (m_bOldStart) {
        if (InitShmmSemByOldVal(MKRX_SEM_SLOT_KEY) != 0) {
            GT_LOGE(GT_TAG_FPGA, "Init old sem val fail 1");
            return -1;
        }
        if (InitShmmSemByOldVal(MKRX_SEM_EVENT_KEY) != 0) {
            GT_LOGE(GT_TAG_FPGA, "Init old sem val fail 2");
            return -1;
        }
        StoreRelaxed(&h->stServUsInf.serverPid, (int32_t)getpid());
        GT_LOGI(GT_TAG_FPGA, "Use old share memory! serverpid:%d, uid:%d, username:%s, runsdknum:%u.",
                h->stServUsInf.serverPid, (int)h->stServUsInf.server_uid,
                std::string(h->stServUsInf.szServName, strnlen(h->stServUsInf.szServName, 32)).c_str(),
                LoadRelaxed(&h->uiRunSdkNum));
        return 0;
    }
    if (InitShmmSemByKey(MKRX_SEM_SLOT_KEY) != 0) {
        GT_LOGE(GT_TAG_FPGA, "Init sem val fail 1");
        return -1;
    }
    if (InitShmmSemByKey(MKRX_SEM_EVENT_KEY) != 0) {
        GT_LOGE(GT_TAG_FPGA, "Init sem val fail 2");
        return -1;
    }
    std::string user = GetCurUserName();
    if (user.empty()) {
        GT_LOGE(GT_TAG_FPGA, "Get user name fail, errmsg:%s", strerror(errno));
        return -1;
    }
    h->stServUsInf.serverPid = (int32_t)getpid();
    h->stServUsInf.server_uid = (uint32_t)getuid();
    // At most 32 bytes; a name of 32 or more has no terminator in the segment.
    memset(h->stServUsInf.szServName, 0, sizeof(h->stServUsInf.szServName));
    memcpy(h->stServUsInf.szServName, user.data(), std::min(user.size(), sizeof(h->stServUsInf.szServName)));
    GT_LOGI(GT_TAG_FPGA, "Use brand new share memory! serverpid:%d, uid:%d, username:%s, runsdknum:%u.",
            h->stServUsInf.serverPid, (int)h->stServUsInf.server_uid, user.c_str(), LoadRelaxed(&h->uiRunSdkNum));
    return 0;
}

int CDrvRingBufPool::PollData(uint32_t) {
    GT_LOGI(GT_TAG_FPGA, "Poll return no data, You can directly use pool in Ringbuf mode");
    return 0;
}

// ---------------------------------------------------------------------------
// The copy of one record: the producer's hot path
//
// Framing and ring form never change after Init, so the first record picks
// one path for them (CopyFirst) and every later one goes straight there: a
// path is the framing's header written with constants, the payload copied
// inline below 64 bytes, one release store of the position and two counter
// stores. Everything that is not the common case (ring full, expelling a
// consumer, a record that would run past the tail area) is out of line.
// ---------------------------------------------------------------------------

// Copy2Pool (in the header) calls m_pfnCopy, one of these.
template <int T, bool Shared>
void CDrvRingBufPool::CopyOne(CDrvRingBufPool* self, const uint8_t* data, uint32_t length) {
    if (__builtin_expect(length > MKRX_MAX_RECORD_LEN, 0)) {
        self->RefuseTooBig(length);
        return;
    }
    if (Shared)
        self->CopyShared<T>(data, length);
    else
        self->CopyPrivate<T>(data, length);
}

void CDrvRingBufPool::RefuseTooBig(uint32_t length) {
    GT_LOGE(GT_TAG_FPGA, "Error! too big size,size:%u.please check.\n", length);
}

void CDrvRingBufPool::CopyFirst(CDrvRingBufPool* self, const uint8_t* data, uint32_t length) {
    // The counters continue from the block: an old segment keeps them.
    DmaInfoStat_t* st = self->m_pDmaInfoStat;
    self->m_ullCpyNum = LoadRelaxed(&st->ulCpyPktNum);
    self->m_ullCpyByte = LoadRelaxed(&st->ulCpyPktByte);
    self->m_ullDisNum = LoadRelaxed(&st->ulSoftDisPktNum);
    self->m_ullDisByte = LoadRelaxed(&st->ulSoftDisByte);
    const bool shared = self->m_eChanMode == MKRX_MULTI_SDK_PRODUCE_MODE;
    switch (self->m_eDataTpye) {
        case MKRX_RAW_FPGA_DATA:
            self->m_pfnCopy = shared ? &CopyOne<MKRX_RAW_FPGA_DATA, true> : &CopyOne<MKRX_RAW_FPGA_DATA, false>;
            break;
        case MKRX_RAW_FPGA_WITH_LEN_HDR:
            self->m_pfnCopy =
                shared ? &CopyOne<MKRX_RAW_FPGA_WITH_LEN_HDR, true> : &CopyOne<MKRX_RAW_FPGA_WITH_LEN_HDR, false>;
            break;
        case MKRX_RAW_FPGA_WITH_HDR_DATA:
            self->m_pfnCopy =
                shared ? &CopyOne<MKRX_RAW_FPGA_WITH_HDR_DATA, true> : &CopyOne<MKRX_RAW_FPGA_WITH_HDR_DATA, false>;
            break;
        case MKRX_PCAP_DATA:
            self->m_pfnCopy = shared ? &CopyOne<MKRX_PCAP_DATA, true> : &CopyOne<MKRX_PCAP_DATA, false>;
            break;
        default:
            // Init refuses other types; such a record would only be counted.
            self->m_pfnCopy = &CountOnly;
            break;
    }
    self->m_pfnCopy(self, data, length);
}

void CDrvRingBufPool::CountOnly(CDrvRingBufPool* self, const uint8_t*, uint32_t length) {
    if (length > MKRX_MAX_RECORD_LEN) {
        self->RefuseTooBig(length);
        return;
    }
    self->CountCopied<MKRX_ERROR_DATA>(length);
}

// The counters are the copy thread's own; the block gets plain stores of
// them, relaxed, so that readers on other threads or processes see whole
// values, and the copy thread never reads its shared line back.
template <int T>
inline void CDrvRingBufPool::CountCopied(uint32_t length) {
    StoreRelaxed(&m_pDmaInfoStat->ulCpyPktNum, ++m_ullCpyNum);
    m_ullCpyByte += (uint64_t)length + (T == MKRX_PCAP_DATA ? sizeof(MkrxPcapHdr_t) : 0);
    StoreRelaxed(&m_pDmaInfoStat->ulCpyPktByte, m_ullCpyByte);
}

void CDrvRingBufPool::CountDropped(uint32_t length) {
    StoreRelaxed(&m_pDmaInfoStat->ulSoftDisPktNum, ++m_ullDisNum);
    m_ullDisByte += length;
    StoreRelaxed(&m_pDmaInfoStat->ulSoftDisByte, m_ullDisByte);
}

void CDrvRingBufPool::RefuseTailOverflow(uint32_t length, uint32_t need) {
    // A record of nearly 8192 payload bytes plus its header, starting in the
    // last bytes of the ring, would run past the tail area: it is dropped and
    // counted, never written beyond the ring's memory.
    if (!m_bTailRefused) {
        m_bTailRefused = true;
        GT_LOGE(GT_TAG_FPGA, "Record of %u bytes (%u with header) crosses the tail area, dropped.", length, need);
    }
    CountDropped(length);
}

// Header of the data type, then the payload, contiguously at dst.
template <int T>
inline void CDrvRingBufPool::WriteRecord(uint8_t* dst, const uint8_t* data, uint32_t length) {
    if (T == MKRX_RAW_FPGA_WITH_LEN_HDR) {
        memcpy(dst, &length, 4);
    } else if (T == MKRX_RAW_FPGA_WITH_HDR_DATA) {
        MkrxPktInfo_t h{MkrxGetTimeTamp(), length, 0, nullptr};
        memcpy(dst, &h, sizeof(h));
    } else if (T == MKRX_PCAP_DATA) {
        uint64_t us = (uint64_t)clock();  // processor time, CLOCKS_PER_SEC is 1000000
        MkrxPcapHdr_t h{(uint32_t)(us / 1000000), (uint32_t)(us % 1000000), length, length};
        memcpy(dst, &h, sizeof(h));
    }
    dst += MkrxHeadSize(T);
    // Below 64 bytes the size-classed moves inline; above, the C library.
    if (length < mkrx::MKRX_COPY_LIB_FROM)
        mkrx::CopyVec(dst, data, length);
    else
        memcpy(dst, data, length);
}

// Private ring full by the cached reader position: reload it (acquire: the
// reader is done with the bytes below out). False, the record counted as
// dropped, if it still does not fit.
bool CDrvRingBufPool::PrivateRoom(uint32_t length, uint32_t need) {
    m_uiOutCache = LoadAcquire(&m_pSingleRingBuf->c.out);
    if (need > (uint32_t)m_ulPoolSize - (m_uiInPriv - m_uiOutCache)) {
        CountDropped(length);
        return false;
    }
    return true;
}

template <int T>
void CDrvRingBufPool::CopyPrivate(const uint8_t* data, uint32_t length) {
    const uint32_t need = (uint32_t)MkrxHeadSize(T) + length;
    // Size and position come from this thread's own copies: the descriptor's
    // line is polled by the reader, and the copy thread only ever stores to it.
    const uint32_t size = (uint32_t)m_ulPoolSize;
    const uint32_t in = m_uiInPriv;
    // Free space from the cached reader position, a safe lower bound: the
    // reader only moves forward. Unsigned arithmetic: a ring of 2 GiB is
    // empty at in - out = 0.
    if (__builtin_expect(need > size - (in - m_uiOutCache), 0) && !PrivateRoom(length, need)) return;
    const uint32_t offset = in & (size - 1);
    const uint32_t toEnd = size - offset;
    if (__builtin_expect(need > toEnd + MKRX_TAIL_AREA_SIZE, 0)) {
        RefuseTailOverflow(length, need);
        return;
    }
    WriteRecord<T>(m_pRingData + offset, data, length);
    uint32_t step = need;
    if (__builtin_expect(need >= toEnd, 0)) {
        // The record reaches the ring end: in counts up to the end only; the
        // reader takes the rest from the tail area. The tail length is stored
        // before the release of in, so a reader that sees in sees it too.
        m_uiExtraTailUse.store(need - toEnd, std::memory_order_relaxed);
        step = toEnd;
    }
    m_uiInPriv = in + step;
    // Release: the record's bytes are visible before the new position.
    StoreRelease(&m_pSingleRingBuf->p.in, m_uiInPriv);
    CountCopied<T>(length);
}

uint32_t CDrvRingBufPool::SlowestCout(uint64_t& slowest) const {
    uint32_t seen = 0;
    uint64_t maxLag = 0;
    for (uint32_t i = 0; i < MKRX_MAX_SDK_NUM; ++i) {
        const MkrxSdkCoutInfo_t& s = m_psdkCInfHead[i];
        if (!LoadAcquire(&s.bValidTag)) continue;
        ++seen;
        // Acquire: the consumer has finished with the bytes below its position.
        uint64_t lag = Lag(LoadAcquire(&s.uiCout));
        if (lag > maxLag) maxLag = lag;
    }
    // Modulo 2^64, like every position: m_multi_pin - slowest is the lag.
    slowest = m_multi_pin - maxLag;
    return seen;
}

void CDrvRingBufPool::KickSlowest() {
    // Bounded: a lock that another process holds, or has set to 0, must not
    // stop the copy thread; the expulsion then goes on without it.
    int semid = -1;
    bool locked = GetSemByKey(MKRX_SEM_SLOT_KEY, semid, true, MKRX_SEM_KICK_WAIT_MS) == 0;
    if (!locked) GT_LOGI(GT_TAG_FPGA, "Rm slow cout:Get sem key fail, however still next operate.");
    MkrxSdkCoutInfo_t* victim = nullptr;
    uint64_t victimLag = 0;
    for (uint32_t i = 0; i < MKRX_MAX_SDK_NUM; ++i) {
        MkrxSdkCoutInfo_t& s = m_psdkCInfHead[i];
        if (!LoadRelaxed(&s.bValidTag)) continue;
        uint64_t lag = Lag(LoadRelaxed(&s.uiCout));
        if (victim == nullptr || lag > victimLag) {
            victim = &s;
            victimLag = lag;
        }
    }
    if (victim != nullptr) StoreRelease(&victim->bValidTag, (uint8_t)0);
    uint32_t left = MkrxCountValidSlots(m_pMangMem);
    StoreRelaxed(m_puiSdkRunNum, left);
    if (victim != nullptr)
        GT_LOGI(GT_TAG_FPGA, "we kick out pid:%u for it's too slow! curIn:%lu, its cout:%lu. left sdk num:%u.",
                (unsigned)LoadRelaxed(&victim->sdkPid), (unsigned long)m_multi_pin,
                (unsigned long)LoadRelaxed(&victim->uiCout), left);
    if (locked) ReleaseSem(semid);
}

// Shared ring short of room by the cached slowest position: rescan the
// consumers, expel the slowest while more than one is left and the record
// still does not fit. False, the record counted as dropped, if it cannot be
// placed.
bool CDrvRingBufPool::SharedRoom(uint32_t run, uint32_t length, uint32_t need) {
    const uint64_t size = m_ulPoolSize;
    for (;;) {
        uint64_t slowest;
        uint64_t free = size;
        if (uint32_t seen = SlowestCout(slowest)) {
            // The consumers seen, not what the count says (it may read
            // more than 8): the last one is never expelled.
            run = seen;
            m_ullSlowCache = slowest;
            uint64_t used = m_multi_pin - slowest;
            free = used < size ? size - used : 0;
        } else {
            // Attached consumers may be anywhere behind: the next record rescans.
            m_ullSlowCache = m_multi_pin - size;
        }
        if (need <= free) return true;
        if (run < 2) {
            // A single consumer is never expelled: drop until it catches up.
            CountDropped(length);
            return false;
        }
        KickSlowest();
        run = LoadRelaxed(m_puiSdkRunNum);
        if (run == 0) {
            CountDropped(length);
            return false;
        }
    }
}

template <int T>
void CDrvRingBufPool::CopyShared(const uint8_t* data, uint32_t length) {
    const uint32_t need = (uint32_t)MkrxHeadSize(T) + length;
    // The consumer count's line changes only when a consumer comes or goes.
    uint32_t run = LoadRelaxed(m_puiSdkRunNum);
    if (__builtin_expect(run == 0, 0)) {
        CountDropped(length);
        return;
    }
    const uint64_t size = m_ulPoolSize;
    // Free space from the cached slowest position (see mkrxDef.h): consumers
    // only move forward and a newcomer starts at the current write position,
    // so the cache never overstates the room. Rescan only when it is short.
    if (__builtin_expect(need > size - (m_multi_pin - m_ullSlowCache), 0) && !SharedRoom(run, length, need)) return;
    const uint32_t offset = (uint32_t)m_multi_pin & (uint32_t)(size - 1);
    const uint32_t toEnd = (uint32_t)size - offset;
    if (__builtin_expect(need > toEnd + MKRX_TAIL_AREA_SIZE, 0)) {
        RefuseTailOverflow(length, need);
        return;
    }
    WriteRecord<T>(m_pRingData + offset, data, length);
    // ullIn counts the whole record, the bytes in the tail area included, so
    // the next record starts uiTailLen bytes into the ring.
    m_multi_pin += need;
    if (__builtin_expect(need >= toEnd, 0)) StoreRelaxed(&m_pMangMem->uiTailLen, need - toEnd);
    // Release: bytes and tail length are visible before the new position.
    StoreRelease(&m_pFirstRingBuf->ullIn, m_multi_pin);
    CountCopied<T>(length);
}

// ---------------------------------------------------------------------------
// Consumer side
// ---------------------------------------------------------------------------

uint32_t MkrxCountValidSlots(const MkrxShareMemInfo_t* h) {
    uint32_t n = 0;
    for (const MkrxSdkCoutInfo_t& s : h->SdkCoutInf) n += LoadRelaxed(&s.bValidTag) != 0;
    return n;
}

bool CMkrxPoolConsumer::SlotMine() const {
    return LoadAcquire(&m_pSlot->bValidTag) == 1 && LoadRelaxed(&m_pSlot->sdkPid) == m_nPid &&
           LoadRelaxed(&m_pSlot->uiCout) == m_ullPos;
}

bool CMkrxPoolConsumer::Owned() const { return m_pSlot != nullptr && !m_bKicked && SlotMine(); }

int CMkrxPoolConsumer::Attach(void* lpBase) {
    MkrxShareMemInfo_t* h = static_cast<MkrxShareMemInfo_t*>(lpBase);
    // The kernel's size of the segment is the one thing no other process can
    // change: the ring is exactly what it leaves beside header and tail area.
    uint32_t size = LoadRelaxed(&h->bufInf.uiSize);
    uint64_t segsz = GetShareMemSize(MKRX_SHM_KEY);
    if (!IsPowerOfTwo(size) || (uint64_t)size + MKRX_SHM_EXTRA_SIZE != segsz) {
        GT_LOGE(GT_TAG_FPGA, "Share memory ring size %u doesn't fit the segment of %" PRIu64 " bytes.", size, segsz);
        return _EVENT_SDK_OTH_FAIL;
    }
    int semid = -1;
    if (GetSemByKey(MKRX_SEM_SLOT_KEY, semid) != 0) return _EVENT_SDK_SEM_KEY_FAIL;

    // The count is mended from the slot table before the header is judged.
    const uint32_t before = MkrxCountValidSlots(h);
    StoreRelaxed(&h->uiRunSdkNum, before);
    if (const char* why = MkrxHeadFault(h, segsz)) {
        ReleaseSem(semid);
        GT_LOGE(GT_TAG_FPGA,
                "Share memory header is corrupted: %s (uiSize:%u, uiTailLen:%u, ullWrIdx:%" PRIu64
                ", eDataType:%d), can't access in.",
                why, size, LoadRelaxed(&h->uiTailLen), LoadRelaxed(&h->stSdkEveInf.ullWrIdx),
                (int)LoadRelaxed(&h->eDataType));
        return _EVENT_SDK_OTH_FAIL;
    }
    int nattch = GetAttachMMNum(MKRX_SHM_KEY);
    MkrxSdkCoutInfo_t* slot = nullptr;
    if (nattch > (int)MKRX_MAX_SDK_NUM + 1) {
        GT_LOGI(GT_TAG_FPGA, "Current has %d alive sdk, we can't let you access in!", (int)MKRX_MAX_SDK_NUM);
    } else {
        for (uint32_t i = 0; i < MKRX_MAX_SDK_NUM && slot == nullptr; ++i)
            if (LoadRelaxed(&h->SdkCoutInf[i].bValidTag) == 0) slot = &h->SdkCoutInf[i];
        if (slot == nullptr) {
            // All valid: take the one with the oldest sign of life.
            slot = &h->SdkCoutInf[0];
            for (uint32_t i = 1; i < MKRX_MAX_SDK_NUM; ++i)
                if (LoadRelaxed(&h->SdkCoutInf[i].iRecAccTime) < LoadRelaxed(&slot->iRecAccTime))
                    slot = &h->SdkCoutInf[i];
            StoreRelease(&slot->bValidTag, (uint8_t)0);
            GT_LOGE(GT_TAG_FPGA, "!!!Attention! Pid %u is too old to fetch data, we kick it out!",
                    (unsigned)LoadRelaxed(&slot->sdkPid));
        }
    }
    if (slot == nullptr) {
        ReleaseSem(semid);
        GT_LOGE(GT_TAG_FPGA, "Access in fail.");
        return _EVENT_SDK_FULL_EXIT;
    }
    m_nPid = (int)getpid();
    m_ullPos = LoadAcquire(&h->bufInf.ullIn);
    StoreRelaxed(&slot->sdkPid, (int32_t)m_nPid);
    StoreRelease(&slot->uiCout, m_ullPos);
    StoreRelaxed(&slot->iRecAccTime, MkrxMonoTimeNs());
    // Release: the slot's fields are in place before it is seen valid.
    StoreRelease(&slot->bValidTag, (uint8_t)1);
    if (before + 1 > MKRX_MAX_SDK_NUM)
        GT_LOGI(GT_TAG_FPGA, "Mem attach num(include server and self) is %u, software is:%u. ", (unsigned)nattch,
                MKRX_MAX_SDK_NUM);
    StoreRelaxed(&h->uiRunSdkNum, MkrxCountValidSlots(h));
    m_nType = LoadRelaxed(&h->eDataType);
    ReleaseSem(semid);

    m_pHead = h;
    m_pSlot = slot;
    m_nShmId = shmget(MKRX_SHM_KEY, 0, 0);
    m_llNextCheckNs = MkrxMonoTimeNs() + kProducerCheckNs;
    m_pData = reinterpret_cast<const uint8_t*>(h) + MKRX_SHM_HEAD_SIZE;
    m_uiSize = size;
    m_ullCallTime = 0;
    m_uiOffered = 0;
    m_bKicked = false;
    m_bCorrupt = false;
    return 0;
}

int CMkrxPoolConsumer::Read(MkrxCurPoolUsge_t* usage) {
    if (!Owned()) return Stopped(usage);
    ++m_ullCallTime;
    // Acquire: the bytes and uiTailLen below ullIn are in place.
    uint64_t in = LoadAcquire(&m_pHead->bufInf.ullIn);
    // Never behind the own position and at most a ring ahead of it; in 64
    // bits, so that a position 4 GiB ahead is not taken for a small one.
    uint64_t pending64;
    if (__builtin_expect(!MkrxPendingSane(in, m_ullPos, m_uiSize, &pending64), 0))
        return Fault(usage, "ullIn", in, "is not within a ring ahead of this consumer");
    const uint32_t pending = (uint32_t)pending64;
    const uint32_t offset = (uint32_t)m_ullPos & (m_uiSize - 1);
    const uint32_t toEnd = m_uiSize - offset;
    if (pending == 0 && ProducerRemovedPool()) {
        m_bKicked = true;
        usage->uiAvailDataLen = 0;
        usage->pucbuf = nullptr;
        return -1;
    }
    uint32_t avail = pending;
    if (toEnd <= pending) {
        // The record that crosses the ring end is read whole from the tail
        // area. It is published, so its bytes past the end are counted in
        // pending too; its tail fits the tail area.
        uint32_t tail = LoadRelaxed(&m_pHead->uiTailLen);
        if (__builtin_expect(tail > MKRX_TAIL_AREA_SIZE || toEnd + tail > pending, 0))
            return Fault(usage, "uiTailLen", tail, "runs past the tail area or the published bytes");
        avail = toEnd + tail;
    }
    if ((m_ullCallTime & 0x3ff) == 0) {
        StoreRelaxed(&m_pSlot->iRecAccTime, MkrxMonoTimeNs());
        // The framing the client reads by; a segment marked 4 at Attach takes
        // its type from the first consumer.
        int32_t type = LoadRelaxed(&m_pHead->eDataType);
        if (type != m_nType && (m_nType != MKRX_ERROR_DATA || MkrxHeadSize(type) < 0))
            return Fault(usage, "eDataType", (uint64_t)(uint32_t)type, "is not the data type attached with");
    }
    usage->uiAvailDataLen = avail;
    usage->pucbuf = m_pData + offset;
    m_uiOffered = avail;
    return 0;
}

int CMkrxPoolConsumer::Stopped(MkrxCurPoolUsge_t* usage) {
    // Valid under this pid but with a position ahead of the write position:
    // no newcomer stores that (it starts at ullIn), another process wrote it.
    if (m_pSlot != nullptr && !m_bKicked && LoadAcquire(&m_pSlot->bValidTag) == 1 &&
        LoadRelaxed(&m_pSlot->sdkPid) == m_nPid) {
        uint64_t cout = LoadRelaxed(&m_pSlot->uiCout);
        if (cout > LoadAcquire(&m_pHead->bufInf.ullIn))
            Report("uiCout", cout, "of this consumer's slot is ahead of the write position");
    }
    m_bKicked = m_pSlot != nullptr;
    usage->uiAvailDataLen = 0;
    usage->pucbuf = nullptr;
    return -1;
}

int CMkrxPoolConsumer::Fault(MkrxCurPoolUsge_t* usage, const char* field, uint64_t value, const char* why) {
    // An expelled consumer's position is overrun by design: only a consumer
    // that still holds its slot sees a corrupted header.
    if (Owned()) Report(field, value, why);
    return Stopped(usage);
}

void CMkrxPoolConsumer::Report(const char* field, uint64_t value, const char* why) {
    m_bKicked = true;
    if (m_bCorrupt) return;
    m_bCorrupt = true;
    GT_LOGE(GT_TAG_FPGA,
            "Share memory is corrupted! %s:%" PRIu64 " %s (own position:%" PRIu64 ", ring size:%u), stop reading.",
            field, value, why, m_ullPos, m_uiSize);
}

// A producer that stops in order removes the segment (it is marked for
// destruction while consumers still map it); one that crashed leaves it for
// the next producer, which continues from the same position. Only the first
// means no more records: checked on every 256th read when it finds nothing,
// at most every kProducerCheckNs.
bool CMkrxPoolConsumer::ProducerRemovedPool() {
    if ((m_ullCallTime & 0xff) != 0) return false;
    int64_t now = MkrxMonoTimeNs();
    if (now < m_llNextCheckNs) return false;
    m_llNextCheckNs = now + kProducerCheckNs;
    struct shmid_ds ds;
    if (m_nShmId < 0 || shmctl(m_nShmId, IPC_STAT, &ds) != 0) return false;
    if ((ds.shm_perm.mode & SHM_DEST) == 0) return false;
    GT_LOGI(GT_TAG_FPGA, "The producer removed the pool: no more records.");
    return true;
}

void CMkrxPoolConsumer::Consume(uint32_t bytes) {
    // The Read that made the offer has found the slot ours; the swap below
    // finds out whether it still is.
    if (m_pSlot == nullptr || m_bKicked) return;
    if (__builtin_expect(bytes > m_uiOffered, 0)) {
        // Past the offer the position would lie ahead of the records, or
        // ahead of ullIn: cut to what was offered.
        if (!m_bOverConsumed) {
            m_bOverConsumed = true;
            GT_LOGE(GT_TAG_FPGA, "Fetch size %u exceeds the %u bytes offered by the last read, only these consumed.",
                    bytes, m_uiOffered);
        }
        bytes = m_uiOffered;
    }
    m_uiOffered -= bytes;
    // Compare-and-swap from the own last position: a newcomer that took the
    // slot after the check above has stored a later position, so the swap
    // fails instead of moving the newcomer on. Release: finished with the bytes.
    uint64_t expected = m_ullPos;
    if (__atomic_compare_exchange_n(&m_pSlot->uiCout, &expected, m_ullPos + bytes, false, __ATOMIC_RELEASE,
                                    __ATOMIC_RELAXED))
        m_ullPos += bytes;
    else
        m_bKicked = true;
}

void CMkrxPoolConsumer::Detach() {
    if (m_pSlot == nullptr) return;
    int semid = -1;
    bool locked = GetSemByKey(MKRX_SEM_SLOT_KEY, semid, false) == 0;
    // Given back when it holds what this consumer put there, or when only
    // its position was overwritten with one no newcomer stores; a slot that
    // another consumer has taken stays valid.
    bool mine = SlotMine();
    if (!mine && LoadAcquire(&m_pSlot->bValidTag) == 1 && LoadRelaxed(&m_pSlot->sdkPid) == m_nPid)
        mine = LoadRelaxed(&m_pSlot->uiCout) > LoadAcquire(&m_pHead->bufInf.ullIn);
    if (mine) StoreRelease(&m_pSlot->bValidTag, (uint8_t)0);
    StoreRelaxed(&m_pHead->uiRunSdkNum, MkrxCountValidSlots(m_pHead));
    if (locked) ReleaseSem(semid);
    m_bKicked = true;
    m_pSlot = nullptr;
}

int MkrxWriteEventMsg(MkrxShareMemInfo_t* h, const char* lpText) {
    int semid = -1;
    if (GetSemByKey(MKRX_SEM_EVENT_KEY, semid, false) != 0) return -1;
    int rc = 0;  // -2 once the log is full
    uint64_t idx = LoadRelaxed(&h->stSdkEveInf.ullWrIdx);
    if (idx < MKRX_MAX_EVENT_NUM) {
        char* dst = h->stSdkEveInf.stEventMsg[idx];
        size_t n = strnlen(lpText, MKRX_EVENT_MSG_LEN - 1);
        memcpy(dst, lpText, n);
        dst[n] = '\0';
        StoreRelaxed(&h->stSdkEveInf.ullWrIdx, idx + 1);
    } else {
        GT_LOGE(GT_TAG_FPGA, "Message buf full. cpu:%d, pid:%d unable to record.", sched_getcpu(), (int)getpid());
        rc = -2;
    }
    ReleaseSem(semid);
    return rc;
}
