// Simulated Enyx card: configuration, shared card file and its layout.
#ifndef ENYX_SIM_INTERNAL_H
#define ENYX_SIM_INTERNAL_H

#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "enyx_sim_ctl.h"

namespace enyxsim {

// ---------------------------------------------------------------- config

enum SourceKind : uint32_t { kSrcNone = 0, kSrcFeed = 1, kSrcReplay = 2 };

struct SourceCfg {
    uint32_t kind = kSrcNone;
    double rate = 0;
    uint64_t count = 0;
    uint32_t size = 64;
    std::vector<uint16_t> types;
    std::string path;
    bool loop = false;
};

struct CoreCfg {
    uint16_t hwid = 0;
    uint64_t regs = 0;
};

struct StreamCfg {
    std::string name;
    uint32_t mtu = 0;
    uint32_t depth = 0;
    SourceCfg source;
};

struct RegPreset {
    uint16_t hwid = 0;
    uint64_t index = 0;
    uint64_t value = 0;
    uint32_t width = 32;
};

struct CardCfg {
    std::string name;
    std::vector<CoreCfg> cores;
    std::vector<StreamCfg> streams;
    std::vector<RegPreset> presets;
    uint32_t logCapacity = 0;
    uint64_t Signature() const;
};

struct SimConfig {
    std::string origin;  // file path, or "(built-in default)"
    std::string dir;     // directory of the card files
    std::vector<CardCfg> cards;
};

constexpr uint64_t kDefaultRegs = 8ull << 20;
constexpr uint32_t kDefaultMtu = 2048;
constexpr uint32_t kDefaultDepth = 1024;
constexpr uint32_t kDefaultLog = 65536;
constexpr uint32_t kRootRegs = 4096;

// Reads ENYX_SIM_CONFIG / ENYX_SIM_DIR. false with a message in err (also
// printed on stderr) when the configuration is unusable.
bool LoadConfig(SimConfig& out, std::string& err);
bool ParseConfigText(const std::string& text, const std::string& origin, SimConfig& out,
                     std::string& err);
// Detects the format of a replay file: 0 length-prefixed, 1 pcap native order,
// 2 pcap swapped order. Sets dataStart. false if the file cannot be read.
bool DetectReplayFormat(const std::string& path, uint32_t& format, uint64_t& dataStart);

// ---------------------------------------------------------------- card file

constexpr uint64_t kMagic = 0x314d49535859454eull;  // "ENYXSIM1"
constexpr uint32_t kVersion = 3;

struct CardHdr {
    uint64_t magic;
    uint64_t signature;
    uint64_t totalSize;
    uint32_t version;
    uint32_t ncores;  // including the root at index 0
    uint32_t nstreams;
    uint32_t logCapacity;
    uint64_t coresOff;
    uint64_t streamsOff;
    uint64_t logOff;
    std::atomic<uint64_t> logNext;
    std::atomic<uint32_t> ready;
};

struct CoreRec {
    uint16_t hwid;
    uint16_t instance;
    uint32_t pad;
    uint64_t regsOff;
    uint64_t regsSize;
    std::atomic<uint64_t> resets;
    pthread_mutex_t lock;  // the core lock: recursive, robust, process-shared
};

struct RingHdr {
    uint32_t mtu;
    uint32_t depth;
    uint32_t stride;
    uint32_t pad;
    uint64_t dataOff;
    std::atomic<uint64_t> head;  // records written
    std::atomic<uint64_t> tail;  // records taken
};

struct StreamRec {
    char name[64];
    pthread_mutex_t mtx;  // robust, process-shared: guards both rings and the source
    RingHdr a2c;
    RingHdr c2a;
    // a2c counters
    std::atomic<uint64_t> delivered;
    std::atomic<uint64_t> backpressure;
    std::atomic<uint64_t> injected;
    std::atomic<uint64_t> generated;
    std::atomic<uint32_t> fifoErrors;
    std::atomic<uint32_t> errors;
    // c2a
    std::atomic<int32_t> busy;
    std::atomic<uint32_t> busyNext;
    std::atomic<uint64_t> sends;
    std::atomic<uint64_t> sentBytes;
    std::atomic<uint64_t> busyReturns;
    // a2c source (feed generator or replay), under mtx except srcActive
    std::atomic<uint32_t> srcActive;
    uint32_t srcKind;
    double srcRate;
    uint64_t srcCount;
    uint32_t srcSize;
    uint32_t srcNtypes;
    uint16_t srcTypes[16];
    char srcPath[256];
    uint32_t srcLoop;
    uint32_t srcFormat;
    uint64_t srcDataStart;
    uint64_t srcFileOff;
    uint64_t srcIndex;      // next record number
    uint64_t srcBaseTime;   // CLOCK_REALTIME ns
    uint64_t srcBaseIndex;
    uint32_t srcGeneration;
    uint32_t pad2;
};

struct LogSlot {
    std::atomic<uint64_t> stamp;  // 2*seq+1 while written, 2*seq+2 when complete
    enyx_sim_log_entry e;
};

class Card {
public:
    ~Card();
    std::string path;
    unsigned index = 0;
    CardCfg cfg;
    uint8_t* base = nullptr;
    size_t size = 0;
    dev_t dev = 0;
    ino_t ino = 0;

