// The simulated card's state: one shared file per card, mapped by every
// process that opens the card.
#include <dirent.h>
#include <emmintrin.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <random>

#include "sim_internal.h"

namespace enyxsim {

namespace {

uint64_t AlignUp(uint64_t v, uint64_t a) { return (v + a - 1) / a * a; }

struct Layout {
    uint64_t coresOff = 0, streamsOff = 0, logOff = 0, hotOff = 0, total = 0;
    std::vector<uint64_t> regsOff;  // per core record (root first)
    std::vector<uint64_t> a2cOff, c2aOff;
};

uint32_t Stride(uint32_t mtu) { return kSlotHdr + static_cast<uint32_t>(AlignUp(mtu, 8)); }

uint64_t HotBytes(uint32_t nstreams) { return AlignUp(kHotStreamsOff + sizeof(HotA2c) * nstreams, 4096); }

Layout ComputeLayout(const CardCfg& cfg) {
    Layout l;
    uint64_t off = AlignUp(sizeof(CardHdr), 64);
    l.coresOff = off;
    off += AlignUp(sizeof(CoreRec) * (cfg.cores.size() + 1), 64);
    l.streamsOff = off;
    off += AlignUp(sizeof(StreamRec) * cfg.streams.size(), 64);
    l.hotOff = off;
    off += AlignUp(sizeof(HotA2c) * cfg.streams.size(), 64);
    l.logOff = off;
    off += AlignUp(sizeof(LogSlot) * static_cast<uint64_t>(cfg.logCapacity), 4096);
    l.regsOff.push_back(off);
    off += AlignUp(kRootRegs, 4096);
    for (const CoreCfg& c : cfg.cores) {
        l.regsOff.push_back(off);
        off += AlignUp(c.regs, 4096);
    }
    for (const StreamCfg& s : cfg.streams) {
        l.a2cOff.push_back(off);
        off += AlignUp(static_cast<uint64_t>(Stride(s.mtu)) * s.depth, 64);
        l.c2aOff.push_back(off);
        off += AlignUp(static_cast<uint64_t>(Stride(s.mtu)) * s.depth, 64);
    }
    l.total = AlignUp(off, 4096);
    return l;
}

int InitMutex(pthread_mutex_t* m, bool recursive) {
    pthread_mutexattr_t a;
    pthread_mutexattr_init(&a);
    pthread_mutexattr_setpshared(&a, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&a, PTHREAD_MUTEX_ROBUST);
    if (recursive) pthread_mutexattr_settype(&a, PTHREAD_MUTEX_RECURSIVE);
    int r = pthread_mutex_init(m, &a);
    pthread_mutexattr_destroy(&a);
    return r;
}

int MkdirP(const std::string& dir) {
    if (dir.empty()) {
        errno = EINVAL;
        return -1;
    }
    std::string cur;
    size_t pos = 0;
    while (pos != std::string::npos) {
        size_t next = dir.find('/', pos + 1);
        cur = dir.substr(0, next);
        if (!cur.empty() && mkdir(cur.c_str(), 0777) != 0 && errno != EEXIST) return -1;
        pos = next;
    }
    struct stat st;
    if (stat(dir.c_str(), &st) != 0) return -1;
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return -1;
    }
    return 0;
}

std::map<std::string, std::shared_ptr<Card>>& Cache() {
    // Never destroyed: handles may outlive static destruction.
    static auto* cache = new std::map<std::string, std::shared_ptr<Card>>();
    return *cache;
}

std::mutex& CacheMutex() {
    static auto* m = new std::mutex();
    return *m;
}

std::shared_ptr<Card> MapFile(const std::string& path, int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0) return nullptr;
    if (static_cast<uint64_t>(st.st_size) < sizeof(CardHdr)) {
        errno = EINVAL;
        return nullptr;
    }
    void* p = mmap(nullptr, st.st_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) return nullptr;
    auto c = std::make_shared<Card>();
    c->path = path;
    c->base = static_cast<uint8_t*>(p);
    c->size = st.st_size;
    c->dev = st.st_dev;
    c->ino = st.st_ino;
    return c;
}

