// Enyx register driver and handle lookup against the simulated card.
//
// The first core lookup of a process resets the card and waits one second;
// the tests that need a core are few and each pays that second once.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "drvEnyx.h"
#include "enyx_sim_env.h"
#include "fake_cmds.h"
#include "log_capture.h"

namespace {

// Core 474 and 472 with 64 KiB of registers (indexes 0..16383), a core id
// present twice, and a second card.
const char* kCard =
    "card\n"
    "core 474 regs=65536\n"
    "core 472 regs=65536\n"
    "core 999 regs=4096 count=2\n"
    "stream MAC_CHAN0_DATA\n"
    "card second\n"
    "core 474 regs=4096\n";

constexpr uint64_t kOutside = 16384;  // first index past core 474's registers

// The logged line that holds text, or "".
std::string LineWith(const qtest::LogCapture& log, const std::string& text) {
    std::string all = log.Text();
    size_t p = all.find(text);
    if (p == std::string::npos) return "";
    size_t b = all.rfind('\n', p);
    b = b == std::string::npos ? 0 : b + 1;
    size_t e = all.find('\n', p);
    return all.substr(b, e == std::string::npos ? std::string::npos : e - b);
}

bool Logged(const qtest::LogCapture& log, const char* level, const std::string& text) {
    std::string line = LineWith(log, text);
    return line.rfind(std::string("[") + level, 0) == 0 && line.find("[fpga]") != std::string::npos;
}

class EnyxDrvTest : public ::testing::Test {
protected:
    void SetUp() override {
        DrvEnyxVarClear();  // fresh tables, also when the cases share one process
        enyx_sim_fail_clear();
    }
    void TearDown() override {
        enyx_sim_fail_clear();
        DrvEnyxVarClear();
    }

    int InitDrv(CDrvEnyxReg& drv, int16_t bus, int16_t core) {
        DrvRegInfo_t info{bus, core};
        return drv.Init(&info);
    }

    std::vector<enyx_sim_log_entry> Mine(uint64_t mark, const std::string& ops = "RWLU") {
        return qtest::EnyxSimEnv::Log(mark, 0, getpid(), ops);
    }

