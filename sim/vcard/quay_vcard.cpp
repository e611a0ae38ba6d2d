// quay-vcard: makes a virtual card look alive for the daemon, the tool and
// the demo. It loads the register part that a firmware version selects from
// the register description, writes the version register, and then, every
// tick until SIGINT or SIGTERM, moves the part's registers as a card on a
// live feed would:
//   TRAFIC  packet, byte and message counters grow with a varying packet rate
//           (rx_err_pkt_num now and then);
//   DEBUG   rare error counters, a cycling state machine, a free-descriptor
//           level and the last message type;
//   MON     the packet rate (rx_rate_kpps), a growing sequence-gap count, and
//           session_lost_num_path0/1 stepping by one every --lost-every
//           seconds, path 0 and path 1 in turn (link_down_num and
//           heartbeat_timeout_num step with every fourth loss);
//   CFG     cur_trade_date (today, YYYYMMDD) and card_time (today's date
//           followed by hhmmssmmm), link_status 1 and session_state 3.
// Registers of the class with other names grow slowly. CFGFILE registers
// belong to the service and are never touched.
//
// With --stream NAME (an Enyx card) the traffic follows what the card's feed
// generator really sends on that a2c stream instead of an invented rate:
//   rx_pkt_num and market_msg_num = records the feed produced (those queued
//   for the host and those dropped at a full FIFO), rx_byte_num = those
//   records x --record-size, dma_write_num = records handed to the host,
//   rx_err_pkt_num = the stream's error count; rx_rate_kpps = produced
//   records per second over the last second or more; seq_gap_num = records
//   dropped at a full FIFO (their sequence numbers are skipped: the gaps a
//   client sees).
//
// Cards (offsets as the register driver takes them):
//   xdma:<file>       the XDMA character device stand-in, byte offsets
//   pio:<resource0>   the BAR file of the fake sysfs tree, registers at 0x60000
//   enyx:<bus>:<core> the simulated Enyx card (ENYX_SIM_CONFIG/ENYX_SIM_DIR),
//                     4-byte register indexes of the core with that hardware id

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "gt_codec.h"
#include "gt_fpgaConfig.h"
#include "xmlHelper.h"
#ifdef QUAY_VCARD_ENYX
#include "enyx_sim_ctl.h"
#endif

