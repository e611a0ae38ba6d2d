// Configuration of the simulated card: a small line-oriented text file named
// by ENYX_SIM_CONFIG (format in sim/README.md).
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "sim_internal.h"

namespace enyxsim {

namespace {

// Where an installed virtual card lives (the quay-virtual-card package puts
// its description there and its unit creates the card files beside it), so
// that programs find it without ENYX_SIM_CONFIG and ENYX_SIM_DIR.
#ifndef ENYX_SIM_DEFAULT_DIR
#define ENYX_SIM_DEFAULT_DIR "/var/lib/quay/vcard"
#endif
const char* kDefaultConfigFile = ENYX_SIM_DEFAULT_DIR "/card.conf";

const char* kDefaultConfig =
    "card\n"
    "core 474\n"
    "core 472\n"
    "stream MAC_CHAN0_DATA\n"
    "stream MAC_CHAN1_DATA\n";

bool ParseU64(const std::string& s, uint64_t& v) {
    if (s.empty() || s[0] == '-') return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long x = strtoull(s.c_str(), &end, 0);
    if (errno != 0 || !end || *end != '\0') return false;
    v = x;
    return true;
}

bool ParseDouble(const std::string& s, double& v) {
    if (s.empty()) return false;
    errno = 0;
    char* end = nullptr;
    double x = strtod(s.c_str(), &end);
    if (errno != 0 || !end || *end != '\0' || !(x >= 0)) return false;
    v = x;
    return true;
}

std::string DirOf(const std::string& path) {
    size_t p = path.rfind('/');
    if (p == std::string::npos) return ".";
    if (p == 0) return "/";
    return path.substr(0, p);
}

std::string Resolve(const std::string& base, const std::string& p) {
    if (p.empty() || p[0] == '/' || base.empty()) return p;
    return base + "/" + p;
}

void Fnv(uint64_t& h, const void* data, size_t n) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < n; ++i) {
        h ^= p[i];
        h *= 0x100000001b3ull;
    }
}

template <typename T>
void FnvV(uint64_t& h, const T& v) {
    Fnv(h, &v, sizeof(v));
}

void FnvS(uint64_t& h, const std::string& s) {
    uint64_t n = s.size();
    FnvV(h, n);
    Fnv(h, s.data(), s.size());
}

}  // namespace

uint64_t CardCfg::Signature() const {
    uint64_t h = 0xcbf29ce484222325ull;
    FnvV(h, kVersion);
    FnvS(h, name);
    FnvV(h, logCapacity);
    for (const CoreCfg& c : cores) {
        FnvV(h, c.hwid);
        FnvV(h, c.regs);
    }
    uint8_t sep = 0xff;
    FnvV(h, sep);
    for (const StreamCfg& s : streams) {
        FnvS(h, s.name);
        FnvV(h, s.mtu);
        FnvV(h, s.depth);
        FnvV(h, s.source.kind);
        FnvV(h, s.source.rate);
        FnvV(h, s.source.count);
        FnvV(h, s.source.size);
        for (uint16_t t : s.source.types) FnvV(h, t);
        FnvS(h, s.source.path);
        FnvV(h, s.source.loop);
    }
    FnvV(h, sep);
    for (const RegPreset& r : presets) {
        FnvV(h, r.hwid);
        FnvV(h, r.index);
        FnvV(h, r.value);
        FnvV(h, r.width);
    }
    return h;
}

bool DetectReplayFormat(const std::string& path, uint32_t& format, uint64_t& dataStart) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return false;
    uint32_t magic = 0;
    size_t n = fread(&magic, 1, sizeof(magic), f);
    fclose(f);
    format = 0;
    dataStart = 0;
    if (n == sizeof(magic)) {
        if (magic == 0xa1b2c3d4u || magic == 0xa1b23c4du) {
            format = 1;
            dataStart = 24;
        } else if (magic == 0xd4c3b2a1u || magic == 0x4d3cb2a1u) {
            format = 2;
            dataStart = 24;
        }
    }
    return true;
}

