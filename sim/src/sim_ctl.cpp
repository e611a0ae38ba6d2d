// Control interface of the simulated card (enyx_sim_ctl.h).
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "enyx_sim_ctl.h"
#include "sim_internal.h"

using enyxsim::Card;
using enyxsim::StreamRec;

namespace {

struct StreamRef {
    std::shared_ptr<Card> card;
    StreamRec* s = nullptr;
    uint32_t index = 0;
};

bool Resolve(unsigned card, const char* stream, StreamRef& out) {
    out.card = enyxsim::OpenCardByIndex(card);
    if (!out.card) return false;
    int i = out.card->FindStream(stream);
    if (i < 0) {
        errno = ENOENT;
        return false;
    }
    out.index = static_cast<uint32_t>(i);
    out.s = out.card->Stream(out.index);
    return true;
}

class StreamLock {
public:
    explicit StreamLock(StreamRec* s) : m_s(s), m_r(enyxsim::LockRobust(&s->mtx)) {}
    ~StreamLock() {
        if (m_r == 0) pthread_mutex_unlock(&m_s->mtx);
    }
    bool ok() const { return m_r == 0; }
    int err() const { return m_r; }

private:
    StreamRec* m_s;
    int m_r;
};

int ArmLocked(StreamRef& r, const enyxsim::SourceCfg& src) {
    StreamLock lk(r.s);
    if (!lk.ok()) {
        errno = lk.err();
        return -1;
    }
    return enyxsim::ArmSource(*r.card, r.index, src);
}

}  // namespace

