#ifndef QUAY_TEST_SVC_CHECKS_H
#define QUAY_TEST_SVC_CHECKS_H

// What the card holds after configuring with the sample register description
// and quay.ini, shared by the tests of every card kind.

#include <gtest/gtest.h>

#include <ctime>

#include "svc_env.h"

namespace svc {

inline uint32_t TodayYmd() {
    time_t now = time(nullptr);
    struct tm t;
    localtime_r(&now, &t);
    return (uint32_t)((t.tm_year + 1900) * 10000 + (t.tm_mon + 1) * 100 + t.tm_mday);
}

inline std::string Bytes(std::initializer_list<int> b) {
    std::string s;
    for (int x : b) s.push_back((char)x);
    return s;
}

// Family code 1 (part sz_tcp_net_x): addresses, ints of every width, a
// register of three bit fields, a 64-bit int, dates and a number list.
// Register 0x240 must have been preset to all ones.
inline void CheckSampleTcp(const Card& card, uint32_t dayBefore, uint32_t dayAfter) {
    EXPECT_EQ(Bytes({21, 10, 168, 192}), card.Peek(0x200, 4));                // link:local_ip, reversed
    EXPECT_EQ(Bytes({0x31, 0x20, 0x10, 0x7c, 0x1a, 0x02}), card.Peek(0x208, 6));  // link:local_mac, reversed
    EXPECT_EQ(Bytes({0x01, 0x20, 0x10, 0x7c, 0x1a, 0x02}), card.Peek(0x210, 6));  // gateway_mac
    EXPECT_EQ(0u, card.PeekLE(0x218, 2));
    EXPECT_EQ(Bytes({1, 10, 168, 192}), card.Peek(0x220, 4));
    EXPECT_EQ(9129u, card.PeekLE(0x228, 2));
    EXPECT_EQ(50001u, card.PeekLE(0x230, 2));
    EXPECT_EQ(3u, card.PeekLE(0x238, 4));
    // enable = 1 (bit 0), reconnect_mode = 2 (bits 4-6), partition_mask = 0xff
    // (bits 8-15); every other bit kept.
    EXPECT_EQ(0xFFFFFFFFFFFFFFAFull, card.PeekLE(0x240, 8));
    EXPECT_EQ(0x5155415900000001ull, card.PeekLE(0x248, 8));
    uint64_t trade = card.PeekLE(0x260, 4);
    EXPECT_TRUE(trade == dayBefore || trade == dayAfter) << trade;
    uint64_t orig = card.PeekLE(0x268, 8), start = card.PeekLE(0x270, 8);
    EXPECT_TRUE(orig == dayBefore * 1000000000ull || orig == dayAfter * 1000000000ull) << orig;
    EXPECT_EQ(orig, start);
    EXPECT_EQ(2011u, card.PeekLE(0x280, 4));
    EXPECT_EQ(2021u, card.PeekLE(0x284, 4));
    EXPECT_EQ(2031u, card.PeekLE(0x288, 4));
    EXPECT_EQ(2041u, card.PeekLE(0x28C, 4));
    EXPECT_EQ(3u, card.PeekLE(0x290, 8));  // 2-bit field in a zeroed register
}

// Family code 2 (part sz_udp_all_e): multicast groups, their derived MACs
// and a 2-bit field.
inline void CheckSampleMcast(const Card& card) {
    EXPECT_EQ(Bytes({10, 1, 1, 239}), card.Peek(0x300, 4));
    EXPECT_EQ(Bytes({10, 1, 1, 0x5e, 0, 1}), card.Peek(0x308, 6));  // 01:00:5e:01:01:0a reversed
    EXPECT_EQ(30010u, card.PeekLE(0x310, 2));
    EXPECT_EQ(Bytes({20, 2, 129, 239}), card.Peek(0x318, 4));
    EXPECT_EQ(Bytes({20, 2, 1, 0x5e, 0, 1}), card.Peek(0x320, 6));  // 129 & 0x7f = 1
    EXPECT_EQ(30020u, card.PeekLE(0x328, 2));
    EXPECT_EQ(Bytes({5, 1, 200, 10}), card.Peek(0x330, 4));
    EXPECT_EQ(3u, card.PeekLE(0x338, 8));
}

// Brings the card up with a firmware code and configures it.
inline void ConfigureSample(const Card& card, uint32_t version) {
    card.PokeLE(card.VerAddr(), version, 4);
    ASSERT_EQ(0, card.Run([&] {
        Service s;
        ASSERT_EQ(0, s.initRet);
        ASSERT_EQ(0, s.runRet);
        EXPECT_EQ(0, s.svc->ConfigFpga());
    }));
}

}  // namespace svc

#endif
