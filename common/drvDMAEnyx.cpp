#include "drvDMAEnyx.h"

#include <errno.h>
#include <pthread.h>
#include <time.h>

#include <cstring>

#include "common.h"
#include "drvEnyx.h"
#include "enyx_hw.h"
#include "gt_logger.h"

namespace {

constexpr int kSendBusy = 11;  // what the library's send returns while the stream is busy

constexpr int64_t kStopWaitNs = 2000000000LL;  // what StopCpyThread waits before it reports a stuck thread

int64_t MonoNs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

}  // namespace


// ---------------------------------------------------------------- CDrvDMAStreams

int CDrvDMAStreams::OpenStreams(const char* name) {
    m_lpA2c = nullptr;
    m_lpC2a = nullptr;
    enyx_hw_filter* filter = enyx_hw_filter_create();
    if (filter == nullptr) {
        GT_LOGE(GT_TAG_FPGA, "Could not create dma filter. err:%s", strerror(errno));
        return -1;
    }
    enyx_hw_a2c_stream_descriptor* a2cDesc[1] = {nullptr};
    enyx_hw_c2a_stream_descriptor* c2aDesc[1] = {nullptr};
    int rc = -1;
    if (enyx_hw_filter_set_name(filter, name) != 0) {
        GT_LOGE(GT_TAG_FPGA, "Could not set dma filter name: %s. err:%s", name, strerror(errno));
    } else if (enyx_hw_accelerator_enumerate_a2c_streams(m_lpAcc, filter, a2cDesc, 1) != 1) {
        GT_LOGE(GT_TAG_FPGA, "Could not find a2c stream. dmaName:%s, err:%s", name, strerror(errno));
    } else {
        m_lpA2c = enyx_hw_a2c_stream_create(a2cDesc[0], nullptr);
        int err = errno;
        enyx_hw_free_a2c_stream_descriptors(a2cDesc, 1);
        if (m_lpA2c == nullptr) {
            GT_LOGE(GT_TAG_FPGA, "Could not create a2c stream.dmaName:%s,  err:%s", name, strerror(err));
        } else if (enyx_hw_accelerator_enumerate_c2a_streams(m_lpAcc, filter, c2aDesc, 1) != 1) {
            GT_LOGE(GT_TAG_FPGA, "Could not find c2a stream. dmaName:%s, err:%s", name, strerror(errno));
        } else {
            m_lpC2a = enyx_hw_c2a_stream_create(c2aDesc[0], nullptr);
            err = errno;
            enyx_hw_free_c2a_stream_descriptors(c2aDesc, 1);
            if (m_lpC2a == nullptr) {
                GT_LOGE(GT_TAG_FPGA, "Could not create c2a stream. dmaName:%s, err:%s", name, strerror(err));
            } else {
                rc = 0;
            }
        }
    }
    enyx_hw_filter_destroy(filter);
    if (rc == 0 &&
        (enyx_hw_a2c_stream_get_mtu(m_lpA2c, &m_nA2cMtu) != 0 || enyx_hw_c2a_stream_get_mtu(m_lpC2a, &m_nC2aMtu) != 0)) {
        GT_LOGE(GT_TAG_FPGA, "Could not get mtu.dmaName:%s, err:%s", name, strerror(errno));
        rc = -1;
    }
    if (rc != 0) {
        if (m_lpA2c != nullptr) enyx_hw_a2c_stream_destroy(m_lpA2c);
        if (m_lpC2a != nullptr) enyx_hw_c2a_stream_destroy(m_lpC2a);
        m_lpA2c = nullptr;
        m_lpC2a = nullptr;
        return -1;
    }
    GT_LOGI(GT_TAG_FPGA, "Init dma channel :%s success.", name);
    return 0;
}

void CDrvDMAStreams::RegisterHandler(void* cb, void* param) {
    m_recvCb = reinterpret_cast<DmaRecvCb>(cb);
    m_cbParam = param;
}

// Without a callback the record would be taken off the stream and lost:
// nothing is polled then.
int CDrvDMAStreams::RecvOnce(void* cb, void* param) {
    if (m_lpA2c == nullptr || cb == nullptr) return -1;
    return enyx_hw_a2c_stream_poll_once(m_lpA2c, reinterpret_cast<DmaRecvCb>(cb), param) == 1 ? 0 : -1;
}

