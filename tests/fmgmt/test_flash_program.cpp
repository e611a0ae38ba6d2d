// The flash programmer against the behavioural model of the SPI controller
// and flash: MCS files made by srec_cat are programmed and read back.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <sstream>

#include "fake_cmds.h"
#include "flash_spi.h"
#include "mcs_util.h"
#include "mreload.h"
#include "spi_flash_model.h"
#include "test_util.h"

using fmtest::Ela;
using fmtest::Eof;
using fmtest::GenerateMcs;
using fmtest::MakeMcs;
using fmtest::RandomImage;
using fmtest::Record;
using qsim::CSimFlashCard;
using qsim::FlashOp;
using qsim::SpiControllerConfig;
using qsim::SpiFlashConfig;

namespace {

struct Outcome {
    int ret;
    std::string out;
};

Outcome Program(CSimFlashCard& card, const std::string& mcs)
{
    flash_spi prog(&card.controller);
    testing::internal::CaptureStdout();
    int ret = prog.xclUpgradeFirmwareXSpi(mcs, 0);
    return {ret, testing::internal::GetCapturedStdout()};
}

std::string Violations(const CSimFlashCard& card)
{
    std::string s;
    for (const auto& v : card.flash.violations()) s += v + "\n";
    return s;
}

std::vector<uint8_t> Bytes(uint8_t v, size_t n) { return std::vector<uint8_t>(n, v); }

std::vector<FlashOp> OpsOf(const CSimFlashCard& card, uint8_t opcode)
{
    std::vector<FlashOp> out;
    for (const auto& op : card.flash.ops())
        if (op.opcode == opcode) out.push_back(op);
    return out;
}

SpiFlashConfig Micron(uint8_t code = 0x19)
{
    SpiFlashConfig c;
    c.manufacturer = 0x20;
    c.memoryType = 0xBA;
    c.capacityCode = code;
    return c;
}

SpiFlashConfig Macronix(uint8_t code = 0x39)
{
    SpiFlashConfig c;
    c.manufacturer = 0xC2;
    c.memoryType = 0x25;
    c.capacityCode = code;
    return c;
}

class FlashProgram : public ::testing::Test {
protected:
    qtest::TempDir dir{"flashprog"};
};

}  // namespace

// Base 0: written in place, no guard; the programmer erases exactly the
// subsectors of the image and leaves the rest of the flash alone.
TEST_F(FlashProgram, ImageAtZeroIsWrittenInPlace)
{
    CSimFlashCard card(Micron());
    auto image = RandomImage(9000, 1);
    std::string mcs = MakeMcs(dir, "zero", image, 0);
    ASSERT_FALSE(mcs.empty());

    Outcome r = Program(card, mcs);
    ASSERT_EQ(0, r.ret) << r.out;
    EXPECT_EQ("", Violations(card));
    EXPECT_EQ(image, card.flash.read(0, image.size()));
    EXPECT_EQ(Bytes(0xFF, 12288 - 9000), card.flash.read(9000, 12288 - 9000));
    // The next subsector still holds the old image.
    EXPECT_EQ(card.flash.initialByteAt(12288), card.flash.byteAt(12288));
    EXPECT_EQ(card.flash.initialByteAt(12289), card.flash.byteAt(12289));

    EXPECT_EQ(3u, OpsOf(card, 0x20).size());
    EXPECT_EQ(71u, OpsOf(card, 0x32).size());  // ceil(9000 / 128)
    EXPECT_NE(std::string::npos, r.out.find("INFO: Parsing file " + mcs));
    EXPECT_NE(std::string::npos, r.out.find("INFO: ***Found 1 ELA Records"));
    EXPECT_NE(std::string::npos, r.out.find("Idcode byte[1] 20"));
    EXPECT_NE(std::string::npos, r.out.find(" . \nProgramming flash"));
    EXPECT_EQ(std::string::npos, r.out.find("bitstream guard"));
}

