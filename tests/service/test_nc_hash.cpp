// Subscription tables: parsing of the list, the table build, and the tables
// as the simulated card holds them after programming, read back by a reader
// that knows only the card's lookup rule.

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

#include "nc_hash.h"
#include "svc_env.h"

using namespace svc;

namespace {

// A fresh list parse (Subscribed_t is large: keep it off the stack).
std::unique_ptr<Subscribed_t> Parse(const std::string& text) {
    std::unique_ptr<Subscribed_t> s(new Subscribed_t());
    EXPECT_EQ(0, parse_stock(text, s.get()));
    return s;
}

// Six BCD digits of n (0..999999) as the card holds an id.
uint32_t Bcd6(uint32_t n) {
    uint32_t v = 0;
    for (int i = 0; i < 6; i++) {
        v |= (n % 10) << (4 * i);
        n /= 10;
    }
    return v;
}

std::string Dec6(uint32_t n) {
    char b[8];
    snprintf(b, sizeof(b), "%06u", n);
    return b;
}

// n distinct random security numbers, as list text and as BCD ids.
void RandomIds(size_t n, unsigned seed, std::string& text, std::vector<uint32_t>& ids) {
    std::mt19937 rng(seed);
    std::set<uint32_t> seen;
    while (seen.size() < n) {
        uint32_t v = rng() % 1000000;
        if (!seen.insert(v).second) continue;
        if (!text.empty()) text += ",";
        text += Dec6(v);
        ids.push_back(Bcd6(v));
    }
}

// Everything between the first filter register and the end of the second
// engine's banks, read from the card in one piece.
struct Snapshot {
    std::string bytes;
    explicit Snapshot(const Card& card) : bytes(card.Peek(0x10000, 0x34000 * 4)) {}
    uint32_t Rd(uint64_t reg) const {
        uint64_t o = (reg - 0x10000) * 4;
        if (o + 4 > bytes.size()) return 0xDEADBEEF;
        return (uint8_t)bytes[o] | (uint8_t)bytes[o + 1] << 8 | (uint8_t)bytes[o + 2] << 16 |
               (uint32_t)(uint8_t)bytes[o + 3] << 24;
    }
    // The first engine's tables as the card's lookup reads them.
    HashTableReader Engine1(int ramNum, int ramWidth) const {
        return HashTableReader([this](uint64_t a) { return Rd(a); }, ramNum, ramWidth);
    }
};

const uint32_t kHashVersion = 0x12320205;  // sz udp l1l2 local 2.05: has hash registers

// Enyx card with the version register set and the given subscription keys.
std::unique_ptr<Card> HashCard(const std::string& stocks, const std::string& ramNum = "8",
                               const std::string& ramWidth = "9", uint32_t version = kHashVersion) {
    std::unique_ptr<Card> c(new Card(kEnyx, {{"Others:stocks", stocks},
                                             {"Others:stock_ram_num", ramNum},
                                             {"Others:stock_ram_width", ramWidth}}));
    c->PokeLE(28, version, 4);
    return c;
}

// Brings the service up on card and programs the subscription tables of its
// quay.ini, in the card's child process. Returns the child's status: 0 when
// both passed.
int ProgramTables(const Card& card) {
    return card.Run([] {
        Service s;
        ASSERT_EQ(0, s.runRet);
        EXPECT_EQ(0, Config_hash_function());
    });
}

}  // namespace

// ---------------------------------------------------------------- parsing

