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
constexpr uint32_t kVersion = 4;

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
    uint64_t hotOff;  // in-file copy of the hot block, used when no shm object can be made
    uint64_t nonce;   // names this card's hot block (HotName)
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

// A FIFO of fixed slots: {uint32 length, uint32 0, uint64 tag, record}.
// Writers are serialised by the stream mutex; the a2c poller takes records
// without it (head: release by the writer, acquire by the poller; tail:
// release by the poller, acquire by the writer's fullness check).
struct RingHdr {
    uint32_t mtu;
    uint32_t depth;
    uint32_t stride;
    uint32_t pad;
    uint64_t dataOff;
    std::atomic<uint64_t> head;  // records written
    std::atomic<uint64_t> tail;  // records taken
};

constexpr uint32_t kSlotHdr = 16;

struct StreamRec {
    char name[64];
    pthread_mutex_t mtx;  // robust, process-shared: guards both rings and the source
    RingHdr a2c;
    RingHdr c2a;
    // a2c counters of the control side (the poller's are in HotA2c)
    std::atomic<uint64_t> backpressure;  // injected or replayed records refused
    std::atomic<uint64_t> injected;
    std::atomic<uint64_t> replayed;      // replay records queued
    std::atomic<uint32_t> fifoErrors;
    std::atomic<uint32_t> errors;
    // c2a
    std::atomic<int32_t> busy;
    std::atomic<uint32_t> busyNext;
    std::atomic<uint64_t> sends;
    std::atomic<uint64_t> sentBytes;
    std::atomic<uint64_t> busyReturns;
    // a2c source (feed generator or replay), under mtx except srcActive and
    // the two change counters, which the poller reads without it:
    // srcGeneration moves when the source is armed, stopped or reset (the
    // generator starts again), srcEpoch whenever anything here changes.
    std::atomic<uint32_t> srcActive;
    std::atomic<uint32_t> srcGeneration;
    std::atomic<uint32_t> srcEpoch;
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
    uint64_t srcIndex;      // replay: next record number
    uint64_t srcBaseTime;   // CLOCK_REALTIME ns
    uint64_t srcBaseIndex;  // feed records due at srcBaseTime
};

// The a2c state the poller writes on every record, one per stream, on its
// own cache line and outside the card file: stores to a mapped file's pages
// can wait for their writeback to the disk, which stalled the copy thread
// on a disk-backed directory. Every process maps it from a POSIX shared
// memory object named after the card (HotName); without one it falls back
// to the card file (hotOff). Written by the poller only (reset and arm
// rewrite it while they expect no poller to run); read by anyone.
//
// The feed generator's FIFO is virtual: its records are a function of their
// number, so queued feed records are the range [genNext, genAvail), built
// when the poller takes them; genArrived counts the records that have
// arrived, the ones dropped while the FIFO was full included.
struct alignas(64) HotA2c {
    std::atomic<uint64_t> delivered;   // records handed to a handler
    std::atomic<uint64_t> generated;   // feed records queued
    std::atomic<uint64_t> dropped;     // feed records due while the FIFO was full
    std::atomic<uint64_t> genNext;
    std::atomic<uint64_t> genAvail;
    std::atomic<uint64_t> genArrived;
};

struct HotHdr {
    uint64_t nonce;        // the card's nonce; other values mean a stale object
    uint32_t nstreams;
    uint32_t pad;
    char cardPath[4096];   // the card file, for the sweep of stale objects
};

constexpr uint64_t kHotStreamsOff = (sizeof(HotHdr) + 63) / 64 * 64;
constexpr const char* kHotPrefix = "enyx-sim-hot-";

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
    HotA2c* hot = nullptr;     // the streams' hot blocks (shm object or in the file)
    uint8_t* hotMap = nullptr; // the shm mapping, when there is one
    size_t hotSize = 0;
    dev_t dev = 0;
    ino_t ino = 0;

    CardHdr* Hdr() const { return reinterpret_cast<CardHdr*>(base); }
    CoreRec* Core(uint32_t i) const {
        return reinterpret_cast<CoreRec*>(base + Hdr()->coresOff) + i;
    }
    StreamRec* Stream(uint32_t i) const {
        return reinterpret_cast<StreamRec*>(base + Hdr()->streamsOff) + i;
    }
    HotA2c* Hot(uint32_t i) const { return hot + i; }
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

// Rings. Writers hold the stream mutex; RingPop is safe without it for the
// a2c poller (its only reader), and needs it for c2a (read by any process).
bool RingFull(const RingHdr& r);
bool RingPush(Card& c, RingHdr& r, const void* data, uint32_t len, uint64_t tag = 0);
// Copies the oldest record out (at most cap bytes) and drops it; returns its length.
uint32_t RingPop(Card& c, RingHdr& r, void* out, size_t cap);

// Feed records due at nowNs (count capped), from the source fields of the
// stream record: the tag of a record injected then, so that the feed
// records due before it are delivered first. UINT64_MAX for an unpaced feed
// without a count; 0 without a feed. The stream mutex must be held.
uint64_t FeedDue(const StreamRec& s, uint64_t nowNs);
// Feed records queued now, as a control call sees them (at most the depth).
uint64_t FeedQueued(const StreamRec& s, const HotA2c& h, uint64_t nowNs);
// Writes feed record n of the stream's generator at p (size bytes).
void BuildFeedRecord(uint8_t* p, uint64_t n, uint64_t ts, uint32_t size, const uint16_t* types, uint32_t ntypes);

// Runs a replay source up to now into the FIFO; the stream mutex must be held.
void ProduceDue(Card& c, uint32_t stream, uint64_t nowNs);
// Name of the card's hot block shared memory object.
std::string HotName(uint64_t nonce);
// Arms a source from its configuration; the stream mutex must be held.
int ArmSource(Card& c, uint32_t stream, const SourceCfg& src);
uint64_t NowNs();

// Failure injection.
bool ShouldFail(const char* call);

}  // namespace enyxsim

#endif