// Base 0x01002000: a guard page at 0x01002080 while programming, the image
// 4096 bytes higher, and the guard subsector erased at the end.
TEST_F(FlashProgram, ImageAboveZeroIsShiftedBehindGuard)
{
    CSimFlashCard card(Micron());
    auto image = RandomImage(5000, 2);
    std::string mcs = MakeMcs(dir, "high", image, 0x01002000);
    ASSERT_FALSE(mcs.empty());

    Outcome r = Program(card, mcs);
    ASSERT_EQ(0, r.ret) << r.out;
    EXPECT_EQ("", Violations(card));
    EXPECT_EQ(image, card.flash.read(0x01003000, image.size()));
    EXPECT_EQ(Bytes(0xFF, 4096), card.flash.read(0x01002000, 4096));
    EXPECT_EQ(card.flash.initialByteAt(0x01001FFF), card.flash.byteAt(0x01001FFF));
    EXPECT_NE(std::string::npos,
              r.out.find("Enabled bitstream guard. Bitstream will not be loaded until flashing is finished."));
    EXPECT_NE(std::string::npos, r.out.find("Cleared bitstream guard. Bitstream now active."));

    const auto& ops = card.flash.ops();
    ASSERT_GE(ops.size(), 5u);
    EXPECT_EQ(0xC5, ops[0].opcode);
    EXPECT_EQ(1u, ops[0].address);
    EXPECT_EQ(0x20, ops[1].opcode);
    EXPECT_EQ(0x01002000u, ops[1].address);
    ASSERT_EQ(0x32, ops[2].opcode);
    EXPECT_EQ(0x01002080u, ops[2].address);
    std::vector<uint8_t> guard(flash_spi::BITSTREAM_GUARD, flash_spi::BITSTREAM_GUARD + 48);
    guard.resize(128, 0xFF);
    EXPECT_EQ(guard, ops[2].data);
    EXPECT_EQ(0x20, ops.back().opcode);
    EXPECT_EQ(0x01002000u, ops.back().address);
    // Every page of the image lies behind the guard.
    for (size_t i = 3; i + 1 < ops.size(); ++i) {
        if (ops[i].opcode == 0x32) {
            EXPECT_GE(ops[i].address, 0x01003000u);
        }
    }
}

// An image that crosses a 16 MB segment switches the extended address
// register; each 64 KB area is its own block.
TEST_F(FlashProgram, ImageCrossingSegmentBoundary)
{
    CSimFlashCard card(Micron());
    auto image = RandomImage(48 * 1024, 3);
    std::string mcs = MakeMcs(dir, "cross", image, 0x00FF8000);
    ASSERT_FALSE(mcs.empty());

    Outcome r = Program(card, mcs);
    ASSERT_EQ(0, r.ret) << r.out;
    EXPECT_EQ("", Violations(card));
    EXPECT_EQ(image, card.flash.read(0x00FF9000, image.size()));
    EXPECT_EQ(Bytes(0xFF, 4096), card.flash.read(0x00FF8000, 4096));
    EXPECT_NE(std::string::npos, r.out.find("INFO: ***Found 2 ELA Records"));
    std::vector<uint32_t> segments;
    for (const auto& op : OpsOf(card, 0xC5)) segments.push_back(op.address);
    // Segment 0 for the guard and erases, 1 for the rest, 0 again to program
    // the first block, 1 for the second, 0 to clear the guard.
    EXPECT_EQ((std::vector<uint32_t>{0, 1, 0, 1, 0}), segments);
}

