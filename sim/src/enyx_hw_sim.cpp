// The enyx_hw_* calls, answered by the simulated card.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "enyx_hw.h"
#include "sim_internal.h"

using enyxsim::Card;
using enyxsim::HotA2c;
using enyxsim::RingHdr;
using enyxsim::StreamRec;

struct enyx_hw_filter {
    bool hasIndex = false;
    uint32_t index = 0;
    bool hasName = false;
    std::string name;
};

struct enyx_hw_accelerator_descriptor {
    enyxsim::SimConfig cfg;
    unsigned index = 0;
};

struct enyx_hw_accelerator {
    std::shared_ptr<Card> card;
};

struct enyx_hw_mmio_descriptor {
    std::shared_ptr<Card> card;
};

struct enyx_hw_mmio {
    std::shared_ptr<Card> card;
};

struct enyx_hw_core {
    std::shared_ptr<Card> card;
    uint32_t rec = 0;
    enyx_hw_core_tree* tree = nullptr;
};

struct enyx_hw_core_tree {
    std::shared_ptr<Card> card;
    std::vector<std::unique_ptr<enyx_hw_core>> cores;  // root first
};

struct enyx_hw_a2c_stream_descriptor {
    std::shared_ptr<Card> card;
    uint32_t stream = 0;
};

// An a2c stream handle is its poller's: one thread polls it. It keeps its
// own copy of the source (refreshed when srcEpoch moves) and of the feed
// generator's position (published to the hot block after every record), so
// that a poll reads the card file's lines (which only control calls write)
// and writes only the hot block.
struct enyx_hw_a2c_stream {
    ~enyx_hw_a2c_stream() { free(buf); }
    std::shared_ptr<Card> card;
    uint32_t stream = 0;
    StreamRec* rec = nullptr;
    HotA2c* hot = nullptr;
    uint8_t* buf = nullptr;  // the record being delivered: mtu + 16 bytes of room

    uint32_t epoch = UINT32_MAX;  // srcEpoch of the copy below
    uint32_t generation = UINT32_MAX;
    bool feed = false;    // a feed generator is active
    bool paced = false;   // ... with a rate
    bool replay = false;  // a replay source is active
    double nsPerRec = 0;
    uint64_t count = 0;
    uint64_t baseTime = 0, baseIndex = 0;
    uint32_t size = 0, ntypes = 1;
    uint16_t types[16] = {1};
    uint32_t depth = 0;
    // Feed records queued are [next, avail); arrived counts those due so far
    // (dropped ones included). Unpaced: avail = arrived = the count (or no end).
    uint64_t next = 0, avail = 0, arrived = 0;
    uint64_t stampNs = 0;   // unpaced: the timestamp, read once per kStampEvery records
    uint32_t stampLeft = 0;
};

