// A consumer process's side of the shared segment: its slot, and the checks
// of every header field it reads (any local process can write them).
#include "drvRingBufPool.h"

#include <sched.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "gt_logger.h"

using mkrx::LoadAcquire;
using mkrx::LoadRelaxed;
using mkrx::StoreRelaxed;
using mkrx::StoreRelease;

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
    if (!mkrx::IsPowerOfTwo(size) || (uint64_t)size + MKRX_SHM_EXTRA_SIZE != segsz) {
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
