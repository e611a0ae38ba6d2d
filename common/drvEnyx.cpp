#include "drvEnyx.h"

#include <time.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "gt_logger.h"
#include "thread_mutex.h"

namespace {

// Guards the four tables; recursive because the core lookup calls the
// accelerator lookup while holding it.
OSKIT2::CThreadMutex& EnyxMutex() {
    static OSKIT2::CThreadMutex* s_lpMutex = new OSKIT2::CThreadMutex();  // kept to the end of the process
    return *s_lpMutex;
}

enyx_hw_accelerator* g_lpEnyxAcc[DRV_ENYX_MAX_BUS];
enyx_hw_mmio* g_lpEnyxMmio[DRV_ENYX_MAX_BUS];
enyx_hw_core_tree* g_lpEnyxTree[DRV_ENYX_MAX_BUS];
enyx_hw_core* g_lpEnyxRoot[DRV_ENYX_MAX_BUS];
int g_nEnyxAccHolds[DRV_ENYX_MAX_BUS];  // DMA engines holding the accelerator

const char* kEnyxAdvice =
    "Using the following method to solve:\n1 Make sure present has loaded enyx firmware: \n \t lspci | grep "
    "Enyx\n2 check quay.ini file's bus_id:\n \t If there is only one board, it's 0. over two board, please "
    "contact software man\n3 check quay.ini file's core_id:\n \t Usually it's 474 or 472 \n";

bool ValidBusId(int32_t nBusId) {
    if (nBusId >= 0 && nBusId < DRV_ENYX_MAX_BUS) return true;
    GT_LOGE(GT_TAG_FPGA, "Invalid enyx bus id:%d, should be 0 to %d.", nBusId, DRV_ENYX_MAX_BUS - 1);
    return false;
}

void SleepOneSecond() {
    struct timespec req = {1, 0};
    struct timespec rem = {0, 0};
    while (nanosleep(&req, &rem) != 0 && errno == EINTR) req = rem;
}

size_t Filled(ssize_t n) { return n > 0 ? 1 : 0; }

// Builds, caches and resets the core tree of the card; the caller holds the
// mutex. Null after a logged failure, with nothing cached but the accelerator.
enyx_hw_core* DrvEnyxGetRoot(int32_t nBusId) {
    enyx_hw_accelerator* lpAcc = DrvEnyxCoreGetAcc(nBusId);
    if (lpAcc == nullptr) return nullptr;

    enyx_hw_filter* lpFilter = enyx_hw_filter_create();
    if (lpFilter == nullptr) {
        GT_LOGE(GT_TAG_FPGA, "Could not create mmio filter, errmsg:%s.", strerror(errno));
        return nullptr;
    }
    if (enyx_hw_filter_set_index(lpFilter, 0) != 0) {
        GT_LOGE(GT_TAG_FPGA, "Could not set mmio filter index, errmsg:%s.", strerror(errno));
        enyx_hw_filter_destroy(lpFilter);
        return nullptr;
    }
    enyx_hw_mmio_descriptor* lpDesc[1] = {nullptr};
    errno = 0;
    ssize_t n = enyx_hw_accelerator_enumerate_mmios(lpAcc, lpFilter, lpDesc, 1);
    if (n != 1) {
        GT_LOGE(GT_TAG_FPGA, "Could not find mmio, errmsg:%s.", strerror(errno));
        enyx_hw_free_mmio_descriptors(lpDesc, Filled(n));
        enyx_hw_filter_destroy(lpFilter);
        return nullptr;
    }
    enyx_hw_filter_destroy(lpFilter);

    enyx_hw_mmio* lpMmio = enyx_hw_mmio_create(lpDesc[0]);
    if (lpMmio == nullptr) {
        GT_LOGE(GT_TAG_FPGA, "Could not create mmio, errmsg:%s.", strerror(errno));
        enyx_hw_free_mmio_descriptors(lpDesc, 1);
        return nullptr;
    }
    enyx_hw_free_mmio_descriptors(lpDesc, 1);

    enyx_hw_core_tree* lpTree = enyx_hw_enumerate_cores(lpMmio);
    if (lpTree == nullptr) {
        GT_LOGE(GT_TAG_FPGA, "Could not find tree, errmsg:%s.", strerror(errno));
        enyx_hw_mmio_destroy(lpMmio);
        return nullptr;
    }
    enyx_hw_core* lpRoot = enyx_hw_core_tree_get_root(lpTree);
    if (lpRoot == nullptr) {
        GT_LOGE(GT_TAG_FPGA, "Could not find root, errmsg:%s.", strerror(errno));
        enyx_hw_mmio_destroy(lpMmio);
        return nullptr;
    }
    g_lpEnyxMmio[nBusId] = lpMmio;
    g_lpEnyxTree[nBusId] = lpTree;
    g_lpEnyxRoot[nBusId] = lpRoot;

    // The whole core tree is reset once per process, at the first core lookup.
    if (enyx_hw_core_reset(lpRoot) != 0)
        GT_LOGW(GT_TAG_FPGA, "Reset enyx core tree failed, busId:%u, errmsg:%s.", (unsigned)nBusId,
                strerror(errno));
    SleepOneSecond();
    return lpRoot;
}

}  // namespace