namespace {

constexpr uint32_t kStampEvery = 1024;

// Takes the source from the card file after a control call changed it.
void SyncSource(enyx_hw_a2c_stream& a) {
    StreamRec& s = *a.rec;
    if (enyxsim::LockRobust(&s.mtx) != 0) return;  // tried again at the next poll
    a.epoch = s.srcEpoch.load(std::memory_order_acquire);
    bool active = s.srcActive.load(std::memory_order_relaxed) != 0;
    a.feed = active && s.srcKind == enyxsim::kSrcFeed;
    a.replay = active && s.srcKind == enyxsim::kSrcReplay;
    a.paced = s.srcRate > 0;
    a.nsPerRec = a.paced ? 1e9 / s.srcRate : 0;
    a.count = s.srcCount;
    a.baseTime = s.srcBaseTime;
    a.baseIndex = s.srcBaseIndex;
    a.size = s.srcSize;
    a.ntypes = s.srcNtypes ? s.srcNtypes : 1;
    for (uint32_t i = 0; i < 16; ++i) a.types[i] = s.srcNtypes ? s.srcTypes[i] : 1;
    a.depth = s.a2c.depth;
    uint32_t gen = s.srcGeneration.load(std::memory_order_relaxed);
    if (gen != a.generation) {
        // A new source, or a new handle: carry on where the hot block says.
        a.generation = gen;
        a.next = a.hot->genNext.load(std::memory_order_relaxed);
        a.avail = a.hot->genAvail.load(std::memory_order_relaxed);
        a.arrived = a.hot->genArrived.load(std::memory_order_relaxed);
        a.stampLeft = 0;
    }
    if (a.feed && !a.paced) a.avail = a.arrived = a.count ? a.count : UINT64_MAX;
    pthread_mutex_unlock(&s.mtx);
}

template <class T>
inline void Bump(std::atomic<T>& v, T by) {
    // The poller is the only writer: a load and a store, no locked instruction.
    v.store(v.load(std::memory_order_relaxed) + by, std::memory_order_relaxed);
}

// Paced feed with nothing queued: the records due by now arrive; those that
// find the FIFO full (injected records take room too) are dropped.
bool RefillPaced(enyx_hw_a2c_stream& a, uint64_t injQueued) {
    if (a.count && a.arrived >= a.count) return false;
    uint64_t now = enyxsim::NowNs();
    double el = now > a.baseTime ? static_cast<double>(now - a.baseTime) : 0.0;
    uint64_t due = a.baseIndex + static_cast<uint64_t>(std::min(el / a.nsPerRec, 1e18));
    if (a.count && due > a.count) due = a.count;
    if (due <= a.arrived) return false;
    // The FIFO is empty here: the next record is the first of those due now,
    // those before it that found the FIFO full were dropped. Moved only when
    // records arrive, so that next never passes avail.
    a.next = a.arrived;
    uint64_t n = due - a.arrived;
    uint64_t room = a.depth > injQueued ? a.depth - injQueued : 0;
    uint64_t take = std::min(n, room);
    a.avail = a.arrived + take;
    a.arrived = due;
    HotA2c& h = *a.hot;
    if (n > take) Bump(h.dropped, n - take);
    Bump(h.generated, take);
    h.genNext.store(a.next, std::memory_order_relaxed);
    h.genAvail.store(a.avail, std::memory_order_relaxed);
    h.genArrived.store(a.arrived, std::memory_order_relaxed);
    return take > 0;
}

int DeliverFeed(enyx_hw_a2c_stream& a, enyx_hw_a2c_stream_handler handler, void* opaque) {
    uint64_t n = a.next++;
    uint64_t ts;
    if (a.paced) {
        ts = a.baseTime + static_cast<uint64_t>(static_cast<double>(static_cast<int64_t>(n - a.baseIndex)) * a.nsPerRec);
    } else {
        if (a.stampLeft == 0) {
            a.stampNs = enyxsim::NowNs();
            a.stampLeft = kStampEvery;
        }
        --a.stampLeft;
        ts = a.stampNs;
    }
    enyxsim::BuildFeedRecord(a.buf, n, ts, a.size, a.types, a.ntypes);
    HotA2c& h = *a.hot;
    h.genNext.store(a.next, std::memory_order_relaxed);
    if (!a.paced) Bump(h.generated, uint64_t{1});
    Bump(h.delivered, uint64_t{1});
    handler(a.buf, a.size, opaque);
    return 1;
}

// An injected or replayed record, handed over in its slot, which stays the
// poller's until the tail moves past it.
int DeliverSlot(enyx_hw_a2c_stream& a, uint64_t t, enyx_hw_a2c_stream_handler handler, void* opaque) {
    Card& c = *a.card;
    RingHdr& r = a.rec->a2c;
    const uint8_t* slot = c.Slot(r, t);
    uint32_t len;
    memcpy(&len, slot, sizeof(len));
    if (len > r.mtu) len = r.mtu;
    Bump(a.hot->delivered, uint64_t{1});
    handler(slot + enyxsim::kSlotHdr, len, opaque);
    // Release: done with the slot before a writer may fill it again.
    r.tail.store(t + 1, std::memory_order_release);
    return 1;
}

uint64_t SlotTag(const Card& c, const RingHdr& r, uint64_t t) {
    uint64_t tag;
    memcpy(&tag, c.Slot(r, t) + 8, sizeof(tag));
    return tag;
}

}  // namespace