// Lines of 10 bytes run across the 128-byte pages, CRLF line ends, a block
// that starts off a page boundary (its 128-byte pages straddle the flash's
// 256-byte pages), and a file whose data starts before any address record.
TEST_F(FlashProgram, UnalignedDataAndLinesAcrossPages)
{
    {
        CSimFlashCard card(Micron());
        auto image = RandomImage(4090, 4);  // ends 10 bytes into a second subsector
        std::string mcs = MakeMcs(dir, "odd", image, 0x01002010, 10);
        ASSERT_FALSE(mcs.empty());
        std::string text = qtest::ReadFile(mcs), crlf;
        for (char c : text) {
            if (c == '\n') crlf += '\r';
            crlf += c;
        }
        qtest::WriteFile(mcs, crlf);
        Outcome r = Program(card, mcs);
        ASSERT_EQ(0, r.ret) << r.out;
        EXPECT_EQ("", Violations(card));
        EXPECT_EQ(image, card.flash.read(0x01003010, image.size()));
    }
    {
        CSimFlashCard card(Micron());
        auto image = RandomImage(48, 5);
        std::string mcs = dir / "noela.mcs";
        std::vector<uint8_t> a(image.begin(), image.begin() + 16), b(image.begin() + 16, image.begin() + 32),
            c(image.begin() + 32, image.end());
        qtest::WriteFile(mcs, Record(0, 0, a) + "\n" + Record(0, 16, b) + "\n\n" + Record(0, 32, c) + "\n" +
                                  Eof() + "\n");
        Outcome r = Program(card, mcs);
        ASSERT_EQ(0, r.ret) << r.out;
        EXPECT_EQ(image, card.flash.read(0, image.size()));
        EXPECT_EQ("", Violations(card));
    }
}

// 200 data bytes: a full page of 128, then 72 bytes padded with 0xFF.
TEST_F(FlashProgram, BlockOf200BytesIsTwoPages)
{
    CSimFlashCard card(Micron());
    auto image = RandomImage(200, 6);
    std::string mcs = MakeMcs(dir, "p200", image, 0);
    ASSERT_FALSE(mcs.empty());
    Outcome r = Program(card, mcs);
    ASSERT_EQ(0, r.ret) << r.out;
    auto pages = OpsOf(card, 0x32);
    ASSERT_EQ(2u, pages.size());
    EXPECT_EQ(0u, pages[0].address);
    EXPECT_EQ(std::vector<uint8_t>(image.begin(), image.begin() + 128), pages[0].data);
    EXPECT_EQ(128u, pages[1].address);
    std::vector<uint8_t> second(image.begin() + 128, image.end());
    second.resize(128, 0xFF);
    EXPECT_EQ(second, pages[1].data);
    EXPECT_EQ(image, card.flash.read(0, 200));
}

// Macronix parts are programmed with 0x02, Micron and unknown vendors with 0x32.
TEST_F(FlashProgram, ProgramOpcodeFollowsVendor)
{
    struct Case {
        SpiFlashConfig cfg;
        uint8_t opcode;
    };
    SpiFlashConfig other = Micron();
    other.manufacturer = 0xEF;
    other.memoryType = 0x40;
    for (const Case& c : {Case{Macronix(), 0x02}, Case{Micron(), 0x32}, Case{other, 0x32}}) {
        CSimFlashCard card(c.cfg);
        auto image = RandomImage(700, 7);
        std::string mcs = MakeMcs(dir, "vendor", image, 0x00100000);
        ASSERT_FALSE(mcs.empty());
        Outcome r = Program(card, mcs);
        ASSERT_EQ(0, r.ret) << r.out;
        EXPECT_EQ("", Violations(card)) << int(c.cfg.manufacturer);
        EXPECT_EQ(image, card.flash.read(0x00101000, image.size()));
        auto ops = card.flash.ops();
        size_t programs = std::count_if(ops.begin(), ops.end(), [&](const FlashOp& o) { return o.opcode == c.opcode; });
        EXPECT_EQ(7u, programs) << int(c.cfg.manufacturer);  // guard page + 6 image pages
    }
}

// The capacity code bounds the addresses the programmer sends.
TEST_F(FlashProgram, CapacityLimits)
{
    auto image = RandomImage(4096, 8);
    // 0x22: sixteen segments; the last 64 KB of segment 15 is reachable.
    CSimFlashCard card(Micron(0x22));
    std::string mcs = MakeMcs(dir, "top", image, 0x0FFF0000);
    Outcome r = Program(card, mcs);
    ASSERT_EQ(0, r.ret) << r.out;
    EXPECT_EQ("", Violations(card));
    EXPECT_EQ(image, card.flash.read(0x0FFF1000, image.size()));
    EXPECT_EQ(15, card.flash.extendedAddress());
}