extern "C" {

const char* enyx_sim_card_path(unsigned card) {
    thread_local std::string path;
    enyxsim::SimConfig cfg;
    std::string err;
    if (!enyxsim::LoadConfig(cfg, err)) {
        errno = EINVAL;
        return nullptr;
    }
    if (card >= cfg.cards.size()) {
        errno = ENODEV;
        return nullptr;
    }
    path = enyxsim::CardPath(cfg, card);
    return path.c_str();
}

int enyx_sim_card_remove(unsigned card) {
    const char* p = enyx_sim_card_path(card);
    if (!p) return -1;
    // The hot block goes with the card file (processes that hold the card
    // keep their mappings of both).
    int fd = open(p, O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        alignas(8) unsigned char buf[sizeof(enyxsim::CardHdr)];
        uint64_t magic = 0, nonce = 0;
        if (pread(fd, buf, sizeof(buf), 0) == static_cast<ssize_t>(sizeof(buf))) {
            memcpy(&magic, buf, sizeof(magic));
            memcpy(&nonce, buf + offsetof(enyxsim::CardHdr, nonce), sizeof(nonce));
        }
        close(fd);
        if (magic == enyxsim::kMagic && nonce != 0) shm_unlink(enyxsim::HotName(nonce).c_str());
    }
    if (unlink(p) != 0 && errno != ENOENT) return -1;
    return 0;
}

namespace {

// The registers [byte_offset, byte_offset + len) of a core, or null with
// errno set; `card` keeps the mapping alive while the pointer is used.
uint8_t* CoreRegs(unsigned index, uint16_t core_hwid, uint64_t byte_offset, size_t len, const void* buf,
                  std::shared_ptr<Card>& card) {
    card = enyxsim::OpenCardByIndex(index);
    if (!card) return nullptr;
    int core = card->FindCore(core_hwid);
    if (core < 0) {
        errno = ENOENT;
        return nullptr;
    }
    uint64_t size = card->Core(core)->regsSize;
    if (!buf || byte_offset > size || len > size - byte_offset) {
        errno = EINVAL;
        return nullptr;
    }
    return card->Regs(core) + byte_offset;
}

}  // namespace

int enyx_sim_reg_peek(unsigned card, uint16_t core_hwid, uint64_t byte_offset, void* buf, size_t len) {
    std::shared_ptr<Card> c;
    uint8_t* regs = CoreRegs(card, core_hwid, byte_offset, len, buf, c);
    if (!regs) return -1;
    memcpy(buf, regs, len);
    return 0;
}

int enyx_sim_reg_poke(unsigned card, uint16_t core_hwid, uint64_t byte_offset, const void* buf,
                      size_t len) {
    std::shared_ptr<Card> c;
    uint8_t* regs = CoreRegs(card, core_hwid, byte_offset, len, buf, c);
    if (!regs) return -1;
    memcpy(regs, buf, len);
    return 0;
}

int64_t enyx_sim_reset_count(unsigned card, uint16_t core_hwid) {
    auto c = enyxsim::OpenCardByIndex(card);
    if (!c) return -1;
    int core = c->FindCore(core_hwid);
    if (core < 0) {
        errno = ENOENT;
        return -1;
    }
    return static_cast<int64_t>(c->Core(core)->resets.load());
}

uint64_t enyx_sim_log_mark(unsigned card) {
    auto c = enyxsim::OpenCardByIndex(card);
    if (!c) return 0;
    return c->Hdr()->logNext.load(std::memory_order_acquire);
}

long enyx_sim_log_read(unsigned card, uint64_t from, enyx_sim_log_entry* out, size_t cap) {
    auto c = enyxsim::OpenCardByIndex(card);
    if (!c) return -1;
    if (cap && !out) {
        errno = EINVAL;
        return -1;
    }
    enyxsim::CardHdr* h = c->Hdr();
    uint64_t next = h->logNext.load(std::memory_order_acquire);
    uint64_t start = std::max<uint64_t>(from, next > h->logCapacity ? next - h->logCapacity : 0);
    auto* slots = reinterpret_cast<enyxsim::LogSlot*>(c->base + h->logOff);
    long n = 0;
    for (uint64_t seq = start; seq < next && static_cast<size_t>(n) < cap; ++seq) {
        enyxsim::LogSlot& s = slots[seq % h->logCapacity];
        uint64_t a = s.stamp.load(std::memory_order_acquire);
        if (a != 2 * seq + 2) continue;
        enyx_sim_log_entry e = s.e;
        std::atomic_thread_fence(std::memory_order_acquire);
        if (s.stamp.load(std::memory_order_relaxed) != a) continue;
        out[n++] = e;
    }
    return n;
}

int enyx_sim_a2c_inject(unsigned card, const char* stream, const void* data, uint32_t len) {
    StreamRef r;
    if (!Resolve(card, stream, r)) return -1;
    if (!data || len == 0) {
        errno = EINVAL;
        return -1;
    }
    if (len > r.s->a2c.mtu) {
        errno = EMSGSIZE;
        return -1;
    }
    StreamLock lk(r.s);
    if (!lk.ok()) {
        errno = lk.err();
        return -1;
    }
    // Records the card had due before this one go first: replayed ones are
    // queued now, feed records due by now are those numbered below the tag.
    uint64_t now = enyxsim::NowNs();
    enyxsim::ProduceDue(*r.card, r.index, now);
    const enyxsim::RingHdr& a2c = r.s->a2c;
    uint64_t queued = a2c.head.load() - a2c.tail.load() + enyxsim::FeedQueued(*r.s, *r.card->Hot(r.index), now);
    if (queued >= a2c.depth ||
        !enyxsim::RingPush(*r.card, r.s->a2c, data, len, enyxsim::FeedDue(*r.s, now))) {
        r.s->backpressure.fetch_add(1);
        errno = ENOBUFS;
        return -1;
    }
    r.s->injected.fetch_add(1);
    return 0;
}

int enyx_sim_a2c_feed(unsigned card, const char* stream, const enyx_sim_feed_config* cfg) {
    StreamRef r;
    if (!Resolve(card, stream, r)) return -1;
    enyxsim::SourceCfg src;
    if (cfg) {
        if (!(cfg->rate >= 0) || cfg->ntypes > 16) {
            errno = EINVAL;
            return -1;
        }
        src.kind = enyxsim::kSrcFeed;
        src.rate = cfg->rate;
        src.count = cfg->count;
        src.size = cfg->size;
        for (uint32_t i = 0; i < cfg->ntypes; ++i) src.types.push_back(cfg->types[i]);
        if (src.types.empty()) src.types.push_back(1);
    }
    return ArmLocked(r, src);
}

int enyx_sim_a2c_replay(unsigned card, const char* stream, const char* path, double rate,
                        uint64_t count, int loop) {
    StreamRef r;
    if (!Resolve(card, stream, r)) return -1;
    if (!path || !(rate >= 0)) {
        errno = EINVAL;
        return -1;
    }
    enyxsim::SourceCfg src;
    src.kind = enyxsim::kSrcReplay;
    src.path = path;
    src.rate = rate;
    src.count = count;
    src.loop = loop != 0;
    return ArmLocked(r, src);
}

int enyx_sim_write_record_file(const char* path, const void* const* records, const uint32_t* lens,
                               size_t n) {
    if (!path || (n && (!records || !lens))) {
        errno = EINVAL;
        return -1;
    }
    FILE* f = fopen(path, "wb");
    if (!f) return -1;
    bool ok = true;
    for (size_t i = 0; i < n && ok; ++i) {
        uint32_t l = lens[i];
        ok = fwrite(&l, 4, 1, f) == 1 && (l == 0 || fwrite(records[i], l, 1, f) == 1);
    }
    if (fclose(f) != 0) ok = false;
    if (!ok) {
        errno = EIO;
        return -1;
    }
    return 0;
}

int enyx_sim_a2c_stats_get(unsigned card, const char* stream, enyx_sim_a2c_stats* out) {
    StreamRef r;
    if (!Resolve(card, stream, r)) return -1;
    if (!out) {
        errno = EINVAL;
        return -1;
    }
    const StreamRec& s = *r.s;
    const enyxsim::HotA2c& h = *r.card->Hot(r.index);
    out->queued = s.a2c.head.load() - s.a2c.tail.load();
    {
        StreamLock lk(r.s);  // the source fields FeedQueued reads
        if (lk.ok()) out->queued += enyxsim::FeedQueued(s, h, enyxsim::NowNs());
    }
    out->delivered = h.delivered.load();
    out->backpressure = s.backpressure.load() + h.dropped.load();
    out->injected = s.injected.load();
    out->generated = h.generated.load() + s.replayed.load();
    out->fifo_errors = s.fifoErrors.load();
    out->errors = s.errors.load();
    out->mtu = s.a2c.mtu;
    out->depth = s.a2c.depth;
    return 0;
}

int enyx_sim_a2c_reset(unsigned card, const char* stream) {
    StreamRef r;
    if (!Resolve(card, stream, r)) return -1;
    StreamLock lk(r.s);
    if (!lk.ok()) {
        errno = lk.err();
        return -1;
    }
    // Meant for an idle stream: a poller running meanwhile may keep a
    // counter it was about to store.
    StreamRec& s = *r.s;
    enyxsim::HotA2c& h = *r.card->Hot(r.index);
    enyxsim::ArmSource(*r.card, r.index, enyxsim::SourceCfg());
    s.a2c.tail.store(s.a2c.head.load());
    h.delivered.store(0);
    h.generated.store(0);
    h.dropped.store(0);
    s.backpressure.store(0);
    s.injected.store(0);
    s.replayed.store(0);
    s.fifoErrors.store(0);
    s.errors.store(0);
    return 0;
}

int enyx_sim_a2c_add_errors(unsigned card, const char* stream, uint32_t fifo_errors, uint32_t errors) {
    StreamRef r;
    if (!Resolve(card, stream, r)) return -1;
    r.s->fifoErrors.fetch_add(fifo_errors);
    r.s->errors.fetch_add(errors);
    return 0;
}

int enyx_sim_c2a_set_busy(unsigned card, const char* stream, int busy) {
    StreamRef r;
    if (!Resolve(card, stream, r)) return -1;
    r.s->busy.store(busy ? 1 : 0, std::memory_order_release);
    return 0;
}

int enyx_sim_c2a_busy_next(unsigned card, const char* stream, uint32_t n) {
    StreamRef r;
    if (!Resolve(card, stream, r)) return -1;
    r.s->busyNext.fetch_add(n, std::memory_order_acq_rel);
    return 0;
}

long enyx_sim_c2a_pop(unsigned card, const char* stream, void* buf, size_t cap) {
    StreamRef r;
    if (!Resolve(card, stream, r)) return -1;
    if (cap && !buf) {
        errno = EINVAL;
        return -1;
    }
    StreamLock lk(r.s);
    if (!lk.ok()) {
        errno = lk.err();
        return -1;
    }
    return static_cast<long>(enyxsim::RingPop(*r.card, r.s->c2a, buf, cap));
}

int enyx_sim_c2a_stats_get(unsigned card, const char* stream, enyx_sim_c2a_stats* out) {
    StreamRef r;
    if (!Resolve(card, stream, r)) return -1;
    if (!out) {
        errno = EINVAL;
        return -1;
    }
    const StreamRec& s = *r.s;
    out->sends = s.sends.load();
    out->bytes = s.sentBytes.load();
    out->busy_returns = s.busyReturns.load();
    out->queued = s.c2a.head.load() - s.c2a.tail.load();
    out->mtu = s.c2a.mtu;
    out->depth = s.c2a.depth;
    return 0;
}

}  // extern "C"