namespace {

volatile sig_atomic_t g_stop = 0;
void onStop(int) { g_stop = 1; }

// ------------------------------------------------------------------ cards

class Card {
public:
    virtual ~Card() {}
    // len bytes at a driver offset, little-endian.
    virtual bool Read(uint64_t off, void* buf, size_t len) = 0;
    virtual bool Write(uint64_t off, const void* buf, size_t len) = 0;
    // Where the firmware version register sits for this driver.
    virtual uint64_t VersionOffset() const { return 6; }
};

class FileCard : public Card {
public:
    FileCard(int fd, uint64_t base) : m_fd(fd), m_base(base) {}
    ~FileCard() override { close(m_fd); }
    FileCard(const FileCard&) = delete;
    FileCard& operator=(const FileCard&) = delete;
    bool Read(uint64_t off, void* buf, size_t len) override {
        return pread(m_fd, buf, len, (off_t)(m_base + off)) == (ssize_t)len;
    }
    bool Write(uint64_t off, const void* buf, size_t len) override {
        return pwrite(m_fd, buf, len, (off_t)(m_base + off)) == (ssize_t)len;
    }

private:
    int m_fd;
    uint64_t m_base;
};

#ifdef QUAY_VCARD_ENYX
class EnyxCard : public Card {
public:
    EnyxCard(unsigned bus, uint16_t core) : m_bus(bus), m_core(core) {}
    bool Read(uint64_t off, void* buf, size_t len) override {
        return enyx_sim_reg_peek(m_bus, m_core, off * 4, buf, len) == 0;
    }
    bool Write(uint64_t off, const void* buf, size_t len) override {
        return enyx_sim_reg_poke(m_bus, m_core, off * 4, buf, len) == 0;
    }
    uint64_t VersionOffset() const override { return 28; }

private:
    unsigned m_bus;
    uint16_t m_core;
};
#endif

std::unique_ptr<Card> OpenCard(const std::string& arg, std::string& err) {
    size_t colon = arg.find(':');
    std::string kind = arg.substr(0, colon);
    std::string rest = colon == std::string::npos ? std::string() : arg.substr(colon + 1);
    if (kind == "xdma" || kind == "pio") {
        int fd = open(rest.c_str(), O_RDWR);
        if (fd < 0) {
            err = rest + ": " + strerror(errno);
            return nullptr;
        }
        return std::unique_ptr<Card>(new FileCard(fd, kind == "pio" ? 0x60000 : 0));
    }
#ifdef QUAY_VCARD_ENYX
    if (kind == "enyx") {
        unsigned bus = 0, core = 0;
        char extra;
        if (sscanf(rest.c_str(), "%u:%u%c", &bus, &core, &extra) != 2 || core > 0xFFFF) {
            err = "enyx card wants enyx:<bus>:<core hardware id>";
            return nullptr;
        }
        uint32_t probe;
        std::unique_ptr<Card> card(new EnyxCard(bus, (uint16_t)core));
        if (!card->Read(0, &probe, sizeof(probe))) {
            err = "no simulated Enyx card " + rest + ": " + strerror(errno);
            return nullptr;
        }
        return card;
    }
#endif
    err = "unknown card kind \"" + kind + "\"";
    return nullptr;
}

// ------------------------------------------------------- register part

// The register part a version value selects, with its fallback (as device
// bring-up chooses them).
bool PartForVersion(uint32_t ver, std::string& part, std::string& fallback) {
    uint32_t code = 0;
    part.clear();
    fallback.clear();
    GetFpgaVer(ver, code, part);
    if (ver > 0xFFFF) return !part.empty();
    switch (code) {
        case 1: part = "sz_tcp_net_x"; fallback = "sz_tcp_net"; return true;
        case 2:
        case 3: part = "sz_udp_all_e"; fallback = "sz_udp_net"; return true;
        case 4: part = "sh_tcp_net_pio"; return true;
        case 5: part = "sz_bfmdgw_e"; return true;
        case 8: part = "sz_tcp_net_e_p"; fallback = "sz_tcp_net_p"; return true;
        case 9: part = "sz_udp_net_p"; return true;
        case 12: part = "sh_tcp_all_e"; fallback = "sh_tcp_local"; return true;
        default: return false;
    }
}

// The XML text of a register description file: plain XML, or the encoded
// data file "bin".
bool LoadDescription(const std::string& path, std::string& xml, std::string& err) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) {
        err = path + ": " + strerror(errno);
        return false;
    }
    std::string data;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0) data.append(buf, n);
    fclose(f);
    size_t first = data.find_first_not_of(" \t\r\n");
    if (first != std::string::npos && data[first] == '<') {
        xml = data;
        return true;
    }
    std::vector<uint8_t> out;
    if (!gtcodec::Decode(data.data(), data.size(), out, err)) {
        err = path + ": not XML and not an encoded register description (" + err + ")";
        return false;
    }
    xml.assign(out.begin(), out.end());
    return true;
}

// ------------------------------------------------------------ animation

struct Reg {
    const CfgDes_t* des;
    CFG_CLASS_e cls;
};

// Counts of one a2c stream since the feed began, as the card keeps them:
// records the feed produced, handed to the host, dropped at a full FIFO.
struct StreamCounts {
    uint64_t produced = 0, delivered = 0, dropped = 0, errors = 0;
};
// Reads them; false when the stream cannot be read (the tick then leaves the
// traffic registers as they are).
typedef std::function<bool(StreamCounts&)> StreamReader;

double MonotonicSeconds() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + ts.tv_nsec / 1e9;
}

class Animator {
public:
    Animator(Card& card, std::vector<Reg> regs, double lostEvery, uint64_t seed)
        : m_card(card), m_regs(std::move(regs)), m_lostEvery(lostEvery), m_rng(seed ? seed : 0x9e3779b97f4a7c15ull) {}