std::shared_ptr<Card> TryExisting(const std::string& path, uint64_t sig) {
    int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return nullptr;
    auto c = MapFile(path, fd);
    close(fd);
    if (!c) return nullptr;
    CardHdr* h = c->Hdr();
    if (h->magic != kMagic || h->version != kVersion || h->signature != sig ||
        h->totalSize != c->size || h->ready.load(std::memory_order_acquire) != 1) {
        fprintf(stderr, "enyx-sim: %s was made for another card description; rebuilding it\n",
                path.c_str());
        return nullptr;
    }
    return c;
}

std::shared_ptr<Card> Build(const CardCfg& cfg, const std::string& path, uint64_t sig) {
    Layout l = ComputeLayout(cfg);
    std::string tmp = path + ".tmp." + std::to_string(getpid());
    int fd = open(tmp.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    fchmod(fd, 0666);
    if (ftruncate(fd, static_cast<off_t>(l.total)) != 0) {
        int e = errno;
        close(fd);
        unlink(tmp.c_str());
        errno = e;
        return nullptr;
    }
    auto c = MapFile(path, fd);
    int e = errno;
    close(fd);
    if (!c) {
        unlink(tmp.c_str());
        errno = e;
        return nullptr;
    }
    c->cfg = cfg;
    CardHdr* h = c->Hdr();
    h->magic = kMagic;
    h->version = kVersion;
    h->signature = sig;
    h->totalSize = l.total;
    h->ncores = static_cast<uint32_t>(cfg.cores.size() + 1);
    h->nstreams = static_cast<uint32_t>(cfg.streams.size());
    h->logCapacity = cfg.logCapacity;
    h->coresOff = l.coresOff;
    h->streamsOff = l.streamsOff;
    h->logOff = l.logOff;
    h->hotOff = l.hotOff;
    std::random_device rd;
    do {
        h->nonce = (static_cast<uint64_t>(rd()) << 32) ^ rd() ^ static_cast<uint64_t>(getpid());
    } while (h->nonce == 0);
    for (uint32_t i = 0; i < h->ncores; ++i) {
        CoreRec* r = c->Core(i);
        r->hwid = i == 0 ? 0 : cfg.cores[i - 1].hwid;
        uint16_t inst = 0;
        for (uint32_t j = 1; j < i; ++j)
            if (cfg.cores[j - 1].hwid == r->hwid) ++inst;
        r->instance = inst;
        r->regsOff = l.regsOff[i];
        r->regsSize = i == 0 ? kRootRegs : cfg.cores[i - 1].regs;
        InitMutex(&r->lock, true);
    }
    for (uint32_t i = 0; i < h->nstreams; ++i) {
        StreamRec* s = c->Stream(i);
        const StreamCfg& sc = cfg.streams[i];
        snprintf(s->name, sizeof(s->name), "%s", sc.name.c_str());
        InitMutex(&s->mtx, false);
        for (RingHdr* r : {&s->a2c, &s->c2a}) {
            r->mtu = sc.mtu;
            r->depth = sc.depth;
            r->stride = Stride(sc.mtu);
        }
        s->a2c.dataOff = l.a2cOff[i];
        s->c2a.dataOff = l.c2aOff[i];
        if (sc.source.kind != kSrcNone && ArmSource(*c, i, sc.source) != 0)
            fprintf(stderr, "enyx-sim: stream %s: cannot start its source: %s\n", sc.name.c_str(),
                    strerror(errno));
    }
    for (const RegPreset& p : cfg.presets) {
        int core = c->FindCore(p.hwid);
        if (core > 0) RegWrite(*c, core, p.index * 4, 0, p.width, p.value);
    }
    h->ready.store(1, std::memory_order_release);
    if (rename(tmp.c_str(), path.c_str()) != 0) {
        e = errno;
        unlink(tmp.c_str());
        errno = e;
        return nullptr;
    }
    return c;
}

// The card file's nonce, read without mapping it; 0 if it is not a card.
uint64_t FileNonce(const char* path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    alignas(8) unsigned char buf[sizeof(CardHdr)];
    bool ok = pread(fd, buf, sizeof(buf), 0) == static_cast<ssize_t>(sizeof(buf));
    close(fd);
    uint64_t magic = 0, nonce = 0;
    if (ok) {
        memcpy(&magic, buf, sizeof(magic));
        memcpy(&nonce, buf + offsetof(CardHdr, nonce), sizeof(nonce));
    }
    return ok && magic == kMagic ? nonce : 0;
}

// Hot blocks outlive a card directory removed without enyx_sim_card_remove
// (tests delete their temporary directories): each card build unlinks the
// objects whose card file is gone or was rebuilt since.
void SweepStaleHot() {
    DIR* d = opendir("/dev/shm");
    if (!d) return;
    const size_t plen = strlen(kHotPrefix);
    while (dirent* e = readdir(d)) {
        if (strncmp(e->d_name, kHotPrefix, plen) != 0) continue;
        std::string name = std::string("/") + e->d_name;
        int fd = shm_open(name.c_str(), O_RDONLY | O_CLOEXEC, 0);
        if (fd < 0) continue;
        HotHdr hh;
        bool ok = pread(fd, &hh, sizeof(hh), 0) == static_cast<ssize_t>(sizeof(hh));
        close(fd);
        if (!ok || hh.nonce == 0) continue;  // being made by another process
        hh.cardPath[sizeof(hh.cardPath) - 1] = '\0';
        if (FileNonce(hh.cardPath) != hh.nonce) shm_unlink(name.c_str());
    }
    closedir(d);
}

// Maps the card's hot block; the card file's lock is held, so one opener
// at a time initialises a new object.
void OpenHot(Card& c) {
    CardHdr* h = c.Hdr();
    const uint64_t bytes = HotBytes(h->nstreams);
    int fd = shm_open(HotName(h->nonce).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd >= 0) {
        fchmod(fd, 0666);
        struct stat st;
        void* p = MAP_FAILED;
        if (fstat(fd, &st) == 0 &&
            (static_cast<uint64_t>(st.st_size) >= bytes || ftruncate(fd, static_cast<off_t>(bytes)) == 0))
            p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        close(fd);
        if (p != MAP_FAILED) {
            HotHdr* hh = static_cast<HotHdr*>(p);
            if (hh->nonce != h->nonce) {
                memset(p, 0, bytes);
                hh->nstreams = h->nstreams;
                snprintf(hh->cardPath, sizeof(hh->cardPath), "%s", c.path.c_str());
                __atomic_store_n(&hh->nonce, h->nonce, __ATOMIC_RELEASE);
            }
            c.hotMap = static_cast<uint8_t*>(p);
            c.hotSize = bytes;
            c.hot = reinterpret_cast<HotA2c*>(c.hotMap + kHotStreamsOff);
            return;
        }
    }
    // No shared memory file system: the in-file copy (writeback may stall it).
    c.hot = reinterpret_cast<HotA2c*>(c.base + h->hotOff);
}

}  // namespace

