#ifndef QUAY_TEST_SVC_ENV_H
#define QUAY_TEST_SVC_ENV_H

// Test environment of the FPGA service: a working directory with quay.ini
// and bin, the virtual card of each kind, log capture, a counting driver
// wrapper and an in-memory driver for unit tests.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "drvCore.h"
#include "enyx_sim_ctl.h"
#include "fake_cmds.h"
#include "fake_sysfs.h"
#include "gt_config.h"
#include "gt_fpgaConfig.h"
#include "gt_fpgaService.h"
#include "gt_logger.h"
#include "test_util.h"
#include "xmlHelper.h"

#ifdef __SANITIZE_ADDRESS__
#include <sanitizer/lsan_interface.h>
#endif

namespace svc {

// ------------------------------------------------------------------ logging

// Points the logger at dir/svc_<date>.log; Mark/Since give the text logged
// in between.
class Log {
public:
    explicit Log(const std::string& dir) : m_dir(dir) {
        elog_fini();
        elog_init(m_dir.c_str(), "svc");
        elog_start();
    }
    size_t Mark() const { return Text().size(); }
    std::string Since(size_t mark) const {
        std::string t = Text();
        return mark < t.size() ? t.substr(mark) : std::string();
    }
    std::string Text() const { return ReadDir(m_dir); }
    static std::string ReadDir(const std::string& dir) {
        return qtest::ReadLogs(dir, "svc_");
    }

private:
    std::string m_dir;
};

inline size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + what.size())) n++;
    return n;
}

// ------------------------------------------------------------ config files

inline std::string SourceFile(const std::string& rel) { return std::string(QUAY_SOURCE_DIR) + "/" + rel; }

// quay.ini of the data directory with the given keys replaced (or added) in
// their sections. keys: "section:key" -> value; value "\x7f" removes the key.
inline std::string EditIni(const std::string& ini, const std::map<std::string, std::string>& keys) {
    std::map<std::string, std::string> left = keys;
    std::istringstream in(ini);
    std::string line, section, out;
    auto flushSection = [&](const std::string& sec) {
        for (auto it = left.begin(); it != left.end();) {
            size_t c = it->first.find(':');
            if (it->first.substr(0, c) == sec) {
                if (it->second != "\x7f") out += it->first.substr(c + 1) + " = " + it->second + "\n";
                it = left.erase(it);
            } else {
                ++it;
            }
        }
    };
    while (std::getline(in, line)) {
        std::string t = line;
        t.erase(0, t.find_first_not_of(" \t"));
        if (!t.empty() && t[0] == '[') {
            flushSection(section);
            section = t.substr(1, t.find(']') - 1);
            out += line + "\n";
            continue;
        }
        size_t eq = t.find('=');
        if (!t.empty() && t[0] != ';' && t[0] != '#' && eq != std::string::npos) {
            std::string k = t.substr(0, eq);
            k.erase(k.find_last_not_of(" \t") + 1);
            auto it = left.find(section + ":" + k);
            if (it != left.end()) {
                if (it->second != "\x7f") out += k + " = " + it->second + "\n";
                left.erase(it);
                continue;
            }
        }
        out += line + "\n";
    }
    flushSection(section);
    for (auto& kv : left) {
        size_t c = kv.first.find(':');
        if (kv.second == "\x7f") continue;
        out += "[" + kv.first.substr(0, c) + "]\n" + kv.first.substr(c + 1) + " = " + kv.second + "\n";
    }
    return out;
}

// Encodes an XML text into dir/bin.
inline bool WriteBin(const std::string& dir, const std::string& xml) {
    std::string plain = dir + "/cfg.plain.xml";
    qtest::WriteFile(plain, xml);
    return CXmlHelper::EnDecodeFile(plain.c_str(), (dir + "/bin").c_str(), true) == 0;
}

// The sample register description as bin: the build's data/bin when there is
// one, else encoded here from data/cfg.xml.
inline bool InstallSampleBin(const std::string& dir) {
    std::string built = std::string(QUAY_BINARY_DIR) + "/data/bin";
    struct stat st;
    if (stat(built.c_str(), &st) == 0 && st.st_size > 0) {
        qtest::WriteFile(dir + "/bin", qtest::ReadFile(built));
        return true;
    }
    return WriteBin(dir, qtest::ReadFile(SourceFile("data/cfg.xml")));
}

// ------------------------------------------------------------ virtual card

enum CardKind { kXdma = 0, kPio = 1, kEnyx = 2 };

