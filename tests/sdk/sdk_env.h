#ifndef QUAY_SDK_ENV_H
#define QUAY_SDK_ENV_H

// A client's world on the simulated Enyx card: a directory with device.ini,
// quay.ini and bin, a log directory, and the card (version register preset so
// that bring-up finds the sample register part). Tests of the SDK see the
// library only through mkrx_service.h and mkrx_reader.h.
//
//   sdktest::Env env;                       // card with streams MAC_CHAN0_DATA/1
//   MkrxInitParam_t p = env.Param(MKRX_ONE_SDK_PERFORMANCE_MODE, MKRX_RAW_FPGA_DATA);
//   IMkrxService* s = NewIMkrxService(&p);
//   env.Feed(...); env.Log()

#include <cstring>
#include <string>

#include "enyx_sim_ctl.h"
#include "ipc_key_lock.h"
#include "mkrx_reader.h"
#include "mkrx_service.h"
#include "test_util.h"

namespace sdktest {

constexpr const char* kCh0 = "MAC_CHAN0_DATA";
constexpr const char* kCh1 = "MAC_CHAN1_DATA";

class Env {
public:
    // extraCard: further lines of the card description (feeds, depths).
    explicit Env(const std::string& extraCard = "", const std::string& deviceIni = "")
        : m_dir("sdkenv") {
        std::string d = m_dir.path();
        qtest::WriteFile(d + "/card.conf", "card\ncore 474 regs=2097152\ncore 472\nstream MAC_CHAN0_DATA depth=65536\n"
                                           "stream MAC_CHAN1_DATA depth=65536\nreg 474 28 0x1005\n" + extraCard);
        setenv("ENYX_SIM_CONFIG", (d + "/card.conf").c_str(), 1);
        setenv("ENYX_SIM_DIR", (d + "/cards").c_str(), 1);
        std::string ini = qtest::ReadFile(std::string(QUAY_SOURCE_DIR) + "/data/quay.ini");
        qtest::WriteFile(d + "/quay.ini", Replace(Replace(ini, "core_id = 0", "core_id = 474"), "bus_id = 0", "bus_id = 0"));
        qtest::WriteFile(d + "/bin", qtest::ReadFile(std::string(QUAY_BINARY_DIR) + "/data/bin"));
        qtest::WriteFile(d + "/device.ini", deviceIni.empty() ? DeviceIni(d) : deviceIni);
    }
    ~Env() {
        enyx_sim_card_remove(0);
        unsetenv("ENYX_SIM_CONFIG");
        unsetenv("ENYX_SIM_DIR");
    }
    static std::string DeviceIni(const std::string& quayDir, uint32_t poolMiB = 1) {
        return "[device]\nquay_ini_path = " + quayDir + "\ndmapoolsize = " + std::to_string(poolMiB) +
               "\ncopyCoreNum = 1\ndma0name = MAC_CHAN0_DATA\ndma1name = MAC_CHAN1_DATA\ncore_id = 474\nbus_id = 0\n";
    }
    void SetPoolMiB(uint32_t mib) const { qtest::WriteFile(m_dir / "device.ini", DeviceIni(m_dir.path(), mib)); }
    const std::string& dir() const { return m_dir.path(); }
    std::string logDir() const { return m_dir / "log"; }

    MkrxInitParam_t Param(MkrxChanRunMode_e mode, MkrxDataType_e type,
                          MkrxServiceCbType_e ch = MKRX_SERVICECB_TYPE_RAW_DATA, int cpu = 1) const {
        MkrxInitParam_t p;
        memset(&p, 0, sizeof(p));
        snprintf(p.logdirect, sizeof(p.logdirect), "%s", logDir().c_str());
        snprintf(p.device_ini_direct, sizeof(p.device_ini_direct), "%s", dir().c_str());
        p.eChannel = ch;
        p.eRunMode = mode;
        p.eDataType = type;
        p.copyThreadCore = cpu;
        return p;
    }
    // Everything logged into the log directory so far.
    std::string Log() const { return qtest::ReadLogs(logDir()); }

    // Starts the card's feed generator on a stream.
    static int Feed(const char* stream, uint64_t count, uint32_t size, double rate = 0) {
        enyx_sim_feed_config f;
        memset(&f, 0, sizeof(f));
        f.rate = rate;
        f.count = count;
        f.size = size;
        f.ntypes = 3;
        f.types[0] = 1;
        f.types[1] = 2;
        f.types[2] = 3;
        return enyx_sim_a2c_feed(0, stream, &f);
    }

private:
    static std::string Replace(std::string s, const std::string& from, const std::string& to) {
        size_t p = s.find(from);
        if (p != std::string::npos) s.replace(p, from.size(), to);
        return s;
    }
    qtest::TempDir m_dir;
};

// Checks a record of the card's feed generator: its per-type sequence
// number follows the last one seen and its payload is the generator's.
struct FeedChecker {
    uint32_t last[65536] = {};
    uint64_t records = 0, gaps = 0;
    std::string bad;
    void operator()(const uint8_t*, const uint8_t* r, uint32_t len) { (*this)(r, len); }
    void operator()(const uint8_t* r, uint32_t len) {
        uint16_t type, rlen;
        uint32_t seq;
        memcpy(&type, r, 2);
        memcpy(&rlen, r + 2, 2);
        memcpy(&seq, r + 4, 4);
        if (bad.empty() && rlen != len) bad = "length " + std::to_string(len) + " != " + std::to_string(rlen);
        uint64_t n = (uint64_t)(seq - 1) * 3 + (type - 1);  // the generator's record number
        for (uint32_t k = 16; k < len && bad.empty(); ++k)
            if (r[k] != (uint8_t)(n + k - 16)) bad = "payload of record " + std::to_string(n);
        if (seq != last[type] + 1) gaps++;
        last[type] = seq;
        ++records;
    }
};

// Length of a feed record in a ring of framing 0: its own uint16 length at
// offset 2 (0 while its first 4 bytes are not readable).
inline uint32_t FeedLength(const uint8_t* r, uint32_t left) {
    if (left < 4) return 0;
    uint16_t l;
    memcpy(&l, r + 2, 2);
    return l;
}

// Walks whole records of a window of bytes framed as type with the SDK's
// record reader, as a client does. Returns the bytes walked.
template <class OnRec>
uint32_t WalkFeed(int type, const uint8_t* p, uint32_t avail, OnRec&& onRec) {
    struct Window {
        const uint8_t* p;
        uint32_t avail, used;
        int GetPoolCurrUsage(MkrxCurPoolUsge_t* u) {
            u->pucbuf = p + used;
            u->uiAvailDataLen = avail - used;
            return 0;
        }
        void SetFetchSize(uint32_t bytes) { used += bytes; }
    } w{p, avail, 0};
    mkrx::WithFraming(type, FeedLength, [&](auto framing) {
        mkrx::PoolReader<decltype(framing), Window> r(&w, framing);
        return r.Poll(onRec);
    });
    return w.used;
}

}  // namespace sdktest

#endif