// An image with any byte outside the flash, after the shift behind the guard,
// is refused after identification and before the guard or any erase; sums
// past 32 bits must not wrap onto address 0.
TEST_F(FlashProgram, ImageNotFittingTheFlashLeavesItUntouched)
{
    auto image = RandomImage(4096, 8);
    struct Case {
        const char* name;
        uint8_t capacity;
        std::string mcs;
        const char* msg;
    };
    const std::vector<Case> cases = {
        // The shifted image would start at 0x01000000, on a one-segment part.
        {"segment", 0x18, MakeMcs(dir, "over", image, 0x00FFF000),
         "ERROR: Invalid sector encountered\nERROR: Bad address 0x1000000\n"},
        // 0x17 is a 64 Mbit part: segment 0 ends at 8 MB.
        {"size", 0x17, MakeMcs(dir, "half", image, 0x00900000), "ERROR: Bad address 0x901000"},
        // 0xFFFFF000 + 4096 wraps to 0 in 32 bits.
        {"wrap", 0x19,
         GenerateMcs(dir, "wrap",
                     "-generate 0x01002000 0x01002100 -constant 0x5A -generate 0xFFFFF000 0xFFFFF100 -constant 0xA5"),
         "ERROR: Bad address 0x100000000"},
        // A block whose last byte is 0xFFFFFFFE.
        {"top of 4 GB", 0x19,
         GenerateMcs(dir, "top4g",
                     "-generate 0x01002000 0x01002100 -constant 0x5A -generate 0xFFFFFF00 0xFFFFFFFF -constant 0xA5"),
         "ERROR: Bad address 0x100000f00"},
        // The second block lies above the 32 MB part.
        {"second block", 0x19,
         GenerateMcs(dir, "second",
                     "-generate 0x01002000 0x01002100 -constant 0x5A -generate 0x03000000 0x03000100 -constant 0xA5"),
         "ERROR: Bad address 0x3001000"},
    };
    for (const Case& c : cases) {
        ASSERT_NE("", c.mcs) << c.name;
        CSimFlashCard card(Micron(c.capacity));
        Outcome r = Program(card, c.mcs);
        EXPECT_EQ(-22, r.ret) << c.name;
        EXPECT_NE(std::string::npos, r.out.find(c.msg)) << c.name << ": " << r.out;
        EXPECT_TRUE(card.flash.ops().empty()) << c.name << ": " << r.out;
        EXPECT_EQ("", Violations(card)) << c.name;
    }
}