enyx_hw_accelerator* DrvEnyxCoreGetAcc(int32_t nBusId) {
    if (!ValidBusId(nBusId)) return nullptr;
    OSKIT2::CAutoMutex lock(EnyxMutex());
    if (g_lpEnyxAcc[nBusId] != nullptr) return g_lpEnyxAcc[nBusId];

    enyx_hw_filter* lpFilter = enyx_hw_filter_create();
    if (lpFilter == nullptr) {
        GT_LOGE(GT_TAG_FPGA, "Could not create filter for DMA. errno:%d", errno);
        return nullptr;
    }
    if (enyx_hw_filter_set_index(lpFilter, static_cast<uint32_t>(nBusId)) != 0) {
        int e = errno;
        GT_LOGE(GT_TAG_FPGA, "Could not set filter id. errno:%d, errMsg:%s.", e, strerror(e));
        enyx_hw_filter_destroy(lpFilter);
        return nullptr;
    }
    enyx_hw_accelerator_descriptor* lpDesc[1] = {nullptr};
    errno = 0;
    ssize_t n = enyx_hw_enumerate_accelerators(lpFilter, lpDesc, 1);
    if (n != 1) {
        int e = errno;
        GT_LOGE(GT_TAG_FPGA, "Could not find accelerator. ernno:%d, msg:%s, get acc num:%d.", e, strerror(e),
                static_cast<int>(n));
        enyx_hw_free_accelerator_descriptors(lpDesc, Filled(n));
        enyx_hw_filter_destroy(lpFilter);
        return nullptr;
    }
    enyx_hw_filter_destroy(lpFilter);

    enyx_hw_accelerator* lpAcc = enyx_hw_accelerator_get(lpDesc[0]);
    if (lpAcc == nullptr) {
        GT_LOGE(GT_TAG_FPGA, "Could not get accelerator. errno:%d", errno);
        enyx_hw_free_accelerator_descriptors(lpDesc, 1);
        return nullptr;
    }
    enyx_hw_free_accelerator_descriptors(lpDesc, 1);
    g_lpEnyxAcc[nBusId] = lpAcc;
    return lpAcc;
}