TEST(SubsParse, IdsClassesBlanksAndSkippedTokens) {
    qtest::TempDir logDir;
    Log log(logDir.path());
    auto s = Parse(" 600 000,\t000001 ,0 01\n");
    ASSERT_EQ(2u, s->stockid_cnt);
    EXPECT_EQ(0x600000u, s->stockid[0]);
    EXPECT_EQ(0x000001u, s->stockid[1]);
    ASSERT_EQ(1u, s->stockclass_cnt);
    EXPECT_EQ(0x001u, s->stockclass[0]);
    EXPECT_FALSE(s->subsAll);
    EXPECT_NE(std::string::npos, log.Text().find("stockid(decformat):6291456,1,"));
    EXPECT_NE(std::string::npos, log.Text().find("stock class(decformat):1,"));

    // Letters (hex ones too), wrong lengths and stray characters are skipped.
    s = Parse("60000a,12345,1234567,60#000,,999,300750");
    ASSERT_EQ(1u, s->stockid_cnt);
    EXPECT_EQ(0x300750u, s->stockid[0]);
    ASSERT_EQ(1u, s->stockclass_cnt);
    EXPECT_EQ(0x999u, s->stockclass[0]);

    EXPECT_TRUE(Parse("ALL")->subsAll);
    auto a = Parse("600000, a l l");
    EXPECT_TRUE(a->subsAll);
    EXPECT_EQ(1u, a->stockid_cnt);
    EXPECT_FALSE(Parse("xyz")->subsAll);
    EXPECT_EQ(0u, Parse("xyz")->stockid_cnt);
}

TEST(SubsParse, MoreThan4096IdsStopsTheWholeList) {
    qtest::TempDir logDir;
    Log log(logDir.path());
    std::string text;
    for (int i = 0; i < 4100; i++) text += Dec6(i) + ",";
    text += "001";
    auto s = Parse(text);
    EXPECT_EQ(4096u, s->stockid_cnt);
    EXPECT_EQ(Bcd6(4095), s->stockid[4095]);
    EXPECT_EQ(0u, s->stockclass_cnt);  // the class after the overflow is ignored too
    EXPECT_EQ(1u, Count(log.Text(), "Error: Too many stock IDs, exceeding array size."));
}

// ------------------------------------------------------------ table build

TEST(SubsBuild, DuplicatesTakeTheNextBankAndAFullSlotFails) {
    uint16_t f[32];
    for (int k = 0; k < 32; k++) f[k] = (uint16_t)(0x1234 * (k + 1));
    std::vector<uint64_t> mem(4 * 8);
    const uint32_t ids[] = {0x600000, 0x600000, 0x600000};
    ASSERT_EQ(1, generate_hash_mem(ids, 3, 4, 3, 32, f, mem.data()));
    uint32_t s = hash_slot(0x600000, 32, f, 3);
    for (int r = 0; r < 3; r++) {
        uint64_t e = mem[r * 8 + s];
        EXPECT_EQ(0x600000u, (uint32_t)e);
        EXPECT_EQ((uint64_t)r, (e >> 32) & 0xFFFF);  // its place in the list
        EXPECT_EQ(1u, (e >> 48) & 1);
        EXPECT_EQ(1u, e >> 63);
    }
    EXPECT_EQ(0u, mem[3 * 8 + s]);
    // Three banks cannot hold four copies; no banks hold nothing.
    const uint32_t four[] = {0x600000, 0x600000, 0x600000, 0x600000};
    EXPECT_EQ(-1, generate_hash_mem(four, 4, 3, 3, 32, f, mem.data()));
    EXPECT_EQ(-1, generate_hash_mem(ids, 1, 0, 3, 32, f, mem.data()));
    EXPECT_EQ(1, generate_hash_mem(ids, 0, 0, 3, 32, f, mem.data()));
}

TEST(SubsBuild, EveryAttemptDrawsNewFactors) {
    qtest::TempDir logDir;
    Log log(logDir.path());
    // 1800 ids in 8 x 512 slots: a single set of factors almost never places
    // them all, so the build only succeeds if its attempts really differ.
    std::string text;
    std::vector<uint32_t> ids;
    RandomIds(1800, 7, text, ids);
    std::vector<uint16_t> f(32);
    std::vector<uint64_t> mem(8 * 512);
    ASSERT_EQ(1, get_hash_mem_param(ids.data(), (uint32_t)ids.size(), 8, 9, f.data(), mem.data()));
    EXPECT_NE(std::string::npos, log.Text().find("get_hash_mem_param|gen hash mem success|try time:"));
    for (uint32_t id : ids) {
        uint32_t s = hash_slot(id, 32, f.data(), 9);
        bool found = false;
        for (int r = 0; r < 8 && !found; r++) found = (uint32_t)mem[r * 512 + s] == id;
        EXPECT_TRUE(found) << std::hex << id;
    }
}