// Malformed files: each returns its code (with its message where it has one)
// before the flash is touched.
TEST_F(FlashProgram, MalformedFilesAreRefusedBeforeErasing)
{
    std::vector<uint8_t> d16(16, 0xA5), d17(17, 0xA5);
    struct Case {
        const char* name;
        std::string text;
        int ret;
        std::string msg;
    };
    const std::vector<Case> cases = {
        {"no colon", Ela(0) + "\n" + Record(0, 0, d16) + "\n" + "10000000A5\n" + Eof() + "\n", -22,
         "ERROR: Line 3 of " + (dir / "bad.mcs") + " does not start with ':'\n"},
        {"data of 17", Ela(0) + "\n" + Record(0, 0, d17) + "\n" + Eof() + "\n", -22,
         "ERROR: Data record on line 2 of " + (dir / "bad.mcs") +
             " holds 17 bytes, at most 16 are accepted (srec_cat needs -Output_Block_Size=16)\n"},
        {"ela address", Record(0x04, 0x10, {0, 1}) + "\n" + Record(0, 0, d16) + "\n" + Eof() + "\n", -22,
         "ERROR: Extended linear address record on line 1"},
        {"ela length", Record(0x04, 0, {0, 1, 0}) + "\n" + Record(0, 0, d16) + "\n" + Eof() + "\n", -22,
         "must have address 0000 and 2 data bytes"},
        {"end of 4 GB", Ela(0xFFFF) + "\n" + Record(0, 0xFFF0, d16) + "\n" + Eof() + "\n", -22,
         "ERROR: Data on line 2 of " + (dir / "bad.mcs") + " reaches the end of the 32-bit address space\n"},
        // A line is read only up to the longest record: no line end in 4 MB.
        {"no line end", Ela(0) + "\n:" + std::string(4 << 20, '0'), -22,
         "ERROR: Line 2 of " + (dir / "bad.mcs") + " is longer than 521 characters\n"},
        {"gap", Ela(1) + "\n" + Record(0, 0, d16) + "\n" + Record(0, 0x20, d16) + "\n" + Eof() + "\n", -22,
         "Address is not contiguous ! \n"},
        {"checksum", Ela(0) + "\n" + ":10000000A5A5A5A5A5A5A5A5A5A5A5A5A5A5A5A500\n" + Eof() + "\n", -22,
         "ERROR: Bad checksum on line 2"},
        {"bad hex", Ela(0) + "\n" + ":1000000ZA5A5A5A5A5A5A5A5A5A5A5A5A5A5A5A550\n" + Eof() + "\n", -22,
         "ERROR: Malformed record on line 2"},
        {"truncated", Ela(0) + "\n" + Record(0, 0, d16) + "\n", -22, "ends without an end-of-file record"},
        {"segment record", Record(0x02, 0, {0x10, 0}) + "\n" + Record(0, 0, d16) + "\n" + Eof() + "\n", -22,
         "ERROR: Extended segment address records are not supported"},
        {"no data", Ela(0) + "\n" + Eof() + "\n", -22, "ERROR: No data records found"},
    };
    for (const Case& c : cases) {
        CSimFlashCard card(Micron());
        std::string path = dir / "bad.mcs";
        qtest::WriteFile(path, c.text);
        Outcome r = Program(card, path);
        EXPECT_EQ(c.ret, r.ret) << c.name;
        EXPECT_NE(std::string::npos, r.out.find(c.msg)) << c.name << ": " << r.out;
        EXPECT_EQ(std::string::npos, r.out.find("ELA Records")) << c.name;
        EXPECT_TRUE(card.flash.ops().empty()) << c.name;
        EXPECT_EQ(0u, card.controller.registerWrites()) << c.name;
    }

    CSimFlashCard card(Micron());
    Outcome r = Program(card, dir / "missing.mcs");
    EXPECT_EQ(-2, r.ret);
    EXPECT_NE(std::string::npos,
              r.out.find("ERROR: Cannot open " + (dir / "missing.mcs") + ". Check that it exists and is readable.\n"));

    // Neither a FIFO (the open would block) nor a device that never ends.
    std::string fifo = dir / "fifo.mcs", zero = dir / "zero.mcs";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    ASSERT_EQ(0, symlink("/dev/zero", zero.c_str()));
    for (const std::string& path : {fifo, zero}) {
        r = Program(card, path);
        EXPECT_EQ(-2, r.ret) << path;
        EXPECT_NE(std::string::npos, r.out.find("ERROR: " + path + " is not a regular file\n")) << r.out;
    }
    EXPECT_TRUE(card.flash.ops().empty());

    flash_spi unmapped(nullptr);
    EXPECT_EQ(-13, unmapped.xclUpgradeFirmwareXSpi(dir / "missing.mcs", 0));
}