struct enyx_hw_c2a_stream_descriptor {
    std::shared_ptr<Card> card;
    uint32_t stream = 0;
};

struct enyx_hw_c2a_stream {
    std::shared_ptr<Card> card;
    uint32_t stream = 0;
};

namespace {

// Handles that callers may drop without releasing (the process keeps them
// for its life) stay listed here, so that they are never reported as lost.
std::mutex& LiveMutex() {
    static auto* m = new std::mutex();
    return *m;
}

std::set<const void*>& Live() {
    static auto* s = new std::set<const void*>();
    return *s;
}

template <typename T>
T* Keep(T* p) {
    std::lock_guard<std::mutex> g(LiveMutex());
    Live().insert(p);
    return p;
}

void Forget(const void* p) {
    std::lock_guard<std::mutex> g(LiveMutex());
    Live().erase(p);
}

#define SIM_FAIL_POINT(ret)                         \
    do {                                            \
        if (enyxsim::ShouldFail(__func__)) return ret; \
    } while (0)

bool Matches(const enyx_hw_filter* f, uint32_t index, const std::string& name) {
    if (!f) return true;
    if (f->hasIndex && f->index != index) return false;
    if (f->hasName && f->name != name) return false;
    return true;
}

template <typename D>
void FreeDescriptors(D** d, size_t count) {
    if (!d) return;
    for (size_t i = 0; i < count; ++i) {
        delete d[i];
        d[i] = nullptr;
    }
}

template <typename D>
ssize_t EnumerateStreams(enyx_hw_accelerator* acc, const enyx_hw_filter* filter, D** out,
                         size_t capacity) {
    if (!acc || !acc->card || (capacity && !out)) {
        errno = EINVAL;
        return -1;
    }
    for (size_t i = 0; i < capacity; ++i) out[i] = nullptr;
    const Card& c = *acc->card;
    size_t n = 0;
    for (uint32_t i = 0; i < c.NumStreams(); ++i) {
        if (!Matches(filter, i, c.Stream(i)->name)) continue;
        if (n < capacity) out[n] = new D{acc->card, i};
        ++n;
    }
    return static_cast<ssize_t>(n);
}

}  // namespace

