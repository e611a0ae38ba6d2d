// What an operator installs, checked where it lands: the tree of
// cmake --install and the Debian package extracted into a scratch root hold
// the programs, the libraries under their SONAMEs, the headers, pkg-config
// files, configuration, working directory and units; a client built with
// nothing but pkg-config, and the installed example consumer, read the
// installed producer's pool on the simulated card.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "child_proc.h"
#include "enyx_sim_ctl.h"
#include "ipc_key_lock.h"
#include "test_util.h"

namespace {

bool Exists(const std::string& p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0;
}
bool Executable(const std::string& p) { return access(p.c_str(), X_OK) == 0; }

// An installed tree: prefix holds bin, lib, include, share; etc the
// configuration directory, state the working directory of the units.
struct Tree {
    std::string prefix, etc, state;
    std::string lib() const { return prefix + "/lib"; }
};
Tree InstallTree() {
    std::string r = INSTALL_ROOT;
    return {r, r + "/etc/quay", r + "/var/lib/quay"};
}
Tree PackageTree() {
    std::string r = PKG_ROOT;
    return {r + "/usr", r + "/etc/quay", r + "/var/lib/quay"};
}

// The SONAME a shared library declares.
std::string Soname(const std::string& lib) {
    std::string out = qtest::RunCmd("readelf -d '" + lib + "' | sed -n 's/.*Library soname: \\[\\(.*\\)\\]/\\1/p'");
    return out.empty() ? out : out.substr(0, out.size() - 1);
}

// Every file an installation must hold, and each library under the name its
// SONAME gives, with the development link beside it.
void ExpectLayout(const Tree& t, bool package) {
    for (const char* p : {"quay", "quay_tool", "QxDeliverDmaServer"})
        EXPECT_TRUE(Executable(t.prefix + "/bin/" + p)) << p;
    for (const char* p : {"mkrx_callback", "mkrx_ringbuf", "mkrx_consumer"})
        EXPECT_TRUE(Executable(t.lib() + "/quay/examples/" + p)) << p;
    for (const char* h : {"mkrx/mkrx_service.h", "mkrx/mkrx_reader.h", "mkrx/mkrxDef.h", "Q_Exporter.h", "oskit/oskit.h"})
        EXPECT_TRUE(Exists(t.prefix + "/include/" + h)) << h;
    for (const char* pc : {"mkrxservice", "QxFPGAExporter", "oskit"})
        EXPECT_TRUE(Exists(t.lib() + "/pkgconfig/" + pc + ".pc")) << pc;
    const std::pair<const char*, const char*> libs[] = {{"libmkrxservice.so", "libmkrxservice.so.2"},
                                                        {"libQxFPGAExporter.so", "libQxFPGAExporter.so.1"},
                                                        {"liboskit.so", "liboskit.so.2"},
                                                        {"libenyx-hw-sim.so", "libenyx-hw-sim.so.5"}};
    for (const auto& l : libs) {
        EXPECT_EQ(l.second, Soname(t.lib() + "/" + l.first)) << l.first;
        EXPECT_TRUE(Exists(t.lib() + "/" + l.second)) << l.second;
    }
    for (const char* f : {"quay.ini", "device.ini", "bin"}) EXPECT_TRUE(Exists(t.etc + "/" + f)) << f;
    // The units' working directory: quay.ini and bin of the configuration,
    // the log directory, all reachable through it.
    // The package's links name /etc/quay as the installed system sees it.
    if (package) {
        EXPECT_EQ("/etc/quay/quay.ini", qtest::RunCmd("readlink -n '" + t.state + "/quay.ini'"));
        EXPECT_EQ("/etc/quay/bin", qtest::RunCmd("readlink -n '" + t.state + "/bin'"));
    } else {
        EXPECT_EQ(qtest::ReadFile(t.etc + "/quay.ini"), qtest::ReadFile(t.state + "/quay.ini"));
        EXPECT_EQ(qtest::ReadFile(t.etc + "/bin"), qtest::ReadFile(t.state + "/bin"));
    }
    EXPECT_TRUE(Exists(t.state + "/log/.")) << "log link of " << t.state;
    for (const char* u : {"quay.service", "quay-producer.service"})
        EXPECT_TRUE(Exists(t.prefix + "/lib/systemd/system/" + u)) << u;
    for (const char* f : {"prometheus/prometheus.yml", "prometheus/quay_rules.yml", "examples/mkrx_consumer.cpp",
                          "examples/mkrx_example.h"})
        EXPECT_TRUE(Exists(t.prefix + "/share/quay/" + f)) << f;
}

// A card for run mode 2, and the producer and consumers of its pool.
class PoolRun : public ::testing::Test {
protected:
    qtest::IpcKeyLock m_keys;
    qtest::TempDir m_dir{"quayinst"};

