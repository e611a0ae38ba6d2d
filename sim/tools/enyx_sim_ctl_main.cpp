// enyx-sim-ctl: drives the simulated Enyx card from a shell.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "enyx_sim_ctl.h"

namespace {

void Usage() {
    fprintf(stderr,
            "usage: enyx-sim-ctl [-c card] command ...\n"
            "  path                              card file of the card\n"
            "  remove                            delete the card file (rebuilt on next open)\n"
            "  peek <core> <index> [width]       read register index (4-byte units), width 8|16|32|64\n"
            "  poke <core> <index> <value> [width]\n"
            "  resets [core]                     reset count of a core (0 = root, whole-tree resets)\n"
            "  log [from]                        access log entries from sequence number <from>\n"
            "  inject <stream> <hexbytes>        queue one a2c record\n"
            "  feed <stream> [rate=] [size=] [count=] [types=a,b,..]\n"
            "  replay <stream> <file> [rate=] [count=] [loop=0|1]\n"
            "  stop <stream>                     stop the stream's feed or replay\n"
            "  stats <stream>                    a2c and c2a counters\n"
            "  reset-stream <stream>             empty the a2c FIFO and zero its counters\n"
            "  busy <stream> 0|1                 hold c2a sends busy (11) or release them\n"
            "  pop <stream>                      take the oldest message sent to the card (hex)\n"
            "Environment: ENYX_SIM_CONFIG (card description), ENYX_SIM_DIR (card files).\n");
}

bool Num(const char* s, uint64_t& v) {
    if (!s || !*s) return false;
    errno = 0;
    char* end = nullptr;
    v = strtoull(s, &end, 0);
    return errno == 0 && end && *end == '\0';
}

int Fail(const char* what) {
    fprintf(stderr, "enyx-sim-ctl: %s: %s\n", what, strerror(errno));
    return 1;
}

// Parses key=value options into the feed/replay parameters.
bool Options(int argc, char** argv, int from, double& rate, uint64_t& count, uint64_t& size,
             uint64_t& loop, std::vector<uint16_t>& types) {
    for (int i = from; i < argc; ++i) {
        std::string a = argv[i];
        size_t eq = a.find('=');
        if (eq == std::string::npos) return false;
        std::string k = a.substr(0, eq), v = a.substr(eq + 1);
        if (k == "rate") {
            char* end = nullptr;
            rate = strtod(v.c_str(), &end);
            if (!end || *end || rate < 0) return false;
        } else if (k == "count") {
            if (!Num(v.c_str(), count)) return false;
        } else if (k == "size") {
            if (!Num(v.c_str(), size)) return false;
        } else if (k == "loop") {
            if (!Num(v.c_str(), loop)) return false;
        } else if (k == "types") {
            size_t p = 0;
            while (p <= v.size()) {
                size_t c = v.find(',', p);
                std::string one = v.substr(p, c == std::string::npos ? std::string::npos : c - p);
                uint64_t t = 0;
                if (!Num(one.c_str(), t) || t > 0xffff) return false;
                types.push_back(static_cast<uint16_t>(t));
                if (c == std::string::npos) break;
                p = c + 1;
            }
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    unsigned card = 0;
    int i = 1;
    if (i + 1 < argc && strcmp(argv[i], "-c") == 0) {
        uint64_t c = 0;
        if (!Num(argv[i + 1], c)) {
            Usage();
            return 2;
        }
        card = static_cast<unsigned>(c);
        i += 2;
    }
    if (i >= argc) {
        Usage();
        return 2;
    }
    std::string cmd = argv[i++];
    int rest = argc - i;
    char** a = argv + i;

    if (cmd == "path") {
        const char* p = enyx_sim_card_path(card);
        if (!p) return Fail("path");
        printf("%s\n", p);
        return 0;
    }
    if (cmd == "remove") return enyx_sim_card_remove(card) == 0 ? 0 : Fail("remove");
    if (cmd == "peek" || cmd == "poke") {
        bool poke = cmd == "poke";
        uint64_t core = 0, idx = 0, val = 0, width = 32;
        int need = poke ? 3 : 2;
        if (rest < need || rest > need + 1 || !Num(a[0], core) || !Num(a[1], idx) ||
            (poke && !Num(a[2], val)) || (rest == need + 1 && !Num(a[need], width)) ||
            (width != 8 && width != 16 && width != 32 && width != 64)) {
            Usage();
            return 2;
        }
        if (poke) {
            if (enyx_sim_reg_poke(card, static_cast<uint16_t>(core), idx * 4, &val, width / 8) != 0)
                return Fail("poke");
            return 0;
        }
        uint64_t v = 0;
        if (enyx_sim_reg_peek(card, static_cast<uint16_t>(core), idx * 4, &v, width / 8) != 0)
            return Fail("peek");
        printf("0x%" PRIx64 "\n", v);
        return 0;
    }
    if (cmd == "resets") {
        uint64_t core = 0;
        if (rest > 1 || (rest == 1 && !Num(a[0], core))) {
            Usage();
            return 2;
        }
        int64_t n = enyx_sim_reset_count(card, static_cast<uint16_t>(core));
        if (n < 0) return Fail("resets");
        printf("%" PRId64 "\n", n);
        return 0;
    }
    if (cmd == "log") {
        uint64_t from = 0;
        if (rest > 1 || (rest == 1 && !Num(a[0], from))) {
            Usage();
            return 2;
        }
        std::vector<enyx_sim_log_entry> e(4096);
        for (;;) {
            long n = enyx_sim_log_read(card, from, e.data(), e.size());
            if (n < 0) return Fail("log");
            if (n == 0) break;
            for (long k = 0; k < n; ++k) {
                const enyx_sim_log_entry& x = e[k];
                printf("%" PRIu64 " pid=%d core=%u/%u %c", x.seq, x.pid, x.core_hwid, x.core_instance,
                       x.op);
                if (x.op == 'R' || x.op == 'W')
                    printf(" off=0x%" PRIx64 " width=%u value=0x%" PRIx64, x.byte_offset, x.width,
                           x.value);
                printf("%s\n", x.result ? " FAILED" : "");
            }
            from = e[n - 1].seq + 1;
        }
        return 0;
    }
    if (rest < 1) {
        Usage();
        return 2;
    }
    const char* stream = a[0];
    if (cmd == "inject") {
        if (rest != 2) {
            Usage();
            return 2;
        }
        std::string hex = a[1];
        std::vector<uint8_t> bytes;
        if (hex.empty() || hex.size() % 2 != 0 ||
            hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
            Usage();
            return 2;
        }
        for (size_t k = 0; k < hex.size(); k += 2)
            bytes.push_back(static_cast<uint8_t>(strtoul(hex.substr(k, 2).c_str(), nullptr, 16)));
        if (enyx_sim_a2c_inject(card, stream, bytes.data(), static_cast<uint32_t>(bytes.size())) != 0)
            return Fail("inject");
        return 0;
    }
    if (cmd == "feed" || cmd == "replay") {
        bool replay = cmd == "replay";
        double rate = 0;
        uint64_t count = 0, size = 64, loop = 0;
        std::vector<uint16_t> types;
        if ((replay && rest < 2) ||
            !Options(rest, a, replay ? 2 : 1, rate, count, size, loop, types) || types.size() > 16) {
            Usage();
            return 2;
        }
        if (replay)
            return enyx_sim_a2c_replay(card, stream, a[1], rate, count, loop != 0) == 0 ? 0 : Fail("replay");
        enyx_sim_feed_config f{};
        f.rate = rate;
        f.count = count;
        f.size = static_cast<uint32_t>(size);
        f.ntypes = static_cast<uint32_t>(types.size());
        for (size_t k = 0; k < types.size(); ++k) f.types[k] = types[k];
        return enyx_sim_a2c_feed(card, stream, &f) == 0 ? 0 : Fail("feed");
    }
    if (cmd == "stop") return enyx_sim_a2c_feed(card, stream, nullptr) == 0 ? 0 : Fail("stop");
    if (cmd == "reset-stream") return enyx_sim_a2c_reset(card, stream) == 0 ? 0 : Fail("reset-stream");
    if (cmd == "stats") {
        enyx_sim_a2c_stats s;
        enyx_sim_c2a_stats c;
        if (enyx_sim_a2c_stats_get(card, stream, &s) != 0 || enyx_sim_c2a_stats_get(card, stream, &c) != 0)
            return Fail("stats");
        printf("a2c queued=%" PRIu64 " delivered=%" PRIu64 " backpressure=%" PRIu64 " injected=%" PRIu64
               " generated=%" PRIu64 " fifo_errors=%u errors=%u mtu=%u depth=%u\n",
               s.queued, s.delivered, s.backpressure, s.injected, s.generated, s.fifo_errors, s.errors,
               s.mtu, s.depth);
        printf("c2a sends=%" PRIu64 " bytes=%" PRIu64 " busy_returns=%" PRIu64 " queued=%" PRIu64 "\n",
               c.sends, c.bytes, c.busy_returns, c.queued);
        return 0;
    }
    if (cmd == "busy") {
        uint64_t b = 0;
        if (rest != 2 || !Num(a[1], b)) {
            Usage();
            return 2;
        }
        return enyx_sim_c2a_set_busy(card, stream, b != 0) == 0 ? 0 : Fail("busy");
    }
    if (cmd == "pop") {
        std::vector<uint8_t> buf(65536);
        long n = enyx_sim_c2a_pop(card, stream, buf.data(), buf.size());
        if (n < 0) return Fail("pop");
        for (long k = 0; k < n; ++k) printf("%02x", buf[k]);
        printf("\n");
        return n > 0 ? 0 : 3;
    }
    Usage();
    return 2;
}
