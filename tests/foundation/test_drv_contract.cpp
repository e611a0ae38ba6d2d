// One contract for the three register drivers: typed accesses are
// little-endian at their own width, the ...Less128Bytes operations hand a
// range over highest address first, and an access past the end of the
// registers fails and leaves the caller's value alone.
//
// Each driver runs on its stand-in card of 4 KB of registers:
//   XDMA  a regular file in place of the character devices (in a child, so
//         that a file size limit can stand for the device's end);
//   pio   a fake sysfs tree whose resource0 holds the register window
//         (bind-mounted in a private mount namespace: LOCK sysfs_pci);
//   Enyx  core 474 of the simulated card, offsets in 4-byte register indexes.
// A card exposes Run(body) with an initialised driver, and Peek/Poke of the
// register bytes at byte offsets, so every case is written once.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "drvXdma.h"
#include "drvXdmaPio.h"
#include "fake_cmds.h"
#include "fake_sysfs.h"
#include "log_capture.h"
#ifdef QUAY_TEST_ENYX_SIM
#include "drvEnyx.h"
#include "enyx_sim_env.h"
#endif

namespace {

constexpr uint64_t kBytes = 4096;  // register bytes of every card

std::string Bytes(std::initializer_list<int> b) {
    std::string s;
    for (int v : b) s.push_back((char)v);
    return s;
}

class XdmaCard {
public:
    static constexpr const char* kName = "Xdma";
    static constexpr uint64_t kUnit = 1;          // bytes per offset step
    static constexpr int kReadFailed = 600005;    // typed read past the end
    static uint64_t RawDone(uint64_t ulLen) { return ulLen; }  // ReadBytes/WriteBytes of a whole range

    XdmaCard() { qtest::WriteFile(m_dev, std::string(kBytes, '\0')); }

    template <class F>
    void Run(F body) {
        EXPECT_EQ(0, qtest::RunInChild([&] {
            CDrvXdma drv;
            XDMA_PARAM_t p{m_dev.c_str(), m_dev.c_str(), 32768, 32768, 1};
            ASSERT_EQ(0, drv.Init(&p));
            body(drv);
        }));
    }
    // A regular file grows where a device ends: a file size limit makes
    // writes past the registers fail instead (inside Run only).
    void BoundWrites() {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit rl = {kBytes, kBytes};
        ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &rl));
    }
    std::string Peek(uint64_t ulByte, size_t len) const { return qtest::ReadFile(m_dev).substr(ulByte, len); }
    void Poke(uint64_t ulByte, const std::string& data) const {
        int fd = open(m_dev.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        EXPECT_EQ((ssize_t)data.size(), pwrite(fd, data.data(), data.size(), (off_t)ulByte));
        close(fd);
    }

private:
    qtest::TempDir m_dir{"quaydrvxdma"};
    std::string m_dev = m_dir / "xdma0_user";
};

class PioCard {
public:
    static constexpr const char* kName = "Pio";
    static constexpr uint64_t kUnit = 1;
    static constexpr int kReadFailed = 600005;
    static uint64_t RawDone(uint64_t) { return 0; }

    PioCard() { m_sys.AddCard(kBdf, CDrvXdmaPio::REG_WINDOW_OFFSET + kBytes); }

    template <class F>
    void Run(F body) {
        EXPECT_EQ(0, m_sys.Run([&] {
            CDrvXdmaPio drv;
            ASSERT_EQ(0, drv.Init((void*)"/dev/xdma0_user"));
            body(drv);
        }));
    }
    void BoundWrites() {}  // the mapping ends with the window
    std::string Peek(uint64_t ulByte, size_t len) const {
        return m_sys.ReadResource(kBdf, CDrvXdmaPio::REG_WINDOW_OFFSET + ulByte, len);
    }
    void Poke(uint64_t ulByte, const std::string& data) const {
        ASSERT_TRUE(m_sys.WriteResource(kBdf, CDrvXdmaPio::REG_WINDOW_OFFSET + ulByte, data));
    }

private:
    static constexpr const char* kBdf = "0000:d8:00.0";
    qtest::FakeSysfs m_sys;
};

#ifdef QUAY_TEST_ENYX_SIM
class EnyxCard {
public:
    static constexpr const char* kName = "Enyx";
    static constexpr uint64_t kUnit = 4;
    static constexpr int kReadFailed = -1;
    static uint64_t RawDone(uint64_t ulLen) { return ulLen; }

    // One card for the whole program: the first core lookup of a process
    // resets it and waits a second, later ones find it cached.
    EnyxCard() { Poke(0, std::string(kBytes, '\0')); }