// ------------------------------------------------------- on the virtual card

TEST(SubsCard, EveryIdFoundByTheCardsLookupInBothEngines) {
    std::string text;
    std::vector<uint32_t> ids;
    RandomIds(1000, 11, text, ids);
    text += ",010,001,999";
    // quay.ini lines are limited in length: the long list is set directly.
    auto card = HashCard("600000");
    // Leftovers of an earlier programming must go.
    card->PokeLE(0x11000 + 0x555, 1, 4);
    card->PokeLE(0x20000 + 2 * 511 + 1, 0x80010000, 4);
    ASSERT_EQ(0, card->Run([&] {
        Service s;
        ASSERT_EQ(0, s.initRet);
        ASSERT_EQ(0, s.runRet);
        EXPECT_EQ(8u, g_tDevInfo.ram_num);
        EXPECT_EQ(9u, g_tDevInfo.ram_width);
        g_tDevInfo.subsstockid = text;
        EXPECT_EQ(0, Config_hash_function());
    }));
    Snapshot snap(*card);
    ASSERT_FALSE(snap.bytes.empty());
    auto rd = [&](uint64_t a) { return snap.Rd(a); };
    HashTableReader e1(rd, 8, 9, 0), e2(rd, 8, 9, 0x20000);
    for (size_t i = 0; i < ids.size(); i++) {
        uint32_t idx = 0xFFFF;
        EXPECT_GE(e1.Find(ids[i], &idx), 0) << std::hex << ids[i];
        EXPECT_EQ(i, idx);
        EXPECT_GE(e2.Find(ids[i]), 0) << std::hex << ids[i];
    }
    EXPECT_EQ(ids.size(), e1.UsedEntries());
    EXPECT_TRUE(e1.EntriesWellFormed());
    EXPECT_EQ(-1, e1.Find(0xABCDEF));  // never a listed id
    for (int k = 0; k < 32; k++) EXPECT_EQ(e1.Factor(k), e2.Factor(k));
    EXPECT_EQ(1u, e1.FilterSwitch());
    EXPECT_EQ(1u, e2.FilterSwitch());
    for (uint32_t reg : {0x10040u, 0x10050u, 0x30040u, 0x30050u}) EXPECT_EQ(1u, snap.Rd(reg)) << std::hex << reg;
    for (uint32_t c : {0x010u, 0x001u, 0x999u}) {
        EXPECT_EQ(1u, e1.ClassFlag(c));
        EXPECT_EQ(1u, e2.ClassFlag(c));
    }
    EXPECT_EQ(0u, e1.ClassFlag(0x555));
    EXPECT_EQ(0u, e1.ClassFlag(0x011));
    EXPECT_EQ(0x89u, card->PeekLE(0x1E, 4));
    std::string log = card->LogText();
    EXPECT_NE(std::string::npos, log.find("You config subscribed function."));
    EXPECT_NE(std::string::npos, log.find("0x1e register value:0x89."));
    EXPECT_EQ(1000u, Count(log, "Hash info: ramnum:"));
    EXPECT_EQ(6u, Count(log, "cfg stock class:base addr:0x"));
    EXPECT_NE(std::string::npos, log.find("reg addr:0x31999, value:1, readback value:0x1."));
}

