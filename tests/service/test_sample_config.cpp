// The sample configuration of two firmware families on every kind of card:
// the same registers, whichever driver writes them. The mapped-BAR card
// lives in the fake sysfs, so this program holds the sysfs_pci lock.

#include <gtest/gtest.h>

#include "svc_checks.h"

using namespace svc;

namespace {

class SampleConfig : public ::testing::TestWithParam<CardKind> {};

TEST_P(SampleConfig, RegistersOfTwoFamilies) {
    Card card(GetParam());
    card.PokeLE(0x240, ~0ull, 8);
    uint32_t before = TodayYmd();
    ConfigureSample(card, 0x1005);
    CheckSampleTcp(card, before, TodayYmd());
    ConfigureSample(card, 0x2010);
    CheckSampleMcast(card);
}

INSTANTIATE_TEST_SUITE_P(Cards, SampleConfig, ::testing::Values(kXdma, kPio, kEnyx),
                         [](const ::testing::TestParamInfo<CardKind>& info) { return std::string(KindName(info.param)); });

}  // namespace