    template <class F>
    void Run(F body) {
        CDrvEnyxReg drv;
        DrvRegInfo_t info{0, 474};
        ASSERT_EQ(0, drv.Init(&info));
        body(drv);
    }
    void BoundWrites() {}  // the core ends with its registers
    std::string Peek(uint64_t ulByte, size_t len) const {
        Card();
        std::string out(len, '\0');
        EXPECT_EQ(0, enyx_sim_reg_peek(0, 474, ulByte, &out[0], len));
        return out;
    }
    void Poke(uint64_t ulByte, const std::string& data) const {
        Card();
        EXPECT_EQ(0, enyx_sim_reg_poke(0, 474, ulByte, data.data(), data.size()));
    }

private:
    static qtest::EnyxSimEnv& Card() {
        static qtest::EnyxSimEnv s_card{"card\ncore 474 regs=4096\n"};
        return s_card;
    }
};
#endif

template <class Card>
class DrvContract : public ::testing::Test {
protected:
    // Offset of the register at byte ulByte.
    static uint64_t At(uint64_t ulByte) { return ulByte / Card::kUnit; }
    Card m_card;
};

struct CardName {
    template <class Card>
    static std::string GetName(int) {
        return Card::kName;
    }
};

#ifdef QUAY_TEST_ENYX_SIM
using Cards = ::testing::Types<XdmaCard, PioCard, EnyxCard>;
#else
using Cards = ::testing::Types<XdmaCard, PioCard>;
#endif
TYPED_TEST_SUITE(DrvContract, Cards, CardName);

TYPED_TEST(DrvContract, TypedReadsAreLittleEndian) {
    this->m_card.Poke(0x20, Bytes({0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}));
    this->m_card.Run([&](IDrv& drv) {
        const uint64_t at = this->At(0x20);
        uint8_t v8 = 0;
        uint16_t v16 = 0;
        uint32_t v32 = 0;
        uint64_t v64 = 0;
        EXPECT_EQ(0, drv.ReadInt8(at, v8));
        EXPECT_EQ(0x11, v8);
        EXPECT_EQ(0, drv.ReadInt16(at, v16));
        EXPECT_EQ(0x2211, v16);
        EXPECT_EQ(0, drv.ReadInt32(at, v32));
        EXPECT_EQ(0x44332211u, v32);
        EXPECT_EQ(0, drv.ReadInt64(at, v64));
        EXPECT_EQ(0x8877665544332211ull, v64);
    });
}

TYPED_TEST(DrvContract, TypedWritesStoreTheirWidthLittleEndian) {
    struct Row {
        unsigned width;
        uint64_t byte;
        uint64_t value;
        std::string stored;  // the 8 bytes from `byte` on afterwards
    };
    const Row rows[] = {
        {1, 0x40, 0x5A, Bytes({0x5A, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff})},
        {2, 0x48, 0xBEEF, Bytes({0xEF, 0xBE, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff})},
        {4, 0x50, 0x44332211, Bytes({0x11, 0x22, 0x33, 0x44, 0xff, 0xff, 0xff, 0xff})},
        {8, 0x58, 0x8877665544332211ull, Bytes({0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88})},
    };
    this->m_card.Poke(0x38, std::string(0x30, '\xff'));
    this->m_card.Run([&](IDrv& drv) {
        for (const Row& r : rows) {
            SCOPED_TRACE(r.width);
            const uint64_t at = this->At(r.byte);
            int ret = r.width == 1   ? drv.WriteInt8(at, (uint8_t)r.value)
                      : r.width == 2 ? drv.WriteInt16(at, (uint16_t)r.value)
                      : r.width == 4 ? drv.WriteInt32(at, (uint32_t)r.value)
                                     : drv.WriteInt64(at, r.value);
            EXPECT_EQ(0, ret);
        }
    });
    for (const Row& r : rows) EXPECT_EQ(r.stored, this->m_card.Peek(r.byte, 8)) << r.width;
    EXPECT_EQ(std::string(8, '\xff'), this->m_card.Peek(0x38, 8));
    EXPECT_EQ(std::string(8, '\xff'), this->m_card.Peek(0x60, 8));
}

