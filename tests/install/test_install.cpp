// What an operator installs, checked where it lands: the tree of
// cmake --install and the Debian packages (quay, quay-virtual-card) extracted
// into a scratch root hold the programs, the libraries under their SONAMEs,
// the headers, pkg-config files, configuration, working directory and units;
// a client built with nothing but pkg-config, and the installed example
// consumer, read the installed producer's pool on the simulated card; the
// units restart what they run; and the README's quick start runs from both
// packages installed by dpkg, which then purges them clean.

#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <sstream>
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
    for (const char* u : {"quay.service", "quay-producer.service", "quay-vcard.service",
                          "quay.service.d/virtual-card.conf", "quay-producer.service.d/virtual-card.conf"})
        EXPECT_TRUE(Exists(t.prefix + "/lib/systemd/system/" + u)) << u;
    for (const char* p : {"quay-vcard", "enyx-sim-ctl"}) EXPECT_TRUE(Executable(t.prefix + "/bin/" + p)) << p;
    for (const char* p : {"lspci", "lsmod"}) EXPECT_TRUE(Executable(t.lib() + "/quay-virtual-card/bin/" + p)) << p;
    EXPECT_TRUE(Exists(t.lib() + "/quay-virtual-card/env"));
    EXPECT_TRUE(Exists(t.state + "/vcard/card.conf"));
    for (const char* f : {"prometheus/prometheus.yml", "prometheus/quay_rules.yml", "examples/mkrx_consumer.cpp",
                          "examples/mkrx_example.h"})
        EXPECT_TRUE(Exists(t.prefix + "/share/quay/" + f)) << f;
}

// The KEY=VALUE settings of a unit file, comments and section lines left
// out; a key given twice keeps its last value, as systemd reads it.
std::map<std::string, std::string> UnitKeys(const std::string& text) {
    std::map<std::string, std::string> keys;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) {
        size_t eq = l.find('=');
        if (l.empty() || l[0] == '#' || l[0] == ';' || l[0] == '[' || eq == std::string::npos) continue;
        keys[l.substr(0, eq)] = l.substr(eq + 1);
    }
    return keys;
}

// Every value of one key of a unit file, in order (ExecStartPre=, ...).
std::vector<std::string> UnitValues(const std::string& text, const std::string& key) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        if (l.compare(0, key.size() + 1, key + "=") == 0) out.push_back(l.substr(key.size() + 1));
    return out;
}

std::vector<std::string> Words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> w;
    for (std::string x; in >> x;) w.push_back(x);
    return w;
}

// Seconds of a systemd time span such as "30s", "2min" or "10min 30s".
double Seconds(const std::string& span) {
    std::istringstream in(span);
    double total = 0, n;
    std::string unit;
    while (in >> n) {
        unit.clear();
        while (in && isalpha(in.peek())) unit += (char)in.get();
        total += n * (unit == "min" ? 60 : unit == "h" ? 3600 : unit == "ms" ? 0.001 : 1);
    }
    return total;
}