TEST(SubsCard, SampleListOfQuayIni) {
    // The sample quay.ini's example list for firmware with the tables, as an
    // operator uncomments it: 600000, 600036, 601318, 000001, 300750 and class 010.
    const std::string ini = qtest::ReadFile(SourceFile("data/quay.ini"));
    const size_t at = ini.find("\n;stocks = ");
    ASSERT_NE(std::string::npos, at) << ini;
    const std::string list = ini.substr(at + 11, ini.find('\n', at + 1) - at - 11);
    Card card(kEnyx, {{"Others:stocks", list}});
    card.PokeLE(28, kHashVersion, 4);
    ASSERT_EQ(0, ProgramTables(card));
    Snapshot snap(card);
    HashTableReader e1 = snap.Engine1(8, 9);
    const uint32_t ids[] = {0x600000, 0x600036, 0x601318, 0x000001, 0x300750};
    for (uint32_t i = 0; i < 5; i++) {
        uint32_t idx = 0xFFFF;
        EXPECT_GE(e1.Find(ids[i], &idx), 0) << std::hex << ids[i];
        EXPECT_EQ(i, idx);
    }
    EXPECT_EQ(5u, e1.UsedEntries());
    EXPECT_EQ(1u, e1.ClassFlag(0x010));
    EXPECT_EQ(1u, e1.FilterSwitch());
    EXPECT_NE(std::string::npos, card.LogText().find("Subscribe stockid:600000, 600036, 601318, 000001, 300750, 010"));
}

TEST(SubsCard, AllClearsEverythingAndLeavesTheFilterOff) {
    auto card = HashCard("600000, ALL, 001");
    card->PokeLE(0x10000, 0xABCD1234, 4);
    card->PokeLE(0x10060, 1, 4);
    card->PokeLE(0x30060, 1, 4);
    card->PokeLE(0x11001, 1, 4);
    card->PokeLE(0x40000 + 7, 0x12345, 4);  // last engine-2 bank area word touched by clearing
    ASSERT_EQ(0, ProgramTables(*card));
    Snapshot snap(*card);
    HashTableReader e1 = snap.Engine1(8, 9);
    EXPECT_EQ(0u, e1.UsedEntries());
    EXPECT_EQ(0u, e1.Factor(0));
    EXPECT_EQ(0u, e1.FilterSwitch());
    EXPECT_EQ(0u, snap.Rd(0x30060));
    EXPECT_EQ(0u, e1.ClassFlag(0x001));
    EXPECT_EQ(0u, snap.Rd(0x40007));
    EXPECT_EQ(0u, card->PeekLE(0x1E, 4));  // geometry is left alone
    EXPECT_EQ(std::string::npos, card->LogText().find("You config subscribed function."));
}

TEST(SubsCard, MoreIdsThanSlotsLoadsWhatFitsAndDuplicatesShareASlot) {
    // 1 bank of 4 slots; 6 distinct ids cannot all fit.
    auto card = HashCard("000001,000002,000003,000004,000005,000006", "1", "2");
    ASSERT_EQ(0, ProgramTables(*card));
    {
        Snapshot snap(*card);
        HashTableReader e1 = snap.Engine1(1, 2);
        EXPECT_GE(e1.UsedEntries(), 1u);
        EXPECT_LE(e1.UsedEntries(), 4u);
        EXPECT_TRUE(e1.EntriesWellFormed());
        EXPECT_EQ(1u, e1.FilterSwitch());  // enabled all the same
        EXPECT_EQ(0x12u, card->PeekLE(0x1E, 4));
        EXPECT_NE(std::string::npos, card->LogText().find("gen hash mem failed"));
    }

    auto dup = HashCard("600036,600036,600000", "8", "9");
    ASSERT_EQ(0, ProgramTables(*dup));
    Snapshot snap(*dup);
    HashTableReader e1 = snap.Engine1(8, 9);
    EXPECT_EQ(3u, e1.UsedEntries());
    uint32_t idx = 99;
    EXPECT_EQ(0, e1.Find(0x600036, &idx));
    EXPECT_EQ(0u, idx);
    EXPECT_GE(e1.Find(0x600000), 0);
    // The second copy sits in bank 1 at the same slot as the first.
    uint32_t slot = 0xFFFFFFFF;
    for (uint32_t s = 0; s < 512; s++)
        if (snap.Rd(0x20000 + 2 * s) == 0x600036) slot = s;
    ASSERT_NE(0xFFFFFFFFu, slot);
    EXPECT_EQ(0x600036u, snap.Rd(0x20000 + 1024 + 2 * slot));
    EXPECT_EQ(0x80010001u, snap.Rd(0x20000 + 1024 + 2 * slot + 1));
}

