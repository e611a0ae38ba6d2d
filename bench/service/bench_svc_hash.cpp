// Time and register accesses of programming the subscription tables (the
// default 8 banks of 512 slots) through the XDMA driver on a file-backed
// virtual card, split into clearing, loading the hash table and the class
// flags, and the whole Config_hash_function.
//
//   bench_svc_hash [--ids N] [--reps N] [--nolog]
//     --ids N   subscribe N random ids plus one class (default: the sample
//               list of quay.ini, 5 ids and 1 class)
//     --nolog   logger off (default: on, into a temp dir, stdout discarded)

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "drvXdma.h"
#include "gt_config.h"
#include "gt_fpgaConfig.h"
#include "gt_logger.h"
#include "nc_hash.h"

namespace {

// Forwards to the real driver and counts the calls.
class CountingDrv : public IDrv {
public:
    explicit CountingDrv(IDrv* in) : m_in(in) {}
    uint64_t reads = 0, writes = 0;
    int Init(void* p) override { return m_in->Init(p); }
    int ReadInt8(uint64_t o, uint8_t& v) override { reads++; return m_in->ReadInt8(o, v); }
    int ReadInt16(uint64_t o, uint16_t& v) override { reads++; return m_in->ReadInt16(o, v); }
    int ReadInt32(uint64_t o, uint32_t& v) override { reads++; return m_in->ReadInt32(o, v); }
    int ReadInt64(uint64_t o, uint64_t& v) override { reads++; return m_in->ReadInt64(o, v); }
    uint64_t ReadLess128Bytes(uint64_t o, uint8_t* b, uint64_t n) override { reads++; return m_in->ReadLess128Bytes(o, b, n); }
    uint64_t ReadBytes(uint64_t o, uint8_t* b, uint64_t n) override { reads++; return m_in->ReadBytes(o, b, n); }
    int WriteInt8(uint64_t o, uint8_t v) override { writes++; return m_in->WriteInt8(o, v); }
    int WriteInt16(uint64_t o, uint16_t v) override { writes++; return m_in->WriteInt16(o, v); }
    int WriteInt32(uint64_t o, uint32_t v) override { writes++; return m_in->WriteInt32(o, v); }
    int WriteInt64(uint64_t o, uint64_t v) override { writes++; return m_in->WriteInt64(o, v); }
    uint64_t WriteLess128Bytes(uint64_t o, const uint8_t* b, uint64_t n) override { writes++; return m_in->WriteLess128Bytes(o, b, n); }
    uint64_t WriteBytes(uint64_t o, const uint8_t* b, uint64_t n) override { writes++; return m_in->WriteBytes(o, b, n); }
    void Reset() { reads = writes = 0; }

private:
    IDrv* m_in;
};

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct Phase {
    const char* name;
    std::vector<double> secs;
    uint64_t reads = 0, writes = 0;
};

void Report(const Phase& p) {
    std::vector<double> s = p.secs;
    std::sort(s.begin(), s.end());
    double med = s[s.size() / 2];
    printf("%-22s median %8.2f ms  min %8.2f ms  max %8.2f ms  reads %6llu  writes %6llu  (%.2f us/access)\n", p.name,
           med * 1e3, s.front() * 1e3, s.back() * 1e3, (unsigned long long)p.reads, (unsigned long long)p.writes,
           med * 1e6 / (double)(p.reads + p.writes ? p.reads + p.writes : 1));
}

}  // namespace