std::string HotName(uint64_t nonce) {
    char buf[64];
    snprintf(buf, sizeof(buf), "/%s%016llx", kHotPrefix, static_cast<unsigned long long>(nonce));
    return buf;
}

Card::~Card() {
    if (hotMap) munmap(hotMap, hotSize);
    if (base) munmap(base, size);
}

int Card::FindCore(uint16_t hwid) const {
    for (uint32_t i = 0; i < NumCores(); ++i)
        if (Core(i)->hwid == hwid) return static_cast<int>(i);
    return -1;
}

int Card::FindStream(const char* name) const {
    if (!name) return -1;
    for (uint32_t i = 0; i < NumStreams(); ++i)
        if (strncmp(Stream(i)->name, name, sizeof(Stream(i)->name)) == 0) return static_cast<int>(i);
    return -1;
}

void Card::Log(char op, uint32_t core, uint64_t off, uint32_t width, uint32_t bitOff, uint64_t value,
               int result) {
    CardHdr* h = Hdr();
    uint64_t seq = h->logNext.fetch_add(1, std::memory_order_acq_rel);
    LogSlot* s = reinterpret_cast<LogSlot*>(base + h->logOff) + seq % h->logCapacity;
    s->stamp.store(2 * seq + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    enyx_sim_log_entry& e = s->e;
    e.seq = seq;
    e.byte_offset = off;
    e.value = value;
    e.pid = static_cast<int32_t>(getpid());
    e.core_hwid = Core(core)->hwid;
    e.core_instance = Core(core)->instance;
    e.op = op;
    e.width = static_cast<uint8_t>(width);
    e.bit_offset = static_cast<uint8_t>(bitOff);
    e.result = static_cast<int8_t>(result < 0 ? -1 : 0);
    e.reserved = 0;
    s->stamp.store(2 * seq + 2, std::memory_order_release);
}

std::string CardPath(const SimConfig& cfg, unsigned index) {
    return cfg.dir + "/card" + std::to_string(index) + ".mem";
}

std::shared_ptr<Card> OpenCard(const SimConfig& cfg, unsigned index) {
    if (index >= cfg.cards.size()) {
        errno = ENODEV;
        return nullptr;
    }
    const CardCfg& cc = cfg.cards[index];
    std::string path = CardPath(cfg, index);
    uint64_t sig = cc.Signature();
    std::lock_guard<std::mutex> g(CacheMutex());
    auto it = Cache().find(path);
    if (it != Cache().end()) {
        const Card& c = *it->second;
        struct stat st;
        if (c.Hdr()->signature == sig && stat(path.c_str(), &st) == 0 && st.st_ino == c.ino &&
            st.st_dev == c.dev)
            return it->second;
    }
    if (MkdirP(cfg.dir) != 0) {
        int e = errno;
        fprintf(stderr, "enyx-sim: cannot create directory %s: %s\n", cfg.dir.c_str(), strerror(e));
        errno = e;
        return nullptr;
    }
    std::string lockPath = path + ".lock";
    int lfd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (lfd < 0) return nullptr;
    fchmod(lfd, 0666);
    while (flock(lfd, LOCK_EX) != 0 && errno == EINTR) {
    }
    auto card = TryExisting(path, sig);
    if (!card) {
        card = Build(cc, path, sig);
        if (card) SweepStaleHot();
    }
    if (card) OpenHot(*card);
    int e = errno;
    flock(lfd, LOCK_UN);
    close(lfd);
    if (!card) {
        fprintf(stderr, "enyx-sim: cannot open card file %s: %s\n", path.c_str(), strerror(e));
        errno = e;
        return nullptr;
    }
    card->index = index;
    card->cfg = cc;
    Cache()[path] = card;
    return card;
}

std::shared_ptr<Card> OpenCardByIndex(unsigned index) {
    SimConfig cfg;
    std::string err;
    if (!LoadConfig(cfg, err)) {
        errno = EINVAL;
        return nullptr;
    }
    return OpenCard(cfg, index);
}

int LockRobust(pthread_mutex_t* m) {
    int r = pthread_mutex_lock(m);
    if (r == EOWNERDEAD) {
        pthread_mutex_consistent(m);
        r = 0;
    }
    return r;
}

namespace {

// Locates the bytes of a field; false (errno set) when it is outside the core.
bool FieldSpan(const Card& c, uint32_t core, uint64_t addr, uint32_t bitOff, uint32_t width,
               uint64_t& byte0, uint32_t& shift, uint32_t& nbytes) {
    if (core >= c.NumCores() || width == 0 || width > 64) {
        errno = EINVAL;
        return false;
    }
    uint64_t size = c.Core(core)->regsSize;
    byte0 = addr + bitOff / 8;
    shift = bitOff % 8;
    nbytes = (shift + width + 7) / 8;
    if (addr >= size || byte0 < addr || byte0 >= size || size - byte0 < nbytes) {
        errno = EFAULT;
        return false;
    }
    return true;
}

uint64_t Mask(uint32_t width) { return width >= 64 ? ~0ull : ((1ull << width) - 1); }

}  // namespace

int RegRead(const Card& c, uint32_t core, uint64_t addr, uint32_t bitOff, uint32_t width,
            uint64_t* value) {
    uint64_t byte0;
    uint32_t shift, nbytes;
    if (!value) {
        errno = EINVAL;
        return -1;
    }
    if (!FieldSpan(c, core, addr, bitOff, width, byte0, shift, nbytes)) return -1;
    const uint8_t* p = c.Regs(core) + byte0;
    unsigned __int128 v = 0;
    for (uint32_t i = 0; i < nbytes; ++i) v |= static_cast<unsigned __int128>(p[i]) << (8 * i);
    *value = static_cast<uint64_t>(v >> shift) & Mask(width);
    return 0;
}

int RegWrite(Card& c, uint32_t core, uint64_t addr, uint32_t bitOff, uint32_t width, uint64_t value) {
    uint64_t byte0;
    uint32_t shift, nbytes;
    if (!FieldSpan(c, core, addr, bitOff, width, byte0, shift, nbytes)) return -1;
    uint8_t* p = c.Regs(core) + byte0;
    unsigned __int128 v = 0;
    for (uint32_t i = 0; i < nbytes; ++i) v |= static_cast<unsigned __int128>(p[i]) << (8 * i);
    unsigned __int128 m = static_cast<unsigned __int128>(Mask(width)) << shift;
    v = (v & ~m) | ((static_cast<unsigned __int128>(value & Mask(width)) << shift) & m);
    for (uint32_t i = 0; i < nbytes; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
    return 0;
}

bool RingFull(const RingHdr& r) {
    // Acquire on tail: the poller is done with the slot it freed.
    return r.head.load(std::memory_order_relaxed) - r.tail.load(std::memory_order_acquire) >= r.depth;
}

bool RingPush(Card& c, RingHdr& r, const void* data, uint32_t len, uint64_t tag) {
    if (RingFull(r) || len > r.mtu) return false;
    uint64_t h = r.head.load(std::memory_order_relaxed);
    uint8_t* slot = c.Slot(r, h);
    uint32_t word[2] = {len, 0};
    memcpy(slot, word, sizeof(word));
    memcpy(slot + 8, &tag, sizeof(tag));
    if (len) memcpy(slot + kSlotHdr, data, len);
    // Release: the slot is complete before the poller sees it.
    r.head.store(h + 1, std::memory_order_release);
    return true;
}

uint32_t RingPop(Card& c, RingHdr& r, void* out, size_t cap) {
    uint64_t t = r.tail.load(std::memory_order_relaxed);
    if (r.head.load(std::memory_order_acquire) == t) return 0;
    const uint8_t* slot = c.Slot(r, t);
    uint32_t len;
    memcpy(&len, slot, sizeof(len));
    if (len > r.mtu) len = r.mtu;
    if (out) memcpy(out, slot + kSlotHdr, std::min<size_t>(len, cap));
    r.tail.store(t + 1, std::memory_order_release);
    return len;
}

uint64_t NowNs() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

int ArmSource(Card& c, uint32_t si, const SourceCfg& src) {
    StreamRec& s = *c.Stream(si);
    uint32_t fmt = 0;
    uint64_t start = 0;
    if (src.kind == kSrcReplay) {
        if (src.path.empty() || src.path.size() >= sizeof(s.srcPath)) {
            errno = ENAMETOOLONG;
            return -1;
        }
        if (!DetectReplayFormat(src.path, fmt, start)) return -1;
    }
    if (src.kind == kSrcFeed && (src.size < 16 || src.size > s.a2c.mtu || src.size > 65535 ||
                                 src.types.empty() || src.types.size() > 16)) {
        errno = EINVAL;
        return -1;
    }
    s.srcActive.store(0, std::memory_order_relaxed);
    s.srcKind = src.kind;
    s.srcRate = src.rate;
    s.srcCount = src.count;
    s.srcSize = src.size;
    s.srcNtypes = static_cast<uint32_t>(std::min<size_t>(src.types.size(), 16));
    for (uint32_t i = 0; i < s.srcNtypes; ++i) s.srcTypes[i] = src.types[i];
    snprintf(s.srcPath, sizeof(s.srcPath), "%s", src.path.c_str());
    s.srcLoop = src.loop ? 1 : 0;
    s.srcFormat = fmt;
    s.srcDataStart = start;
    s.srcFileOff = start;
    s.srcIndex = 0;
    s.srcBaseTime = NowNs();
    s.srcBaseIndex = 0;
    if (c.hot) {
        HotA2c& h = *c.Hot(si);
        h.genNext.store(0, std::memory_order_relaxed);
        h.genAvail.store(0, std::memory_order_relaxed);
        h.genArrived.store(0, std::memory_order_relaxed);
    }
    s.srcGeneration.fetch_add(1, std::memory_order_relaxed);
    if (src.kind != kSrcNone) s.srcActive.store(1, std::memory_order_relaxed);
    // Release: a poller that sees the new epoch sees the source it names.
    s.srcEpoch.fetch_add(1, std::memory_order_release);
    return 0;
}

namespace {

struct ReplayFd {
    uint32_t generation;
    int fd;
};

std::mutex& FdMutex() {
    static auto* m = new std::mutex();
    return *m;
}

std::map<std::string, ReplayFd>& FdCache() {
    static auto* m = new std::map<std::string, ReplayFd>();
    return *m;
}

int ReplayFile(Card& c, uint32_t si) {
    StreamRec& s = *c.Stream(si);
    std::string key = c.path + "#" + std::to_string(si);
    std::lock_guard<std::mutex> g(FdMutex());
    auto it = FdCache().find(key);
    if (it != FdCache().end()) {
        if (it->second.generation == s.srcGeneration.load(std::memory_order_relaxed)) return it->second.fd;
        close(it->second.fd);
        FdCache().erase(it);
    }
    int fd = open(s.srcPath, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    FdCache()[key] = ReplayFd{s.srcGeneration.load(std::memory_order_relaxed), fd};
    return fd;
}

uint32_t Swap32(uint32_t v) { return __builtin_bswap32(v); }

// Reads the next record of the replay file into out (when non-null).
// 1 record, 2 record skipped (larger than the MTU), 0 end of file, -1 error.
int ReplayNext(Card& c, uint32_t si, uint8_t* out, uint32_t* len) {
    StreamRec& s = *c.Stream(si);
    int fd = ReplayFile(c, si);
    if (fd < 0) return -1;
    for (int attempt = 0; attempt < 2; ++attempt) {
        uint64_t off = s.srcFileOff;
        uint32_t l = 0;
        uint64_t dataOff, next;
        bool ok;
        if (s.srcFormat == 0) {
            ok = pread(fd, &l, 4, static_cast<off_t>(off)) == 4;
            dataOff = off + 4;
        } else {
            uint8_t hdr[16];
            ok = pread(fd, hdr, 16, static_cast<off_t>(off)) == 16;
            memcpy(&l, hdr + 8, 4);
            if (s.srcFormat == 2) l = Swap32(l);
            dataOff = off + 16;
        }
        next = dataOff + l;
        if (ok && l > s.a2c.mtu) {
            // Still must exist in full to count as a record.
            struct stat st;
            if (fstat(fd, &st) == 0 && static_cast<uint64_t>(st.st_size) >= next) {
                s.srcFileOff = next;
                return 2;
            }
            ok = false;
        }
        if (ok && out && l) ok = pread(fd, out, l, static_cast<off_t>(dataOff)) == static_cast<ssize_t>(l);
        if (ok && !out) {
            struct stat st;
            ok = fstat(fd, &st) == 0 && static_cast<uint64_t>(st.st_size) >= next;
        }
        if (ok) {
            s.srcFileOff = next;
            *len = l;
            return 1;
        }
        // End of file (or a truncated last record).
        if (!s.srcLoop || off == s.srcDataStart) return 0;
        s.srcFileOff = s.srcDataStart;
    }
    return 0;
}

}  // namespace

void BuildFeedRecord(uint8_t* p, uint64_t n, uint64_t ts, uint32_t size, const uint16_t* types, uint32_t ntypes) {
    uint16_t type = types[0];
    uint32_t seq = static_cast<uint32_t>(n + 1);
    if (ntypes > 1) {
        type = types[n % ntypes];
        seq = static_cast<uint32_t>(n / ntypes + 1);
    }
    uint16_t len = static_cast<uint16_t>(size);
    memcpy(p, &type, 2);
    memcpy(p + 2, &len, 2);
    memcpy(p + 4, &seq, 4);
    memcpy(p + 8, &ts, 8);
    // Payload byte k is (n + k) & 0xff: a ramp, 16 bytes per step. The last
    // step may run up to 15 bytes past size: the caller's buffer has room.
    __m128i v = _mm_add_epi8(_mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15),
                             _mm_set1_epi8(static_cast<char>(n)));
    const __m128i step = _mm_set1_epi8(16);
    for (uint32_t k = 16; k < size; k += 16) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p + k), v);
        v = _mm_add_epi8(v, step);
    }
}