    // The traffic registers follow this stream from now on.
    void FollowStream(StreamReader reader, uint32_t recordSize) {
        m_stream = std::move(reader);
        m_recordSize = recordSize;
    }

    // One tick of dt seconds at elapsed time t.
    void Tick(double t, double dt) {
        StreamCounts sc;
        const bool real = m_stream && m_stream(sc);
        if (real) UpdateRate(sc.produced);
        const double rate =
            m_stream ? m_rate : 40000.0 * (1.0 + 0.3 * std::sin(t / 5.0)) + (double)(Next() % 4000);
        const uint64_t pkts = (uint64_t)(rate * dt);
        int losses = 0;
        while (m_lostEvery > 0 && t >= m_nextLoss) {
            losses++;
            m_nextLoss += m_lostEvery;
        }
        for (const Reg& r : m_regs) {
            const std::string& name = r.des->name;
            if (r.des->eType != CFGDES_TYPE_int && r.des->eType != CFGDES_TYPE_TIME) continue;
            switch (r.cls) {
                case CFGCLASS_TRAFIC:
                    if (m_stream && !Has(name, "tx")) {
                        if (!real) break;
                        if (Has(name, "byte")) Set(r, sc.produced * m_recordSize);
                        else if (Has(name, "err")) Set(r, sc.errors);
                        else if (Has(name, "dma")) Set(r, sc.delivered);
                        else Set(r, sc.produced);
                    } else if (Has(name, "byte")) Add(r, pkts * (120 + Next() % 120));
                    else if (Has(name, "err")) Add(r, Next() % 50 == 0 ? 1 : 0);
                    else if (Has(name, "tx")) Add(r, pkts / 1000 + (Next() % 2));
                    else if (Has(name, "msg")) Add(r, pkts * 3);
                    else Add(r, pkts);
                    break;
                case CFGCLASS_DEBUG:
                    if (Has(name, "state")) Set(r, (uint64_t)(t / dt) % 4);
                    else if (Has(name, "free")) Set(r, 256 + Next() % 768);
                    else if (Has(name, "type")) Set(r, 1 + Next() % 8);
                    else Add(r, Next() % 200 == 0 ? 1 : 0);
                    break;
                case CFGCLASS_MON:
                    if (Has(name, "session_lost")) {
                        // Paths take the losses in turn: 0, 1, 0, ...
                        int path = Has(name, "path1") ? 1 : 0;
                        int mine = 0;
                        for (int i = 0; i < losses; ++i) mine += ((m_losses + (uint64_t)i) % 2) == (uint64_t)path;
                        Add(r, (uint64_t)mine);
                    } else if (Has(name, "link_down") || Has(name, "heartbeat")) {
                        int mine = 0;
                        for (int i = 0; i < losses; ++i) mine += ((m_losses + i) % 4) == 3;
                        Add(r, (uint64_t)mine);
                    } else if (Has(name, "rate")) {
                        if (!m_stream || real) Set(r, (uint64_t)(rate / 1000.0 + (m_stream ? 0.5 : 0)));
                    } else if (m_stream && Has(name, "gap")) {
                        if (real) Set(r, sc.dropped);
                    } else {
                        Add(r, Next() % 3);
                    }
                    break;
                case CFGCLASS_CFG:
                    if (Has(name, "trade_date")) Set(r, Today());
                    else if (r.des->eType == CFGDES_TYPE_TIME) Set(r, CardTime());
                    else if (name == "link_status") Set(r, 1);
                    else if (name == "session_state") Set(r, 3);
                    break;
                default:
                    break;
            }
        }
        m_losses += losses;
    }

    void Start(uint32_t version) {
        m_card.Write(m_card.VersionOffset(), &version, sizeof(version));
        m_nextLoss = m_lostEvery;
    }

private:
    static bool Has(const std::string& s, const char* what) { return s.find(what) != std::string::npos; }

    // Records per second produced over the last second or more.
    void UpdateRate(uint64_t produced) {
        const double now = MonotonicSeconds();
        if (m_rateSince == 0 || produced < m_rateFrom) {  // the first reading, or the feed restarted
            m_rateSince = now;
            m_rateFrom = produced;
            m_rate = 0;
        } else if (now - m_rateSince >= 1.0) {
            m_rate = (double)(produced - m_rateFrom) / (now - m_rateSince);
            m_rateSince = now;
            m_rateFrom = produced;
        }
    }