    void SetUp() override {
        qtest::RemovePoolIpc();
        qtest::WriteFile(m_dir / "card.conf",
                         "card\ncore 474 regs=2097152\ncore 472\nstream MAC_CHAN0_DATA depth=65536\n"
                         "stream MAC_CHAN1_DATA depth=65536\nreg 474 28 0x1005\n");
        setenv("ENYX_SIM_CONFIG", (m_dir / "card.conf").c_str(), 1);
        setenv("ENYX_SIM_DIR", (m_dir / "cards").c_str(), 1);
    }
    void TearDown() override {
        enyx_sim_card_remove(0);
        qtest::RemovePoolIpc();
    }

    // A configuration directory made from the tree's own files, pointed at
    // the simulated card's core and a small pool.
    std::string ConfigFrom(const Tree& t) {
        const std::string conf = m_dir / "conf";
        std::string cmd = "mkdir -p '" + conf + "' && cp '" + t.etc + "/bin' '" + conf + "/' && sed 's/^core_id = 0/core_id = 474/' '" +
                          t.etc + "/quay.ini' > '" + conf + "/quay.ini' && sed -e 's|^quay_ini_path = .*|quay_ini_path = " +
                          conf + "|' -e 's/^dmapoolsize = .*/dmapoolsize = 4/' '" + t.etc + "/device.ini' > '" + conf +
                          "/device.ini'";
        int st = -1;
        qtest::RunCmd(cmd, &st);
        EXPECT_EQ(0, st) << cmd;
        return conf;
    }

    // The tree's producer and the given consumer program read 3000 records of
    // the card's feed; the producer leaves nothing behind on SIGTERM.
    void ReadsTheFeed(const Tree& t, const std::string& consumer) {
        setenv("LD_LIBRARY_PATH", t.lib().c_str(), 1);
        const std::string conf = ConfigFrom(t);
        qtest::ChildProc producer({t.prefix + "/bin/QxDeliverDmaServer", "-d", conf, "-l", m_dir / "log"});
        ASSERT_NE("", producer.Expect("QxDeliverDmaServer: producing")) << producer.Seen();
        qtest::ChildProc c({consumer, "-d", conf, "-l", m_dir / "log", "-t", "2", "-n", "3000", "-s", "10"});
        ASSERT_NE("", c.Expect("mkrx_consumer: attached")) << c.Seen();
        enyx_sim_feed_config f = {};
        f.rate = 20000;
        f.count = 3000;
        f.size = 100;
        f.ntypes = 1;
        f.types[0] = 1;
        ASSERT_EQ(0, enyx_sim_a2c_feed(0, "MAC_CHAN0_DATA", &f));
        const std::string total = c.Expect("mkrx_consumer: total ");
        EXPECT_EQ(0, c.Wait()) << c.Seen();
        EXPECT_NE(std::string::npos, total.find(" records 3000 bytes 300000 ")) << total;
        EXPECT_NE(std::string::npos, total.find(" gaps 0 lost 0 bad 0 latency_us")) << total;
        EXPECT_EQ(0, producer.Kill(SIGTERM));
        EXPECT_EQ(-1, shmget(MKRX_SHM_KEY, 0, 0));
        unsetenv("LD_LIBRARY_PATH");
    }
};

}  // namespace

TEST(InstallTree, HoldsProgramsLibrariesHeadersConfigurationAndUnits) {
    ExpectLayout(InstallTree(), false);
    // device.ini names the configuration directory it was installed in.
    EXPECT_NE(std::string::npos, qtest::ReadFile(InstallTree().etc + "/device.ini")
                                     .find("quay_ini_path = " + InstallTree().etc + "\n"));
}