TYPED_TEST(DrvContract, Less128BytesHandTheRangeOverHighestAddressFirst) {
    std::string ramp;
    for (int i = 0; i < 128; ++i) ramp.push_back((char)i);
    this->m_card.Poke(0x100, ramp);
    const uint8_t w[5] = {1, 2, 3, 4, 5};
    this->m_card.Run([&](IDrv& drv) {
        uint8_t buf[129];
        memset(buf, 0xEE, sizeof(buf));
        EXPECT_EQ(128u, drv.ReadLess128Bytes(this->At(0x100), buf, 128));
        for (int i = 0; i < 128; ++i) ASSERT_EQ(127 - i, buf[i]) << i;
        EXPECT_EQ(0xEE, buf[128]);

        EXPECT_EQ(5u, drv.WriteLess128Bytes(this->At(0x200), w, 5));
        uint8_t r[5] = {0};
        EXPECT_EQ(5u, drv.ReadLess128Bytes(this->At(0x200), r, 5));
        EXPECT_EQ(0, memcmp(w, r, 5));

        // The raw transfers keep the address order.
        EXPECT_EQ(TypeParam::RawDone(5), drv.WriteBytes(this->At(0x300), w, 5));
        EXPECT_EQ(TypeParam::RawDone(5), drv.ReadBytes(this->At(0x300), r, 5));
        EXPECT_EQ(0, memcmp(w, r, 5));
    });
    EXPECT_EQ(Bytes({5, 4, 3, 2, 1}), this->m_card.Peek(0x200, 5));
    EXPECT_EQ(Bytes({1, 2, 3, 4, 5}), this->m_card.Peek(0x300, 5));
}

TYPED_TEST(DrvContract, Less128BytesRefuseLongRangesAndNoBuffer) {
    this->m_card.Run([&](IDrv& drv) {
        qtest::LogCapture log;
        uint8_t buf[129];
        memset(buf, 0xEE, sizeof(buf));
        EXPECT_EQ(0u, drv.ReadLess128Bytes(this->At(0x100), buf, 129));
        EXPECT_EQ(0xEE, buf[0]);
        EXPECT_EQ(0u, drv.WriteLess128Bytes(this->At(0x100), buf, 129));
        EXPECT_EQ(0u, drv.ReadLess128Bytes(this->At(0x100), nullptr, 4));
        EXPECT_EQ(0u, drv.WriteLess128Bytes(this->At(0x100), nullptr, 4));
        EXPECT_EQ(4, log.Count("[WARN   ]")) << log.Text();
        EXPECT_EQ(4, log.Count("[fpga]length should less than 128!\n")) << log.Text();
    });
    EXPECT_EQ(std::string(129, '\0'), this->m_card.Peek(0x100, 129));
}

TYPED_TEST(DrvContract, AccessesPastTheEndFailAndLeaveTheValue) {
    const uint64_t end = this->At(kBytes);
    const uint64_t last64 = this->At(kBytes - 8);     // last 64-bit register
    const uint64_t straddle = this->At(kBytes - 4);   // 8 bytes of which 4 exist
    const int failed = TypeParam::kReadFailed;
    this->m_card.Poke(kBytes - 8, Bytes({1, 2, 3, 4, 5, 6, 7, 8}));
    this->m_card.Run([&](IDrv& drv) {
        uint64_t v64 = 0;
        EXPECT_EQ(0, drv.ReadInt64(last64, v64));
        EXPECT_EQ(0x0807060504030201ull, v64);

        v64 = 99;
        uint32_t v32 = 99;
        uint16_t v16 = 99;
        uint8_t v8 = 99;
        EXPECT_EQ(failed, drv.ReadInt64(straddle, v64));
        EXPECT_EQ(failed, drv.ReadInt64(this->At(0x10000000), v64));
        EXPECT_EQ(failed, drv.ReadInt32(end, v32));
        EXPECT_EQ(failed, drv.ReadInt16(end, v16));
        EXPECT_EQ(failed, drv.ReadInt8(end, v8));
        EXPECT_EQ(99u, v64);
        EXPECT_EQ(99u, v32);
        EXPECT_EQ(99u, v16);
        EXPECT_EQ(99u, v8);
        uint8_t buf[8];
        memset(buf, 0xEE, sizeof(buf));
        EXPECT_NE(8u, drv.ReadLess128Bytes(straddle, buf, 8));
        EXPECT_EQ(std::string(8, '\xEE'), std::string((char*)buf, 8));

        this->m_card.BoundWrites();
        EXPECT_EQ(-1, drv.WriteInt8(end, 1));
        EXPECT_EQ(-1, drv.WriteInt32(end, 1));
        EXPECT_EQ(-1, drv.WriteInt64(this->At(0x10000000), 1));
        EXPECT_NE(4u, drv.WriteLess128Bytes(end, buf, 4));
        EXPECT_EQ(Bytes({1, 2, 3, 4, 5, 6, 7, 8}), this->m_card.Peek(kBytes - 8, 8));
        EXPECT_EQ(-1, drv.WriteInt64(straddle, 1));
    });
}

}  // namespace