int CDrvDMAStreams::RecvOnceCb() { return RecvOnce(reinterpret_cast<void*>(m_recvCb), m_cbParam); }

// Retries at once while the stream is busy, for up to 2 to 3 seconds of wall
// clock (until the seconds field has moved on by more than 2).
int CDrvDMAStreams::Send(const void* data, uint32_t length) {
    if (m_lpC2a == nullptr) return -1;
    int rc = enyx_hw_c2a_stream_send(m_lpC2a, data, length);
    struct timespec start;
    clock_gettime(CLOCK_REALTIME, &start);
    while (rc == kSendBusy) {
        rc = enyx_hw_c2a_stream_send(m_lpC2a, data, length);
        struct timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        if (rc == kSendBusy && now.tv_sec - start.tv_sec > 2) return -1;
    }
    return rc == 0 ? 0 : -1;
}

// ---------------------------------------------------------------- CDrvDMAEnyx

CDrvDMAEnyx::~CDrvDMAEnyx() {
    JoinCpyThread();
    if (m_bInitSuccess) {
        uint32_t press = 0, count = 0, fifo = 0, errs = 0;
        if (enyx_hw_a2c_stream_stats_get_backpressure(m_lpA2c, &press) != 0)
            GT_LOGI(GT_TAG_FPGA, "get a2c stream backpress num fail.msg:%s.", strerror(errno));
        if (enyx_hw_a2c_stream_stats_get_packet_count(m_lpA2c, &count) != 0)
            GT_LOGI(GT_TAG_FPGA, "get a2c stream packet count fail.msg:%s.", strerror(errno));
        if (enyx_hw_a2c_stream_stats_get_fifo_errors(m_lpA2c, &fifo) != 0)
            GT_LOGI(GT_TAG_FPGA, "get a2c stream fifo count fail.msg:%s.", strerror(errno));
        if (enyx_hw_a2c_stream_stats_get_errors(m_lpA2c, &errs) != 0)
            GT_LOGI(GT_TAG_FPGA, "get a2c stream fifo count fail.msg:%s.", strerror(errno));
        GT_LOGI(GT_TAG_FPGA, "DMA: backpressure count:%u, dma2soft count:%u, fifo count:%u, error count:%u.", press,
                count, fifo, errs);
        if (press != 0)
            GT_LOGW(GT_TAG_FPGA,
                    "Note back pressure happens! may loss some data ! Make sure it's run on time! note task "
                    "scheduling, ensure this thread can occupy the CPU in time.");
    }
    if (m_lpA2c != nullptr) enyx_hw_a2c_stream_destroy(m_lpA2c);
    if (m_lpC2a != nullptr) enyx_hw_c2a_stream_destroy(m_lpC2a);
    DrvEnyxAccRelease((int32_t)m_stDmaInitParam.nBusId, m_lpAcc);
    delete m_pDrvPool;
}

int CDrvDMAEnyx::Init(void* param) {
    if (param == nullptr) {
        GT_LOGE(GT_TAG_FPGA, "Init DMA param is NULL!");
        return -1;
    }
    m_stDmaInitParam = *static_cast<const _DMaInitParam_t*>(param);
    if (InitDma(m_stDmaInitParam.name.c_str()) != 0) {
        GT_LOGE(GT_TAG_FPGA, "Init DMA error!");
        return -1;
    }
    if (m_stDmaInitParam.bPoolEnable) {
        CDrvRingBufPool* pool = new (std::nothrow) CDrvRingBufPool();
        if (pool == nullptr) {
            GT_LOGE(GT_TAG_FPGA, "Init DMA class fail!");
            return -1;
        }
        m_pDrvPool = pool;
        if (pool->Init(&m_stDmaInitParam) != 0) {
            GT_LOGE(GT_TAG_FPGA, "Init DMA pool fail!");
            return -1;
        }
    }
    m_bInitSuccess = true;
    GT_LOGI(GT_TAG_FPGA, "Init DMA success! name:%s, id:%d, RingPool mode:%d.", m_stDmaInitParam.name.c_str(),
            (int)m_stDmaInitParam.nBusId, (int)m_stDmaInitParam.bPoolEnable);
    return 0;
}