// A controller error during a step fails that step with its message.
TEST_F(FlashProgram, FailedStepsReportTheirMessage)
{
    auto image = RandomImage(3000, 9);
    std::string atZero = MakeMcs(dir, "z", image, 0);
    std::string high = MakeMcs(dir, "h", image, 0x00200000);
    struct Case {
        std::string mcs;
        uint8_t opcode;
        uint32_t nth;
        const char* msg;
    };
    // Image at 0x00200000 shifted to 0x00201000: one guard erase, then 1 image erase, then the final erase.
    const std::vector<Case> cases = {
        {atZero, 0x20, 1, "\nERROR: Failed to erase subsector!"},
        {atZero, 0x32, 3, "\nERROR: Could not programXSpi the block"},
        {high, 0x20, 1, "ERROR: Unable to set bitstream guard!"},
        {high, 0x20, 3, "ERROR: Unable to clear bitstream guard!"},
    };
    for (const Case& c : cases) {
        CSimFlashCard card(Micron());
        card.controller.injectError(c.opcode, c.nth);
        Outcome r = Program(card, c.mcs);
        EXPECT_EQ(-22, r.ret) << c.msg;
        EXPECT_NE(std::string::npos, r.out.find("status reg in error situation ")) << c.msg;
        EXPECT_NE(std::string::npos, r.out.find(c.msg)) << r.out;
    }
}

// A flash that cannot be identified ends the process with status -95.
TEST_F(FlashProgram, UnidentifiedFlashEndsTheProcess)
{
    auto image = RandomImage(256, 10);
    std::string mcs = MakeMcs(dir, "id", image, 0);
    struct Case {
        uint8_t code;
        bool unrecognized;
    };
    for (const Case& c : {Case{0xFF, false}, Case{0x23, true}, Case{0x16, true}, Case{0x3D, true}}) {
        std::string out = dir / "child.out";
        int status = qtest::RunInChild([&] {
            int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, 1);
            close(fd);
            CSimFlashCard card(Micron(c.code));
            flash_spi prog(&card.controller);
            prog.xclUpgradeFirmwareXSpi(mcs, 0);
            return 0;  // not reached
        });
        EXPECT_EQ(-95 & 0xFF, status) << int(c.code);
        std::string text = qtest::ReadFile(out);
        EXPECT_NE(std::string::npos, text.find("Exiting now, as could not get correct idcode\n")) << text;
        EXPECT_EQ(c.unrecognized, text.find("ERROR: Unrecognized sector field! Exiting...") != std::string::npos)
            << int(c.code);
        EXPECT_EQ(std::string::npos, text.find("Programming flash"));
    }
}

// A slower controller (bytes trickle out one status read at a time, deep
// FIFOs) and a flash that stays busy for several polls still end with the
// right contents.
TEST_F(FlashProgram, SlowControllerAndBusyFlash)
{
    SpiFlashConfig f = Macronix();
    f.programUs = 30;
    f.eraseUs = 200;
    f.busyPolls = 3;
    SpiControllerConfig c;
    c.fifoDepth = 256;
    c.bytesPerStatusRead = 3;
    CSimFlashCard card(f, c);
    auto image = RandomImage(6000, 11);
    std::string mcs = MakeMcs(dir, "slow", image, 0x01002000);
    Outcome r = Program(card, mcs);
    ASSERT_EQ(0, r.ret) << r.out;
    EXPECT_EQ("", Violations(card));
    EXPECT_EQ(image, card.flash.read(0x01003000, image.size()));
    // Every operation but the last (the guard erase) was polled busy at least three times.
    EXPECT_GE(card.flash.stats().statusReadsBusy, 3 * (card.flash.stats().programs + card.flash.stats().erases - 1));
}