bool ParseConfigText(const std::string& text, const std::string& origin, SimConfig& out,
                     std::string& err) {
    out.cards.clear();
    out.origin = origin;
    std::string base = (origin.empty() || origin[0] == '(') ? std::string() : DirOf(origin);
    std::istringstream in(text);
    std::string line;
    int lineNo = 0;
    auto fail = [&](const std::string& msg) {
        err = "enyx-sim: " + origin + ":" + std::to_string(lineNo) + ": " + msg;
        return false;
    };
    while (std::getline(in, line)) {
        ++lineNo;
        size_t hash = line.find('#');
        if (hash != std::string::npos) line.erase(hash);
        std::istringstream ls(line);
        std::vector<std::string> tok;
        std::string t;
        while (ls >> t) tok.push_back(t);
        if (tok.empty()) continue;
        const std::string& kw = tok[0];
        // Split key=value options from positional words.
        std::vector<std::string> pos;
        std::vector<std::pair<std::string, std::string>> opts;
        for (size_t i = 1; i < tok.size(); ++i) {
            size_t eq = tok[i].find('=');
            if (eq == std::string::npos || eq == 0)
                pos.push_back(tok[i]);
            else
                opts.emplace_back(tok[i].substr(0, eq), tok[i].substr(eq + 1));
        }
        if (kw == "dir") {
            if (pos.size() != 1 || !opts.empty()) return fail("usage: dir <path>");
            out.dir = Resolve(base, pos[0]);
            continue;
        }
        if (kw == "card") {
            if (pos.size() > 1 || !opts.empty()) return fail("usage: card [name]");
            CardCfg c;
            c.name = pos.empty() ? "card" + std::to_string(out.cards.size()) : pos[0];
            c.logCapacity = kDefaultLog;
            out.cards.push_back(c);
            continue;
        }
        if (out.cards.empty()) return fail("'" + kw + "' before the first 'card' line");
        CardCfg& card = out.cards.back();
        if (kw == "core") {
            uint64_t id = 0;
            if (pos.size() != 1 || !ParseU64(pos[0], id) || id == 0 || id > 0xffff)
                return fail("usage: core <hardware id 1..65535> [regs=<bytes>] [count=<n>]");
            CoreCfg c;
            c.hwid = static_cast<uint16_t>(id);
            c.regs = kDefaultRegs;
            uint64_t count = 1;
            for (auto& o : opts) {
                uint64_t v = 0;
                if (!ParseU64(o.second, v)) return fail("bad number '" + o.second + "'");
                if (o.first == "regs") {
                    if (v < 8 || v > (1ull << 32)) return fail("regs must be 8..4294967296 bytes");
                    c.regs = (v + 7) & ~7ull;
                } else if (o.first == "count") {
                    if (v < 1 || v > 64) return fail("count must be 1..64");
                    count = v;
                } else {
                    return fail("unknown option '" + o.first + "'");
                }
            }
            for (uint64_t i = 0; i < count; ++i) card.cores.push_back(c);
            continue;
        }
        if (kw == "stream") {
            if (pos.size() != 1) return fail("usage: stream <name> [mtu=<bytes>] [depth=<records>]");
            if (pos[0].size() >= 64) return fail("stream name longer than 63 characters");
            for (auto& s : card.streams)
                if (s.name == pos[0]) return fail("stream '" + pos[0] + "' declared twice");
            StreamCfg s;
            s.name = pos[0];
            s.mtu = kDefaultMtu;
            s.depth = kDefaultDepth;
            for (auto& o : opts) {
                uint64_t v = 0;
                if (!ParseU64(o.second, v)) return fail("bad number '" + o.second + "'");
                if (o.first == "mtu") {
                    if (v < 16 || v > 65536) return fail("mtu must be 16..65536");
                    s.mtu = static_cast<uint32_t>(v);
                } else if (o.first == "depth") {
                    if (v < 1 || v > (1u << 20)) return fail("depth must be 1..1048576");
                    s.depth = static_cast<uint32_t>(v);
                } else {
                    return fail("unknown option '" + o.first + "'");
                }
            }
            card.streams.push_back(s);
            continue;
        }
        if (kw == "feed" || kw == "replay") {
            bool replay = kw == "replay";
            if (pos.size() != (replay ? 2u : 1u))
                return fail(replay ? "usage: replay <stream> <file> [rate=] [count=] [loop=]"
                                   : "usage: feed <stream> [rate=] [size=] [types=] [count=]");
            StreamCfg* s = nullptr;
            for (auto& x : card.streams)
                if (x.name == pos[0]) s = &x;
            if (!s) return fail("unknown stream '" + pos[0] + "' (declare it with 'stream' first)");
            SourceCfg src;
            src.kind = replay ? kSrcReplay : kSrcFeed;
            src.size = 64;
            if (replay) src.path = Resolve(base, pos[1]);
            for (auto& o : opts) {
                uint64_t v = 0;
                if (o.first == "rate") {
                    if (!ParseDouble(o.second, src.rate)) return fail("bad rate '" + o.second + "'");
                } else if (o.first == "count") {
                    if (!ParseU64(o.second, src.count)) return fail("bad count '" + o.second + "'");
                } else if (!replay && o.first == "size") {
                    if (!ParseU64(o.second, v) || v < 16 || v > s->mtu || v > 65535)
                        return fail("size must be 16..mtu");
                    src.size = static_cast<uint32_t>(v);
                } else if (!replay && o.first == "types") {
                    std::stringstream ts(o.second);
                    std::string one;
                    while (std::getline(ts, one, ',')) {
                        if (!ParseU64(one, v) || v > 0xffff) return fail("bad type '" + one + "'");
                        src.types.push_back(static_cast<uint16_t>(v));
                    }
                    if (src.types.empty() || src.types.size() > 16) return fail("1 to 16 types");
                } else if (replay && o.first == "loop") {
                    if (!ParseU64(o.second, v) || v > 1) return fail("loop must be 0 or 1");
                    src.loop = v != 0;
                } else {
                    return fail("unknown option '" + o.first + "'");
                }
            }
            if (src.types.empty()) src.types.push_back(1);
            if (replay) {
                uint32_t fmt = 0;
                uint64_t start = 0;
                if (!DetectReplayFormat(src.path, fmt, start))
                    return fail("cannot read replay file '" + src.path + "': " + strerror(errno));
            }
            s->source = src;
            continue;
        }
        if (kw == "reg") {
            uint64_t id = 0, idx = 0, val = 0;
            if (pos.size() != 3 || !ParseU64(pos[0], id) || id > 0xffff || !ParseU64(pos[1], idx) ||
                !ParseU64(pos[2], val))
                return fail("usage: reg <core hardware id> <register index> <value> [width=32]");
            RegPreset r;
            r.hwid = static_cast<uint16_t>(id);
            r.index = idx;
            r.value = val;
            for (auto& o : opts) {
                uint64_t v = 0;
                if (o.first != "width" || !ParseU64(o.second, v) ||
                    (v != 8 && v != 16 && v != 32 && v != 64))
                    return fail("reg option must be width=8|16|32|64");
                r.width = static_cast<uint32_t>(v);
            }
            card.presets.push_back(r);
            continue;
        }
        if (kw == "log") {
            uint64_t v = 0;
            if (pos.size() != 1 || !ParseU64(pos[0], v) || v < 16 || v > (1u << 24))
                return fail("usage: log <entries 16..16777216>");
            card.logCapacity = static_cast<uint32_t>(v);
            continue;
        }
        return fail("unknown keyword '" + kw + "'");
    }
    // Presets must name existing cores and fit their register space.
    for (const CardCfg& c : out.cards) {
        for (const RegPreset& r : c.presets) {
            const CoreCfg* core = nullptr;
            for (auto& x : c.cores)
                if (x.hwid == r.hwid) {
                    core = &x;
                    break;
                }
            if (!core || r.index * 4 + r.width / 8 > core->regs) {
                lineNo = 0;
                return fail("card '" + c.name + "': reg preset for core " + std::to_string(r.hwid) +
                            " index " + std::to_string(r.index) + " names no register");
            }
        }
    }
    return true;
}