int CDrvDMAEnyx::InitDma(const char* name) {
    m_lpAcc = DrvEnyxAccHold((int32_t)m_stDmaInitParam.nBusId);
    if (m_lpAcc == nullptr) {
        GT_LOGE(GT_TAG_FPGA, "Init Accelerator error!");
        return -1;
    }
    return OpenStreams(name);
}

void CDrvDMAEnyx::PollData() { (void)RecvOnceCb(); }

int CDrvDMAEnyx::Send(void* data, uint32_t length) {
    if (CDrvDMAStreams::Send(data, length) != 0) {
        GT_LOGE(GT_TAG_FPGA, "DMA(%s) Send failed. err:%s", m_stDmaInitParam.name.c_str(), strerror(errno));
        return -1;
    }
    return 0;
}

// Once per record on the copy thread: the pool is always the ring-buffer
// pool Init made, so it is called by its own type, not through the
// interface's table.
void CDrvDMAEnyx::Copy2PoolTemp(const uint8_t* data, uint32_t length, void* self) {
    static_cast<CDrvRingBufPool*>(static_cast<CDrvDMAEnyx*>(self)->m_pDrvPool)
        ->CDrvRingBufPool::Copy2Pool(data, length, nullptr);
}

void* CDrvDMAEnyx::CopyLoop(void* arg) {
    CDrvDMAEnyx* self = static_cast<CDrvDMAEnyx*>(arg);
    bind_to_cpu(self->m_stDmaInitParam.iCopyCore);
    GT_LOGI(GT_TAG_FPGA,
            "Begin fetch data from fpga and use %u core. Please ensure the core is exclusively occupied by the "
            "program! ",
            (unsigned)self->m_stDmaInitParam.iCopyCore);
    enyx_hw_a2c_stream* a2c = self->m_lpA2c;
    // Busy poll: no sleep or yield between polls; the CPU is the thread's own.
    while (self->m_bCpyThrRun.load(std::memory_order_relaxed))
        enyx_hw_a2c_stream_poll_once(a2c, &CDrvDMAEnyx::Copy2PoolTemp, self);
    self->m_CpyActionStop.store(true, std::memory_order_release);
    return nullptr;
}

int CDrvDMAEnyx::StartCpyThread() {
    std::lock_guard<std::mutex> lock(m_mtxCpyThr);
    if (m_pDrvPool == nullptr || m_lpA2c == nullptr) {
        GT_LOGE(GT_TAG_FPGA, "create copy pthread fail, errmsg:%s", "no pool");
        return -1;
    }
    // One writer per pool: a thread that a late stop left behind is reaped
    // once it has gone, never run beside a second one.
    if (m_bCpyThrHeld) {
        if (!m_CpyActionStop.load(std::memory_order_acquire) || m_bCpyThrRun.load()) {
            GT_LOGE(GT_TAG_FPGA, "DMA(%s) copy thread is already started; stop it before starting it again.",
                    m_stDmaInitParam.name.c_str());
            return -1;
        }
        pthread_join(m_tCpyThr, nullptr);
        m_bCpyThrHeld = false;
    }
    // Cleared at every start, so that a second stop waits for its own thread.
    m_CpyActionStop.store(false);
    m_bCpyThrRun.store(true);
    int rc = pthread_create(&m_tCpyThr, nullptr, &CDrvDMAEnyx::CopyLoop, this);
    if (rc != 0) {
        m_bCpyThrRun.store(false);
        GT_LOGE(GT_TAG_FPGA, "create copy pthread fail, errmsg:%s", strerror(rc));
        return -1;
    }
    m_bCpyThrHeld = true;
    return 0;
}

bool CDrvDMAEnyx::WaitCpyThreadLeft(int64_t ns) {
    const int64_t until = MonoNs() + ns;
    while (!m_CpyActionStop.load(std::memory_order_acquire)) {
        if (MonoNs() > until) return false;
        struct timespec nap = {0, 100000};  // the copy thread may share this CPU
        nanosleep(&nap, nullptr);
    }
    return true;
}