// The model itself: what a real chip would ignore is refused and recorded.
TEST(FlashModel, RecordsProtocolViolations)
{
    CSimFlashCard card(Micron());
    auto& r = card.controller;
    auto send = [&](std::vector<uint8_t> bytes) {
        r.write32(0x60, 0x1E6);
        for (uint8_t b : bytes) r.write32(0x68, b);
        r.write32(0x70, 0xFFFFFFFE);
        r.write32(0x60, 0x086);  // inhibit off: the bytes go out
        r.write32(0x60, 0x186);
        r.write32(0x70, 3);
    };
    uint8_t before = card.flash.byteAt(0x100);
    send({0x32, 0x00, 0x01, 0x00, 0x00});  // program without write enable
    EXPECT_EQ(before, card.flash.byteAt(0x100));
    ASSERT_EQ(1u, card.flash.violations().size());
    EXPECT_NE(std::string::npos, card.flash.violations()[0].find("page program without write enable"));

    send({0x06});
    send({0x20, 0x00, 0x00, 0x00});  // erase: busy for one status read
    send({0x06});                    // ignored while busy
    EXPECT_FALSE(card.flash.writeEnabled());
    EXPECT_EQ(2u, card.flash.violations().size());
    EXPECT_EQ(0xFF, card.flash.byteAt(0x100));

    send({0x05, 0x00});
    send({0x06});
    send({0x20, 0xFF, 0x00, 0x00});  // segment 0 only has 16 MB: fine
    send({0x05, 0x00});
    send({0x06});
    send({0xC5, 0x05});  // a 32 MB part has two segments
    EXPECT_EQ(3u, card.flash.violations().size());
    EXPECT_EQ(0, card.flash.extendedAddress());
}

// The reload writes 0, then the delay and trigger code; delays below 3 become 3.
TEST(Reload, ControlRegisterSequence)
{
    struct Recorder : IRegAccess {
        std::vector<std::pair<uint32_t, uint32_t>> writes;
        bool read32(uint32_t, uint32_t& v) override { v = 0; return true; }
        bool write32(uint32_t off, uint32_t v) override { writes.emplace_back(off, v); return true; }
    };
    struct Case {
        unsigned delay;
        uint32_t value;
        const char* text;
    };
    for (const Case& c : {Case{10000, 0x2710A596, " delay :10000\n-- controlRegBits: 0x2710a596\n"},
                          Case{0, 0x0003A596, " delay :3\n-- controlRegBits: 0x3a596\n"},
                          Case{2, 0x0003A596, " delay :3\n"}, Case{3, 0x0003A596, " delay :3\n"},
                          Case{70000, 0xFFFFA596, " delay :65535\n"}}) {
        Recorder rec;
        mreload reload(&rec);
        testing::internal::CaptureStdout();
        EXPECT_EQ(0, reload.reloadFPGA(c.delay, true, true));
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(std::string::npos, out.find(c.text)) << out;
        std::vector<std::pair<uint32_t, uint32_t>> expect = {{4, 0}, {4, c.value}};
        EXPECT_EQ(expect, rec.writes) << c.delay;
    }
    Recorder rec;
    mreload noTrigger(&rec);
    testing::internal::CaptureStdout();
    noTrigger.reloadFPGA(10000, true, false);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(2u, rec.writes.size());
    EXPECT_EQ(0x27100000u, rec.writes[1].second);
}

// Accesses outside the mapping are refused with a message.
TEST(BarRegAccess, RefusesAccessesOutsideTheBar)
{
    alignas(4) uint8_t bar[0x100];
    memset(bar, 0, sizeof(bar));
    CBarRegAccess regs(bar, sizeof(bar), 0x80);
    uint32_t v = 1;
    testing::internal::CaptureStdout();
    EXPECT_TRUE(regs.write32(0x7C, 0x11223344));
    EXPECT_TRUE(regs.read32(0x7C, v));
    EXPECT_EQ(0x11223344u, v);
    EXPECT_FALSE(regs.read32(0x80, v));
    EXPECT_FALSE(regs.write32(0x80, 5));
    EXPECT_FALSE(regs.write32(0xFFFFFF80u, 5));  // wraps round to the start of the BAR
    EXPECT_FALSE(regs.write32(0x7E, 5));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, out.find("ERROR: register read at BAR 0 offset 0x100 refused")) << out;
    EXPECT_NE(std::string::npos, out.find("ERROR: register write at BAR 0 offset 0xfe refused")) << out;
    EXPECT_EQ(0, bar[0]);
    EXPECT_EQ(0x44, bar[0xFC]);

    CBarRegAccess none(nullptr, 0, 0x40000);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(none.read32(0x60, v));
    testing::internal::GetCapturedStdout();
}