inline const char* KindName(CardKind k) { return k == kXdma ? "xdma" : k == kPio ? "pio" : "enyx"; }

constexpr uint16_t kEnyxCore = 474;
constexpr uint64_t kRegSpace = 0x200000;  // bytes of register space of every card
constexpr uint64_t kPioWindow = 0x60000;  // register window inside BAR 0
const char* const kPioBdf = "0000:d8:00.0";

// One card of a kind plus a working directory with quay.ini and bin. Offsets
// of Peek/Poke are driver offsets (bytes for XDMA/PIO, 4-byte indexes for Enyx).
class Card {
public:
    explicit Card(CardKind kind, const std::map<std::string, std::string>& ini = {}) : m_kind(kind), m_dir("svccard") {
        std::map<std::string, std::string> keys;
        if (kind == kXdma) {
            m_regFile = m_dir / "card.regs";
            int fd = open(m_regFile.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
            if (fd >= 0) {
                if (ftruncate(fd, (off_t)kRegSpace) != 0) {
                }
                close(fd);
            }
            keys = {{"device:dev_write", m_regFile}, {"device:dev_read", m_regFile},
                    {"device:core_id", "-1"},        {"device:bus_id", "-1"},
                    {"device:pio_mode", "0"}};
        } else if (kind == kPio) {
            m_sys.reset(new qtest::FakeSysfs());
            m_sys->AddCard(kPioBdf, kPioWindow + kRegSpace);
            keys = {{"device:dev_write", "/dev/xdma0_user"}, {"device:dev_read", "/dev/xdma0_c2h_0"},
                    {"device:core_id", "-1"},                {"device:bus_id", "-1"},
                    {"device:pio_mode", "1"}};
        } else {
            std::string cfg = m_dir / "sim.cfg";
            mkdir((m_dir / "sim").c_str(), 0755);
            qtest::WriteFile(cfg, "card\ncore " + std::to_string(kEnyxCore) + " regs=" + std::to_string(kRegSpace) +
                                      "\ncore 472\nstream MAC_CHAN0_DATA\nstream MAC_CHAN1_DATA\n");
            setenv("ENYX_SIM_CONFIG", cfg.c_str(), 1);
            setenv("ENYX_SIM_DIR", (m_dir / "sim").c_str(), 1);
            keys = {{"device:dev_write", ""},
                    {"device:dev_read", ""},
                    {"device:core_id", std::to_string(kEnyxCore)},
                    {"device:bus_id", "0"},
                    {"device:pio_mode", "0"}};
        }
        for (auto& kv : ini) keys[kv.first] = kv.second;
        WriteIni(keys);
        m_binOk = InstallSampleBin(m_dir.path());
    }
    ~Card() {
        if (m_kind == kEnyx) {
            enyx_sim_card_remove(0);
            unsetenv("ENYX_SIM_CONFIG");
            unsetenv("ENYX_SIM_DIR");
        }
    }

    CardKind kind() const { return m_kind; }
    const std::string& dir() const { return m_dir.path(); }
    bool binOk() const { return m_binOk; }
    // The log of the bodies run by Run.
    std::string LogText() const { return Log::ReadDir(m_dir / "log"); }
    size_t LogMark() const { return LogText().size(); }
    std::string LogSince(size_t mark) const {
        std::string t = LogText();
        return mark < t.size() ? t.substr(mark) : std::string();
    }

    void WriteIni(const std::map<std::string, std::string>& keys) {
        qtest::WriteFile(m_dir / "quay.ini", EditIni(qtest::ReadFile(SourceFile("data/quay.ini")), keys));
    }
    void SetIniText(const std::string& text) { qtest::WriteFile(m_dir / "quay.ini", text); }
    bool SetXml(const std::string& xml) { return WriteBin(m_dir.path(), xml); }

    // Bytes of the register space at a driver offset, in address order.
    std::string Peek(uint64_t off, size_t len) const {
        std::string out(len, '\0');
        if (m_kind == kXdma) {
            int fd = open(m_regFile.c_str(), O_RDONLY);
            ssize_t n = fd >= 0 ? pread(fd, &out[0], len, (off_t)off) : -1;
            if (fd >= 0) close(fd);
            if (n != (ssize_t)len) out.clear();
        } else if (m_kind == kPio) {
            out = m_sys->ReadResource(kPioBdf, kPioWindow + off, len);
        } else if (enyx_sim_reg_peek(0, kEnyxCore, off * 4, &out[0], len) != 0) {
            out.clear();
        }
        return out;
    }
    bool Poke(uint64_t off, const std::string& bytes) const {
        if (m_kind == kXdma) {
            int fd = open(m_regFile.c_str(), O_WRONLY);
            ssize_t n = fd >= 0 ? pwrite(fd, bytes.data(), bytes.size(), (off_t)off) : -1;
            if (fd >= 0) close(fd);
            return n == (ssize_t)bytes.size();
        }
        if (m_kind == kPio) return m_sys->WriteResource(kPioBdf, kPioWindow + off, bytes);
        return enyx_sim_reg_poke(0, kEnyxCore, off * 4, bytes.data(), bytes.size()) == 0;
    }
    uint64_t PeekLE(uint64_t off, size_t bytes) const {
        std::string s = Peek(off, bytes);
        uint64_t v = 0;
        for (size_t i = s.size(); i-- > 0;) v = (v << 8) | (uint8_t)s[i];
        return v;
    }
    bool PokeLE(uint64_t off, uint64_t v, size_t bytes) const {
        std::string s(bytes, '\0');
        for (size_t i = 0; i < bytes; i++) s[i] = (char)((v >> (8 * i)) & 0xFF);
        return Poke(off, s);
    }

    // Address of the firmware version register before bring-up.
    uint64_t VerAddr() const { return m_kind == kEnyx ? 28 : 6; }

    // Runs fn with the working directory set to the card's, in a child
    // process (inside the fake sysfs for the mapped-BAR kind). Returns the
    // child's status: 0 when fn passed.
    int Run(const std::function<void()>& fn) const {
        auto body = [&]() {
            qtest::ScopedChdir cd(m_dir.path());
            Log log(m_dir / "log");
            fn();
#ifdef __SANITIZE_ADDRESS__
            // The child ends with _exit, past the leak checker: run it here.
            EXPECT_EQ(0, __lsan_do_recoverable_leak_check()) << "memory leaked in the child";
#endif
        };
        if (m_kind == kPio) return m_sys->Run(body);
        return qtest::RunInChild(body);
    }

private:
    CardKind m_kind;
    qtest::TempDir m_dir;
    std::string m_regFile;
    std::unique_ptr<qtest::FakeSysfs> m_sys;
    bool m_binOk = false;
};

// Brings the service up on the card of the working directory the way the
// daemon does: FpgaDeviceinit then SetFpgaRunningInfo.
struct Service {
    CGtFpgaService* svc = nullptr;
    int initRet = -1;
    int runRet = -1;
    explicit Service(bool running = true) {
        svc = new CGtFpgaService();
        g_lpFpgaService = svc;
        initRet = FpgaDeviceinit(svc);
        if (running && initRet == 0) runRet = SetFpgaRunningInfo(svc);
    }
    ~Service() {
        delete g_lpConfig;
        g_lpConfig = nullptr;
        delete g_lpDrv;
        g_lpDrv = nullptr;
        delete svc;
        g_lpFpgaService = nullptr;
        delete g_lpXmlHelper;
        g_lpXmlHelper = nullptr;
    }
};

// The descriptor of a register part by name (null when absent).
inline const CfgDes_t* FindDes(CXmlHelper* xml, CFG_CLASS_e cls, const std::string& name) {
    if (!xml) return nullptr;
    CfgDesIter it;
    for (CfgDes_t* d = xml->ScanStart(cls, it); d; d = xml->ScanNext(it))
        if (d->name == name) return d;
    return nullptr;
}

// ------------------------------------------------------- counting wrapper

// Forwards every call to another driver and counts them.
class CountingDrv : public IDrv {
public:
    explicit CountingDrv(IDrv* inner) : m_in(inner) {}
    uint64_t reads = 0, writes = 0, bytesRead = 0, bytesWritten = 0;
    std::vector<std::pair<uint64_t, uint32_t>> writes32;  // (offset, value) of WriteInt32, when kept
    bool keep32 = false;

