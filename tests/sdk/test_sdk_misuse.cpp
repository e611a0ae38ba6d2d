// A careless client of libmkrxservice in the run modes that own the card:
// freeing the service from two threads at once or under a running copy
// thread, starting the copy thread twice, enumerations outside their values
// in the init parameter and in device.ini. Each must be refused or survived,
// never undefined behaviour.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <thread>

#include "mkrx_service.h"
#include "sdk_env.h"
#include "sdk_ring.h"

using namespace sdktest;

namespace {

using Clock = std::chrono::steady_clock;

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

class SdkMisuse : public ::testing::Test {
protected:
    void TearDown() override {
        if (m_svc) FreeIMkrxService(m_svc);
    }
    IMkrxService* Open(MkrxChanRunMode_e mode, MkrxDataType_e type) {
        MkrxInitParam_t p = m_env.Param(mode, type);
        m_svc = NewIMkrxService(&p);
        EXPECT_NE(nullptr, m_svc) << m_env.Log();
        return m_svc;
    }
    // Run mode 1 with the copy thread running under the card's feed
    // generator, once it has copied something.
    IMkrxService* Copying() {
        IMkrxService* s = Open(MKRX_ONE_SDK_RINGBUF_MODE, MKRX_RAW_FPGA_WITH_LEN_HDR);
        if (s == nullptr) return nullptr;
        EXPECT_EQ(0, Env::Feed(kCh0, 0, 64, 50000));
        EXPECT_EQ(0, s->StartCpyThread());
        const DmaInfoStat_t* st = s->GetDmaStatInf();
        auto until = Clock::now() + std::chrono::seconds(30);
        while (mkrx::LoadRelaxed(&st->ulCpyPktNum) + mkrx::LoadRelaxed(&st->ulSoftDisPktNum) == 0 &&
               Clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_NE(0u, mkrx::LoadRelaxed(&st->ulCpyPktNum) + mkrx::LoadRelaxed(&st->ulSoftDisPktNum));
        return s;
    }
    Env m_env;
    IMkrxService* m_svc = nullptr;
};

// Freeing the service while its copy thread polls the card: the thread is
// stopped and joined before the streams and the pool go; a service can be
// made again afterwards.
TEST_F(SdkMisuse, FreeWhileTheCopyThreadRunsStopsItFirst) {
    IMkrxService* s = Copying();
    ASSERT_NE(nullptr, s);
    m_svc = nullptr;
    FreeIMkrxService(s);
    std::string log = m_env.Log();
    size_t stop = log.find("Now we stop copy thread.");
    ASSERT_NE(std::string::npos, stop) << log;
    EXPECT_LT(stop, log.find("DMA: backpressure count:")) << "the thread is stopped before the streams go";
    EXPECT_EQ(std::string::npos, log.find("still run"));
    ASSERT_EQ(0, enyx_sim_a2c_feed(0, kCh0, nullptr));
    EXPECT_NE(nullptr, Open(MKRX_ONE_SDK_RINGBUF_MODE, MKRX_RAW_FPGA_WITH_LEN_HDR));
}

// Two threads free the same live service at once, many times over: one
// deletes it, the other is refused with the usual message, and nothing is
// touched after it is gone. Most rounds use run mode 3, which sets nothing up
// and so makes rounds cheap; the last ones free under a running copy thread.
TEST_F(SdkMisuse, TwoThreadsFreeingAtOnceDeleteOnce) {
    const std::string refused = "free Mkrx service failed! It is NULL or object changed!";
    const int rounds = 200, copying = 2;
    for (int round = 0; round < rounds; ++round) {
        IMkrxService* s =
            round >= rounds - copying ? Copying() : Open(MKRX_MULTI_SDK_PRODUCE_MODE, MKRX_RAW_FPGA_DATA);
        ASSERT_NE(nullptr, s);
        m_svc = nullptr;
        std::atomic<int> ready{0};
        testing::internal::CaptureStdout();
        auto freer = [&] {
            ready++;
            while (ready.load() < 2) {
            }
            FreeIMkrxService(s);
        };
        std::thread a(freer), b(freer);
        a.join();
        b.join();
        std::string out = testing::internal::GetCapturedStdout();
        ASSERT_EQ(1u, Count(out, refused)) << "round " << round << ": " << out;
    }
    ASSERT_EQ(0, enyx_sim_a2c_feed(0, kCh0, nullptr));
    // The later free of the same pointer is refused too.
    IMkrxService* s = Open(MKRX_ONE_SDK_PERFORMANCE_MODE, MKRX_RAW_FPGA_DATA);
    ASSERT_NE(nullptr, s);
    m_svc = nullptr;
    FreeIMkrxService(s);
    testing::internal::CaptureStdout();
    FreeIMkrxService(s);
    EXPECT_EQ(refused, testing::internal::GetCapturedStdout());
}

// A second StartCpyThread would put a second writer on the ring: it is
// refused, and every record of the feed arrives once, in order, from the one
// copy thread. After a stop the thread may be started again.
TEST_F(SdkMisuse, SecondStartCpyThreadIsRefused) {
    m_env.SetPoolMiB(16);  // the whole feed fits: nothing is dropped however slow the reader
    ASSERT_NE(nullptr, Open(MKRX_ONE_SDK_RINGBUF_MODE, MKRX_RAW_FPGA_WITH_LEN_HDR));
    auto* rb = static_cast<ringbuffer*>(m_svc->GetDmaBuf());
    ASSERT_NE(nullptr, rb);
    ASSERT_EQ(0, m_svc->StartCpyThread());
    EXPECT_EQ(-1, m_svc->StartCpyThread());
    EXPECT_NE(std::string::npos,
              m_env.Log().find("DMA(MAC_CHAN0_DATA) copy thread is already started; stop it before starting it again."));
    const uint64_t total = 30000;
    ASSERT_EQ(0, Env::Feed(kCh0, total, 100));
    FeedChecker chk;
    ReadPrivateRing(m_svc, rb, MKRX_RAW_FPGA_WITH_LEN_HDR, total, chk, /*wholeWindows=*/false);
    EXPECT_EQ(0, m_svc->StopCpyThread());
    EXPECT_EQ("", chk.bad);
    EXPECT_EQ(total, chk.records);
    EXPECT_EQ(0u, chk.gaps);
    EXPECT_EQ(total, m_svc->GetDmaStatInf()->ulCpyPktNum);
    EXPECT_EQ(0, m_svc->StartCpyThread()) << "a stopped thread may be started again";
    EXPECT_EQ(0, m_svc->StopCpyThread());
}

// Enumerations of the init parameter are checked as the integers the client
// wrote, before they are used: outside their values NewIMkrxService fails
// with the bad-parameter message; the ends of each range still pass.
TEST_F(SdkMisuse, InitParamEnumerationsOutsideTheirValuesAreRefused) {
    struct Case {
        size_t field;
        int value;
        bool accepted;
    } cases[] = {
        {offsetof(MkrxInitParam_t, eRunMode), 7, false},
        {offsetof(MkrxInitParam_t, eRunMode), 4, false},
        {offsetof(MkrxInitParam_t, eRunMode), -1, false},
        {offsetof(MkrxInitParam_t, eRunMode), MKRX_MULTI_SDK_PRODUCE_MODE, true},
        {offsetof(MkrxInitParam_t, eChannel), 3, false},
        {offsetof(MkrxInitParam_t, eChannel), -1, false},
        {offsetof(MkrxInitParam_t, eChannel), 1000, false},
        {offsetof(MkrxInitParam_t, eChannel), MKRX_SERVICECB_TYPE_BUTT, true},
        {offsetof(MkrxInitParam_t, eDataType), 5, false},
        {offsetof(MkrxInitParam_t, eDataType), 99, false},
        {offsetof(MkrxInitParam_t, eDataType), -1, false},
        {offsetof(MkrxInitParam_t, eDataType), MKRX_ERROR_DATA, true},
    };
    size_t refused = 0;
    for (const auto& c : cases) {
        MkrxInitParam_t p = m_env.Param(MKRX_ONE_SDK_PERFORMANCE_MODE, MKRX_RAW_FPGA_DATA);
        memcpy(reinterpret_cast<char*>(&p) + c.field, &c.value, sizeof(int));
        testing::internal::CaptureStdout();
        IMkrxService* s = NewIMkrxService(&p);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(c.accepted, s != nullptr) << "field at " << c.field << " = " << c.value;
        if (s) FreeIMkrxService(s);
        if (!c.accepted) ++refused;
        EXPECT_EQ(refused, Count(m_env.Log(), "Init param error!")) << "field at " << c.field << " = " << c.value;
    }
}

// device:dataType becomes the producer's framing: a value that is none of
// them fails the reading of device.ini.
TEST_F(SdkMisuse, DeviceIniDataTypeOutsideItsValuesIsRefused) {
    const struct {
        int value;
        bool accepted;
    } cases[] = {{99, false}, {-1, false}, {5, false}, {3, true}, {4, true}};
    size_t refused = 0;
    for (const auto& c : cases) {
        qtest::WriteFile(m_env.dir() + "/device.ini",
                         Env::DeviceIni(m_env.dir()) + "dataType = " + std::to_string(c.value) + "\n");
        MkrxInitParam_t p = m_env.Param(MKRX_ONE_SDK_PERFORMANCE_MODE, MKRX_RAW_FPGA_DATA);
        testing::internal::CaptureStdout();
        IMkrxService* s = NewIMkrxService(&p);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(c.accepted, s != nullptr) << "dataType = " << c.value;
        if (s) FreeIMkrxService(s);
        std::string log = m_env.Log();
        if (!c.accepted) {
            ++refused;
            EXPECT_NE(std::string::npos, log.find("Unsupport data type, " + std::to_string(c.value)));
        }
        EXPECT_EQ(refused, Count(log, "Get device.ini config fail.")) << "dataType = " << c.value;
    }
}

}  // namespace
