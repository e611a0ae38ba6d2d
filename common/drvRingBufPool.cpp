// The producer's side of the pool: set-up of the private ring or the shared
// segment, and the copy of each record (the copy thread's hot path).
#include "drvRingBufPool.h"

#include <sys/mman.h>
#include <sys/shm.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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

namespace {
// The private ring's descriptor rounded up to whole cache lines.
constexpr size_t kDescBytes = (sizeof(ringbuffer) + 63) / 64 * 64;
}  // namespace

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
    if (uiMiB == 0 || uiMiB > 4095 || !mkrx::IsPowerOfTwo(uiMiB)) {
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
            shmctl(ShareMemId(), IPC_RMID, nullptr);
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
                        ShareMemId());
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
// inline up to 64 bytes, one release store of the position and two counter
// stores. Everything that is not the common case (ring full, expelling a
// consumer, a record that would run past the tail area) is out of line.
// ---------------------------------------------------------------------------

// Copy2Pool (in the header) calls m_pfnCopy, one of these. A record under
// MKRX_COPY_LIB_FROM bytes takes a path that calls nothing while the ring
// has room, so it saves no registers; larger ones call memcpy anyway and go
// out of line.
template <int T, bool Shared>
void CDrvRingBufPool::CopyOne(CDrvRingBufPool* self, const uint8_t* data, uint32_t length) {
    if (__builtin_expect(length < mkrx::MKRX_COPY_LIB_FROM, 1)) {
        if (Shared)
            self->CopyShared<T, true>(data, length);
        else
            self->CopyPrivate<T, true>(data, length);
        return;
    }
    if (__builtin_expect(length > MKRX_MAX_RECORD_LEN, 0)) {
        self->RefuseTooBig(length);
        return;
    }
    CopyLarge<T, Shared>(self, data, length);
}

template <int T, bool Shared>
void CDrvRingBufPool::CopyLarge(CDrvRingBufPool* self, const uint8_t* data, uint32_t length) {
    if (Shared)
        self->CopyShared<T, false>(data, length);
    else
        self->CopyPrivate<T, false>(data, length);
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
    // Loaded before the first store: a store through st could alias them.
    DmaInfoStat_t* st = m_pDmaInfoStat;
    const uint64_t num = m_ullCpyNum + 1;
    const uint64_t bytes = m_ullCpyByte + length + (T == MKRX_PCAP_DATA ? sizeof(MkrxPcapHdr_t) : 0);
    m_ullCpyNum = num;
    m_ullCpyByte = bytes;
    StoreRelaxed(&st->ulCpyPktNum, num);
    StoreRelaxed(&st->ulCpyPktByte, bytes);
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
template <int T, bool Small>
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
    // Up to 64 bytes the size-classed moves inline; above, the C library.
    if (Small)
        mkrx::CopyUpTo64(dst, data, length);
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

template <int T, bool Small>
inline void CDrvRingBufPool::CopyPrivate(const uint8_t* data, uint32_t length) {
    const uint32_t need = (uint32_t)MkrxHeadSize(T) + length;
    // Free space from the cached reader position, a safe lower bound: the
    // reader only moves forward. Unsigned arithmetic: a ring of 2 GiB is
    // empty at in - out = 0. Short of room: a tail call, so that this path
    // keeps nothing live across a call.
    if (__builtin_expect(need > (uint32_t)m_ulPoolSize - (m_uiInPriv - m_uiOutCache), 0))
        return PrivateFull<T, Small>(data, length, need);
    PrivatePlace<T, Small>(data, length, need);
}

template <int T, bool Small>
void CDrvRingBufPool::PrivateFull(const uint8_t* data, uint32_t length, uint32_t need) {
    if (PrivateRoom(length, need)) PrivatePlace<T, Small>(data, length, need);
}

template <int T, bool Small>
inline void CDrvRingBufPool::PrivatePlace(const uint8_t* data, uint32_t length, uint32_t need) {
    // Size and position come from this thread's own copies: the descriptor's
    // line is polled by the reader, and the copy thread only ever stores to it.
    const uint32_t size = (uint32_t)m_ulPoolSize;
    const uint32_t in = m_uiInPriv;
    const uint32_t offset = in & (size - 1);
    const uint32_t toEnd = size - offset;
    if (__builtin_expect(need > toEnd + MKRX_TAIL_AREA_SIZE, 0)) return RefuseTailOverflow(length, need);
    WriteRecord<T, Small>(m_pRingData + offset, data, length);
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

template <int T, bool Small>
inline void CDrvRingBufPool::CopyShared(const uint8_t* data, uint32_t length) {
    const uint32_t need = (uint32_t)MkrxHeadSize(T) + length;
    // The consumer count's line changes only when a consumer comes or goes.
    const uint32_t run = LoadRelaxed(m_puiSdkRunNum);
    if (__builtin_expect(run == 0, 0)) return CountDropped(length);
    // Free space from the cached slowest position (see mkrxDef.h): consumers
    // only move forward and a newcomer starts at the current write position,
    // so the cache never overstates the room. Rescan only when it is short,
    // in a tail call as on the private ring.
    if (__builtin_expect(need > m_ulPoolSize - (m_multi_pin - m_ullSlowCache), 0))
        return SharedFull<T, Small>(data, length, need, run);
    SharedPlace<T, Small>(data, length, need);
}

template <int T, bool Small>
void CDrvRingBufPool::SharedFull(const uint8_t* data, uint32_t length, uint32_t need, uint32_t run) {
    if (SharedRoom(run, length, need)) SharedPlace<T, Small>(data, length, need);
}

template <int T, bool Small>
inline void CDrvRingBufPool::SharedPlace(const uint8_t* data, uint32_t length, uint32_t need) {
    const uint64_t size = m_ulPoolSize;
    const uint32_t offset = (uint32_t)m_multi_pin & (uint32_t)(size - 1);
    const uint32_t toEnd = (uint32_t)size - offset;
    if (__builtin_expect(need > toEnd + MKRX_TAIL_AREA_SIZE, 0)) return RefuseTailOverflow(length, need);
    WriteRecord<T, Small>(m_pRingData + offset, data, length);
    // ullIn counts the whole record, the bytes in the tail area included, so
    // the next record starts uiTailLen bytes into the ring.
    m_multi_pin += need;
    if (__builtin_expect(need >= toEnd, 0)) StoreRelaxed(&m_pMangMem->uiTailLen, need - toEnd);
    // Release: bytes and tail length are visible before the new position.
    StoreRelease(&m_pFirstRingBuf->ullIn, m_multi_pin);
    CountCopied<T>(length);
}