    qtest::EnyxSimEnv m_card{kCard};
};

struct Acc {
    char op;
    uint64_t off;
    unsigned width;
};

std::vector<Acc> Accesses(const std::vector<enyx_sim_log_entry>& log) {
    std::vector<Acc> v;
    for (const auto& e : log) v.push_back(Acc{e.op, e.byte_offset, e.width});
    return v;
}

::testing::AssertionResult SameAccesses(const std::vector<Acc>& want, const std::vector<Acc>& got) {
    auto str = [](const std::vector<Acc>& v) {
        std::string s;
        for (const auto& a : v) {
            s += a.op;
            if (a.op == 'R' || a.op == 'W') s += std::to_string(a.width) + "@" + std::to_string(a.off);
            s += ' ';
        }
        return s;
    };
    if (str(want) == str(got)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "want: " << str(want) << "\n got: " << str(got);
}

// ---------------------------------------------------------------------------

TEST_F(EnyxDrvTest, BadArgumentsAreRefusedWithoutResettingTheCard) {
    qtest::LogCapture log;
    CDrvEnyxReg drv;
    EXPECT_EQ(-1, drv.Init(nullptr));
    EXPECT_TRUE(Logged(log, "ERROR", "Init param error!")) << log.Text();

    // Bus ids past the tables are refused, not used as an index.
    EXPECT_EQ(nullptr, DrvEnyxCoreGetAcc(10));
    EXPECT_TRUE(Logged(log, "ERROR", "Invalid enyx bus id:10, should be 0 to 9.")) << log.Text();
    EXPECT_EQ(nullptr, DrvEnyxCoreGetAcc(-1));
    enyx_hw_core* core = nullptr;
    EXPECT_EQ(-1, DrvEnyxGetCore(10, 474, &core, 1));
    EXPECT_TRUE(Logged(log, "ERROR", "Get core error. busId:10, coreId:474")) << log.Text();
    EXPECT_EQ(nullptr, core);

    // A bus id with no card behind it.
    EXPECT_EQ(nullptr, DrvEnyxCoreGetAcc(3));
    EXPECT_TRUE(Logged(log, "ERROR", "Could not find accelerator. ernno:")) << log.Text();
    EXPECT_TRUE(log.Contains(", get acc num:0.")) << log.Text();

    // Init on such a bus: the enumerate error, then the advice text.
    EXPECT_EQ(-1, InitDrv(drv, 3, 474));
    EXPECT_TRUE(Logged(log, "ERROR", "Get core error. busId:3, coreId:474")) << log.Text();
    EXPECT_TRUE(Logged(log, "ERROR", "enumerate core error!, get core num -1, msg:")) << log.Text();
    EXPECT_TRUE(log.Contains(", busid:3, coreId:474.")) << log.Text();
    EXPECT_TRUE(log.Contains(
        "Using the following method to solve:\n1 Make sure present has loaded enyx firmware: \n \t lspci | grep "
        "Enyx\n2 check quay.ini file's bus_id:\n \t If there is only one board, it's 0. over two board, please "
        "contact software man\n3 check quay.ini file's core_id:\n \t Usually it's 474 or 472 \n"))
        << log.Text();

    // An uninitialised driver fails every access and leaves values alone.
    uint32_t v = 0x5a5a5a5a;
    EXPECT_EQ(-1, drv.ReadInt32(5, v));
    EXPECT_EQ(0x5a5a5a5au, v);
    EXPECT_TRUE(Logged(log, "WARN", "read int32 failed, addr:5")) << log.Text();
    EXPECT_EQ(-1, drv.WriteInt8(6, 1));
    EXPECT_TRUE(Logged(log, "WARN", "write int8 failed, addr:6")) << log.Text();
    uint8_t buf[4] = {1, 2, 3, 4};
    EXPECT_EQ(static_cast<uint64_t>(-1), drv.ReadBytes(7, buf, 4));
    EXPECT_TRUE(Logged(log, "WARN", "Read value failed, addr:7")) << log.Text();
    EXPECT_EQ(1, buf[0]);

    // Nothing above reached a card's core tree.
    EXPECT_EQ(0, enyx_sim_reset_count(0, 0));
    EXPECT_EQ(0, enyx_sim_reset_count(1, 0));
}

TEST_F(EnyxDrvTest, EveryFailedLookupStepIsLoggedAndRetriedFromScratch) {
    enyx_hw_core* core = nullptr;
    struct Step {
        const char* call;
        int err;
        std::string message;
    };
    const std::vector<Step> steps = {
        {"enyx_hw_filter_create", ENOMEM, "Could not create filter for DMA. errno:12"},
        {"enyx_hw_filter_set_index", EINVAL, "Could not set filter id. errno:22, errMsg:Invalid argument."},
        {"enyx_hw_enumerate_accelerators", EIO,
         "Could not find accelerator. ernno:5, msg:Input/output error, get acc num:-1."},
        {"enyx_hw_accelerator_get", ENODEV, "Could not get accelerator. errno:19"},
    };
    // The lookup fails once at the step, with the step's message and the lookup's.
    auto failAt = [&](const Step& s) {
        qtest::LogCapture log;
        ASSERT_EQ(0, enyx_sim_fail_call(s.call, 0, 1, s.err));
        EXPECT_EQ(-1, DrvEnyxGetCore(0, 474, &core, 1));
        EXPECT_TRUE(Logged(log, "ERROR", s.message)) << log.Text();
        EXPECT_TRUE(Logged(log, "ERROR", "Get core error. busId:0, coreId:474")) << log.Text();
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.call);
        ASSERT_NO_FATAL_FAILURE(failAt(s));
    }
    // The accelerator is found and cached from here on: a broken accelerator
    // enumeration no longer matters.
    enyx_hw_accelerator* acc = DrvEnyxCoreGetAcc(0);
    ASSERT_NE(nullptr, acc);
    ASSERT_EQ(0, enyx_sim_fail_call("enyx_hw_enumerate_accelerators", 0, 1000, EIO));

    const std::vector<Step> rootSteps = {
        {"enyx_hw_filter_create", ENOMEM, "Could not create mmio filter, errmsg:Cannot allocate memory."},
        {"enyx_hw_filter_set_index", EINVAL, "Could not set mmio filter index, errmsg:Invalid argument."},
        {"enyx_hw_accelerator_enumerate_mmios", EIO, "Could not find mmio, errmsg:Input/output error."},
        {"enyx_hw_mmio_create", ENOMEM, "Could not create mmio, errmsg:Cannot allocate memory."},
        {"enyx_hw_enumerate_cores", ENODEV, "Could not find tree, errmsg:No such device."},
        {"enyx_hw_core_tree_get_root", ENOENT, "Could not find root, errmsg:No such file or directory."},
    };
    for (const Step& s : rootSteps) {
        SCOPED_TRACE(s.call);
        ASSERT_NO_FATAL_FAILURE(failAt(s));
        EXPECT_EQ(acc, DrvEnyxCoreGetAcc(0));
        EXPECT_EQ(0, enyx_sim_reset_count(0, 0)) << "a half-built tree was reset";
    }

    // With every step working the tree is built, reset once, and the core found.
    EXPECT_EQ(1, DrvEnyxGetCore(0, 474, &core, 1));
    EXPECT_NE(nullptr, core);
    EXPECT_EQ(1, enyx_sim_reset_count(0, 0));
    EXPECT_EQ(1, enyx_sim_reset_count(0, 474));

    // A failing core enumeration is reported; the cached tree stays.
    {
        qtest::LogCapture log;
        ASSERT_EQ(0, enyx_sim_fail_call("enyx_hw_core_enumerate", 0, 1, EBUSY));
        EXPECT_EQ(-1, DrvEnyxGetCore(0, 474, &core, 1));
        EXPECT_TRUE(Logged(log, "ERROR",
                           "Could not enumerate cores, busId:0, coreId:474. errmsg:Device or resource busy."))
            << log.Text();
    }
    // Counting without handles, and a core id the card has twice.
    EXPECT_EQ(1, DrvEnyxGetCore(0, 472, nullptr, 0));
    enyx_hw_core* two[2] = {nullptr, nullptr};
    EXPECT_EQ(2, DrvEnyxGetCore(0, 999, two, 2));
    EXPECT_NE(two[0], two[1]);
    EXPECT_EQ(1, enyx_sim_reset_count(0, 0));

    // The second card has its own tables and its own reset.
    EXPECT_EQ(0, enyx_sim_reset_count(1, 0));
    enyx_sim_fail_clear();
    EXPECT_EQ(1, DrvEnyxGetCore(1, 474, &core, 1));
    EXPECT_EQ(1, enyx_sim_reset_count(1, 0));
    EXPECT_EQ(1, enyx_sim_reset_count(0, 0));
}

TEST_F(EnyxDrvTest, InitNeedsExactlyOneCoreOfTheId) {
    qtest::LogCapture log;
    CDrvEnyxReg drv;
    EXPECT_EQ(-1, InitDrv(drv, 0, 1234));
    EXPECT_TRUE(Logged(log, "ERROR", "enumerate core error!, get core num 0, msg:")) << log.Text();
    EXPECT_TRUE(log.Contains(", busid:0, coreId:1234.")) << log.Text();
    EXPECT_EQ(1, log.Count("Using the following method to solve:"));

    EXPECT_EQ(-1, InitDrv(drv, 0, 999));  // two cores answer to 999
    EXPECT_TRUE(log.Contains("enumerate core error!, get core num 2, msg:")) << log.Text();

    // The failed Inits left the driver without a core.
    uint64_t mark = enyx_sim_log_mark(0);
    uint16_t v = 7;
    EXPECT_EQ(-1, drv.ReadInt16(0, v));
    EXPECT_EQ(7, v);
    EXPECT_TRUE(Mine(mark).empty());

    EXPECT_EQ(0, InitDrv(drv, 0, 474));
    EXPECT_EQ(0, drv.ReadInt16(0, v));
    EXPECT_EQ(1, enyx_sim_reset_count(0, 0));
}

TEST_F(EnyxDrvTest, RegisterAccessesUseIndexTimesFourWidthAndCoreLock) {
    CDrvEnyxReg drv;
    ASSERT_EQ(0, InitDrv(drv, 0, 474));

    // Bytes 11 22 33 44 at increasing addresses of register 3 read as 0x44332211.
    const uint8_t le[4] = {0x11, 0x22, 0x33, 0x44};
    ASSERT_EQ(0, enyx_sim_reg_poke(0, 474, 12, le, 4));
    uint64_t mark = enyx_sim_log_mark(0);
    uint32_t v32 = 0;
    EXPECT_EQ(0, drv.ReadInt32(3, v32));
    EXPECT_EQ(0x44332211u, v32);
    uint8_t v8 = 0;
    EXPECT_EQ(0, drv.ReadInt8(3, v8));
    EXPECT_EQ(0x11, v8);
    uint16_t v16 = 0;
    EXPECT_EQ(0, drv.ReadInt16(3, v16));
    EXPECT_EQ(0x2211, v16);
    EXPECT_TRUE(SameAccesses({{'L', 0, 0}, {'R', 12, 32}, {'U', 0, 0},
                              {'L', 0, 0}, {'R', 12, 8}, {'U', 0, 0},
                              {'L', 0, 0}, {'R', 12, 16}, {'U', 0, 0}},
                             Accesses(Mine(mark))));

    // Writes store exactly their width, little-endian, and leave the neighbours.
    uint8_t ff[16];
    memset(ff, 0xff, sizeof(ff));
    ASSERT_EQ(0, enyx_sim_reg_poke(0, 474, 40, ff, sizeof(ff)));
    mark = enyx_sim_log_mark(0);
    EXPECT_EQ(0, drv.WriteInt16(10, 0xBEEF));
    EXPECT_EQ(0, drv.WriteInt8(11, 0x5A));
    EXPECT_EQ(0, drv.WriteInt64(12, 0x0102030405060708ull));
    uint8_t got[16];
    ASSERT_EQ(0, enyx_sim_reg_peek(0, 474, 40, got, sizeof(got)));
    const uint8_t want[16] = {0xEF, 0xBE, 0xff, 0xff, 0x5A, 0xff, 0xff, 0xff,
                              0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01};
    EXPECT_EQ(0, memcmp(want, got, 16));
    EXPECT_TRUE(SameAccesses({{'L', 0, 0}, {'W', 40, 16}, {'U', 0, 0},
                              {'L', 0, 0}, {'W', 44, 8}, {'U', 0, 0},
                              {'L', 0, 0}, {'W', 48, 64}, {'U', 0, 0}},
                             Accesses(Mine(mark))));
    uint64_t v64 = 0;
    EXPECT_EQ(0, drv.ReadInt64(12, v64));
    EXPECT_EQ(0x0102030405060708ull, v64);
    EXPECT_EQ(0, drv.WriteInt32(20, 0xCAFEF00D));
    EXPECT_EQ(0, drv.ReadInt32(20, v32));
    EXPECT_EQ(0xCAFEF00Du, v32);

    // ReadBytes of 20 bytes: two 64-bit reads and one 32-bit read, one lock span.
    uint8_t pattern[20];
    for (int i = 0; i < 20; ++i) pattern[i] = static_cast<uint8_t>(0xA0 + i);
    ASSERT_EQ(0, enyx_sim_reg_poke(0, 474, 400, pattern, 20));
    uint8_t buf[20] = {0};
    mark = enyx_sim_log_mark(0);
    EXPECT_EQ(20u, drv.ReadBytes(100, buf, 20));
    EXPECT_EQ(0, memcmp(pattern, buf, 20));
    EXPECT_TRUE(SameAccesses({{'L', 0, 0}, {'R', 400, 64}, {'R', 408, 64}, {'R', 416, 32}, {'U', 0, 0}},
                             Accesses(Mine(mark))));

    // WriteBytes of 8 bytes is exactly one 64-bit write; 13 bytes add one 40-bit write.
    mark = enyx_sim_log_mark(0);
    EXPECT_EQ(8u, drv.WriteBytes(200, pattern, 8));
    EXPECT_TRUE(SameAccesses({{'L', 0, 0}, {'W', 800, 64}, {'U', 0, 0}}, Accesses(Mine(mark))));
    mark = enyx_sim_log_mark(0);
    EXPECT_EQ(13u, drv.WriteBytes(300, pattern, 13));
    EXPECT_TRUE(SameAccesses({{'L', 0, 0}, {'W', 1200, 64}, {'W', 1208, 40}, {'U', 0, 0}},
                             Accesses(Mine(mark))));
    uint8_t back[16];
    ASSERT_EQ(0, enyx_sim_reg_peek(0, 474, 1200, back, 16));
    EXPECT_EQ(0, memcmp(pattern, back, 13));
    EXPECT_EQ(0, back[13]);

    // Raw transfers without a buffer (the reversed ranges are in the drivers'
    // contract, test_drv_contract.cpp).
    {
        qtest::LogCapture log;
        EXPECT_EQ(0u, drv.ReadBytes(1000, nullptr, 4));
        EXPECT_TRUE(Logged(log, "WARN", "Didn't inited in yet!")) << log.Text();
        EXPECT_EQ(0u, drv.WriteBytes(1000, nullptr, 4));
        EXPECT_TRUE(Logged(log, "WARN", "Didn't inited out yet!")) << log.Text();
    }

    // A second driver on the same card, another core: no second reset, its own registers.
    CDrvEnyxReg drv472;
    ASSERT_EQ(0, InitDrv(drv472, 0, 472));
    EXPECT_EQ(1, enyx_sim_reset_count(0, 0));
    EXPECT_EQ(0, drv472.ReadInt32(20, v32));
    EXPECT_EQ(0u, v32);
    EXPECT_EQ(0, drv472.WriteInt32(20, 0x472));
    EXPECT_EQ(0, drv.ReadInt32(20, v32));
    EXPECT_EQ(0xCAFEF00Du, v32);
}

TEST_F(EnyxDrvTest, BulkTransfersHoldTheCoreLockAgainstOtherThreads) {
    CDrvEnyxReg drv;
    ASSERT_EQ(0, InitDrv(drv, 0, 474));
    uint64_t mark = enyx_sim_log_mark(0);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        // Bounded so that the card's access log (65536 entries) keeps everything.
        for (uint32_t n = 1; n <= 3000 && !stop.load(); ++n) drv.WriteInt32(2000, n);
    });
    uint8_t buf[100];
    for (int i = 0; i < 200; ++i) ASSERT_EQ(100u, drv.ReadBytes(1000, buf, 100));
    stop = true;
    writer.join();
    // Lock spans of this core never overlap: every access lies inside one span
    // and a bulk read's accesses are not interleaved with the writer's.
    int depth = 0;
    int reads = 0;
    for (const auto& e : Mine(mark)) {
        if (e.core_hwid != 474) continue;
        if (e.op == 'L') {
            EXPECT_EQ(0, depth) << "lock taken while held, seq " << e.seq;
            ++depth;
        } else if (e.op == 'U') {
            EXPECT_EQ(1, depth) << "seq " << e.seq;
            --depth;
        } else {
            EXPECT_EQ(1, depth) << e.op << " outside a lock span, seq " << e.seq;
            if (e.op == 'R') ++reads;
        }
    }
    EXPECT_EQ(200 * 13, reads);  // 12 x 64 bits + 1 x 32 bits each
}