    uint64_t Next() {
        m_rng ^= m_rng << 13;
        m_rng ^= m_rng >> 7;
        m_rng ^= m_rng << 17;
        return m_rng;
    }

    static uint64_t Today() {
        time_t now = time(nullptr);
        struct tm t;
        localtime_r(&now, &t);
        return (uint64_t)(t.tm_year + 1900) * 10000 + (uint64_t)(t.tm_mon + 1) * 100 + (uint64_t)t.tm_mday;
    }
    static uint64_t CardTime() {
        struct timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        struct tm t;
        localtime_r(&ts.tv_sec, &t);
        uint64_t hms = (uint64_t)t.tm_hour * 10000 + (uint64_t)t.tm_min * 100 + (uint64_t)t.tm_sec;
        return Today() * 1000000000ull + hms * 1000 + (uint64_t)(ts.tv_nsec / 1000000);
    }

    // The field's value; the register is read 64 bits wide at its offset.
    uint64_t Get(const Reg& r) {
        uint64_t reg = 0;
        m_card.Read(r.des->tRegDes.byteOffset, &reg, sizeof(reg));
        return (reg >> r.des->tRegDes.bitOffset) & Mask(r);
    }
    void Set(const Reg& r, uint64_t value) {
        const RegDes_t& d = r.des->tRegDes;
        uint64_t reg = 0;
        m_card.Read(d.byteOffset, &reg, sizeof(reg));
        reg &= ~(Mask(r) << d.bitOffset);
        reg |= (value & Mask(r)) << d.bitOffset;
        m_card.Write(d.byteOffset, &reg, sizeof(reg));
    }
    void Add(const Reg& r, uint64_t n) {
        if (n) Set(r, Get(r) + n);
    }
    static uint64_t Mask(const Reg& r) {
        unsigned w = r.des->tRegDes.bitWidth;
        return w >= 64 ? ~0ull : ((1ull << w) - 1);
    }

    Card& m_card;
    std::vector<Reg> m_regs;
    double m_lostEvery;
    double m_nextLoss = 0;
    uint64_t m_losses = 0;
    uint64_t m_rng;
    StreamReader m_stream;
    uint32_t m_recordSize = 0;
    double m_rate = 0, m_rateSince = 0;
    uint64_t m_rateFrom = 0;
};

void Usage() {
    fprintf(stderr,
            "usage: quay-vcard --card xdma:<file>|pio:<resource0>|enyx:<bus>:<core> --bin <file>\n"
            "                  --version <value> [--interval-ms <ms>] [--lost-every <s>] [--seed <n>]\n"
            "                  [--stream <name> [--record-size <bytes>]]\n"
            "  --bin         register description: the encoded data file bin, or plain XML\n"
            "  --version     firmware version register value (selects the register part;\n"
            "                written into the card's version register)\n"
            "  --interval-ms time between two ticks (default 200)\n"
            "  --lost-every  seconds between two lost sessions (default 5, 0 never)\n"
            "  --stream      (enyx cards) a2c stream whose feed the traffic counters follow\n"
            "  --record-size bytes per record of that feed, for the byte counter (default 64)\n");
}

}  // namespace