int32_t DrvEnyxGetCore(int32_t nBusId, int32_t nCoreId, enyx_hw_core** lpCores, int32_t nCapacity) {
    enyx_hw_core* lpRoot = nullptr;
    bool bValid = ValidBusId(nBusId);
    if (bValid && (nCoreId < 0 || nCoreId > 0xFFFF)) {
        GT_LOGE(GT_TAG_FPGA, "Invalid enyx core id:%d, should be 0 to 65535.", nCoreId);
        bValid = false;
    }
    if (bValid) {
        OSKIT2::CAutoMutex lock(EnyxMutex());
        lpRoot = g_lpEnyxRoot[nBusId];
        if (lpRoot == nullptr) lpRoot = DrvEnyxGetRoot(nBusId);
    }
    if (lpRoot == nullptr) {
        GT_LOGE(GT_TAG_FPGA, "Get core error. busId:%u, coreId:%u", (unsigned)nBusId, (unsigned)nCoreId);
        return -1;
    }
    errno = 0;
    ssize_t n = enyx_hw_core_enumerate(lpRoot, static_cast<uint16_t>(nCoreId), lpCores,
                                       nCapacity > 0 ? static_cast<size_t>(nCapacity) : 0);
    if (n == -1) {
        GT_LOGE(GT_TAG_FPGA, "Could not enumerate cores, busId:%u, coreId:%u. errmsg:%s.", (unsigned)nBusId,
                (unsigned)nCoreId, strerror(errno));
        return -1;
    }
    return static_cast<int32_t>(n);
}

void DrvEnyxVarClear() {
    OSKIT2::CAutoMutex lock(EnyxMutex());
    for (int i = 0; i < DRV_ENYX_MAX_BUS; ++i) {
        g_lpEnyxAcc[i] = nullptr;
        g_lpEnyxMmio[i] = nullptr;
        g_lpEnyxTree[i] = nullptr;
        g_lpEnyxRoot[i] = nullptr;
        g_nEnyxAccHolds[i] = 0;
    }
}

enyx_hw_accelerator* DrvEnyxAccHold(int32_t nBusId) {
    OSKIT2::CAutoMutex lock(EnyxMutex());
    enyx_hw_accelerator* lpAcc = DrvEnyxCoreGetAcc(nBusId);
    if (lpAcc != nullptr) g_nEnyxAccHolds[nBusId]++;
    return lpAcc;
}

void DrvEnyxAccRelease(int32_t nBusId, enyx_hw_accelerator* lpAcc) {
    if (lpAcc == nullptr || !ValidBusId(nBusId)) return;
    OSKIT2::CAutoMutex lock(EnyxMutex());
    // Tables emptied meanwhile: the handle is no longer ours to put.
    if (g_lpEnyxAcc[nBusId] != lpAcc || g_nEnyxAccHolds[nBusId] <= 0) return;
    if (--g_nEnyxAccHolds[nBusId] > 0) return;
    enyx_hw_accelerator_put(lpAcc);
    DrvEnyxVarClear();
}

// ---------------------------------------------------------------- CDrvEnyxReg

namespace {

// One access of nWidth bits at a byte offset; the core lock is held by the caller.
int EnyxAccess(enyx_hw_core* lpCore, uint64_t ulByteOff, uint32_t nWidth, uint64_t& ulValue, bool bWrite) {
    enyx_hw_register_description tDesc;
    tDesc.address = ulByteOff;
    tDesc.bit_offset = 0;
    tDesc.width = nWidth;
    if (bWrite) return enyx_hw_write(lpCore, &tDesc, ulValue) < 0 ? -1 : 0;
    uint64_t v = 0;
    if (enyx_hw_read(lpCore, &tDesc, &v) < 0) return -1;
    ulValue = v;
    return 0;
}

uint64_t WidthMask(uint32_t nWidth) { return nWidth >= 64 ? ~0ull : ((1ull << nWidth) - 1); }

// Largest register index whose byte range [index x 4, + ulLen) fits in 64 bits.
bool IndexFits(uint64_t ulIndex, uint64_t ulLen) { return ulIndex <= (UINT64_MAX - ulLen) / 4; }

}  // namespace

CDrvEnyxReg::CDrvEnyxReg() : m_lpCore(nullptr) {}

CDrvEnyxReg::~CDrvEnyxReg() {}

