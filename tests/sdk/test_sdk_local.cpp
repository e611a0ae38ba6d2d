// libmkrxservice as a client sees it, in the run modes that own the card (0
// callback, 1 private ring): the factory, the exports, each method's answer
// per run mode and channel, and every record of the simulated card's feed
// delivered once, in order and intact.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>

#include <atomic>
#include <thread>

#include "gt_config.h"
#include "mkrx_service.h"
#include "sdk_env.h"
#include "sdk_ring.h"

using namespace sdktest;

namespace {

class SdkLocal : public ::testing::Test {
protected:
    void TearDown() override {
        if (m_svc) FreeIMkrxService(m_svc);
    }
    IMkrxService* Open(MkrxChanRunMode_e mode, MkrxDataType_e type,
                       MkrxServiceCbType_e ch = MKRX_SERVICECB_TYPE_RAW_DATA) {
        MkrxInitParam_t p = m_env.Param(mode, type, ch);
        m_svc = NewIMkrxService(&p);
        EXPECT_NE(nullptr, m_svc) << m_env.Log();
        return m_svc;
    }
    Env m_env;
    IMkrxService* m_svc = nullptr;
};

TEST_F(SdkLocal, FactoryVersionsAndClocks) {
    ASSERT_NE(nullptr, Open(MKRX_ONE_SDK_PERFORMANCE_MODE, MKRX_RAW_FPGA_DATA));
    MkrxInitParam_t p = m_env.Param(MKRX_ONE_SDK_PERFORMANCE_MODE, MKRX_RAW_FPGA_DATA);
    EXPECT_EQ(nullptr, NewIMkrxService(&p));
    EXPECT_NE(std::string::npos, m_env.Log().find("Init fail, already exist mkrx instance."));
    EXPECT_STREQ("2.4.5", m_svc->GetVersion());
    EXPECT_EQ(0, std::string(GetUpDmaLibVersion()).find("V:2.4.5 Support E ." __DATE__));
    EXPECT_EQ(0u, GetSdkNum());

    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    int64_t now = (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
    int64_t t = MkrxGetTimeTamp();
    EXPECT_GE(t, now);
    EXPECT_LT(t - now, 1000000000);
    int64_t d = MkrxDiffTimeTamp(t);
    EXPECT_GE(d, 0);
    EXPECT_LT(d, 1000000000);

    // Neither null nor an object that is not the live instance is freed.
    testing::internal::CaptureStdout();
    FreeIMkrxService(nullptr);
    FreeIMkrxService(reinterpret_cast<IMkrxService*>(&p));
    EXPECT_EQ("free Mkrx service failed! It is NULL or object changed!"
              "free Mkrx service failed! It is NULL or object changed!",
              testing::internal::GetCapturedStdout());
    FreeIMkrxService(m_svc);
    m_svc = nullptr;
    EXPECT_NE(nullptr, Open(MKRX_ONE_SDK_PERFORMANCE_MODE, MKRX_RAW_FPGA_DATA));
}

TEST_F(SdkLocal, OneInstanceWhenTwoThreadsCreateAtOnce) {
    MkrxInitParam_t p = m_env.Param(MKRX_ONE_SDK_PERFORMANCE_MODE, MKRX_RAW_FPGA_DATA);
    std::atomic<bool> go{false};
    IMkrxService* got[2] = {nullptr, nullptr};
    std::thread a([&] { while (!go) {} got[0] = NewIMkrxService(&p); });
    std::thread b([&] { while (!go) {} got[1] = NewIMkrxService(&p); });
    go = true;
    a.join();
    b.join();
    EXPECT_TRUE((got[0] == nullptr) != (got[1] == nullptr));
    m_svc = got[0] ? got[0] : got[1];
}

TEST_F(SdkLocal, InitFailsOnBadDeviceIni) {
    struct Case {
        std::string ini, message;
    } cases[] = {
        {"[device]\ndmapoolsize = 1\n", "Get device.ini config fail."},
        {"", "Get device.ini config fail."},  // no device.ini at all
        {"fifo", "Get device.ini config fail."},  // would block the read
    };
    for (const auto& c : cases) {
        std::string path = m_env.dir() + "/device.ini";
        unlink(path.c_str());
        if (c.ini == "fifo")
            ASSERT_EQ(0, mkfifo(path.c_str(), 0600));
        else if (!c.ini.empty())
            qtest::WriteFile(path, c.ini);
        MkrxInitParam_t p = m_env.Param(MKRX_ONE_SDK_PERFORMANCE_MODE, MKRX_RAW_FPGA_DATA);
        testing::internal::CaptureStdout();
        EXPECT_EQ(nullptr, NewIMkrxService(&p));
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(std::string::npos, out.find(c.ini.empty() || c.ini == "fifo" ? "can't parse config file: device.ini"
                                                             : "Get quay.ini path fail ! maybe You haven't entered."))
            << out;
        EXPECT_NE(std::string::npos, m_env.Log().find(c.message));
    }
    // A card without the configured channel: the engine's failure fails Init.
    unlink((m_env.dir() + "/device.ini").c_str());
    qtest::WriteFile(m_env.dir() + "/device.ini", Env::DeviceIni(m_env.dir()));
    qtest::WriteFile(m_env.dir() + "/quay.ini",
                     qtest::RunCmd("sed 's/^dma0name.*/dma0name = NO_SUCH/' " + m_env.dir() + "/quay.ini"));
    MkrxInitParam_t p = m_env.Param(MKRX_ONE_SDK_PERFORMANCE_MODE, MKRX_RAW_FPGA_DATA);
    EXPECT_EQ(nullptr, NewIMkrxService(&p));
    std::string log = m_env.Log();
    EXPECT_NE(std::string::npos, log.find("Could not find a2c stream. dmaName:NO_SUCH"));
    EXPECT_NE(std::string::npos, log.find("Init DMA 0 failed -1!"));
}

// device.ini as MkrxGetDevCfg reads it: defaults, the two required channel
// names, an unreadable file. (GT_CONFIG_DEVICE_INFO_t is the configuration's
// device record.)
TEST_F(SdkLocal, DeviceIniReadingWithDefaultsAndFailures) {
    ASSERT_NE(nullptr, Open(MKRX_ONE_SDK_PERFORMANCE_MODE, MKRX_RAW_FPGA_DATA));
    GT_CONFIG_DEVICE_INFO_t info;
    qtest::WriteFile(m_env.dir() + "/device.ini", "[device]\ndma0name = A\ndma1name = B\n");
    ASSERT_EQ(0, MkrxGetDevCfg(m_env.dir(), &info));
    EXPECT_EQ(-1, info.nCoreId);
    EXPECT_EQ(-1, info.nBusId);
    EXPECT_EQ(256u, info.uiPoolSize);
    EXPECT_EQ(4u, info.uiCpyCore);
    EXPECT_EQ("A", info.strDevDma0Name);
    EXPECT_EQ("B", info.strDevDma1Name);
    EXPECT_NE(std::string::npos, m_env.Log().find("device ini:coreId:-1,busId:-1, dma0Name:A, dma1Name:B. poolSize:256"));

    qtest::WriteFile(m_env.dir() + "/device.ini", "[device]\ncore_id = 474\nbus_id = 1\ndmapoolsize = 8\n"
                                                  "copyCoreNum = 2\ndma0name =\ndma1name = B\n");
    EXPECT_EQ(-1, MkrxGetDevCfg(m_env.dir(), &info));
    EXPECT_EQ(474, info.nCoreId);
    EXPECT_EQ(8u, info.uiPoolSize);
    EXPECT_NE(std::string::npos, m_env.Log().find("can't get device:dma0name"));
    qtest::WriteFile(m_env.dir() + "/device.ini", "[device]\ndma0name = A\n");
    EXPECT_EQ(-1, MkrxGetDevCfg(m_env.dir(), &info));
    EXPECT_NE(std::string::npos, m_env.Log().find("can't get device:dma1name"));
    EXPECT_EQ(-1, MkrxGetDevCfg(m_env.dir() + "/nowhere", &info));
    std::string log = m_env.Log();
    size_t at = log.find("][fpga]can't parse config file: device.ini");
    ASSERT_NE(std::string::npos, at);
    EXPECT_EQ(0u, log.compare(log.rfind('\n', at) + 1, 9, "[WARN   ]"));
}

// What each call answers where it does not apply.
TEST_F(SdkLocal, MethodsAnswerPerRunModeAndChannel) {
    ASSERT_NE(nullptr, Open(MKRX_ONE_SDK_PERFORMANCE_MODE, MKRX_RAW_FPGA_DATA, MKRX_SERVICECB_TYPE_BUTT));
    EXPECT_EQ(-1, m_svc->PollOnce());
    EXPECT_NE(std::string::npos, m_env.Log().find("unsupport callback type 2."));
    EXPECT_EQ(-1, m_svc->StartCpyThread());
    EXPECT_EQ(-1, m_svc->StopCpyThread());
    EXPECT_EQ(nullptr, m_svc->GetDmaBuf());
    EXPECT_EQ(nullptr, m_svc->GetDmaStatInf());
    EXPECT_EQ(4, m_svc->GetCpyDataType());
    EXPECT_EQ(0u, m_svc->GetTailUseLen());
    MkrxCurPoolUsge_t u{7, reinterpret_cast<const uint8_t*>(1)};
    EXPECT_EQ(-1, m_svc->GetPoolCurrUsage(&u));
    EXPECT_EQ(0u, u.uiAvailDataLen);
    FreeIMkrxService(m_svc);

    // Channel 0 without a pool (run mode 0).
    ASSERT_NE(nullptr, Open(MKRX_ONE_SDK_PERFORMANCE_MODE, MKRX_RAW_FPGA_DATA));
    EXPECT_EQ(nullptr, m_svc->GetDmaBuf());
    EXPECT_NE(std::string::npos, m_env.Log().find("pool is empty. return fail."));
    EXPECT_EQ(nullptr, m_svc->GetDmaStatInf());
    EXPECT_EQ(4, m_svc->GetCpyDataType());
    EXPECT_EQ(-1, m_svc->StartCpyThread());
    EXPECT_EQ(-1, m_svc->PollOnce());  // nothing registered, nothing waiting
    FreeIMkrxService(m_svc);

    // Run mode 1 on the parse channel: a ring of the requested type.
    ASSERT_NE(nullptr, Open(MKRX_ONE_SDK_RINGBUF_MODE, MKRX_PCAP_DATA, MKRX_SERVICECB_TYPE_PARSE_DATA));
    auto* rb = static_cast<ringbuffer*>(m_svc->GetDmaBuf());
    ASSERT_NE(nullptr, rb);
    EXPECT_EQ(1u << 20, rb->p.size);
    EXPECT_EQ(3, m_svc->GetCpyDataType());
    ASSERT_NE(nullptr, m_svc->GetDmaStatInf());
    EXPECT_NE(std::string::npos, m_env.Log().find("Init DMA success! name:MAC_CHAN1_DATA, id:0, RingPool mode:1."));
    EXPECT_EQ(-1, m_svc->GetPoolCurrUsage(&u));
}

// Run mode 0: every record of the feed reaches the callback once, in order.
TEST_F(SdkLocal, CallbackModeDeliversEveryRecordOnce) {
    ASSERT_NE(nullptr, Open(MKRX_ONE_SDK_PERFORMANCE_MODE, MKRX_RAW_FPGA_DATA));
    FeedChecker chk;
    ASSERT_EQ(0, m_svc->RegisterHandler([](const uint8_t* d, uint32_t n, void* c) { (*(FeedChecker*)c)(d, n); }, &chk));
    ASSERT_EQ(0, Env::Feed(kCh0, 30000, 100));
    while (chk.records < 30000 && chk.bad.empty()) m_svc->PollOnce();
    EXPECT_EQ(-1, m_svc->PollOnce());
    EXPECT_EQ("", chk.bad);
    EXPECT_EQ(30000u, chk.records);
    EXPECT_EQ(0u, chk.gaps);
}

// The parse-channel wrapper of a type 2 service: the callback gets an
// MkrxPktInfo_t pointing at the record, and the length + 24.
TEST_F(SdkLocal, TimestampWrapperGivesPacketInfo) {
    ASSERT_NE(nullptr, Open(MKRX_ONE_SDK_RINGBUF_MODE, MKRX_RAW_FPGA_WITH_HDR_DATA));
    struct Seen {
        uint32_t len = 0, payload = 0;
        int64_t ts = 0;
        FeedChecker chk;
    } seen;
    ASSERT_EQ(0, m_svc->RegisterHandler(
                     [](const uint8_t* d, uint32_t n, void* c) {
                         auto* s = (Seen*)c;
                         const auto* pi = reinterpret_cast<const MkrxPktInfo_t*>(d);
                         s->len = n;
                         s->payload = pi->uiPayloadLen;
                         s->ts = pi->uiTimeStamp;
                         s->chk(pi->pucData, pi->uiPayloadLen);
                     },
                     &seen));
    ASSERT_EQ(0, enyx_sim_a2c_feed(0, kCh0, nullptr));
    ASSERT_EQ(0, Env::Feed(kCh0, 1, 40));
    int64_t before = MkrxGetTimeTamp();
    ASSERT_EQ(0, m_svc->PollOnce());
    EXPECT_EQ(40u + 24, seen.len);
    EXPECT_EQ(40u, seen.payload);
    EXPECT_GE(seen.ts, before);
    EXPECT_LE(seen.ts, MkrxGetTimeTamp());
    EXPECT_EQ("", seen.chk.bad);
    EXPECT_EQ(1u, seen.chk.records);
}

class SdkRing : public SdkLocal, public ::testing::WithParamInterface<int> {};

// Run mode 1: the copy thread against this reader, every framing. The ring
// holds the whole feed, so that no record is dropped however slow the reader.
TEST_P(SdkRing, CopyThreadDeliversEveryRecordIntoTheRing) {
    const int type = GetParam();
    m_env.SetPoolMiB(16);
    ASSERT_NE(nullptr, Open(MKRX_ONE_SDK_RINGBUF_MODE, (MkrxDataType_e)type));
    auto* rb = static_cast<ringbuffer*>(m_svc->GetDmaBuf());
    ASSERT_NE(nullptr, rb);
    ASSERT_EQ(0, m_svc->StartCpyThread());
    const uint64_t total = 40000;
    ASSERT_EQ(0, Env::Feed(kCh0, total, 200));
    FeedChecker chk;
    ReadPrivateRing(m_svc, rb, type, total, chk, /*wholeWindows=*/true);
    EXPECT_EQ(0, m_svc->StopCpyThread());
    EXPECT_EQ("", chk.bad);
    EXPECT_EQ(total, chk.records);
    EXPECT_EQ(0u, chk.gaps);
    const DmaInfoStat_t* st = m_svc->GetDmaStatInf();
    EXPECT_EQ(total, st->ulCpyPktNum);
    EXPECT_EQ(0u, st->ulSoftDisPktNum);
    EXPECT_EQ(total, st->uiHardwareDmaCpyNum);
}

INSTANTIATE_TEST_SUITE_P(Types, SdkRing, ::testing::Values(0, 1, 2, 3));

// A reader that does not keep up: the ring drops and counts; a copy thread
// that is not running leaves the card's FIFO to overflow, which the engine
// reports when it is destroyed.
TEST_F(SdkLocal, SlowReaderAndBackPressureAreCountedAndReported) {
    ASSERT_NE(nullptr, Open(MKRX_ONE_SDK_RINGBUF_MODE, MKRX_RAW_FPGA_WITH_LEN_HDR));
    ASSERT_EQ(0, m_svc->StartCpyThread());
    ASSERT_EQ(0, Env::Feed(kCh0, 20000, 100));  // 2 MB into a 1 MiB ring nobody reads
    const DmaInfoStat_t* st = m_svc->GetDmaStatInf();
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (__atomic_load_n(&st->ulCpyPktNum, __ATOMIC_RELAXED) + __atomic_load_n(&st->ulSoftDisPktNum, __ATOMIC_RELAXED) <
               20000 &&
           std::chrono::steady_clock::now() < until) {
    }
    EXPECT_EQ(0, m_svc->StopCpyThread());
    EXPECT_EQ((1u << 20) / 104, st->ulCpyPktNum);
    EXPECT_EQ(20000 - st->ulCpyPktNum, st->ulSoftDisPktNum);
    EXPECT_EQ(100 * st->ulSoftDisPktNum, st->ulSoftDisByte);

    const uint8_t rec[16] = {};
    for (int i = 0; i < 70000; ++i) enyx_sim_a2c_inject(0, kCh0, rec, sizeof(rec));  // past the FIFO's 65536
    enyx_sim_a2c_stats s;
    ASSERT_EQ(0, enyx_sim_a2c_stats_get(0, kCh0, &s));
    EXPECT_EQ(70000u - 65536, s.backpressure);
    FreeIMkrxService(m_svc);
    m_svc = nullptr;
    std::string log = m_env.Log();
    EXPECT_NE(std::string::npos, log.find("DMA: backpressure count:4464, dma2soft count:20000, fifo count:0"));
    EXPECT_NE(std::string::npos, log.find("Note back pressure happens! may loss some data !"));
}

}  // namespace