TEST_F(EnyxDrvTest, FailedAccessesLeaveValuesAndReportTheIndex) {
    CDrvEnyxReg drv;
    ASSERT_EQ(0, InitDrv(drv, 0, 474));
    qtest::LogCapture log;

    uint8_t v8 = 0xAB;
    uint16_t v16 = 0xABCD;
    uint32_t v32 = 0x12345678;
    uint64_t v64 = 0x1122334455667788ull;
    EXPECT_EQ(-1, drv.ReadInt8(kOutside, v8));
    EXPECT_EQ(-1, drv.ReadInt16(kOutside, v16));
    EXPECT_EQ(-1, drv.ReadInt32(kOutside, v32));
    EXPECT_EQ(-1, drv.ReadInt64(kOutside - 1, v64));  // starts inside, ends outside
    EXPECT_EQ(0xAB, v8);
    EXPECT_EQ(0xABCD, v16);
    EXPECT_EQ(0x12345678u, v32);
    EXPECT_EQ(0x1122334455667788ull, v64);
    EXPECT_TRUE(Logged(log, "WARN", "read int8 failed, addr:16384")) << log.Text();
    EXPECT_TRUE(Logged(log, "WARN", "read int16 failed, addr:16384")) << log.Text();
    EXPECT_TRUE(Logged(log, "WARN", "read int32 failed, addr:16384")) << log.Text();
    EXPECT_TRUE(Logged(log, "WARN", "read int64 failed, addr:16383")) << log.Text();

    EXPECT_EQ(-1, drv.WriteInt8(kOutside, 1));
    EXPECT_EQ(-1, drv.WriteInt16(kOutside, 1));
    EXPECT_EQ(-1, drv.WriteInt32(kOutside, 1));
    EXPECT_EQ(-1, drv.WriteInt64(kOutside, 1));
    EXPECT_TRUE(Logged(log, "WARN", "write int8 failed, addr:16384")) << log.Text();
    EXPECT_TRUE(Logged(log, "WARN", "write int16 failed, addr:16384")) << log.Text();
    EXPECT_TRUE(Logged(log, "WARN", "write int32 failed, addr:0x4000, msg:Bad address.")) << log.Text();
    EXPECT_TRUE(Logged(log, "WARN", "write int64 failed, addr:16384")) << log.Text();

    // A read that fails in the middle of a transfer: all bits set, the buffer
    // untouched, the lock released.
    uint8_t pattern[20];
    for (int i = 0; i < 20; ++i) pattern[i] = static_cast<uint8_t>(i + 1);
    ASSERT_EQ(0, enyx_sim_reg_poke(0, 474, 40, pattern, 20));
    uint8_t buf[20];
    memset(buf, 0xEE, sizeof(buf));
    uint64_t mark = enyx_sim_log_mark(0);
    ASSERT_EQ(0, enyx_sim_fail_call("enyx_hw_read", 1, 1, EIO));
    EXPECT_EQ(static_cast<uint64_t>(-1), drv.ReadBytes(10, buf, 20));
    for (uint8_t b : buf) EXPECT_EQ(0xEE, b);
    EXPECT_TRUE(Logged(log, "WARN", "Read value failed, addr:10")) << log.Text();
    auto acc = Accesses(Mine(mark));
    ASSERT_EQ(4u, acc.size());
    EXPECT_EQ('U', acc.back().op);

    // The same through ReadLess128Bytes: the short count is logged and returned.
    ASSERT_EQ(0, enyx_sim_fail_call("enyx_hw_read", 0, 1, EIO));
    uint8_t small[8];
    memset(small, 0xEE, sizeof(small));
    EXPECT_EQ(static_cast<uint64_t>(-1), drv.ReadLess128Bytes(10, small, 8));
    EXPECT_TRUE(Logged(log, "WARN", "Read failed, should Read 8, now -1")) << log.Text();
    EXPECT_EQ(0xEE, small[0]);

    // A write that fails after its first 64 bits.
    ASSERT_EQ(0, enyx_sim_fail_call("enyx_hw_write", 1, 1, EIO));
    {
        qtest::LogCapture wlog;
        EXPECT_EQ(static_cast<uint64_t>(-1), drv.WriteBytes(10, pattern, 16));
        EXPECT_TRUE(Logged(wlog, "WARN", "write int8 failed, addr:10")) << wlog.Text();
    }
    EXPECT_EQ(static_cast<uint64_t>(-1), drv.WriteLess128Bytes(kOutside, pattern, 4));

    // Everything still works afterwards, so the lock was never left held.
    EXPECT_EQ(0, drv.ReadInt32(10, v32));
    EXPECT_EQ(0x04030201u, v32);
}