int CDrvEnyxReg::Init(void* lpParam) {
    if (lpParam == nullptr) {
        GT_LOGE(GT_TAG_FPGA, "Init param error!");
        return -1;
    }
    const DrvRegInfo_t* lpInfo = static_cast<const DrvRegInfo_t*>(lpParam);
    enyx_hw_core* lpCore = nullptr;
    errno = 0;
    int32_t n = DrvEnyxGetCore(lpInfo->nBusId, lpInfo->nCoreId, &lpCore, 1);
    if (n != 1 || lpCore == nullptr) {
        int e = errno;
        GT_LOGE(GT_TAG_FPGA, "enumerate core error!, get core num %d, msg:%s, busid:%d, coreId:%d.", n,
                strerror(e), lpInfo->nBusId, lpInfo->nCoreId);
        GT_LOGE(GT_TAG_FPGA, "%s", kEnyxAdvice);
        return -1;
    }
    m_lpCore = lpCore;
    return 0;
}

int CDrvEnyxReg::ReadReg(uint64_t ulIndex, uint32_t nWidth, uint64_t& ulValue) {
    if (m_lpCore == nullptr || !IndexFits(ulIndex, 8)) {
        errno = m_lpCore == nullptr ? ENODEV : EINVAL;
        return -1;
    }
    if (enyx_hw_core_lock(m_lpCore) != 0) return -1;
    uint64_t v = 0;
    int r = EnyxAccess(m_lpCore, ulIndex * 4, nWidth, v, false);
    int e = errno;
    enyx_hw_core_unlock(m_lpCore);
    errno = e;
    if (r != 0) return -1;
    ulValue = v & WidthMask(nWidth);
    return 0;
}

int CDrvEnyxReg::WriteReg(uint64_t ulIndex, uint32_t nWidth, uint64_t ulValue) {
    if (m_lpCore == nullptr || !IndexFits(ulIndex, 8)) {
        errno = m_lpCore == nullptr ? ENODEV : EINVAL;
        return -1;
    }
    if (enyx_hw_core_lock(m_lpCore) != 0) return -1;
    uint64_t v = ulValue & WidthMask(nWidth);
    int r = EnyxAccess(m_lpCore, ulIndex * 4, nWidth, v, true);
    int e = errno;
    enyx_hw_core_unlock(m_lpCore);
    errno = e;
    return r;
}

int CDrvEnyxReg::ReadIntN(uint64_t ulOffset, unsigned nBytes, uint64_t& ulValue) {
    if (ReadReg(ulOffset, nBytes * 8, ulValue) != 0) {
        GT_LOGW(GT_TAG_FPGA, "read int%u failed, addr:%lu", nBytes * 8, (unsigned long)ulOffset);
        return -1;
    }
    return 0;
}

int CDrvEnyxReg::WriteIntN(uint64_t ulOffset, unsigned nBytes, uint64_t ulValue) {
    if (WriteReg(ulOffset, nBytes * 8, ulValue) != 0) {
        if (nBytes == 4) {
            GT_LOGW(GT_TAG_FPGA, "write int32 failed, addr:0x%x, msg:%s.", static_cast<uint32_t>(ulOffset),
                    strerror(errno));
        } else {
            GT_LOGW(GT_TAG_FPGA, "write int%u failed, addr:%lu", nBytes * 8, (unsigned long)ulOffset);
        }
        return -1;
    }
    return 0;
}

