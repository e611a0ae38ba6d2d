// Transfers above MAX_RW_SIZE: split into chunks of at most 0x7ffff000 bytes,
// each preceded by its own seek. Moving 2 GB for real is slow and costly, so
// this program supplies its own read/write/lseek, which take precedence over
// the C library's for the statically linked driver: on the one watched file
// they record the call instead of moving bytes; every other descriptor goes
// straight to the kernel. Nothing in the driver knows about it.

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "drvXdma.h"
#include "log_capture.h"

namespace {

struct Call {
    char op;  // 's' seek, 'r' read, 'w' write
    uint64_t arg;      // offset, or count
    const void* buf;   // read/write buffer
};

struct Watch {
    dev_t dev = 0;
    ino_t ino = 0;
    bool on = false;
    std::vector<Call> calls;
    long shortAt = -1;  // index of the transfer call that moves one byte less
};
Watch g_watch;

bool Watched(int fd) {
    if (!g_watch.on) return false;
    struct stat st;
    if (syscall(SYS_fstat, fd, &st) != 0) return false;
    return st.st_dev == g_watch.dev && st.st_ino == g_watch.ino;
}

ssize_t Transfer(char op, const void* buf, size_t count) {
    g_watch.calls.push_back({op, count, buf});
    long transfers = 0;
    for (const Call& c : g_watch.calls) transfers += (c.op != 's');
    if (transfers - 1 == g_watch.shortAt) return (ssize_t)count - 1;
    return (ssize_t)count;
}

}  // namespace

extern "C" ssize_t read(int fd, void* buf, size_t count) {
    if (Watched(fd)) return Transfer('r', buf, count);
    return syscall(SYS_read, fd, buf, count);
}

extern "C" ssize_t write(int fd, const void* buf, size_t count) {
    if (Watched(fd)) return Transfer('w', buf, count);
    return syscall(SYS_write, fd, buf, count);
}

extern "C" off_t lseek(int fd, off_t offset, int whence) {
    if (Watched(fd)) g_watch.calls.push_back({'s', (uint64_t)offset, nullptr});
    return syscall(SYS_lseek, fd, offset, whence);
}

namespace {

class XdmaChunks : public ::testing::Test {
protected:
    void SetUp() override {
        m_dev = m_dir / "xdma0_user";
        qtest::WriteFile(m_dev, std::string(16, '\0'));
        struct stat st;
        ASSERT_EQ(0, stat(m_dev.c_str(), &st));
        g_watch = Watch();
        g_watch.dev = st.st_dev;
        g_watch.ino = st.st_ino;
        // Address space for the buffer, never touched.
        m_buf = mmap(nullptr, kSpan, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        ASSERT_NE(MAP_FAILED, m_buf);
        XDMA_PARAM_t p{m_dev.c_str(), m_dev.c_str(), 0, 0, 0};
        ASSERT_EQ(0, m_drv.Init(&p));
        g_watch.on = true;
    }
    void TearDown() override {
        g_watch.on = false;
        if (m_buf != MAP_FAILED) munmap(m_buf, kSpan);
    }
    uint8_t* Buf() { return static_cast<uint8_t*>(m_buf); }

    static constexpr size_t kSpan = 6ull << 30;
    static constexpr uint64_t kMax = (uint64_t)CDrvXdma::MAX_RW_SIZE;
    qtest::TempDir m_dir{"quaychunks"};
    std::string m_dev;
    void* m_buf = MAP_FAILED;
    CDrvXdma m_drv;
};

TEST_F(XdmaChunks, ReadIsSplitWithASeekPerChunk) {
    const uint64_t off = 0x5000;
    const uint64_t len = 2 * kMax + 0x1234;
    EXPECT_EQ(len, m_drv.ReadBytes(off, Buf(), len));
    const std::vector<Call>& c = g_watch.calls;
    ASSERT_EQ(6u, c.size());
    EXPECT_EQ('s', c[0].op);
    EXPECT_EQ(off, c[0].arg);
    EXPECT_EQ('r', c[1].op);
    EXPECT_EQ(kMax, c[1].arg);
    EXPECT_EQ(Buf(), c[1].buf);
    EXPECT_EQ('s', c[2].op);
    EXPECT_EQ(off + kMax, c[2].arg);
    EXPECT_EQ('r', c[3].op);
    EXPECT_EQ(kMax, c[3].arg);
    EXPECT_EQ(Buf() + kMax, c[3].buf);
    EXPECT_EQ('s', c[4].op);
    EXPECT_EQ(off + 2 * kMax, c[4].arg);
    EXPECT_EQ('r', c[5].op);
    EXPECT_EQ(0x1234u, c[5].arg);
    EXPECT_EQ(Buf() + 2 * kMax, c[5].buf);
}

TEST_F(XdmaChunks, WriteIsSplitWithASeekPerChunk) {
    const uint64_t len = kMax + 1;
    EXPECT_EQ(len, m_drv.WriteBytes(0x40, Buf(), len));
    const std::vector<Call>& c = g_watch.calls;
    ASSERT_EQ(4u, c.size());
    EXPECT_EQ('s', c[0].op);
    EXPECT_EQ(0x40u, c[0].arg);
    EXPECT_EQ('w', c[1].op);
    EXPECT_EQ(kMax, c[1].arg);
    EXPECT_EQ('s', c[2].op);
    EXPECT_EQ(0x40u + kMax, c[2].arg);
    EXPECT_EQ('w', c[3].op);
    EXPECT_EQ(1u, c[3].arg);
    EXPECT_EQ(Buf() + kMax, c[3].buf);
}

TEST_F(XdmaChunks, ExactlyMaxIsOneChunk) {
    EXPECT_EQ(kMax, m_drv.ReadBytes(0, Buf(), kMax));
    EXPECT_EQ(2u, g_watch.calls.size());
}

TEST_F(XdmaChunks, ShortChunkStopsTheTransfer) {
    qtest::LogCapture log;
    g_watch.shortAt = 1;  // the second chunk comes back one byte short
    const uint64_t len = 2 * kMax + 10;
    EXPECT_EQ(kMax, m_drv.ReadBytes(0, Buf(), len));
    EXPECT_EQ(4u, g_watch.calls.size()) << "no third chunk";
    EXPECT_TRUE(log.Contains("Read failed, should Read 4294959114, now 2147479552, errno:")) << log.Text();

    g_watch.calls.clear();
    g_watch.shortAt = 0;
    EXPECT_EQ(0u, m_drv.WriteBytes(0, Buf(), len));
    EXPECT_EQ(2u, g_watch.calls.size());
    EXPECT_TRUE(log.Contains("Write failed, should write 4294959114, now 0, errno:")) << log.Text();
}

}  // namespace