TEST_F(EnyxDrvTest, CachedLookupsResetOncePerBusUntilCleared) {
    CDrvEnyxReg a, b;
    ASSERT_EQ(0, InitDrv(a, 0, 474));
    enyx_hw_accelerator* acc = DrvEnyxCoreGetAcc(0);
    ASSERT_NE(nullptr, acc);
    ASSERT_EQ(0, InitDrv(b, 0, 474));
    EXPECT_EQ(acc, DrvEnyxCoreGetAcc(0));
    EXPECT_EQ(1, enyx_sim_reset_count(0, 0));
    EXPECT_EQ(0, a.WriteInt32(1, 0x1234));
    uint32_t v = 0;
    EXPECT_EQ(0, b.ReadInt32(1, v));
    EXPECT_EQ(0x1234u, v);

    // After clearing, the next lookup starts from scratch and resets again.
    DrvEnyxVarClear();
    CDrvEnyxReg c;
    ASSERT_EQ(0, InitDrv(c, 0, 474));
    EXPECT_EQ(2, enyx_sim_reset_count(0, 0));
    // The reset leaves the registers as they were.
    EXPECT_EQ(0, c.ReadInt32(1, v));
    EXPECT_EQ(0x1234u, v);
}

TEST_F(EnyxDrvTest, TwoProcessesSeeEachOthersRegisterWrites) {
    // The child opens the card on its own, writes and exits.
    pid_t childPid = 0;
    int pipeFd[2];
    ASSERT_EQ(0, pipe(pipeFd));
    int st = qtest::RunInChild([&] {
        close(pipeFd[0]);
        pid_t me = getpid();
        if (write(pipeFd[1], &me, sizeof(me)) != sizeof(me)) return 10;
        CDrvEnyxReg drv;
        DrvRegInfo_t info{0, 474};
        if (drv.Init(&info) != 0) return 11;
        if (drv.WriteInt32(100, 0xC0FFEE01) != 0) return 12;
        const uint8_t bytes[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
        if (drv.WriteBytes(110, bytes, 12) != 12) return 13;
        return 0;
    });
    close(pipeFd[1]);
    ASSERT_EQ(static_cast<ssize_t>(sizeof(childPid)), read(pipeFd[0], &childPid, sizeof(childPid)));
    close(pipeFd[0]);
    ASSERT_EQ(0, st);

    CDrvEnyxReg drv;
    ASSERT_EQ(0, InitDrv(drv, 0, 474));
    uint32_t v = 0;
    EXPECT_EQ(0, drv.ReadInt32(100, v));
    EXPECT_EQ(0xC0FFEE01u, v);
    uint8_t bytes[12] = {0};
    EXPECT_EQ(12u, drv.ReadBytes(110, bytes, 12));
    EXPECT_EQ(12, bytes[11]);
    // Each process reset the tree at its first lookup.
    EXPECT_EQ(2, enyx_sim_reset_count(0, 0));
    // The child's accesses are in the shared log under its pid.
    auto childLog = qtest::EnyxSimEnv::Log(0, 0, childPid, "W");
    ASSERT_EQ(3u, childLog.size());
    EXPECT_EQ(400u, childLog[0].byte_offset);
    EXPECT_EQ(0xC0FFEE01u, childLog[0].value);

    // And the other way round, while this process keeps the card open.
    EXPECT_EQ(0, drv.WriteInt64(120, 0xFEEDFACE12345678ull));
    st = qtest::RunInChild([&] {
        DrvEnyxVarClear();
        CDrvEnyxReg other;
        DrvRegInfo_t info{0, 474};
        uint64_t x = 0;
        if (other.Init(&info) != 0) return 11;
        if (other.ReadInt64(120, x) != 0) return 12;
        return x == 0xFEEDFACE12345678ull ? 0 : 13;
    });
    EXPECT_EQ(0, st);
}

}  // namespace
