#ifndef QUAY_TEST_TOOL_ENV_H
#define QUAY_TEST_TOOL_ENV_H

// A working directory for one quay_tool run on the virtual card: quay.ini and
// bin from the build's sample configuration, an XDMA stand-in file, and fake
// lspci/lsmod that report one Xilinx card with its driver loaded.

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fake_cmds.h"
#include "test_util.h"

namespace qtest {

// Sets section:key in INI text, replacing the key's line or adding it at the
// end of the section.
inline std::string SetIniKey(const std::string& ini, const std::string& section, const std::string& key,
                             const std::string& value) {
    std::vector<std::string> lines;
    std::string cur;
    for (char c : ini) {
        if (c == '\n') {
            lines.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty()) lines.push_back(cur);

    auto trim = [](std::string s) {
        size_t b = s.find_first_not_of(" \t"), e = s.find_last_not_of(" \t");
        return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
    };
    std::string inSection;
    int sectionEnd = -1;
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string t = trim(lines[i]);
        if (!t.empty() && t[0] == '[') {
            if (inSection == section) sectionEnd = (int)i;
            inSection = t.substr(1, t.find(']') - 1);
            continue;
        }
        if (inSection == section && trim(t.substr(0, t.find('='))) == key && t.find('=') != std::string::npos) {
            lines[i] = key + " = " + value;
            std::string out;
            for (auto& l : lines) out += l + "\n";
            return out;
        }
    }
    if (inSection == section) sectionEnd = (int)lines.size();
    if (sectionEnd < 0) {
        lines.push_back("[" + section + "]");
        sectionEnd = (int)lines.size();
    }
    lines.insert(lines.begin() + sectionEnd, key + " = " + value);
    std::string out;
    for (auto& l : lines) out += l + "\n";
    return out;
}

class ToolEnv {
public:
    static constexpr uint64_t kCardSize = 1 << 20;

    ToolEnv() : m_dir("quaytool") {
        m_card = m_dir / "card.xdma";
        int fd = open(m_card.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            if (ftruncate(fd, kCardSize) != 0) {
            }
            close(fd);
        }
        std::string ini = ReadFile(std::string(QUAY_BINARY_DIR) + "/data/quay.ini");
        ini = SetIniKey(ini, "device", "dev_write", m_card);
        ini = SetIniKey(ini, "device", "dev_read", m_card);
        WriteIni(ini);
        WriteFile(m_dir / "bin", ReadFile(std::string(QUAY_BINARY_DIR) + "/data/bin"));
        m_bin.Add("lspci", "d8:00.0 Memory controller: Xilinx Corporation Device 903f\n");
        m_bin.Add("lsmod", "xdma                  110592  0\n");
        // Old-layout firmware code 1, version 0x005. The version register is
        // read 32 bits wide at byte 6, so the hardware register at byte 8
        // stays 0 for an old-layout card.
        PokeLE(6, 0x1005, 4);
    }

    const std::string& dir() const { return m_dir.path(); }
    const std::string& card() const { return m_card; }
    FakeBin& bin() { return m_bin; }

    void WriteIni(const std::string& ini) { WriteFile(m_dir / "quay.ini", ini); }
    std::string Ini() const { return ReadFile(m_dir / "quay.ini"); }

    // Card memory access, little-endian.
    void Poke(uint64_t off, const std::string& bytes) {
        int fd = open(m_card.c_str(), O_RDWR);
        if (fd < 0) return;
        if (pwrite(fd, bytes.data(), bytes.size(), (off_t)off) != (ssize_t)bytes.size()) {
        }
        close(fd);
    }
    void PokeLE(uint64_t off, uint64_t value, int width) {
        std::string b;
        for (int i = 0; i < width; ++i) b += (char)((value >> (8 * i)) & 0xFF);
        Poke(off, b);
    }
    std::string Peek(uint64_t off, size_t len) const {
        std::string out(len, '\0');
        int fd = open(m_card.c_str(), O_RDONLY);
        if (fd < 0) return std::string();
        ssize_t n = pread(fd, &out[0], len, (off_t)off);
        close(fd);
        out.resize(n > 0 ? (size_t)n : 0);
        return out;
    }
    uint64_t PeekLE(uint64_t off, int width) const {
        std::string b = Peek(off, (size_t)width);
        uint64_t v = 0;
        for (int i = (int)b.size() - 1; i >= 0; --i) v = (v << 8) | (uint8_t)b[i];
        return v;
    }

    // Runs quay_tool with the given argument text in the working directory;
    // `input` is its standard input. Returns stdout (log lines included).
    std::string Run(const std::string& args, const std::string& input = "", int* status = nullptr,
                    const std::string& prefix = "") {
        WriteFile(m_dir / "stdin.txt", input);
        std::string cmd = "cd '" + m_dir.path() + "' && PATH='" + m_bin.dir() + "':\"$PATH\" " + prefix + " '" +
                          Tool() + "' " + args + " < stdin.txt 2>&1";
        return RunCmd(cmd, status);
    }

    static std::string Tool() { return std::string(QUAY_BINARY_DIR) + "/bin/quay_tool"; }

private:
    TempDir m_dir;
    FakeBin m_bin;
    std::string m_card;
};

}  // namespace qtest

#endif