int main(int argc, char** argv) {
    std::string cardArg, binPath, versionText, streamName;
    long recordSize = 64;
    long intervalMs = 200;
    double lostEvery = 5;
    uint64_t seed = (uint64_t)time(nullptr) ^ ((uint64_t)getpid() << 32);
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (i + 1 >= argc) {
            Usage();
            return 2;
        }
        std::string v = argv[++i];
        if (a == "--card") cardArg = v;
        else if (a == "--bin") binPath = v;
        else if (a == "--version") versionText = v;
        else if (a == "--interval-ms") intervalMs = strtol(v.c_str(), nullptr, 0);
        else if (a == "--lost-every") lostEvery = strtod(v.c_str(), nullptr);
        else if (a == "--seed") seed = strtoull(v.c_str(), nullptr, 0);
        else if (a == "--stream") streamName = v;
        else if (a == "--record-size") recordSize = strtol(v.c_str(), nullptr, 0);
        else {
            Usage();
            return 2;
        }
    }
    char* end = nullptr;
    errno = 0;
    unsigned long version = strtoul(versionText.c_str(), &end, 0);
    if (cardArg.empty() || binPath.empty() || versionText.empty() || *end != '\0' || errno != 0 ||
        version > 0xFFFFFFFFul || intervalMs < 1 || intervalMs > 60000 || lostEvery < 0 || recordSize < 1 ||
        recordSize > 65536 || (!streamName.empty() && cardArg.compare(0, 5, "enyx:") != 0)) {
        Usage();
        return 2;
    }

    std::string part, fallback, err;
    if (!PartForVersion((uint32_t)version, part, fallback)) {
        fprintf(stderr, "quay-vcard: version 0x%lx names no register part\n", version);
        return 1;
    }
    std::string xml;
    if (!LoadDescription(binPath, xml, err)) {
        fprintf(stderr, "quay-vcard: %s\n", err.c_str());
        return 1;
    }
    // The catalogue outlives the animator's pointers into it.
    static CXmlHelper catalogue;
    if (catalogue.Parse(xml.data(), xml.size(), part) != 0) {
        if (fallback.empty() || catalogue.Parse(xml.data(), xml.size(), fallback) != 0) {
            fprintf(stderr, "quay-vcard: register part %s%s%s not in %s\n", part.c_str(),
                    fallback.empty() ? "" : " or ", fallback.c_str(), binPath.c_str());
            return 1;
        }
        part = fallback;
    }
    std::unique_ptr<Card> card = OpenCard(cardArg, err);
    if (!card) {
        fprintf(stderr, "quay-vcard: %s\n", err.c_str());
        return 1;
    }

    std::vector<Reg> regs;
    const CFG_CLASS_e classes[] = {CFGCLASS_CFG, CFGCLASS_TRAFIC, CFGCLASS_MON, CFGCLASS_DEBUG};
    for (CFG_CLASS_e c : classes) {
        for (const CfgDes_t& d : catalogue.GetList(c)) {
            if (d.tRegDes.bitWidth == 0 || d.tRegDes.bitOffset + d.tRegDes.bitWidth > 64) continue;
            regs.push_back({&d, c});
        }
    }

    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = onStop;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    Animator anim(*card, regs, lostEvery, seed);
#ifdef QUAY_VCARD_ENYX
    if (!streamName.empty()) {
        const unsigned bus = (unsigned)strtoul(cardArg.c_str() + 5, nullptr, 10);
        enyx_sim_a2c_stats probe;
        if (enyx_sim_a2c_stats_get(bus, streamName.c_str(), &probe) != 0) {
            fprintf(stderr, "quay-vcard: no a2c stream %s on card %u: %s\n", streamName.c_str(), bus, strerror(errno));
            return 1;
        }
        anim.FollowStream(
            [bus, streamName](StreamCounts& c) {
                enyx_sim_a2c_stats st;
                if (enyx_sim_a2c_stats_get(bus, streamName.c_str(), &st) != 0) return false;
                c.produced = st.generated + st.backpressure;
                c.delivered = st.delivered;
                c.dropped = st.backpressure;
                c.errors = (uint64_t)st.errors + st.fifo_errors;
                return true;
            },
            (uint32_t)recordSize);
    }
#endif
    anim.Start((uint32_t)version);
    const double dt = intervalMs / 1000.0;
    double t = 0;
    // The first tick is in place before the start line tells anyone.
    anim.Tick(t, dt);
    printf("quay-vcard: %s, firmware 0x%lx, register part %s: animating %zu registers every %ld ms\n",
           cardArg.c_str(), version, part.c_str(), regs.size(), intervalMs);
    fflush(stdout);

    while (!g_stop) {
        struct timespec ts = {intervalMs / 1000, (intervalMs % 1000) * 1000000};
        nanosleep(&ts, nullptr);
        t += dt;
        anim.Tick(t, dt);
    }
    return 0;
}