// Whether systemd starts a service again after its main process exited by
// itself with this status, under the unit's Restart= setting.
bool RestartsAfterExit(const std::string& restart, int status) {
    if (restart == "always") return true;
    if (restart == "on-success") return status == 0;
    if (restart == "on-failure") return status != 0;
    return false;  // no, on-abnormal, on-abort, on-watchdog: not after an exit
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

// What each unit runs, run as the unit runs it (ExecStart in its
// WorkingDirectory) on a host without a card: it exits, and the unit's
// policy starts it again, paced and bounded.
TEST(InstallTree, UnitsRestartWhatTheyRunWhenItEndsWithoutACard) {
    const Tree t = InstallTree();
    qtest::TempDir d("quaynocard");
    qtest::WriteFile(d / "nocard.conf", "# a host without an Enyx card\n");
    struct Case {
        const char* unit;
        int status;  // what the program reports when bring-up fails
    } cases[] = {{"quay.service", 0}, {"quay-producer.service", 1}};
    for (const Case& c : cases) {
        std::map<std::string, std::string> k = UnitKeys(qtest::ReadFile(t.prefix + "/lib/systemd/system/" + c.unit));
        ASSERT_EQ(0u, k["ExecStart"].find(t.prefix + "/bin/")) << c.unit << ": " << k["ExecStart"];
        ASSERT_EQ(t.state, k["WorkingDirectory"]) << c.unit;
        int st = -1;
        std::string out = qtest::RunCmd("cd '" + k["WorkingDirectory"] + "' && ENYX_SIM_CONFIG='" + (d / "nocard.conf") +
                                            "' ENYX_SIM_DIR='" + (d / "cards") + "' LD_LIBRARY_PATH='" + t.lib() +
                                            "' timeout 60 " + k["ExecStart"] + " 2>&1",
                                        &st);
        EXPECT_EQ(c.status, st) << c.unit << ": " << out;
        EXPECT_TRUE(RestartsAfterExit(k["Restart"], st)) << c.unit << ": Restart=" << k["Restart"] << ", status " << st;
        // Paced and bounded: a pause before each start, a burst limit over
        // an interval that the pauses cannot outrun.
        const double pause = Seconds(k["RestartSec"]), interval = Seconds(k["StartLimitIntervalSec"]);
        const int burst = atoi(k["StartLimitBurst"].c_str());
        EXPECT_GE(pause, 5) << c.unit;
        EXPECT_GT(burst, 1) << c.unit;
        EXPECT_GT(interval, pause * burst) << c.unit << ": the start limit would never be reached";
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
    // The system and the virtual card are two packages: the card library,
    // its tools, stand-ins and unit only in quay-virtual-card, on which the
    // system's programs depend for the library they link.
    const std::string deb = std::string(PKG_ROOT) + "/../";
    const std::string sys = qtest::RunCmd("dpkg-deb -c " + deb + "quay_*.deb");
    const std::string card = qtest::RunCmd("dpkg-deb -c " + deb + "quay-virtual-card_*.deb");
    for (const char* f : {"./usr/lib/libenyx-hw-sim.so.5", "./usr/bin/quay-vcard", "./usr/bin/enyx-sim-ctl",
                          "./usr/lib/quay-virtual-card/bin/lspci", "./usr/lib/systemd/system/quay-vcard.service",
                          "./var/lib/quay/vcard/card.conf"}) {
        EXPECT_NE(std::string::npos, card.find(std::string(" ") + f)) << f;
        EXPECT_EQ(std::string::npos, sys.find(std::string(" ") + f)) << f;
    }
    EXPECT_NE(std::string::npos, qtest::RunCmd("dpkg-deb -f " + deb + "quay_*.deb Depends").find("quay-virtual-card (= "));
    EXPECT_EQ("libenyx-hw-sim.so.5\n",
              qtest::RunCmd("readelf -d " + PackageTree().prefix + "/bin/quay | sed -n 's/.*NEEDED.*\\[\\(libenyx.*\\)\\]/\\1/p'"));
    EXPECT_NE(std::string::npos, qtest::ReadFile(PackageTree().etc + "/device.ini").find("quay_ini_path = /etc/quay\n"));
}

// systemd's own check of both units, with their programs where the scratch
// root holds them: no error and no warning.
TEST(Package, UnitsPassSystemdVerify) {
    qtest::TempDir d("quayunits");
    const Tree t = PackageTree();
    for (const char* u : {"quay.service", "quay-producer.service", "quay-vcard.service"}) {
        std::string unit = qtest::ReadFile(t.prefix + "/lib/systemd/system/" + u);
        ASSERT_NE(std::string::npos, unit.find("\nExecStart=/usr/bin/")) << unit;
        ASSERT_NE(std::string::npos, unit.find("\nWorkingDirectory=/var/lib/quay")) << unit;
        // The programs where the scratch root holds them.
        for (size_t at = unit.find("=/usr/bin/"); at != std::string::npos; at = unit.find("=/usr/bin/", at + 1))
            unit.replace(at + 1, 4, std::string(PKG_ROOT) + "/usr");
        qtest::WriteFile(d / u, unit);
    }
    int st = -1;
    std::string out = qtest::RunCmd("systemd-analyze verify --man=no " + (d / "quay.service") + " " +
                                        (d / "quay-producer.service") + " " + (d / "quay-vcard.service") + " 2>&1",
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

// The README's quick start on the virtual card, from the installed files
// alone: both packages installed by dpkg into a scratch root, the root laid
// over /usr, /etc and /var in this test's own mount namespace (what the
// programs write lands in it), the systemctl steps run as the commands their
// units and drop-ins run, no ENYX_SIM_* variables; then both purged, leaving
// nothing in the root but dpkg's own database.
class PackageQuickStart : public ::testing::Test {
protected:
    qtest::IpcKeyLock m_keys;
    qtest::TempDir m_dir{"quayqs"};
    std::string m_root = m_dir / "root";
    bool m_mounted = false;

    int Dpkg(const std::string& args, std::string* out = nullptr) {
        int st = -1;
        std::string o = qtest::RunCmd("dpkg --root='" + m_root +
                                          "' --force-script-chrootless --force-depends --log=/dev/null " + args + " 2>&1",
                                      &st);
        if (out) *out = o;
        return st;
    }
    void SetUp() override {
        qtest::RemovePoolIpc();
        unsetenv("ENYX_SIM_CONFIG");
        unsetenv("ENYX_SIM_DIR");
        int st = -1;
        qtest::RunCmd("mkdir -p '" + m_root + "/var/lib/dpkg/info' '" + m_root + "/var/lib/dpkg/updates' && touch '" +
                          m_root + "/var/lib/dpkg/status' '" + m_root + "/var/lib/dpkg/available'",
                      &st);
        ASSERT_EQ(0, st);
        const std::string deb = std::string(PKG_ROOT) + "/../";
        std::string out;
        ASSERT_EQ(0, Dpkg("-i " + deb + "quay-virtual-card_*.deb " + deb + "quay_*.deb", &out)) << out;
        // A network of its own: the sample quay.ini's fixed port is ours.
        ASSERT_EQ(0, unshare(CLONE_NEWNET)) << strerror(errno);
        ASSERT_EQ(0, system("ip link set lo up"));
        for (const char* d : {"usr", "etc", "var"}) {
            const std::string work = m_dir / (std::string("work-") + d);
            mkdir(work.c_str(), 0755);
            const std::string opts = std::string("lowerdir=/") + d + ",upperdir=" + m_root + "/" + d + ",workdir=" + work;
            ASSERT_EQ(0, mount("overlay", (std::string("/") + d).c_str(), "overlay", 0, opts.c_str()))
                << d << ": " << strerror(errno);
        }
        m_mounted = true;
    }
    void Unmount() {
        if (!m_mounted) return;
        for (const char* d : {"/usr", "/etc", "/var"}) umount2(d, MNT_DETACH);
        m_mounted = false;
    }
    void TearDown() override {
        Unmount();
        qtest::RemovePoolIpc();
    }

    // Starts what a unit runs, as systemd would: its drop-ins' environment,
    // its ExecStartPre commands in turn, then ExecStart in its working
    // directory.
    std::unique_ptr<qtest::ChildProc> StartUnit(const std::string& unit) {
        const std::string dir = "/usr/lib/systemd/system/";
        std::string text = qtest::ReadFile(dir + unit);
        text += qtest::ReadFile(dir + unit + ".d/virtual-card.conf");
        const std::string wd = UnitKeys(text)["WorkingDirectory"];
        EXPECT_EQ(0, chdir(wd.c_str())) << unit << ": " << wd;
        const char* path = getenv("PATH");
        const std::string saved = path ? path : "";
        for (const std::string& e : UnitValues(text, "Environment"))
            if (e.compare(0, 5, "PATH=") == 0) setenv("PATH", e.c_str() + 5, 1);
        for (const std::string& pre : UnitValues(text, "ExecStartPre")) {
            int st = -1;
            std::string out = qtest::RunCmd(pre + " 2>&1", &st);
            EXPECT_EQ(0, st) << unit << ": " << pre << "\n" << out;
        }
        std::unique_ptr<qtest::ChildProc> p(new qtest::ChildProc(Words(UnitValues(text, "ExecStart").at(0))));
        setenv("PATH", saved.c_str(), 1);
        EXPECT_EQ(0, chdir("/"));
        return p;
    }
};

TEST_F(PackageQuickStart, RunsOnTheVirtualCardFromTheInstalledFilesAndPurgesClean) {
    // systemctl enable --now quay: its drop-in starts the virtual card first.
    const std::string dropIn = qtest::ReadFile("/usr/lib/systemd/system/quay.service.d/virtual-card.conf");
    ASSERT_NE(std::string::npos, dropIn.find("\nRequires=quay-vcard.service\n")) << dropIn;
    std::unique_ptr<qtest::ChildProc> vcard = StartUnit("quay-vcard.service");
    ASSERT_NE(std::string::npos, vcard->Expect("quay-vcard: ").find("animating")) << vcard->Seen();
    std::unique_ptr<qtest::ChildProc> quay = StartUnit("quay.service");
    // curl -s http://127.0.0.1:9321/metrics | grep ^quay_
    std::string body;
    for (int i = 0; i < 300 && body.find("\nquay_fpga_status{") == std::string::npos; ++i) {
        usleep(100000);
        body = qtest::RunCmd("curl -s -m 2 http://127.0.0.1:9321/metrics");
    }
    EXPECT_NE(std::string::npos, body.find("\nquay_fpga_status{")) << quay->Seen();
    EXPECT_NE(std::string::npos, body.find("\nquay_fpga_config{")) << body;

    // cd /var/lib/quay && quay_tool info, and config to apply quay.ini now,
    // with the virtual card's env file.
    const std::string tool = ". /usr/lib/quay-virtual-card/env && cd /var/lib/quay && quay_tool ";
    std::string out = qtest::RunCmd(tool + "info 2>&1");
    EXPECT_NE(std::string::npos, out.find("[Main]Info command")) << out;
    EXPECT_NE(std::string::npos, out.find("register part:\"sz_tcp_net_x\"")) << out;
    out = qtest::RunCmd(tool + "config 2>&1");
    EXPECT_NE(std::string::npos, out.find("[Main]quay_tool reset finished.")) << out;
    EXPECT_EQ(std::string::npos, out.find("[ERROR")) << out;

    // systemctl enable --now quay-producer, and an installed example consumer.
    std::unique_ptr<qtest::ChildProc> producer = StartUnit("quay-producer.service");
    ASSERT_NE("", producer->Expect("QxDeliverDmaServer: producing")) << producer->Seen();
    qtest::ChildProc consumer({"/usr/lib/quay/examples/mkrx_consumer", "-d", "/etc/quay", "-l", m_dir / "clog", "-t", "2",
                               "-n", "3000", "-s", "30"});
    const std::string total = consumer.Expect("mkrx_consumer: total ", 40000);
    EXPECT_EQ(0, consumer.Wait()) << consumer.Seen();
    EXPECT_NE(std::string::npos, total.find(" records 3000 ")) << total << consumer.Seen();
    EXPECT_NE(std::string::npos, total.find(" bad 0")) << total;

    EXPECT_EQ(0, producer->Kill(SIGTERM));
    EXPECT_EQ(-1, shmget(MKRX_SHM_KEY, 0, 0));
    EXPECT_EQ(1000 + SIGTERM, quay->Kill(SIGTERM));
    EXPECT_EQ(0, vcard->Kill(SIGTERM));
    // The programs wrote their logs, the reset record and the card's files.
    for (const char* f : {"/var/log/quay", "/var/lib/quay/.reset_log", "/var/lib/quay/vcard/card0.mem"})
        EXPECT_TRUE(Exists(f)) << f;

    Unmount();
    ASSERT_EQ(0, Dpkg("--purge quay quay-virtual-card", &out)) << out;
    const std::string left = qtest::RunCmd("cd '" + m_root + "' && find . -mindepth 1 ! -type d ! -path './var/lib/dpkg/*'; "
                                           "find . -mindepth 1 -type d -name '*quay*'");
    EXPECT_EQ("", left) << "left after the purge";
}