TEST(SubsCard, ClassesOnlyStillProgramFactorsAndEnables) {
    auto card = HashCard("010, 300");
    ASSERT_EQ(0, ProgramTables(*card));
    Snapshot snap(*card);
    HashTableReader e1 = snap.Engine1(8, 9);
    EXPECT_EQ(0u, e1.UsedEntries());
    EXPECT_EQ(1u, e1.FilterSwitch());
    EXPECT_EQ(1u, e1.ClassFlag(0x010));
    EXPECT_EQ(1u, e1.ClassFlag(0x300));
    uint32_t anyFactor = 0;
    for (int k = 0; k < 16; k++) anyFactor |= snap.Rd(0x10000 + k);
    EXPECT_NE(0u, anyFactor);
}

TEST(SubsCard, VersionGateUnreadableVersionAndBadGeometryWriteNothing) {
    // Old-layout firmware (no hash registers).
    auto card = HashCard("600000", "8", "9", 0x1005);
    card->PokeLE(0x10060, 7, 4);
    ASSERT_EQ(0, card->Run([&] {
        Service s;
        ASSERT_EQ(0, s.initRet);
        ASSERT_EQ(0, s.runRet);  // falls back to the sz_tcp_net parts
        uint64_t mark = enyx_sim_log_mark(0);
        EXPECT_EQ(-1, Config_hash_function());
        std::vector<enyx_sim_log_entry> log(64);
        long n = enyx_sim_log_read(0, mark, log.data(), log.size());
        for (long i = 0; i < n; i++) EXPECT_NE('W', log[i].op);

        // Unreadable version register.
        g_tDevInfo.subsstockid = "600000";
        ASSERT_EQ(0, enyx_sim_fail_call("enyx_hw_read", 0, 1, EIO));
        EXPECT_EQ(-1, Config_hash_function());
        enyx_sim_fail_clear();

        // A supported version but banks that would run into the second engine.
        card->PokeLE(28, kHashVersion, 4);
        g_tDevInfo.ram_width = 16;
        EXPECT_EQ(-1, Config_hash_function());
        g_tDevInfo.ram_width = 9;
        g_tDevInfo.ram_num = (uint32_t)-1;
        EXPECT_EQ(-1, Config_hash_function());

        g_tDevInfo.subsstockid.clear();
        EXPECT_EQ(-1, Config_hash_function());
    }));
    EXPECT_EQ(7u, card->PeekLE(0x10060, 4));
    std::string log = card->LogText();
    EXPECT_EQ(1u, Count(log, "You subscribe stock id, but the current FPGA version does not have a "
                             "corresponding hash register."));
    EXPECT_EQ(1u, Count(log, "Read fpga version fail!!"));
    EXPECT_EQ(2u, Count(log, "Invalid hash bank geometry"));
    EXPECT_EQ(1u, Count(log, "subs stock id is empty."));
}

TEST(SubsCard, SixteenBanksLoseTheirGeometryBits) {
    auto card = HashCard("600000,000001", "16", "9");
    ASSERT_EQ(0, ProgramTables(*card));
    EXPECT_EQ(0x09u, card->PeekLE(0x1E, 4));
    Snapshot snap(*card);
    HashTableReader e1 = snap.Engine1(16, 9);
    EXPECT_GE(e1.Find(0x600000), 0);
    EXPECT_GE(e1.Find(0x000001), 0);
}