uint64_t CDrvEnyxReg::ReadBytes(uint64_t ulOffset, uint8_t* lpBuf, uint64_t ulLen) {
    if (lpBuf == nullptr) {
        GT_LOGW(GT_TAG_FPGA, "Didn't inited in yet!");
        return 0;
    }
    if (ulLen == 0) return 0;
    bool bOk = m_lpCore != nullptr && IndexFits(ulOffset, ulLen) && enyx_hw_core_lock(m_lpCore) == 0;
    if (!bOk) {
        GT_LOGW(GT_TAG_FPGA, "Read value failed, addr:%lu", (unsigned long)ulOffset);
        return static_cast<uint64_t>(-1);
    }
    // Gather into a scratch buffer so that a failed transfer leaves the caller's bytes as they were.
    uint8_t aSmall[128];
    std::vector<uint8_t> vBig;
    uint8_t* lpTmp = aSmall;
    if (ulLen > sizeof(aSmall)) {
        vBig.resize(ulLen);
        lpTmp = vBig.data();
    }
    uint64_t ulByteOff = ulOffset * 4;
    uint64_t ulDone = 0;
    while (bOk && ulLen - ulDone >= 8) {
        uint64_t v = 0;
        bOk = EnyxAccess(m_lpCore, ulByteOff, 64, v, false) == 0;
        if (bOk) memcpy(lpTmp + ulDone, &v, 8);
        ulDone += 8;
        ulByteOff += 8;
    }
    uint64_t ulRest = ulLen - ulDone;
    if (bOk && ulRest > 0) {
        uint64_t v = 0;
        bOk = EnyxAccess(m_lpCore, ulByteOff, static_cast<uint32_t>(ulRest * 8), v, false) == 0;
        if (bOk) memcpy(lpTmp + ulDone, &v, ulRest);
    }
    enyx_hw_core_unlock(m_lpCore);
    if (!bOk) {
        GT_LOGW(GT_TAG_FPGA, "Read value failed, addr:%lu", (unsigned long)ulOffset);
        return static_cast<uint64_t>(-1);
    }
    memcpy(lpBuf, lpTmp, ulLen);
    return ulLen;
}

uint64_t CDrvEnyxReg::WriteBytes(uint64_t ulOffset, const uint8_t* lpBuf, uint64_t ulLen) {
    if (lpBuf == nullptr) {
        GT_LOGW(GT_TAG_FPGA, "Didn't inited out yet!");
        return 0;
    }
    if (ulLen == 0) return 0;
    bool bOk = m_lpCore != nullptr && IndexFits(ulOffset, ulLen) && enyx_hw_core_lock(m_lpCore) == 0;
    if (!bOk) {
        GT_LOGW(GT_TAG_FPGA, "write int8 failed, addr:%lu", (unsigned long)ulOffset);
        return static_cast<uint64_t>(-1);
    }
    uint64_t ulByteOff = ulOffset * 4;
    uint64_t ulDone = 0;
    while (bOk && ulLen - ulDone >= 8) {
        uint64_t v = 0;
        memcpy(&v, lpBuf + ulDone, 8);
        bOk = EnyxAccess(m_lpCore, ulByteOff, 64, v, true) == 0;
        ulDone += 8;
        ulByteOff += 8;
    }
    uint64_t ulRest = ulLen - ulDone;
    if (bOk && ulRest > 0) {
        uint64_t v = 0;
        memcpy(&v, lpBuf + ulDone, ulRest);
        bOk = EnyxAccess(m_lpCore, ulByteOff, static_cast<uint32_t>(ulRest * 8), v, true) == 0;
    }
    enyx_hw_core_unlock(m_lpCore);
    if (!bOk) {
        GT_LOGW(GT_TAG_FPGA, "write int8 failed, addr:%lu", (unsigned long)ulOffset);
        return static_cast<uint64_t>(-1);
    }
    return ulLen;
}

uint64_t CDrvEnyxReg::ReadRange(uint64_t ulOffset, uint8_t* lpBuf, uint64_t ulLen) {
    uint64_t ulGot = ReadBytes(ulOffset, lpBuf, ulLen);
    if (ulGot != ulLen) GT_LOGW(GT_TAG_FPGA, "Read failed, should Read %ld, now %ld", (long)ulLen, (long)ulGot);
    return ulGot;
}

uint64_t CDrvEnyxReg::WriteRange(uint64_t ulOffset, const uint8_t* lpBuf, uint64_t ulLen) {
    return WriteBytes(ulOffset, lpBuf, ulLen);
}
