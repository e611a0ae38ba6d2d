// Library loader, block allocator, Base64, string classifiers, directory
// listing and clock helpers of liboskit.
#include <gtest/gtest.h>

#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <chrono>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "oskit.h"
#include "test_util.h"

using OSKIT2::CLib;

namespace {

std::string Converted(const char* name) {
    char out[256];
    return CLib::ConvertFileName(name, out, sizeof(out)) ? out : "<none>";
}

TEST(OskitLib, FileNameRuleAndLoadingAFunction) {
    EXPECT_EQ("dir/libname.so", Converted("dir\\name"));
    EXPECT_EQ("a/b/libc.so", Converted("a\\b/c"));
    EXPECT_EQ("libplain.so", Converted("plain"));
    EXPECT_EQ("<none>", Converted(std::string(300, 'x').c_str()));

    CLib lib;
    std::string dir = OSKIT_PLUG_DIR;
    ASSERT_NE(nullptr, lib.Load((dir + "\\oskit_testplug").c_str())) << lib.GetLastErrorInfo();
    EXPECT_EQ(dir + "/liboskit_testplug.so", lib.GetName());
    char real[PATH_MAX];
    ASSERT_NE(nullptr, realpath((dir + "/liboskit_testplug.so").c_str(), real));
    EXPECT_STREQ(real, lib.GetPath());
    auto fn = reinterpret_cast<int (*)()>(lib.LoadFunc("oskit_plug_answer"));
    ASSERT_NE(nullptr, fn);
    EXPECT_EQ(42, fn());
    EXPECT_EQ(nullptr, lib.LoadFunc(""));
    EXPECT_EQ(nullptr, lib.LoadFunc("no_such_function"));
    ASSERT_NE(nullptr, lib.LoadEx((dir + "/oskit_testplug").c_str()));  // releases the first
    EXPECT_EQ(0, lib.Free());
    EXPECT_EQ(1, lib.Free());
    EXPECT_TRUE(!lib);
    EXPECT_EQ(nullptr, lib.Load((dir + "/missing").c_str()));
    EXPECT_NE(std::string(), lib.GetLastErrorInfo());
}

// The full path of the loaded file is kept in a 256-character buffer: one
// that does not fit is refused, not reported cut.
TEST(OskitLib, LibraryWhosePathDoesNotFitIsRefused) {
    qtest::TempDir dir("oskit_lib");
    std::string deep = dir.path();
    while (deep.size() < 300) {
        deep += "/" + std::string(60, 'd');
        ASSERT_EQ(0, mkdir(deep.c_str(), 0755));
    }
    std::string so = std::string(OSKIT_PLUG_DIR) + "/liboskit_testplug.so";
    int rc = -1;
    qtest::RunCmd("cp '" + so + "' '" + deep + "/'", &rc);
    ASSERT_EQ(0, rc);
    ASSERT_EQ(0, symlink(deep.c_str(), (dir / "short").c_str()));
    CLib lib;
    EXPECT_EQ(nullptr, lib.Load((dir / "short/oskit_testplug").c_str()));
    EXPECT_TRUE(!lib);
    EXPECT_STREQ("", lib.GetPath());
}

// --------------------------------------------------------------- allocator

struct InfoRows {
    std::vector<std::string> columns;
    std::vector<std::vector<int64_t>> rows;
};

InfoRows Info() {
    InfoRows r;
    TinyInfoWriter w;
    w.ctx = &r;
    w.add_column = [](void* ctx, const char* name, const char*, int, int) {
        static_cast<InfoRows*>(ctx)->columns.push_back(name);
    };
    w.add_row = [](void* ctx, const int64_t v[5]) {
        static_cast<InfoRows*>(ctx)->rows.emplace_back(v, v + 5);
    };
    tiny_get_malloc_info(&w);
    return r;
}

std::vector<int64_t> RowFor(int size) {
    for (auto& row : Info().rows)
        if (row[0] == size) return row;
    return {};
}

TEST(OskitTiny, SlabsGrowPastOneSlabAndShrinkBackInUse) {
    const int size = 24;
    std::vector<void*> blocks;
    std::set<void*> distinct;
    for (int i = 0; i < 65536; ++i) {
        void* p = tiny_malloc(size);
        ASSERT_NE(nullptr, p) << i;
        blocks.push_back(p);
        distinct.insert(p);
    }
    EXPECT_EQ(65536u, distinct.size());
    auto row = RowFor(size);
    ASSERT_EQ(5u, row.size());
    EXPECT_EQ(65536, row[1]);
    EXPECT_EQ(2, row[2]);  // 65535 blocks per slab
    EXPECT_EQ(4, row[3]);
    EXPECT_EQ(2 * ((size + 8) * 65535LL + 8216) + 4 * 8 + 24, row[4]);
    for (void* p : blocks) ASSERT_EQ(0, tiny_free(p));
    EXPECT_EQ(0, RowFor(size)[1]);
}

TEST(OskitTiny, FreedBlockIsReusedAndSecondFreeIgnored) {
    EXPECT_EQ(nullptr, tiny_malloc(0));
    EXPECT_EQ(nullptr, tiny_malloc(256));
    void* p = tiny_malloc(10);
    ASSERT_NE(nullptr, p);
    memset(p, 0x5A, 10);
    EXPECT_EQ(0, tiny_free(p));
    void* q = tiny_malloc(10);
    EXPECT_EQ(p, q);
    EXPECT_EQ(0, tiny_free(q));
    EXPECT_EQ(0, tiny_free(q));  // ignored: the block is not handed out twice
    void* a = tiny_malloc(10);
    void* b = tiny_malloc(10);
    EXPECT_NE(a, b);
    EXPECT_EQ(0, RowFor(10)[1] - 2);
    tiny_free(a);
    tiny_free(b);
}

TEST(OskitTiny, ForeignPointersAreIgnoredWithoutTouchingTheirMemory) {
    std::vector<unsigned char> mine(64, 0xAB);
    EXPECT_EQ(0, tiny_free(mine.data() + 16));
    EXPECT_EQ(std::vector<unsigned char>(64, 0xAB), mine);
    char* p = static_cast<char*>(tiny_malloc(40));
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(0, tiny_free(p + 3));  // inside a slab but not a block start
    EXPECT_EQ(1, RowFor(40)[1]);
    EXPECT_EQ(0, tiny_free(p));
}

TEST(OskitTiny, PrintedTableAndReleaseByTheLastUser) {
    tiny_malloc_init();
    void* p = tiny_malloc(77);
    ASSERT_NE(nullptr, p);
    qtest::TempDir dir("oskit_tiny");
    std::string out = dir / "table.txt";
    fflush(stdout);
    int saved = dup(1);
    FILE* f = fopen(out.c_str(), "w");
    dup2(fileno(f), 1);
    tiny_print_malloc_info();
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    fclose(f);
    std::string text = qtest::ReadFile(out);
    EXPECT_EQ(0u, text.find("pool_size   malloc_nodes    malloc_units   malloc_unit_size      total_mem\n"));
    char row[128];
    snprintf(row, sizeof(row), "   %4d     %10d       %4d            %4d             %12lld   \n", 77, 1, 1, 4,
             static_cast<long long>(RowFor(77)[4]));
    EXPECT_NE(std::string::npos, text.find(row)) << text;
    EXPECT_EQ((std::vector<std::string>{"pool_size", "malloc_nodes", "malloc_units", "malloc_unit_size",
                                         "total_mem"}),
              Info().columns);
    tiny_malloc_uninit();
    EXPECT_TRUE(Info().rows.empty());
    EXPECT_EQ(0, tiny_free(p));  // its slab is gone: ignored
}

// ------------------------------------------------------------------ strings

TEST(OskitBase64, Rfc4648VectorsBothWays) {
    const char* vectors[][2] = {{"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},     {"foo", "Zm9v"},
                                {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}};
    for (auto& v : vectors) {
        char enc[16];
        int n = base64_encode(enc, reinterpret_cast<const unsigned char*>(v[0]), static_cast<int>(strlen(v[0])));
        EXPECT_EQ(v[1], std::string(enc, static_cast<size_t>(n)));
        unsigned char dec[16];
        int m = base64_decode(dec, v[1]);
        EXPECT_EQ(v[0], std::string(reinterpret_cast<char*>(dec), static_cast<size_t>(m)));
    }
    unsigned char all[256], back[256];
    for (int i = 0; i < 256; ++i) all[i] = static_cast<unsigned char>(i);
    char enc[400];
    base64_encode(enc, all, 256);
    ASSERT_EQ(256, base64_decode(back, enc));
    EXPECT_EQ(0, memcmp(all, back, 256));
}

TEST(OskitBase64, DecodeRefusesBadLengthCharactersAndPadding) {
    unsigned char out[16];
    for (const char* bad : {"Zm9vY", "Zm9*", "Zm 9", "Zg=a", "Z===", "Zg==Zm9v", "Zm9v\xc3\xa9"})
        EXPECT_EQ(-1, base64_decode(out, bad)) << bad;
}

TEST(OskitStrings, NumberClassifiers) {
    for (const char* yes : {"0", "7", "123", "007"}) EXPECT_TRUE(is_num(yes)) << yes;
    for (const char* no : {"", "00", "-1", "+1", "1a", " 1"}) EXPECT_FALSE(is_num(no)) << no;
    EXPECT_FALSE(is_num(nullptr));
    for (const char* yes : {"1.5", "1.", ".5", "1e5", "1.5E-3f", "2.0L", "3e+2F", "0.0l"})
        EXPECT_TRUE(is_float(yes)) << yes;
    for (const char* no : {"1", "e5", ".", "1e", "1.5x", "-1.5", " 1.5", "1.5ff", "", ".e1"})
        EXPECT_FALSE(is_float(no)) << no;
}

TEST(OskitStrings, StrtokSplitsInPlaceAndEndsWithNull) {
    char text[] = ",,alpha,,beta,";
    char* cur = text;
    EXPECT_STREQ("alpha", __strtok(&cur, ','));
    EXPECT_STREQ("beta", __strtok(&cur, ','));
    EXPECT_EQ(nullptr, __strtok(&cur, ','));
    EXPECT_EQ(nullptr, cur);
    char empty[] = "";
    cur = empty;
    EXPECT_EQ(nullptr, __strtok(&cur, ','));
    EXPECT_EQ(nullptr, __strtok(&cur, ','));
    char* none = nullptr;
    EXPECT_EQ(nullptr, __strtok(&none, ','));
}

// -------------------------------------------------------------- directories

TEST(OskitDir, CreateDirMakesTheLastComponentOnlyWithAFinalSlash) {
    qtest::TempDir dir("oskit_dir");
    EXPECT_EQ(0, CreateDir((dir / "a/b/c").c_str()));
    EXPECT_TRUE(IsDir((dir / "a/b").c_str()));
    EXPECT_FALSE(IsDir((dir / "a/b/c").c_str()));
    EXPECT_EQ(0, CreateDir((dir / "x/y/z/").c_str()));
    EXPECT_TRUE(IsDir((dir / "x/y/z").c_str()));
    ASSERT_EQ(0, symlink((dir / "x").c_str(), (dir / "link").c_str()));
    EXPECT_FALSE(IsDir((dir / "link").c_str()));
    char back[] = "p\\q\\r";
    ConvertDir(back);
    EXPECT_STREQ("p/q/r", back);
}

TEST(OskitDir, ReadDirMatchesThePatternAndPacksTheTime) {
    qtest::TempDir dir("oskit_dir");
    for (const char* f : {"one.log", "two.log", "three.txt", ".hidden.log"}) qtest::WriteFile(dir / f, "12345");
    ASSERT_EQ(0, mkdir((dir / "sub.log").c_str(), 0755));
    struct tm tm = {};
    tm.tm_year = 2024 - 1900;
    tm.tm_mon = 2;
    tm.tm_mday = 5;
    tm.tm_hour = 14;
    tm.tm_min = 37;
    tm.tm_sec = 22;
    tm.tm_isdst = -1;
    struct utimbuf ut = {mktime(&tm), mktime(&tm)};
    ASSERT_EQ(0, utime((dir / "one.log").c_str(), &ut));

    tag_DIR_HANDLE* h = OpenDir((dir / "*.log").c_str());
    ASSERT_NE(nullptr, h);
    std::set<std::string> names;
    tag_FileInfo fi;
    while (ReadDir(h, &fi)) {
        names.insert(fi.sFileName);
        if (std::string(fi.sFileName) == "one.log") {
            EXPECT_EQ(5, fi.iSize);
            EXPECT_FALSE(fi.bIsDir);
            EXPECT_EQ((44 << 25) + (3 << 21) + (5 << 16) + (14 << 11) + (37 << 5) + 11, fi.iTime);
        }
        if (std::string(fi.sFileName) == "sub.log") {
            EXPECT_TRUE(fi.bIsDir);
        }
    }
    CloseDir(h);
    EXPECT_EQ((std::set<std::string>{"one.log", "two.log", "sub.log"}), names);

    qtest::ScopedChdir cd(dir.path());
    h = OpenDir("sub.log");  // a directory: listed whole, relative to ./
    ASSERT_NE(nullptr, h);
    EXPECT_EQ(0, ReadDir(h, &fi));
    CloseDir(h);
    EXPECT_EQ(nullptr, OpenDir(("./" + std::string(33, '*')).c_str()));
    EXPECT_EQ(nullptr, OpenDir("missing/*"));
}

// A name without a "/" is a pattern for the current directory; ".*" listed
// "/" instead.
TEST(OskitDir, PatternWithoutADirectoryListsTheCurrentOne) {
    qtest::TempDir dir("oskit_dir");
    for (const char* f : {".hidden", "one.log", "two.txt"}) qtest::WriteFile(dir / f, "x");
    qtest::ScopedChdir cd(dir.path());
    const struct {
        const char* pattern;
        std::set<std::string> names;
    } rows[] = {
        {".*", {".", "..", ".hidden"}},
        {".hidden", {".hidden"}},
        {"*.log", {"one.log"}},
        {"./.*", {".", "..", ".hidden"}},
    };
    for (const auto& row : rows) {
        tag_DIR_HANDLE* h = OpenDir(row.pattern);
        ASSERT_NE(nullptr, h) << row.pattern;
        std::set<std::string> names;
        tag_FileInfo fi;
        while (ReadDir(h, &fi)) names.insert(fi.sFileName);
        CloseDir(h);
        EXPECT_EQ(row.names, names) << row.pattern;
    }
}

TEST(OskitClock, SleepAndTimeHelpers) {
    auto t0 = std::chrono::steady_clock::now();
    SleepX(1500);  // whole seconds only
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GE(ms, 1000);
    EXPECT_LT(ms, 1450);
    char buf[64];
    EXPECT_TRUE(std::regex_match(GetTimeStr(buf), std::regex(R"(\d\d-\d\d-\d\d \d\d:\d\d:\d\d:\d\d\d)"))) << buf;
    struct timespec ts;
    GetTimespecRealtime(1999, &ts);
    EXPECT_LT(ts.tv_nsec, 1000000000L);
    GetTimespecMonotonic(999, &ts);
    EXPECT_LT(ts.tv_nsec, 1000000000L);
    for (int i = 0; i < 1000; ++i) {
        int r = GetRandNum();
        ASSERT_TRUE(r >= 1 && r <= 100000) << r;
    }
    uint32_t us_as_ms = static_cast<uint32_t>(GetTime() / 1000);
    EXPECT_LT(GetTimeSinceStart() - us_as_ms, 1000u);  // same clock, ms, low 32 bits
}

TEST(OskitNetInterface, ListingStaysWithinTheCallersCapacity) {
    OSKIT2::tagIPAddress list[2];
    memset(list, 0x7E, sizeof(list));
    int count = 1;
    EXPECT_TRUE(OSKIT2::CNetInterface().GetIpAddress(list, count));
    EXPECT_LE(count, 1);
    EXPECT_EQ(0x7E, static_cast<unsigned char>(list[1].szIP[0]));  // untouched
    for (int i = 0; i < count; ++i) EXPECT_STRNE("127.0.0.1", list[i].szIP);
    int macs = 3;
    EXPECT_TRUE(OSKIT2::CNetInterface().GetMacAddress(nullptr, macs));
    EXPECT_EQ(0, macs);
}

}  // namespace