bool LoadConfig(SimConfig& out, std::string& err) {
    const char* path = getenv("ENYX_SIM_CONFIG");
    bool installed = false;
    if (!path || !*path) {
        installed = access(kDefaultConfigFile, R_OK) == 0;
        if (installed) path = kDefaultConfigFile;
    }
    bool ok;
    if (path && *path) {
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            err = std::string("enyx-sim: cannot read ENYX_SIM_CONFIG file ") + path + ": " +
                  strerror(errno);
            ok = false;
        } else {
            std::ostringstream ss;
            ss << in.rdbuf();
            ok = ParseConfigText(ss.str(), path, out, err);
        }
    } else {
        ok = ParseConfigText(kDefaultConfig, "(built-in default)", out, err);
    }
    if (!ok) {
        fprintf(stderr, "%s\n", err.c_str());
        return false;
    }
    const char* dir = getenv("ENYX_SIM_DIR");
    if (dir && *dir) {
        out.dir = dir;
    } else if (out.dir.empty() && installed) {
        out.dir = ENYX_SIM_DEFAULT_DIR;
    } else if (out.dir.empty()) {
        struct stat st;
        std::string root = (stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode)) ? "/dev/shm" : "/tmp";
        out.dir = root + "/enyx-sim-" + std::to_string(getuid());
    }
    return true;
}

}  // namespace enyxsim