void CDrvDMAEnyx::StopCpyThread() {
    std::lock_guard<std::mutex> lock(m_mtxCpyThr);
    m_bCpyThrRun.store(false);
    bool late = false;
    if (m_bCpyThrHeld) {
        if (WaitCpyThreadLeft(kStopWaitNs)) {
            pthread_join(m_tCpyThr, nullptr);
            m_bCpyThrHeld = false;
        } else {
            late = true;  // still held: the next stop, start or the destructor reaps it
        }
    }
    if (late) GT_LOGE(GT_TAG_FPGA, "Dma callback thread is still run, maybe the cpu fall in the callback.");
    GT_LOGI(GT_TAG_FPGA, "Now we stop copy thread.");
}

void CDrvDMAEnyx::JoinCpyThread() {
    std::lock_guard<std::mutex> lock(m_mtxCpyThr);
    m_bCpyThrRun.store(false);
    if (!m_bCpyThrHeld) return;
    if (!WaitCpyThreadLeft(kStopWaitNs))
        GT_LOGE(GT_TAG_FPGA, "Dma callback thread is still run, maybe the cpu fall in the callback.");
    // The streams and the pool go next: wait for the thread however long it takes.
    pthread_join(m_tCpyThr, nullptr);
    m_bCpyThrHeld = false;
    GT_LOGI(GT_TAG_FPGA, "Now we stop copy thread.");
}

DmaInfoStat_t* CDrvDMAEnyx::GetDmaStat() {
    if (m_pDrvPool == nullptr) return nullptr;
    DmaInfoStat_t* st = m_pDrvPool->GetPktStat(0);
    uint32_t v = 0;
    if (enyx_hw_a2c_stream_stats_get_backpressure(m_lpA2c, &v) == 0)
        mkrx::StoreRelaxed(&st->uiHardwarePressNum, v);
    else
        GT_LOGE(GT_TAG_FPGA, "get a2c stream backpress num fail.");
    if (enyx_hw_a2c_stream_stats_get_packet_count(m_lpA2c, &v) == 0)
        mkrx::StoreRelaxed(&st->uiHardwareDmaCpyNum, v);
    else
        GT_LOGE(GT_TAG_FPGA, "get a2c stream packet count fail.");
    return st;
}

ringbuffer* CDrvDMAEnyx::GetPool() {
    if (m_pDrvPool == nullptr) {
        GT_LOGE(GT_TAG_FPGA, "pool is empty. return fail.");
        return nullptr;
    }
    return m_pDrvPool->GetPoolBuf(0);
}

int CDrvDMAEnyx::GetCpyDataType() { return m_pDrvPool == nullptr ? MKRX_ERROR_DATA : m_pDrvPool->GetDataType(0); }

uint32_t CDrvDMAEnyx::GetTailUseLen() {
    return m_pDrvPool == nullptr ? (uint32_t)MKRX_ERROR_DATA : m_pDrvPool->GetTailUseLen(0);
}

// ---------------------------------------------------------------- CDrvDMAEnyx_TR

int CDrvDMAEnyx_TR::Init(void* param) {
    if (param == nullptr) {
        GT_LOGE(GT_TAG_FPGA, "Init DMA param is nullptr!");
        return -1;
    }
    const char* name = "MAC_CHAN0_DATA";
    GT_LOGI(GT_TAG_FPGA, "%s", name);
    if (InitDma(name) != 0) {
        GT_LOGE(GT_TAG_FPGA, "Init DMA error!");
        return -1;
    }
    return 0;
}

int CDrvDMAEnyx_TR::InitDma(const char* name) {
    m_lpAcc = DrvEnyxCoreGetAcc(0);
    if (m_lpAcc == nullptr) {
        GT_LOGE(GT_TAG_FPGA, "Init Accelerator error!");
        return -1;
    }
    return OpenStreams(name);
}

void CDrvDMAEnyx_TR::PollData() {
    int rc = RecvOnceCb();
    GT_LOGE(GT_TAG_FPGA, "RecvOnceCb ret is %d.", rc);
}

int CDrvDMAEnyx_TR::Send(void* data, uint32_t length) { return CDrvDMAStreams::Send(data, length); }