    CardHdr* Hdr() const { return reinterpret_cast<CardHdr*>(base); }
    CoreRec* Core(uint32_t i) const {
        return reinterpret_cast<CoreRec*>(base + Hdr()->coresOff) + i;
    }
    StreamRec* Stream(uint32_t i) const {
        return reinterpret_cast<StreamRec*>(base + Hdr()->streamsOff) + i;
    }
    uint32_t NumCores() const { return Hdr()->ncores; }
    uint32_t NumStreams() const { return Hdr()->nstreams; }
    uint8_t* Regs(uint32_t core) const { return base + Core(core)->regsOff; }
    uint8_t* Slot(const RingHdr& r, uint64_t n) const {
        return base + r.dataOff + (n % r.depth) * r.stride;
    }

    int FindCore(uint16_t hwid) const;  // first core with that id (root = 0), -1
    int FindStream(const char* name) const;

    void Log(char op, uint32_t core, uint64_t off, uint32_t width, uint32_t bitOff, uint64_t value,
             int result);
};

// Opens (creating or rebuilding it when missing or made for another layout)
// the shared file of card `index` of `cfg`. Null with errno on failure.
std::shared_ptr<Card> OpenCard(const SimConfig& cfg, unsigned index);
// Loads the configuration and opens card `index`. Null with errno on failure.
std::shared_ptr<Card> OpenCardByIndex(unsigned index);
std::string CardPath(const SimConfig& cfg, unsigned index);

int LockRobust(pthread_mutex_t* m);

// Register field access with bounds and width checks; -1 with errno.
int RegRead(const Card& c, uint32_t core, uint64_t addr, uint32_t bitOff, uint32_t width,
            uint64_t* value);
int RegWrite(Card& c, uint32_t core, uint64_t addr, uint32_t bitOff, uint32_t width, uint64_t value);

// Rings; the stream mutex must be held.
bool RingFull(const RingHdr& r);
bool RingPush(Card& c, RingHdr& r, const void* data, uint32_t len);
// Copies the oldest record out (at most cap bytes) and drops it; returns its length.
uint32_t RingPop(Card& c, RingHdr& r, void* out, size_t cap);

// Runs the stream's source up to now; the stream mutex must be held.
void ProduceDue(Card& c, uint32_t stream, uint64_t nowNs);
// Arms a source from its configuration; the stream mutex must be held.
int ArmSource(Card& c, uint32_t stream, const SourceCfg& src);
uint64_t NowNs();

// Failure injection.
bool ShouldFail(const char* call);

}  // namespace enyxsim

#endif