int main(int argc, char** argv) {
    int nIds = -1, reps = 7;
    bool log = true;
    for (int i = 1; i < argc; i++) {
        if (!strcmp(argv[i], "--ids") && i + 1 < argc) nIds = atoi(argv[++i]);
        else if (!strcmp(argv[i], "--reps") && i + 1 < argc) reps = std::max(1, atoi(argv[++i]));
        else if (!strcmp(argv[i], "--nolog")) log = false;
        else {
            fprintf(stderr, "usage: %s [--ids N] [--reps N] [--nolog]\n", argv[0]);
            return 2;
        }
    }

    char dir[] = "/tmp/bench_svc_hash.XXXXXX";
    if (!mkdtemp(dir)) return 1;
    std::string card = std::string(dir) + "/card.regs";
    int fd = open(card.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || ftruncate(fd, 0x400000) != 0) return 1;
    close(fd);
    int savedOut = -1;
    if (log) {
        elog_init((std::string(dir) + "/log").c_str(), "bench");
        elog_start();
        fflush(stdout);
        savedOut = dup(1);
        int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, 1);
        close(devnull);
    }

    CDrvXdma xdma;
    XDMA_PARAM_t p = {card.c_str(), card.c_str(), 32768, 32768, 0};
    if (xdma.Init(&p) != 0) return 1;
    CountingDrv drv(&xdma);
    xdma.WriteInt32(g_fpgaVerAddr, 0x12320205);  // firmware with hash registers

    std::vector<uint32_t> ids;
    std::string list;
    if (nIds < 0) {
        list = "600000, 600036, 601318, 000001, 300750, 010";
        ids = {0x600000, 0x600036, 0x601318, 0x000001, 0x300750};
    } else {
        std::mt19937 rng(1);
        std::set<uint32_t> seen;
        while ((int)seen.size() < nIds) {
            uint32_t v = rng() % 1000000;
            if (!seen.insert(v).second) continue;
            char b[8];
            snprintf(b, sizeof(b), "%06u", v);
            list += std::string(b) + ",";
            uint32_t bcd = 0;
            for (uint32_t k = 0, n = v; k < 6; k++, n /= 10) bcd |= (n % 10) << (4 * k);
            ids.push_back(bcd);
        }
        list += "010";
    }
    const uint32_t cls[] = {0x010};
    g_tDevInfo.subsstockid = list;
    g_tDevInfo.ram_num = 8;
    g_tDevInfo.ram_width = 9;

    Phase clear{"clearTable", {}}, mem{"config_hash_mem", {}}, klass{"config_stock_class", {}},
        all{"Config_hash_function", {}};
    for (int r = 0; r < reps; r++) {
        drv.Reset();
        double t = Now();
        clearTable(8, 9, &drv);
        clear.secs.push_back(Now() - t);
        clear.reads = drv.reads, clear.writes = drv.writes;

        drv.Reset();
        t = Now();
        config_hash_mem(ids.data(), (uint32_t)ids.size(), 8, 9, &drv);
        mem.secs.push_back(Now() - t);
        mem.reads = drv.reads, mem.writes = drv.writes;

        drv.Reset();
        t = Now();
        config_stock_class(cls, 1, &drv);
        klass.secs.push_back(Now() - t);
        klass.reads = drv.reads, klass.writes = drv.writes;

        drv.Reset();
        t = Now();
        int ret = Config_hash_function(&drv);
        all.secs.push_back(Now() - t);
        all.reads = drv.reads, all.writes = drv.writes;
        if (ret != 0) fprintf(stderr, "Config_hash_function returned %d\n", ret);
    }

    // The bound the driver cannot beat: one lseek and one 4-byte write per
    // register access on the same file, with no driver or table code.
    Phase raw{"raw lseek+write", {}};
    {
        int rfd = open(card.c_str(), O_RDWR);
        if (rfd < 0) return 1;
        const uint64_t n = all.writes + all.reads;
        for (int r = 0; r < reps; r++) {
            uint32_t v = 0;
            double t = Now();
            for (uint64_t i = 0; i < n; i++) {
                off_t off = (off_t)(0x10000 + (i % 0x8000) * 4);
                if (lseek(rfd, off, SEEK_SET) != off || write(rfd, &v, sizeof(v)) != (ssize_t)sizeof(v)) return 1;
            }
            raw.secs.push_back(Now() - t);
        }
        raw.writes = n;
        close(rfd);
    }
    if (savedOut >= 0) {
        fflush(stdout);
        dup2(savedOut, 1);
    }
    printf("subscription tables through CDrvXdma on a file-backed card: %zu ids, 8 banks x 512 slots, logger %s, %d runs\n",
           ids.size(), log ? "on" : "off", reps);
    Report(clear);
    Report(mem);
    Report(klass);
    Report(all);
    Report(raw);
    std::sort(all.secs.begin(), all.secs.end());
    std::sort(raw.secs.begin(), raw.secs.end());
    printf("Config_hash_function / raw system-call bound: %.2fx\n",
           all.secs[all.secs.size() / 2] / raw.secs[raw.secs.size() / 2]);
    std::string rm = std::string("rm -rf '") + dir + "'";
    if (system(rm.c_str()) != 0) return 1;
    return 0;
}