uint64_t FeedDue(const StreamRec& s, uint64_t nowNs) {
    if (!s.srcActive.load(std::memory_order_acquire) || s.srcKind != kSrcFeed) return 0;
    uint64_t due = UINT64_MAX;
    if (s.srcRate > 0) {
        double el = nowNs > s.srcBaseTime ? static_cast<double>(nowNs - s.srcBaseTime) : 0.0;
        due = s.srcBaseIndex + static_cast<uint64_t>(std::min(el * s.srcRate / 1e9, 1e18));
    }
    if (s.srcCount && due > s.srcCount) due = s.srcCount;
    return due;
}

uint64_t FeedQueued(const StreamRec& s, const HotA2c& h, uint64_t nowNs) {
    uint64_t due = FeedDue(s, nowNs);
    if (due == 0) return 0;
    uint64_t next = h.genNext.load(std::memory_order_relaxed);
    uint64_t q;
    if (s.srcRate > 0) {
        uint64_t avail = h.genAvail.load(std::memory_order_relaxed);
        uint64_t arrived = h.genArrived.load(std::memory_order_relaxed);
        q = (avail > next ? avail - next : 0) + (due > arrived ? due - arrived : 0);
    } else {
        q = due > next ? due - next : 0;  // the FIFO refills as it empties
    }
    return std::min<uint64_t>(q, s.a2c.depth);
}

