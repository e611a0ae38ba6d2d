#ifndef QUAY_TEST_FAKE_SYSFS_H
#define QUAY_TEST_FAKE_SYSFS_H

// A fake PCIe sysfs tree for tests of the mapped-BAR ("pio mode") register
// driver, flash programming and FPGA reload. The tree lives in a temp dir;
// Run() forks a child that enters a private mount namespace, bind-mounts the
// tree over /sys/bus/pci/devices, puts a fake `lspci` (and any other fake
// programs of Bin()) first on PATH and runs the test body there. The code
// under test finds and maps the card exactly as on a real host.
//
// Tests using it must be registered with LOCK sysfs_pci (quay_add_test) and
// run as root (unshare + mount need CAP_SYS_ADMIN).
//
//   qtest::FakeSysfs sys;
//   sys.AddCard("0000:d8:00.0", 0x100000);            // xdma/xdma0_user + 1 MB resource0
//   ASSERT_EQ(0, sys.Run([&] {
//       CDrvXdmaPio drv;
//       ASSERT_EQ(0, drv.Init((void*)"/dev/xdma0_user"));
//       EXPECT_EQ(0, drv.WriteInt32(0x10, 0x44332211));
//   }));
//   EXPECT_EQ(std::string("\x11\x22\x33\x44", 4), sys.ReadResource("0000:d8:00.0", 0x60010, 4));

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fake_cmds.h"
#include "test_util.h"

namespace qtest {

class FakeSysfs {
public:
    static constexpr const char* kPciDevices = "/sys/bus/pci/devices";
    static constexpr const char* kXilinxDesc = "Memory controller: Xilinx Corporation Device 903f";

    FakeSysfs() : m_root("quayfakesysfs") {
        m_tree = m_root / "devices";
        mkdir(m_tree.c_str(), 0755);
        WriteLspci();
    }

    // Adds a card directory TreeDir()/<bdf> (bdf like "0000:d8:00.0") holding
    // resource0 (resourceSize bytes of zeros, sparse) and, unless xdmaName is
    // empty, the entry xdma/<xdmaName>. If `listed`, the fake lspci prints
    // "<bdf without its 0000: domain> <lspciDesc>" (e.g. "d8:00.0 Memory
    // controller: Xilinx Corporation Device 903f"), in the order of AddCard.
    void AddCard(const std::string& bdf, uint64_t resourceSize = 0x100000,
                 const std::string& xdmaName = "xdma0_user", const std::string& lspciDesc = kXilinxDesc,
                 bool listed = true) {
        const std::string dir = CardDir(bdf);
        mkdir(dir.c_str(), 0755);
        if (!xdmaName.empty()) {
            mkdir((dir + "/xdma").c_str(), 0755);
            WriteFile(dir + "/xdma/" + xdmaName, "");
        }
        int fd = open(ResourcePath(bdf).c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        if (fd >= 0) {
            if (ftruncate(fd, (off_t)resourceSize) != 0) {
            }
            close(fd);
        }
        if (listed) {
            std::string bus = bdf.compare(0, 5, "0000:") == 0 ? bdf.substr(5) : bdf;
            m_lspci.push_back(bus + " " + lspciDesc);
            WriteLspci();
        }
    }

    // Adds (or replaces) a file under a card directory, e.g. AddFile(bdf, "config", bytes).
    void AddFile(const std::string& bdf, const std::string& relPath, const std::string& content,
                 mode_t mode = 0644) {
        std::string path = CardDir(bdf) + "/" + relPath;
        std::string parent = path.substr(0, path.rfind('/'));
        std::string cmd = "mkdir -p '" + parent + "'";
        if (std::system(cmd.c_str()) != 0) {
        }
        WriteFile(path, content, mode);
    }

    // Adds a raw line to the fake lspci output (e.g. an Enyx card).
    void AddLspciLine(const std::string& line) {
        m_lspci.push_back(line);
        WriteLspci();
    }

    // Real paths (valid in the parent; inside Run() the card is also at
    // /sys/bus/pci/devices/<bdf>).
    const std::string& TreeDir() const { return m_tree; }
    std::string CardDir(const std::string& bdf) const { return m_tree + "/" + bdf; }
    std::string ResourcePath(const std::string& bdf) const { return CardDir(bdf) + "/resource0"; }

    // Bytes of resource0 at a BAR offset (fewer if the file is shorter).
    std::string ReadResource(const std::string& bdf, uint64_t offset, size_t len) const {
        std::string out(len, '\0');
        int fd = open(ResourcePath(bdf).c_str(), O_RDONLY);
        if (fd < 0) return std::string();
        ssize_t n = pread(fd, &out[0], len, (off_t)offset);
        close(fd);
        out.resize(n > 0 ? (size_t)n : 0);
        return out;
    }

    // Stores bytes into resource0 at a BAR offset (to preset register values).
    bool WriteResource(const std::string& bdf, uint64_t offset, const std::string& data) const {
        int fd = open(ResourcePath(bdf).c_str(), O_RDWR);
        if (fd < 0) return false;
        ssize_t n = pwrite(fd, data.data(), data.size(), (off_t)offset);
        close(fd);
        return n == (ssize_t)data.size();
    }

    // Fake programs put first on PATH inside Run() (lspci is already there;
    // add lsmod, ps, ... as needed).
    FakeBin& Bin() { return m_bin; }
    const FakeBin& Bin() const { return m_bin; }

    // Runs fn in a forked child inside the fake tree and returns the child's
    // exit status with the conventions of RunInChild (0 = passed,
    // kChildGtestFailed = an EXPECT/ASSERT failed in fn, fn's own int result,
    // ...). kChildSetupFailed means the namespace or mount could not be set
    // up (message on stderr).
    template <class F>
    int Run(F&& fn) const {
        fflush(nullptr);
        pid_t pid = fork();
        if (pid < 0) return -1;
        if (pid == 0) {
            if (!EnterNamespace()) {
                fflush(nullptr);
                _exit(kChildSetupFailed);
            }
            detail::RunBodyAndExit(fn);
        }
        return detail::WaitChild(pid);
    }

private:
    void WriteLspci() {
        std::string out;
        for (const auto& l : m_lspci) out += l + "\n";
        m_bin.Add("lspci", out);
    }

    // Child side: private mount namespace, tree over /sys/bus/pci/devices,
    // fake programs first on PATH.
    bool EnterNamespace() const {
        if (unshare(CLONE_NEWNS) != 0) {
            fprintf(stderr, "fake sysfs: unshare(CLONE_NEWNS) failed: %s\n", strerror(errno));
            return false;
        }
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            fprintf(stderr, "fake sysfs: making / private failed: %s\n", strerror(errno));
            return false;
        }
        if (mount(m_tree.c_str(), kPciDevices, nullptr, MS_BIND, nullptr) != 0) {
            fprintf(stderr, "fake sysfs: bind mount over %s failed: %s\n", kPciDevices, strerror(errno));
            return false;
        }
        const char* old = getenv("PATH");
        std::string path = m_bin.dir() + ":" + (old ? old : "/usr/sbin:/usr/bin:/sbin:/bin");
        setenv("PATH", path.c_str(), 1);
        return true;
    }

    TempDir m_root;
    std::string m_tree;
    FakeBin m_bin;
    std::vector<std::string> m_lspci;
};

}  // namespace qtest

#endif