extern "C" {

// ---------------------------------------------------------------- filters

enyx_hw_filter* enyx_hw_filter_create(void) {
    SIM_FAIL_POINT(nullptr);
    return new enyx_hw_filter();
}

int enyx_hw_filter_set_index(enyx_hw_filter* filter, uint32_t index) {
    SIM_FAIL_POINT(-1);
    if (!filter) {
        errno = EINVAL;
        return -1;
    }
    filter->hasIndex = true;
    filter->index = index;
    return 0;
}

int enyx_hw_filter_set_name(enyx_hw_filter* filter, const char* name) {
    SIM_FAIL_POINT(-1);
    if (!filter || !name) {
        errno = EINVAL;
        return -1;
    }
    filter->hasName = true;
    filter->name = name;
    return 0;
}

void enyx_hw_filter_destroy(enyx_hw_filter* filter) { delete filter; }

// ---------------------------------------------------------------- accelerators

ssize_t enyx_hw_enumerate_accelerators(const enyx_hw_filter* filter,
                                       enyx_hw_accelerator_descriptor** descriptors,
                                       size_t capacity) {
    SIM_FAIL_POINT(-1);
    if (capacity && !descriptors) {
        errno = EINVAL;
        return -1;
    }
    for (size_t i = 0; i < capacity; ++i) descriptors[i] = nullptr;
    enyxsim::SimConfig cfg;
    std::string err;
    if (!enyxsim::LoadConfig(cfg, err)) {
        errno = EINVAL;
        return -1;
    }
    size_t n = 0;
    for (unsigned i = 0; i < cfg.cards.size(); ++i) {
        if (!Matches(filter, i, cfg.cards[i].name)) continue;
        if (n < capacity) descriptors[n] = new enyx_hw_accelerator_descriptor{cfg, i};
        ++n;
    }
    return static_cast<ssize_t>(n);
}

void enyx_hw_free_accelerator_descriptors(enyx_hw_accelerator_descriptor** descriptors, size_t count) {
    FreeDescriptors(descriptors, count);
}

enyx_hw_accelerator* enyx_hw_accelerator_get(const enyx_hw_accelerator_descriptor* descriptor) {
    SIM_FAIL_POINT(nullptr);
    if (!descriptor) {
        errno = EINVAL;
        return nullptr;
    }
    auto card = enyxsim::OpenCard(descriptor->cfg, descriptor->index);
    if (!card) return nullptr;
    return Keep(new enyx_hw_accelerator{card});
}

void enyx_hw_accelerator_put(enyx_hw_accelerator* accelerator) {
    if (!accelerator) return;
    Forget(accelerator);
    delete accelerator;
}

// ---------------------------------------------------------------- register spaces

ssize_t enyx_hw_accelerator_enumerate_mmios(enyx_hw_accelerator* accelerator,
                                            const enyx_hw_filter* filter,
                                            enyx_hw_mmio_descriptor** descriptors, size_t capacity) {
    SIM_FAIL_POINT(-1);
    if (!accelerator || !accelerator->card || (capacity && !descriptors)) {
        errno = EINVAL;
        return -1;
    }
    for (size_t i = 0; i < capacity; ++i) descriptors[i] = nullptr;
    // One register space per card, index 0, named "mmio0".
    if (!Matches(filter, 0, "mmio0")) return 0;
    if (capacity) descriptors[0] = new enyx_hw_mmio_descriptor{accelerator->card};
    return 1;
}

void enyx_hw_free_mmio_descriptors(enyx_hw_mmio_descriptor** descriptors, size_t count) {
    FreeDescriptors(descriptors, count);
}

enyx_hw_mmio* enyx_hw_mmio_create(const enyx_hw_mmio_descriptor* descriptor) {
    SIM_FAIL_POINT(nullptr);
    if (!descriptor || !descriptor->card) {
        errno = EINVAL;
        return nullptr;
    }
    return Keep(new enyx_hw_mmio{descriptor->card});
}

void enyx_hw_mmio_destroy(enyx_hw_mmio* mmio) {
    if (!mmio) return;
    Forget(mmio);
    delete mmio;
}

// ---------------------------------------------------------------- cores

enyx_hw_core_tree* enyx_hw_enumerate_cores(enyx_hw_mmio* mmio) {
    SIM_FAIL_POINT(nullptr);
    if (!mmio || !mmio->card) {
        errno = EINVAL;
        return nullptr;
    }
    auto* tree = new enyx_hw_core_tree();
    tree->card = mmio->card;
    for (uint32_t i = 0; i < mmio->card->NumCores(); ++i) {
        auto core = std::make_unique<enyx_hw_core>();
        core->card = mmio->card;
        core->rec = i;
        core->tree = tree;
        tree->cores.push_back(std::move(core));
    }
    // The interface has no call to release a tree: it lives as long as the process.
    return Keep(tree);
}

enyx_hw_core* enyx_hw_core_tree_get_root(enyx_hw_core_tree* tree) {
    SIM_FAIL_POINT(nullptr);
    if (!tree || tree->cores.empty()) {
        errno = EINVAL;
        return nullptr;
    }
    return tree->cores[0].get();
}

ssize_t enyx_hw_core_enumerate(enyx_hw_core* root, uint16_t hardware_id, enyx_hw_core** cores,
                               size_t capacity) {
    SIM_FAIL_POINT(-1);
    if (!root || !root->tree || (capacity && !cores)) {
        errno = EINVAL;
        return -1;
    }
    for (size_t i = 0; i < capacity; ++i) cores[i] = nullptr;
    size_t n = 0;
    // The tree is flat: the root holds every other core.
    for (auto& c : root->tree->cores) {
        if (root->rec != 0 && c.get() != root) continue;
        if (c->card->Core(c->rec)->hwid != hardware_id) continue;
        if (n < capacity) cores[n] = c.get();
        ++n;
    }
    return static_cast<ssize_t>(n);
}

int enyx_hw_core_reset(enyx_hw_core* core) {
    SIM_FAIL_POINT(-1);
    if (!core || !core->card) {
        errno = EINVAL;
        return -1;
    }
    Card& c = *core->card;
    for (uint32_t i = 0; i < c.NumCores(); ++i)
        if (core->rec == 0 || i == core->rec) c.Core(i)->resets.fetch_add(1);
    c.Log('X', core->rec, 0, 0, 0, 0, 0);
    return 0;
}

int enyx_hw_core_lock(enyx_hw_core* core) {
    SIM_FAIL_POINT(-1);
    if (!core || !core->card) {
        errno = EINVAL;
        return -1;
    }
    int r = enyxsim::LockRobust(&core->card->Core(core->rec)->lock);
    core->card->Log('L', core->rec, 0, 0, 0, 0, r == 0 ? 0 : -1);
    if (r != 0) {
        errno = r;
        return -1;
    }
    return 0;
}

int enyx_hw_core_unlock(enyx_hw_core* core) {
    SIM_FAIL_POINT(-1);
    if (!core || !core->card) {
        errno = EINVAL;
        return -1;
    }
    // Logged before the release so that the entry lands inside the locked span.
    core->card->Log('U', core->rec, 0, 0, 0, 0, 0);
    int r = pthread_mutex_unlock(&core->card->Core(core->rec)->lock);
    if (r != 0) {
        errno = r;
        return -1;
    }
    return 0;
}

int enyx_hw_read(enyx_hw_core* core, const enyx_hw_register_description* reg, uint64_t* value) {
    if (!core || !core->card || !reg || !value) {
        errno = EINVAL;
        return -1;
    }
    Card& c = *core->card;
    if (enyxsim::ShouldFail(__func__)) {
        int e = errno;
        c.Log('R', core->rec, reg->address, reg->width, reg->bit_offset, 0, -1);
        errno = e;
        return -1;
    }
    uint64_t v = 0;
    int r = enyxsim::RegRead(c, core->rec, reg->address, reg->bit_offset, reg->width, &v);
    int e = errno;
    c.Log('R', core->rec, reg->address, reg->width, reg->bit_offset, r == 0 ? v : 0, r);
    if (r != 0) {
        errno = e;
        return -1;
    }
    *value = v;
    return 0;
}

int enyx_hw_write(enyx_hw_core* core, const enyx_hw_register_description* reg, uint64_t value) {
    if (!core || !core->card || !reg) {
        errno = EINVAL;
        return -1;
    }
    Card& c = *core->card;
    uint64_t masked = reg->width >= 64 ? value : (value & ((1ull << reg->width) - 1));
    if (enyxsim::ShouldFail(__func__)) {
        int e = errno;
        c.Log('W', core->rec, reg->address, reg->width, reg->bit_offset, masked, -1);
        errno = e;
        return -1;
    }
    int r = enyxsim::RegWrite(c, core->rec, reg->address, reg->bit_offset, reg->width, value);
    int e = errno;
    c.Log('W', core->rec, reg->address, reg->width, reg->bit_offset, masked, r);
    if (r != 0) {
        errno = e;
        return -1;
    }
    return 0;
}

// ---------------------------------------------------------------- a2c streams

ssize_t enyx_hw_accelerator_enumerate_a2c_streams(enyx_hw_accelerator* accelerator,
                                                  const enyx_hw_filter* filter,
                                                  enyx_hw_a2c_stream_descriptor** descriptors,
                                                  size_t capacity) {
    SIM_FAIL_POINT(-1);
    return EnumerateStreams(accelerator, filter, descriptors, capacity);
}

void enyx_hw_free_a2c_stream_descriptors(enyx_hw_a2c_stream_descriptor** descriptors, size_t count) {
    FreeDescriptors(descriptors, count);
}

enyx_hw_a2c_stream* enyx_hw_a2c_stream_create(const enyx_hw_a2c_stream_descriptor* descriptor,
                                              const enyx_hw_a2c_stream_configuration* config) {
    (void)config;
    SIM_FAIL_POINT(nullptr);
    if (!descriptor || !descriptor->card) {
        errno = EINVAL;
        return nullptr;
    }
    Card& c = *descriptor->card;
    StreamRec& s = *c.Stream(descriptor->stream);
    HotA2c& h = *c.Hot(descriptor->stream);
    // The feed's clock starts again with every new reader: records are due
    // from now on, none for the time nobody listened.
    if (enyxsim::LockRobust(&s.mtx) == 0) {
        s.srcBaseTime = enyxsim::NowNs();
        s.srcBaseIndex = s.srcKind == enyxsim::kSrcFeed ? h.genArrived.load(std::memory_order_relaxed) : s.srcIndex;
        s.srcEpoch.fetch_add(1, std::memory_order_release);
        pthread_mutex_unlock(&s.mtx);
    }
    auto* a = new enyx_hw_a2c_stream();
    a->card = descriptor->card;
    a->stream = descriptor->stream;
    a->rec = &s;
    a->hot = &h;
    // Room for the largest record and for BuildFeedRecord's last 16-byte step.
    if (posix_memalign(reinterpret_cast<void**>(&a->buf), 64, s.a2c.mtu + 64) != 0) {
        delete a;
        errno = ENOMEM;
        return nullptr;
    }
    return Keep(a);
}

void enyx_hw_a2c_stream_destroy(enyx_hw_a2c_stream* stream) {
    if (!stream) return;
    Forget(stream);
    delete stream;
}

int enyx_hw_a2c_stream_get_mtu(const enyx_hw_a2c_stream* stream, uint32_t* mtu) {
    SIM_FAIL_POINT(-1);
    if (!stream || !mtu) {
        errno = EINVAL;
        return -1;
    }
    *mtu = stream->card->Stream(stream->stream)->a2c.mtu;
    return 0;
}

// One record per call: an injected or replayed record from the FIFO, or the
// feed generator's next record, built here; the feed records due before an
// injected one (its tag) go first. No lock unless a control call changed
// the source or a replay must read its file.
int enyx_hw_a2c_stream_poll_once(enyx_hw_a2c_stream* stream, enyx_hw_a2c_stream_handler handler,
                                 void* opaque) {
    SIM_FAIL_POINT(-1);
    if (!stream || !handler) {
        errno = EINVAL;
        return -1;
    }
    enyx_hw_a2c_stream& a = *stream;
    StreamRec& s = *a.rec;
    // Acquire: the source fields the epoch stands for are visible.
    if (s.srcEpoch.load(std::memory_order_acquire) != a.epoch) SyncSource(a);
    RingHdr& r = s.a2c;
    const uint64_t t = r.tail.load(std::memory_order_relaxed);  // the poller's own
    // Acquire: the slots below head are complete.
    uint64_t h = r.head.load(std::memory_order_acquire);
    if (a.replay && h == t) {
        if (enyxsim::LockRobust(&s.mtx) == 0) {
            enyxsim::ProduceDue(*a.card, a.stream, enyxsim::NowNs());
            pthread_mutex_unlock(&s.mtx);
        }
        h = r.head.load(std::memory_order_acquire);
    }
    if (a.feed && (a.next != a.avail || (a.paced && RefillPaced(a, h - t))) &&
        (h == t || a.next < SlotTag(*a.card, r, t)))
        return DeliverFeed(a, handler, opaque);
    if (h == t) return 0;
    return DeliverSlot(a, t, handler, opaque);
}

#define SIM_A2C_STAT(fn, expr)                                        \
    int fn(const enyx_hw_a2c_stream* stream, uint32_t* value) {       \
        SIM_FAIL_POINT(-1);                                           \
        if (!stream || !value) {                                      \
            errno = EINVAL;                                           \
            return -1;                                                \
        }                                                             \
        const StreamRec& s = *stream->rec;                            \
        const HotA2c& h = *stream->hot;                               \
        (void)s;                                                      \
        (void)h;                                                      \
        *value = static_cast<uint32_t>(expr);                         \
        return 0;                                                     \
    }

SIM_A2C_STAT(enyx_hw_a2c_stream_stats_get_backpressure, s.backpressure.load() + h.dropped.load())
SIM_A2C_STAT(enyx_hw_a2c_stream_stats_get_packet_count, h.delivered.load())
SIM_A2C_STAT(enyx_hw_a2c_stream_stats_get_fifo_errors, s.fifoErrors.load())
SIM_A2C_STAT(enyx_hw_a2c_stream_stats_get_errors, s.errors.load())

// ---------------------------------------------------------------- c2a streams

ssize_t enyx_hw_accelerator_enumerate_c2a_streams(enyx_hw_accelerator* accelerator,
                                                  const enyx_hw_filter* filter,
                                                  enyx_hw_c2a_stream_descriptor** descriptors,
                                                  size_t capacity) {
    SIM_FAIL_POINT(-1);
    return EnumerateStreams(accelerator, filter, descriptors, capacity);
}

void enyx_hw_free_c2a_stream_descriptors(enyx_hw_c2a_stream_descriptor** descriptors, size_t count) {
    FreeDescriptors(descriptors, count);
}

enyx_hw_c2a_stream* enyx_hw_c2a_stream_create(const enyx_hw_c2a_stream_descriptor* descriptor,
                                              const enyx_hw_c2a_stream_configuration* config) {
    (void)config;
    SIM_FAIL_POINT(nullptr);
    if (!descriptor || !descriptor->card) {
        errno = EINVAL;
        return nullptr;
    }
    return Keep(new enyx_hw_c2a_stream{descriptor->card, descriptor->stream});
}

void enyx_hw_c2a_stream_destroy(enyx_hw_c2a_stream* stream) {
    if (!stream) return;
    Forget(stream);
    delete stream;
}

int enyx_hw_c2a_stream_get_mtu(const enyx_hw_c2a_stream* stream, uint32_t* mtu) {
    SIM_FAIL_POINT(-1);
    if (!stream || !mtu) {
        errno = EINVAL;
        return -1;
    }
    *mtu = stream->card->Stream(stream->stream)->c2a.mtu;
    return 0;
}

int enyx_hw_c2a_stream_send(enyx_hw_c2a_stream* stream, const void* data, uint32_t size) {
    SIM_FAIL_POINT(-1);
    if (!stream || !data || size == 0) {
        errno = EINVAL;
        return -1;
    }
    Card& c = *stream->card;
    StreamRec& s = *c.Stream(stream->stream);
    if (size > s.c2a.mtu) {
        errno = EMSGSIZE;
        return -1;
    }
    auto busy = [&s]() {
        s.busyReturns.fetch_add(1, std::memory_order_relaxed);
        errno = EAGAIN;
        return EAGAIN;
    };
    if (s.busy.load(std::memory_order_acquire)) return busy();
    uint32_t n = s.busyNext.load(std::memory_order_acquire);
    while (n > 0) {
        if (s.busyNext.compare_exchange_weak(n, n - 1, std::memory_order_acq_rel)) return busy();
    }
    int lr = enyxsim::LockRobust(&s.mtx);
    if (lr != 0) {
        errno = lr;
        return -1;
    }
    bool pushed = enyxsim::RingPush(c, s.c2a, data, size);
    pthread_mutex_unlock(&s.mtx);
    if (!pushed) return busy();
    s.sends.fetch_add(1, std::memory_order_relaxed);
    s.sentBytes.fetch_add(size, std::memory_order_relaxed);
    return 0;
}

}  // extern "C"
