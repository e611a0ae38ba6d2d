#ifndef QUAY_TEST_FMGMT_MCS_UTIL_H
#define QUAY_TEST_FMGMT_MCS_UTIL_H

// Images and MCS files for the flash programmer tests.

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "test_util.h"

namespace fmtest {

inline std::vector<uint8_t> RandomImage(size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (auto& b : v) b = static_cast<uint8_t>(rng());
    return v;
}

// Writes image as a binary file and converts it with srec_cat into an Intel
// HEX (MCS) file whose data starts at base; returns the MCS path ("" on failure).
inline std::string MakeMcs(const qtest::TempDir& dir, const std::string& name, const std::vector<uint8_t>& image,
                           uint32_t base, unsigned lineBytes = 16)
{
    std::string bin = dir / (name + ".bin");
    std::string mcs = dir / (name + ".mcs");
    qtest::WriteFile(bin, std::string(image.begin(), image.end()));
    char cmd[1024];
    snprintf(cmd, sizeof(cmd),
             "srec_cat '%s' -binary -offset 0x%08X -o '%s' -intel -Output_Block_Size=%u 2>&1", bin.c_str(), base,
             mcs.c_str(), lineBytes);
    int status = -1;
    qtest::RunCmd(cmd, &status);
    return status == 0 ? mcs : std::string();
}

// An MCS file of 16-byte records from srec_cat's generator arguments;
// returns its path ("" on failure).
inline std::string GenerateMcs(const qtest::TempDir& dir, const std::string& name, const std::string& generators)
{
    std::string mcs = dir / (name + ".mcs");
    int status = -1;
    qtest::RunCmd("srec_cat " + generators + " -o '" + mcs + "' -intel -Output_Block_Size=16 2>&1", &status);
    return status == 0 ? mcs : std::string();
}

// One Intel HEX record with a correct checksum.
inline std::string Record(uint8_t type, uint16_t addr, const std::vector<uint8_t>& data)
{
    unsigned sum = static_cast<unsigned>(data.size()) + (addr >> 8) + (addr & 0xFF) + type;
    char buf[16];
    std::string s = ":";
    snprintf(buf, sizeof(buf), "%02X%04X%02X", static_cast<unsigned>(data.size()), addr, type);
    s += buf;
    for (uint8_t b : data) {
        snprintf(buf, sizeof(buf), "%02X", b);
        s += buf;
        sum += b;
    }
    snprintf(buf, sizeof(buf), "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
    return s + buf;
}

inline std::string Ela(uint16_t upper) { return Record(0x04, 0, {uint8_t(upper >> 8), uint8_t(upper)}); }
inline std::string Eof() { return Record(0x01, 0, {}); }

}  // namespace fmtest

#endif