    int Init(void* p) override { return m_in->Init(p); }
    int ReadInt8(uint64_t o, uint8_t& v) override { reads++; return m_in->ReadInt8(o, v); }
    int ReadInt16(uint64_t o, uint16_t& v) override { reads++; return m_in->ReadInt16(o, v); }
    int ReadInt32(uint64_t o, uint32_t& v) override { reads++; return m_in->ReadInt32(o, v); }
    int ReadInt64(uint64_t o, uint64_t& v) override { reads++; return m_in->ReadInt64(o, v); }
    uint64_t ReadLess128Bytes(uint64_t o, uint8_t* b, uint64_t n) override {
        reads++;
        bytesRead += n;
        return m_in->ReadLess128Bytes(o, b, n);
    }
    uint64_t ReadBytes(uint64_t o, uint8_t* b, uint64_t n) override {
        reads++;
        bytesRead += n;
        return m_in->ReadBytes(o, b, n);
    }
    int WriteInt8(uint64_t o, uint8_t v) override { writes++; return m_in->WriteInt8(o, v); }
    int WriteInt16(uint64_t o, uint16_t v) override { writes++; return m_in->WriteInt16(o, v); }
    int WriteInt32(uint64_t o, uint32_t v) override {
        writes++;
        if (keep32) writes32.emplace_back(o, v);
        return m_in->WriteInt32(o, v);
    }
    int WriteInt64(uint64_t o, uint64_t v) override { writes++; return m_in->WriteInt64(o, v); }
    uint64_t WriteLess128Bytes(uint64_t o, const uint8_t* b, uint64_t n) override {
        writes++;
        bytesWritten += n;
        return m_in->WriteLess128Bytes(o, b, n);
    }
    uint64_t WriteBytes(uint64_t o, const uint8_t* b, uint64_t n) override {
        writes++;
        bytesWritten += n;
        return m_in->WriteBytes(o, b, n);
    }

private:
    IDrv* m_in;
};

// ------------------------------------------------ independent table reader

// Reads the subscription tables back from a card through a 32-bit register
// reader and answers lookups the way the card does: slot from the XOR of the
// factors of the id's set bits, banks examined in order from bank 0.
class HashTableReader {
public:
    using Read32 = std::function<uint32_t(uint64_t)>;
    HashTableReader(Read32 rd, int ramNum, int ramWidth, uint64_t engineOffset = 0)
        : m_ramNum(ramNum), m_ramWidth(ramWidth) {
        for (int k = 0; k < 16; k++) {
            uint32_t v = rd(0x10000 + engineOffset + k);
            m_factor[2 * k] = v & 0xFFFF;
            m_factor[2 * k + 1] = v >> 16;
        }
        const uint32_t slots = 1u << ramWidth;
        m_mem.resize((size_t)ramNum * slots);
        for (int r = 0; r < ramNum; r++) {
            for (uint32_t s = 0; s < slots; s++) {
                uint64_t a = 0x20000 + engineOffset + (uint64_t)r * (2u << ramWidth) + 2 * s;
                m_mem[(size_t)r * slots + s] = ((uint64_t)rd(a + 1) << 32) | rd(a);
            }
        }
        m_switch = rd(0x10060 + engineOffset);
        for (uint32_t c = 0; c < 0x1000; c++) m_class[c] = rd(0x11000 + engineOffset + c);
    }
    // Bank holding the id, or -1.
    int Find(uint32_t id, uint32_t* listIndex = nullptr) const {
        uint32_t h = 0;
        for (int k = 0; k < 32; k++)
            if (id & (1u << k)) h ^= m_factor[k];
        const uint32_t slots = 1u << m_ramWidth;
        uint32_t s = h & (slots - 1);
        for (int r = 0; r < m_ramNum; r++) {
            uint64_t e = m_mem[(size_t)r * slots + s];
            if (!(e >> 63)) return -1;  // an empty slot ends the chain
            if ((uint32_t)e == id) {
                if (listIndex) *listIndex = (uint32_t)(e >> 32) & 0xFFFF;
                return r;
            }
        }
        return -1;
    }
    size_t UsedEntries() const {
        size_t n = 0;
        for (uint64_t e : m_mem) n += (e >> 63) ? 1 : 0;
        return n;
    }
    bool EntriesWellFormed() const {
        for (uint64_t e : m_mem) {
            if (e == 0) continue;
            if (!(e >> 63) || !((e >> 48) & 1) || ((e >> 49) & 0x3FFF)) return false;
        }
        return true;
    }
    uint32_t FilterSwitch() const { return m_switch; }
    uint32_t ClassFlag(uint32_t code) const { return m_class[code & 0xFFF]; }
    uint16_t Factor(int k) const { return m_factor[k]; }

private:
    int m_ramNum, m_ramWidth;
    uint16_t m_factor[32] = {};
    std::vector<uint64_t> m_mem;
    uint32_t m_switch = 0;
    uint32_t m_class[0x1000] = {};
};

}  // namespace svc

#endif