// Replays the records due since the last call into the FIFO (the feed
// generator needs no FIFO: its records are built when taken).
void ProduceDue(Card& c, uint32_t si, uint64_t nowNs) {
    StreamRec& s = *c.Stream(si);
    if (!s.srcActive.load(std::memory_order_acquire) || s.srcKind != kSrcReplay) return;
    RingHdr& r = s.a2c;
    uint64_t due = UINT64_MAX;
    if (s.srcRate > 0) {
        double el = nowNs > s.srcBaseTime ? static_cast<double>(nowNs - s.srcBaseTime) : 0.0;
        double d = el * s.srcRate / 1e9;
        due = s.srcBaseIndex + static_cast<uint64_t>(std::min(d, 1e18));
    }
    if (s.srcCount && due > s.srcCount) due = s.srcCount;
    uint64_t budget = static_cast<uint64_t>(r.depth) + 65536;  // bounds one call's work
    while (s.srcIndex < due && budget-- > 0) {
        bool full = RingFull(r);
        if (full && s.srcRate <= 0) break;
        uint64_t h = r.head.load(std::memory_order_relaxed);
        uint8_t* slot = c.Slot(r, h);
        uint32_t len = 0;
        int rc = ReplayNext(c, si, full ? nullptr : slot + kSlotHdr, &len);
        if (rc <= 0) {
            if (rc < 0) s.errors.fetch_add(1, std::memory_order_relaxed);
            s.srcActive.store(0, std::memory_order_release);
            break;
        }
        s.srcIndex++;
        if (rc == 2) {
            s.errors.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        if (full) {
            s.backpressure.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        uint32_t word[2] = {len, 0};
        uint64_t tag = 0;
        memcpy(slot, word, sizeof(word));
        memcpy(slot + 8, &tag, sizeof(tag));
        r.head.store(h + 1, std::memory_order_release);
        s.replayed.fetch_add(1, std::memory_order_relaxed);
    }
    if (s.srcCount && s.srcIndex >= s.srcCount) s.srcActive.store(0, std::memory_order_release);
}

// ---------------------------------------------------------------- failure injection

namespace {

struct FailRule {
    unsigned skip;
    unsigned count;
    int err;
};

std::atomic<bool> g_failArmed{false};

std::mutex& FailMutex() {
    static auto* m = new std::mutex();
    return *m;
}

std::map<std::string, FailRule>& FailRules() {
    static auto* m = new std::map<std::string, FailRule>();
    return *m;
}

}  // namespace

bool ShouldFail(const char* call) {
    if (!g_failArmed.load(std::memory_order_acquire)) return false;
    int err = 0;
    {
        std::lock_guard<std::mutex> g(FailMutex());
        auto it = FailRules().find(call);
        if (it == FailRules().end()) return false;
        FailRule& r = it->second;
        if (r.skip > 0) {
            r.skip--;
            return false;
        }
        if (r.count == 0) return false;
        r.count--;
        err = r.err;
        if (r.count == 0) FailRules().erase(it);
    }
    errno = err;
    return true;
}

}  // namespace enyxsim

extern "C" int enyx_sim_fail_call(const char* call, unsigned skip, unsigned count, int err) {
    using namespace enyxsim;
    if (!call || strncmp(call, "enyx_hw_", 8) != 0 || err <= 0) {
        errno = EINVAL;
        return -1;
    }
    std::lock_guard<std::mutex> g(FailMutex());
    if (count == 0)
        FailRules().erase(call);
    else
        FailRules()[call] = FailRule{skip, count, err};
    g_failArmed.store(true, std::memory_order_release);
    return 0;
}

extern "C" void enyx_sim_fail_clear(void) {
    using namespace enyxsim;
    std::lock_guard<std::mutex> g(FailMutex());
    FailRules().clear();
}