// Each library's pkg-config file alone gives what a program needs to
// compile, link and run against it (the tree's library directory for the
// loader, as ld.so.conf would give it).
TEST(InstallTree, EachLibraryBuildsAndRunsWithItsPkgConfigAlone) {
    qtest::TempDir d("quaypc");
    const Tree t = InstallTree();
    const std::pair<const char*, const char*> progs[] = {
        {"mkrxservice", "#include <mkrx_service.h>\n#include <cstdio>\n"
                        "int main() { std::printf(\"%s\\n\", GetUpDmaLibVersion()); return 0; }\n"},
        {"QxFPGAExporter", "#include <Q_Exporter.h>\n#include <cstdio>\n"
                           "int main() { std::printf(\"%d\\n\", Q_Exporter_Init(70000, \"127.0.0.1\", \"\", \"/metrics\") == -1); return 0; }\n"},
        {"oskit", "#include <oskit.h>\n#include <cstdio>\n"
                  "int main() { OSKIT2::CThreadMutex m; std::printf(\"%d\\n\", m.Acquire() == 0 && m.Release() == 0); "
                  "return 0; }\n"}};
    for (const auto& p : progs) {
        const std::string src = d / (std::string(p.first) + ".cpp"), exe = d / p.first;
        qtest::WriteFile(src, p.second);
        int st = -1;
        std::string out = qtest::RunCmd("PKG_CONFIG_PATH='" + t.lib() + "/pkgconfig' sh -c 'g++ -o " + exe + " " + src +
                                            " $(pkg-config --cflags --libs " + p.first + ")' 2>&1 && LD_LIBRARY_PATH='" +
                                            t.lib() + "' " + exe,
                                        &st);
        EXPECT_EQ(0, st) << p.first << ": " << out;
        EXPECT_TRUE(out == "1\n" || out.compare(0, 2, "V:") == 0) << p.first << ": " << out;
    }
}

using InstallTreePool = PoolRun;
TEST_F(InstallTreePool, ClientBuiltAgainstTheTreeReadsTheInstalledProducersPool) {
    const Tree t = InstallTree();
    const std::string exe = m_dir / "consumer";
    int st = -1;
    std::string out = qtest::RunCmd("PKG_CONFIG_PATH='" + t.lib() + "/pkgconfig' sh -c 'g++ -O2 -o " + exe + " " + t.prefix +
                                        "/share/quay/examples/mkrx_consumer.cpp $(pkg-config --cflags --libs mkrxservice)' 2>&1",
                                    &st);
    ASSERT_EQ(0, st) << out;
    ReadsTheFeed(t, exe);
}

TEST(Package, HoldsWhatAnInstallationNeedsWithTheConfigurationAsConffiles) {
    ExpectLayout(PackageTree(), true);
    const std::string conffiles = qtest::RunCmd("dpkg-deb -I " + std::string(PKG_ROOT) + "/../quay_*.deb conffiles");
    EXPECT_EQ("/etc/quay/bin\n/etc/quay/device.ini\n/etc/quay/quay.ini\n", conffiles);
    EXPECT_NE(std::string::npos, qtest::ReadFile(PackageTree().etc + "/device.ini").find("quay_ini_path = /etc/quay\n"));
}

// systemd's own check of both units, with their programs where the scratch
// root holds them: no error and no warning.
TEST(Package, UnitsPassSystemdVerify) {
    qtest::TempDir d("quayunits");
    const Tree t = PackageTree();
    for (const char* u : {"quay.service", "quay-producer.service"}) {
        std::string unit = qtest::ReadFile(t.prefix + "/lib/systemd/system/" + u);
        ASSERT_NE(std::string::npos, unit.find("\nExecStart=/usr/bin/")) << unit;
        ASSERT_NE(std::string::npos, unit.find("\nWorkingDirectory=/var/lib/quay\n")) << unit;
        ASSERT_NE(std::string::npos, unit.find("\nRestart=on-failure\n")) << unit;
        size_t at = unit.find("\nExecStart=/usr/bin/") + 11;
        unit.replace(at, 4, std::string(PKG_ROOT) + "/usr");
        qtest::WriteFile(d / u, unit);
    }
    int st = -1;
    std::string out = qtest::RunCmd("systemd-analyze verify --man=no " + (d / "quay.service") + " " +
                                        (d / "quay-producer.service") + " 2>&1",
                                    &st);
    EXPECT_EQ(0, st) << out;
    EXPECT_EQ("", out);
}

using PackagePool = PoolRun;
TEST_F(PackagePool, InstalledToolAndExampleConsumerRunFromTheScratchRoot) {
    const Tree t = PackageTree();
    setenv("LD_LIBRARY_PATH", t.lib().c_str(), 1);
    int st = -1;
    std::string out = qtest::RunCmd("cd '" + m_dir.path() + "' && '" + t.prefix + "/bin/quay_tool' decode '" + t.etc +
                                        "/bin' cfg.xml 2>&1",
                                    &st);
    unsetenv("LD_LIBRARY_PATH");
    EXPECT_EQ(0, st) << out;
    EXPECT_NE(std::string::npos, qtest::ReadFile(m_dir / "cfg.xml").find("<Core ")) << out;
    ReadsTheFeed(t, t.lib() + "/quay/examples/mkrx_consumer");
}
