// The MAC and IPv4 texts of quay.ini and the tool's "mip2mac" argument. The
// input is one text (it ends at the input's end, or at a NUL). Bytes a
// parser accepts must come back from their own canonical text.

#include <cstdio>
#include <cstring>
#include <string>

#include "common.h"
#include "fuzz_util.h"
#include "gt_config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // An exact-size copy with its terminator, so a read beyond it is caught.
    std::string s(reinterpret_cast<const char*>(data), size);
    char* text = new char[s.size() + 1];
    memcpy(text, s.c_str(), s.size() + 1);

    uint8_t mac[6];
    if (CGtConfig::HexStr2Mac(text, mac) == 0) {
        char canon[32];
        snprintf(canon, sizeof(canon), "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4],
                 mac[5]);
        uint8_t again[6];
        QFUZZ_CHECK(CGtConfig::HexStr2Mac(canon, again) == 0 && memcmp(mac, again, 6) == 0);
    }
    uint8_t ip[4];
    char canon[32];
    if (CGtConfig::DesStr2IpV4(text, ip) == 0) {
        snprintf(canon, sizeof(canon), "%u.%u.%u.%u", ip[0], ip[1], ip[2], ip[3]);
        uint8_t again[4];
        QFUZZ_CHECK(CGtConfig::DesStr2IpV4(canon, again) == 0 && memcmp(ip, again, 4) == 0);
    }
    if (ipStr2val(text, ip) == 0) {
        snprintf(canon, sizeof(canon), "%u.%u.%u.%u", ip[0], ip[1], ip[2], ip[3]);
        uint8_t again[4];
        QFUZZ_CHECK(ipStr2val(canon, again) == 0 && memcmp(ip, again, 4) == 0);
    }
    delete[] text;
    return 0;
}
