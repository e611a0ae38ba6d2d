// Register catalogue: parsing and storing register parts, the walk, loading
// the data file "bin", the encoding and SM4-ECB file converters.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "log_capture.h"
#include "gt_codec.h"
#include "xmlHelper.h"
#include "test_util.h"

using qtest::LogCapture;

namespace {

std::string Doc(const std::string& cores) { return "<?xml version=\"1.0\"?>\n<Cores>\n" + cores + "</Cores>\n"; }

std::string Core(const std::string& name, const std::string& regs) {
    return "  <Core name=\"" + name + "\">\n" + regs + "  </Core>\n";
}

const char* kRegCfg = "<regValue class=\"CFG\" name=\"build_date\" regnum=\"0x400\" bitoffset=\"0\" size=\"31\" type=\"date\"/>\n";
const char* kRegFile =
    "<regValue class=\"CFGFILE\" section=\"link\" name=\"local_ip\" regnum=\"512\" bitoffset=\"0\" size=\"32\" "
    "type=\"ipv4\" defval=\"0\"/>\n";

std::vector<std::string> Names(CXmlHelper& x, CFG_CLASS_e cls) {
    std::vector<std::string> out;
    CfgDesIter it;
    for (CfgDes_t* d = x.ScanStart(cls, it); d; d = x.ScanNext(it)) out.push_back(d->name);
    return out;
}

size_t Total(CXmlHelper& x) {
    return x.m_listCfg.size() + x.m_listCfgFile.size() + x.m_listMonitor.size() + x.m_listDebug.size() +
           x.m_listTrafic.size();
}

// ---------------------------------------------------------------- parsing

TEST(XmlParse, DescriptorsLandInTheirClassListsInDocumentOrder) {
    std::string regs =
        "<regValue class=\"MON\" name=\"m1\" regnum=\"0x600\" bitoffset=\"0\" size=\"32\" type=\"int\"/>\n"
        "<note>elements other than regValue are ignored</note>\n" + std::string(kRegFile) +
        "<regValue class=\"CFGFILE\" section=\"session\" name=\"enable\" regnum=\"0x240\" bitoffset=\"4\" size=\"3\" "
        "type=\"int\" defval=\"0xFFFFFFFFFFFFFFFF\"/>\n"
        "<regValue class=\"TRAFIC\" name=\"t1\" regnum=\"16\" bitoffset=\"0\" size=\"64\" type=\"int\"/>\n"
        "<regValue class=\"MON\" name=\"m2\" regnum=\"0x608\" bitoffset=\"0\" size=\"32\" type=\"int\"/>\n"
        "<regValue class=\"DEBUG\" name=\"d1\" regnum=\"0x700\" bitoffset=\"8\" size=\"8\" type=\"int\"/>\n" +
        kRegCfg;
    CXmlHelper x;
    ASSERT_EQ(0, x.Parse(Doc(Core("other", kRegCfg) + Core("p", regs)).c_str(), "p"));
    EXPECT_EQ((std::vector<std::string>{"build_date"}), Names(x, CFGCLASS_CFG));
    EXPECT_EQ((std::vector<std::string>{"local_ip", "enable"}), Names(x, CFGCLASS_CFGFILE));
    EXPECT_EQ((std::vector<std::string>{"m1", "m2"}), Names(x, CFGCLASS_MON));
    EXPECT_EQ((std::vector<std::string>{"t1"}), Names(x, CFGCLASS_TRAFIC));
    EXPECT_EQ((std::vector<std::string>{"d1"}), Names(x, CFGCLASS_DEBUG));
    EXPECT_EQ((std::vector<std::string>{"build_date"}), Names(x, static_cast<CFG_CLASS_e>(99)))
        << "an unknown class walks the CFG list";

    const CfgDes_t& ip = x.m_listCfgFile.front();
    EXPECT_EQ("link", ip.section);
    EXPECT_EQ(512u, ip.tRegDes.byteOffset);
    EXPECT_EQ(32, ip.tRegDes.bitWidth);
    EXPECT_EQ(CFGDES_TYPE_ipv4, ip.eType);
    const CfgDes_t& en = x.m_listCfgFile.back();
    EXPECT_EQ(0x240u, en.tRegDes.byteOffset);
    EXPECT_EQ(4, en.tRegDes.bitOffset);
    EXPECT_EQ(3, en.tRegDes.bitWidth);
    EXPECT_EQ(~0ull, en.nDefVal);
    const CfgDes_t& bd = x.m_listCfg.front();
    EXPECT_EQ(CFGDES_TYPE_date, bd.eType);
    EXPECT_TRUE(bd.section.empty());
    EXPECT_EQ(0u, bd.nDefVal);
}

TEST(XmlParse, EveryTypeTextMapsToItsValue) {
    const char* types[] = {"int", "mac", "ipv4", "date", "macDst", "ipDst", "mutiInt", "time", "time_yyyymmdd"};
    std::string regs;
    for (int i = 0; i < 9; i++)
        regs += std::string("<regValue class=\"CFG\" name=\"r") + std::to_string(i) + "\" regnum=\"" +
                std::to_string(8 * i) + "\" bitoffset=\"0\" size=\"32\" type=\"" + types[i] + "\"/>\n";
    CXmlHelper x;
    ASSERT_EQ(0, x.Parse(Doc(Core("p", regs)).c_str(), "p"));
    int i = 0;
    for (const CfgDes_t& d : x.m_listCfg) EXPECT_EQ(i++, static_cast<int>(d.eType)) << d.name;
    EXPECT_EQ(9, i);
}

TEST(XmlParse, WalksAreIndependentOfEachOther) {
    std::string regs;
    for (int i = 0; i < 3; i++)
        regs += "<regValue class=\"MON\" name=\"m" + std::to_string(i) + "\" regnum=\"" + std::to_string(i * 8) +
                "\" bitoffset=\"0\" size=\"32\" type=\"int\"/>\n";
    regs += kRegCfg;
    CXmlHelper x;
    ASSERT_EQ(0, x.Parse(Doc(Core("p", regs)).c_str(), "p"));
    CfgDesIter a, b;
    CfgDes_t* da = x.ScanStart(CFGCLASS_MON, a);
    CfgDes_t* db = x.ScanStart(CFGCLASS_CFG, b);
    ASSERT_TRUE(da && db);
    EXPECT_EQ(nullptr, x.ScanNext(b)) << "the CFG walk ends after its one element";
    EXPECT_EQ("m1", x.ScanNext(a)->name) << "the other walk is not disturbed";
    EXPECT_EQ("m2", x.ScanNext(a)->name);
    EXPECT_EQ(nullptr, x.ScanNext(a));
    EXPECT_EQ(nullptr, x.ScanNext(a)) << "stays at the end";
    CfgDesIter e;
    EXPECT_EQ(nullptr, x.ScanStart(CFGCLASS_DEBUG, e));
    EXPECT_EQ(nullptr, x.ScanNext(e));
    CfgDesIter never;
    EXPECT_EQ(nullptr, x.ScanNext(never));
}

TEST(XmlParse, CfgWithoutSectionLoadsButCfgfileNeedsDefvalThenSection) {
    const char* bare = "name=\"x\" regnum=\"8\" bitoffset=\"0\" size=\"8\" type=\"int\"";
    {
        CXmlHelper x;
        ASSERT_EQ(0, x.Parse(Doc(Core("p", std::string("<regValue class=\"CFG\" ") + bare + "/>")).c_str(), "p"));
        EXPECT_EQ(1u, x.m_listCfg.size());
    }
    struct Case {
        std::string extra;
        const char* missing;
    } cases[] = {{"", "defval"}, {" section=\"s\"", "defval"}, {" defval=\"1\"", "section"},
                 {" defval=\"many\" section=\"s\"", "defval"}};
    for (const Case& c : cases) {
        CXmlHelper x;
        LogCapture cap;
        EXPECT_EQ(-1, x.Parse(Doc(Core("p", std::string("<regValue class=\"CFGFILE\" ") + bare + c.extra + "/>"))
                                  .c_str(),
                              "p"));
        EXPECT_LOGGED(cap, "ERROR", std::string("Get reg info error, [") + c.missing + "] attribute is missing");
        EXPECT_LOGGED(cap, "ERROR", "Get reg info error, class [CFGFILE]");
        EXPECT_LOGGED(cap, "ERROR", "Load register desc fail, please check your register xml!");
    }
}

TEST(XmlParse, AttributesAreCheckedInOrderAndMinusOneCountsAsMissing) {
    struct Case {
        const char* attrs;
        std::string msg;
    } cases[] = {
        {"regnum=\"1\" bitoffset=\"0\" size=\"8\" type=\"int\"", "Get reg info error, [name] attribute is missing"},
        {"name=\"a\" bitoffset=\"0\" size=\"8\"", "Get reg info error, [regnum] attribute is missing"},
        {"name=\"a\" regnum=\"-1\" bitoffset=\"0\" size=\"8\" type=\"int\"",
         "Get reg info error, [regnum] attribute is missing"},
        {"name=\"a\" regnum=\"x12\" bitoffset=\"0\" size=\"8\" type=\"int\"",
         "Get reg info error, [regnum] attribute is missing"},
        {"name=\"a\" regnum=\"1\" size=\"8\" type=\"int\"", "Get reg info error, [bitoffset] attribute is missing"},
        {"name=\"a\" regnum=\"1\" bitoffset=\"-1\" type=\"int\"",
         "Get reg info error, [bitoffset] attribute is missing"},
        {"name=\"a\" regnum=\"1\" bitoffset=\"0\" type=\"int\"", "Get reg info error, [size] attribute is missing"},
        {"name=\"a\" regnum=\"1\" bitoffset=\"0\" size=\"8\"", "Get reg info error, [type] attribute is missing"},
        {"name=\"a\" regnum=\"1\" bitoffset=\"0\" size=\"8\" type=\"INT\"", "Get reg info error, [INT] error type"},
        {"name=\"a\" regnum=\"1\" bitoffset=\"0\" size=\"8\" type=\"int \"", "Get reg info error, [int ] error type"},
        // A field must lie inside one 64-bit register.
        {"name=\"a\" regnum=\"-8\" bitoffset=\"0\" size=\"8\" type=\"int\"",
         "Get reg info error, [regnum] value out of range: -8"},
        {"name=\"a\" regnum=\"1\" bitoffset=\"64\" size=\"1\" type=\"int\"",
         "Get reg info error, [bitoffset] value out of range: 64"},
        {"name=\"a\" regnum=\"1\" bitoffset=\"0\" size=\"0\" type=\"int\"",
         "Get reg info error, [size] value out of range: 0"},
        {"name=\"a\" regnum=\"1\" bitoffset=\"0\" size=\"300\" type=\"int\"",
         "Get reg info error, [size] value out of range: 300"},
        {"name=\"a\" regnum=\"1\" bitoffset=\"60\" size=\"8\" type=\"int\"",
         "Get reg info error, [size] value out of range: 8"},
    };
    for (const Case& c : cases) {
        CXmlHelper x;
        LogCapture cap;
        std::string regs = std::string(kRegCfg) + "<regValue class=\"MON\" " + c.attrs + "/>\n" + kRegFile;
        EXPECT_EQ(-1, x.Parse(Doc(Core("p", regs)).c_str(), "p")) << c.attrs;
        EXPECT_LOGGED(cap, "ERROR", c.msg);
        EXPECT_LOGGED(cap, "ERROR", "Get reg info error, class [MON]");
        EXPECT_EQ(1u, x.m_listCfg.size()) << "descriptors stored before the bad one stay";
        EXPECT_EQ(0u, x.m_listMonitor.size());
        EXPECT_EQ(0u, x.m_listCfgFile.size()) << "loading stops at the bad one";
    }
}

TEST(XmlParse, UnknownClassIsSkippedAndMissingClassStops) {
    {
        CXmlHelper x;
        LogCapture cap;
        std::string regs = std::string(kRegCfg) +
                           "<regValue class=\"OTHER\" name=\"o\" regnum=\"1\" bitoffset=\"0\" size=\"8\" type=\"int\"/>\n" +
                           kRegFile;
        EXPECT_EQ(0, x.Parse(Doc(Core("p", regs)).c_str(), "p"));
        EXPECT_LOGGED(cap, "ERROR", "Get error class: OTHER");
        EXPECT_EQ(2u, Total(x));
    }
    CXmlHelper x;
    LogCapture cap;
    std::string regs = std::string(kRegCfg) + "<regValue name=\"o\" regnum=\"1\" bitoffset=\"0\" size=\"8\" type=\"int\"/>\n";
    EXPECT_EQ(-1, x.Parse(Doc(Core("p", regs)).c_str(), "p"));
    EXPECT_LOGGED(cap, "ERROR", "Get reg info error, class attribute is missing");
    EXPECT_LOGGED(cap, "ERROR", "Load register desc fail, please check your register xml!");
}

TEST(XmlParse, PartLookupIsExactFirstMatchAndAMissOrNoCoresEmptiesTheLists) {
    std::string doc = Doc("  <Core>" + std::string(kRegCfg) + "</Core>\n" + Core("a", kRegCfg) +
                          Core("a", std::string(kRegCfg) + kRegFile) + Core("A_b", kRegFile));
    CXmlHelper x;
    ASSERT_EQ(0, x.Parse(doc.c_str(), "a"));
    EXPECT_EQ(1u, Total(x)) << "the first part of that name";
    ASSERT_EQ(0, x.Parse(doc.c_str(), "A_b"));
    EXPECT_EQ(1u, x.m_listCfgFile.size());
    EXPECT_EQ(0u, x.m_listCfg.size()) << "lists are emptied before loading";
    {
        LogCapture cap;
        EXPECT_EQ(-1, x.Parse(doc.c_str(), "A"));
        EXPECT_EQ(std::string::npos, cap.Text().find("[ERROR")) << "a missing part has no message of its own";
    }
    EXPECT_EQ(0u, Total(x));
    EXPECT_EQ(-1, x.Parse(doc.c_str(), ""));

    ASSERT_EQ(0, x.Parse(doc.c_str(), "a"));
    LogCapture cap;
    EXPECT_EQ(-1, x.Parse("<?xml version=\"1.0\"?><Registers><Core name=\"a\"/></Registers>", "a"));
    EXPECT_LOGGED(cap, "ERROR", "XML error: no \"Cores\" element, coreName:a,\n");
    EXPECT_EQ(0u, Total(x));
}

TEST(XmlParse, MalformedXmlIsReportedAndLeavesTheListsAlone) {
    CXmlHelper x;
    ASSERT_EQ(0, x.Parse(Doc(Core("a", std::string(kRegCfg) + kRegFile)).c_str(), "a"));
    const char* bad[] = {"<Cores><Core name=\"a\"></Cores>", "", "not xml at all", "<Cores><Core name=\"a></Core></Cores>"};
    for (const char* text : bad) {
        LogCapture cap;
        EXPECT_EQ(-1, x.Parse(text, "a")) << text;
        EXPECT_NE(std::string::npos, cap.Text().find("][fpga]XML error: ")) << cap.Text();
        EXPECT_NE(std::string::npos, cap.Text().find(", coreName:a,\n")) << cap.Text();
        EXPECT_EQ(2u, Total(x)) << text;
    }
    EXPECT_EQ(-1, x.Parse(nullptr, "a"));
    EXPECT_EQ(-1, x.ScanElement(nullptr));
}

// ---------------------------------------------------------------- encoding

TEST(Codec, AlphabetIsOurOwnPermutation) {
    std::string std64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string ours = gtcodec::kAlphabet;
    ASSERT_EQ(64u, ours.size());
    EXPECT_EQ(std::set<char>(std64.begin(), std64.end()), std::set<char>(ours.begin(), ours.end()));
    EXPECT_NE(std64, ours);
    // The encoded form is not readable as standard Base64 of the same bytes.
    const uint8_t hello[] = {'<', 'C', 'o', 'r', 'e', 's', '>'};
    EXPECT_NE("PENvcmVzPg==", gtcodec::Encode(hello, sizeof(hello)));
}

TEST(Codec, AnyBytesRoundTripAtEveryLengthAndPadding) {
    std::mt19937 rng(7);
    for (size_t len = 0; len < 70; len++) {
        std::vector<uint8_t> data(len);
        for (auto& b : data) b = static_cast<uint8_t>(rng());
        std::string text = gtcodec::Encode(data.data(), data.size());
        EXPECT_EQ((len + 2) / 3 * 4, text.size());
        size_t pads = static_cast<size_t>(std::count(text.begin(), text.end(), '='));
        EXPECT_EQ(len % 3 == 1 ? 2u : len % 3 == 2 ? 1u : 0u, pads) << len;
        std::vector<uint8_t> back;
        std::string err;
        ASSERT_TRUE(gtcodec::Decode(text.data(), text.size(), back, err)) << err;
        EXPECT_EQ(data, back) << len;
    }
}

TEST(Codec, BadTextIsRefusedWithItsReason) {
    const uint8_t data[] = {1, 2, 3, 4, 5, 6, 7, 8};
    std::string good = gtcodec::Encode(data, sizeof(data));  // 12 characters, one '='
    struct Case {
        std::string text;
        const char* reason;
    } cases[] = {
        {good.substr(0, 5) + "-" + good.substr(6), "character 0x2d at offset 5 is outside the encoding alphabet"},
        {good.substr(0, 4) + "\n" + good.substr(4), "character 0x0a at offset 4 is outside the encoding alphabet"},
        {good.substr(0, 11), "encoded text is truncated (11 characters, not a multiple of 4)"},
        {good.substr(0, 9), "encoded text is truncated (9 characters, not a multiple of 4)"},
        {good + "=", "encoded text is truncated (13 characters, not a multiple of 4)"},
        {good + "AAAA", "unexpected character 0x"},
        {good.substr(0, 8) + "==" + "==", "unexpected character 0x3d at offset 10 after the padding"},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> out;
        std::string err;
        EXPECT_FALSE(gtcodec::Decode(c.text.data(), c.text.size(), out, err)) << c.text;
        EXPECT_EQ(0u, err.find(c.reason)) << c.text << " -> " << err;
    }
    std::vector<uint8_t> out;
    std::string err;
    std::string trailing = good + "\r\n";
    EXPECT_TRUE(gtcodec::Decode(trailing.data(), trailing.size(), out, err)) << "a final line end is harmless";
    EXPECT_EQ(std::vector<uint8_t>(data, data + 8), out);
}

class FileTest : public ::testing::Test {
protected:
    std::string P(const std::string& n) { return m_dir / n; }
    qtest::TempDir m_dir{"cfgfile"};
};

TEST_F(FileTest, FourByteFileEncodesToEightCharactersAndBack) {
    qtest::WriteFile(P("in"), std::string("\x00\xff\x10Q", 4));
    {
        LogCapture cap;
        ASSERT_EQ(0, CXmlHelper::EnDecodeFile(P("in").c_str(), P("enc").c_str(), true));
        EXPECT_LOGGED(cap, "INFO", "EnDecode successful. en(1) or de(0):1");
    }
    std::string enc = qtest::ReadFile(P("enc"));
    EXPECT_EQ(8u, enc.size());
    EXPECT_EQ("==", enc.substr(6));
    LogCapture cap;
    ASSERT_EQ(0, CXmlHelper::EnDecodeFile(P("enc").c_str(), P("dec").c_str(), false));
    EXPECT_LOGGED(cap, "INFO", "EnDecode successful. en(1) or de(0):0");
    EXPECT_EQ(std::string("\x00\xff\x10Q", 4), qtest::ReadFile(P("dec")));
}

TEST_F(FileTest, LargeBinaryFileRoundTripsByteForByte) {
    std::mt19937 rng(11);
    std::string data(300001, '\0');
    for (auto& c : data) c = static_cast<char>(rng());
    qtest::WriteFile(P("in"), data);
    ASSERT_EQ(0, CXmlHelper::EnDecodeFile(P("in").c_str(), P("enc").c_str(), true));
    std::string enc = qtest::ReadFile(P("enc"));
    EXPECT_EQ(enc.find_first_not_of(std::string(gtcodec::kAlphabet) + "="), std::string::npos);
    ASSERT_EQ(0, CXmlHelper::EnDecodeFile(P("enc").c_str(), P("dec").c_str(), false));
    EXPECT_TRUE(qtest::ReadFile(P("dec")) == data);
    struct stat st;
    ASSERT_EQ(0, stat(P("enc").c_str(), &st));
    EXPECT_EQ(0666 & ~[] { mode_t m = umask(0); umask(m); return m; }(), st.st_mode & 0777);
}

TEST_F(FileTest, FileConverterFailuresAreReported) {
    qtest::WriteFile(P("empty"), "");
    qtest::WriteFile(P("in"), "data");
    qtest::WriteFile(P("badenc"), "Qm4H@@@@");
    const struct {
        std::string in, out;
        bool encode;
        std::string error;
    } rows[] = {
        {P("none"), P("out"), true, "open " + P("none") + " failed"},
        {m_dir.path(), P("out"), true, "open " + m_dir.path() + " failed"},
        {P("empty"), P("out"), true, "cfg file size error!"},
        {P("empty"), P("out"), false, "cfg file size error!"},
        {P("in"), P("no/such/dir/out"), true, "Open " + P("no/such/dir/out") + " failed"},
        {P("badenc"), P("out"), false,
         "decode " + P("badenc") + " failed: character 0x40 at offset 4 is outside the encoding alphabet"},
    };
    for (const auto& r : rows) {
        LogCapture cap;
        EXPECT_EQ(-1, CXmlHelper::EnDecodeFile(r.in.c_str(), r.out.c_str(), r.encode)) << r.error;
        EXPECT_LOGGED(cap, "ERROR", r.error);
    }
    EXPECT_NE(0, access(P("out").c_str(), F_OK)) << "no output for a failed conversion";
}

// ---------------------------------------------------------------- SM4

const uint8_t kStdKey[16] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef,
                             0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54, 0x32, 0x10};
const uint8_t kStdCipher[16] = {0x68, 0x1e, 0xdf, 0x34, 0xd2, 0x06, 0x96, 0x5e,
                                0x86, 0xb3, 0xe9, 0x4f, 0x53, 0x6e, 0x42, 0x46};

TEST(Sm4, PublishedExampleBothWaysAndInPlace) {
    uint8_t out[16];
    ASSERT_EQ(0, CXmlHelper::Encrypt(kStdKey, kStdKey, out, 16));
    EXPECT_EQ(0, memcmp(out, kStdCipher, 16));
    uint8_t back[16];
    ASSERT_EQ(0, CXmlHelper::Decrypt(kStdKey, out, back, 16));
    EXPECT_EQ(0, memcmp(back, kStdKey, 16));
    // ECB: each block on its own, so two equal blocks give equal ciphertext.
    uint8_t two[32];
    memcpy(two, kStdKey, 16);
    memcpy(two + 16, kStdKey, 16);
    ASSERT_EQ(0, CXmlHelper::Encrypt(kStdKey, two, two, 32));
    EXPECT_EQ(0, memcmp(two, kStdCipher, 16));
    EXPECT_EQ(0, memcmp(two + 16, kStdCipher, 16));
}

TEST(Sm4, RefusesWithoutKeyAndPartialBlocks) {
    uint8_t buf[32] = {};
    {
        LogCapture cap;
        EXPECT_EQ(-1, CXmlHelper::Encrypt(nullptr, buf, buf, 16));
        EXPECT_LOGGED(cap, "ERROR", "SM4 encryption refused: no SM4 key");
    }
    LogCapture cap;
    EXPECT_EQ(-1, CXmlHelper::Decrypt(kStdKey, buf, buf, 17));
    EXPECT_LOGGED(cap, "ERROR", "SM4 decryption refused: length 17 is not a multiple of the 16-byte SM4 block");
    EXPECT_EQ(0, CXmlHelper::Encrypt(kStdKey, buf, buf, 0));
}

TEST_F(FileTest, EncryptedFileRoundTripsAndRefusesWithoutKeyOrWholeBlocks) {
    std::string data(32, '\0');
    for (int i = 0; i < 32; i++) data[i] = static_cast<char>(i * 7);
    qtest::WriteFile(P("plain"), data);
    {
        LogCapture cap;
        ASSERT_EQ(0, CXmlHelper::EnDecryptFile(kStdKey, P("plain").c_str(), P("enc").c_str(), true));
        EXPECT_LOGGED(cap, "INFO", "EnDecrypt successful. en(1) or de(0):1");
    }
    std::string enc = qtest::ReadFile(P("enc"));
    EXPECT_EQ(32u, enc.size());
    EXPECT_NE(data, enc);
    {
        LogCapture cap;
        ASSERT_EQ(0, CXmlHelper::EnDecryptFile(kStdKey, P("enc").c_str(), P("dec").c_str(), false));
        EXPECT_LOGGED(cap, "INFO", "EnDecrypt successful. en(1) or de(0):0");
    }
    EXPECT_EQ(data, qtest::ReadFile(P("dec")));

    {
        LogCapture cap;
        EXPECT_EQ(-1, CXmlHelper::EnDecryptFile(nullptr, P("plain").c_str(), P("nokey").c_str(), true));
        EXPECT_NE(std::string::npos, cap.Text().find("][fpga]no SM4 key set: put 32 hexadecimal digits in "));
        EXPECT_NE(0, access(P("nokey").c_str(), F_OK));
    }
    qtest::WriteFile(P("odd"), std::string(33, 'x'));
    {
        LogCapture cap;
        EXPECT_EQ(-1, CXmlHelper::EnDecryptFile(kStdKey, P("odd").c_str(), P("oddenc").c_str(), true));
        EXPECT_LOGGED(cap, "ERROR", P("odd") +
                                     " is 33 bytes, not a multiple of 16: SM4-ECB works on whole 16-byte blocks "
                                     "and adds no padding");
        EXPECT_NE(0, access(P("oddenc").c_str(), F_OK));
    }
    qtest::WriteFile(P("empty"), "");
    LogCapture cap;
    EXPECT_EQ(-1, CXmlHelper::EnDecryptFile(kStdKey, P("empty").c_str(), P("x").c_str(), false));
    EXPECT_LOGGED(cap, "ERROR", "cfg file size error!");
}

TEST_F(FileTest, OpensslCommandLineReadsOursAndWeReadItsOutput) {
    const std::string hex = "0123456789abcdeffedcba9876543210";
    std::mt19937 rng(3);
    std::string data(4096, '\0');
    for (auto& c : data) c = static_cast<char>(rng());
    qtest::WriteFile(P("plain"), data);
    ASSERT_EQ(0, CXmlHelper::EnDecryptFile(kStdKey, P("plain").c_str(), P("ours.enc").c_str(), true));
    int status = -1;
    qtest::RunCmd("openssl enc -d -sm4-ecb -nopad -K " + hex + " -in " + P("ours.enc") + " -out " +
                      P("theirs.dec") + " 2>&1",
                  &status);
    ASSERT_EQ(0, status);
    EXPECT_TRUE(qtest::ReadFile(P("theirs.dec")) == data);

    qtest::RunCmd("openssl enc -sm4-ecb -nopad -K " + hex + " -in " + P("plain") + " -out " + P("theirs.enc") +
                      " 2>&1",
                  &status);
    ASSERT_EQ(0, status);
    EXPECT_TRUE(qtest::ReadFile(P("theirs.enc")) == qtest::ReadFile(P("ours.enc")));
    ASSERT_EQ(0, CXmlHelper::EnDecryptFile(kStdKey, P("theirs.enc").c_str(), P("ours.dec").c_str(), false));
    EXPECT_TRUE(qtest::ReadFile(P("ours.dec")) == data);
}

// ---------------------------------------------------------------- the bin file

class BinTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_oldDir = g_sXmlDirect;
        m_oldKey = g_lpKey;
        g_sXmlDirect = m_dir.path();
        g_lpKey = nullptr;
    }
    void TearDown() override {
        g_sXmlDirect = m_oldDir;
        g_lpKey = m_oldKey;
    }
    std::string Bin() { return m_dir / "bin"; }
    void WriteEncoded(const std::string& xml) {
        qtest::WriteFile(Bin(), gtcodec::Encode(reinterpret_cast<const uint8_t*>(xml.data()), xml.size()));
    }
    // The encrypted form: the document, blanks up to whole blocks with at
    // least 24 after the text, SM4-ECB.
    void WriteEncrypted(const std::string& xml, const uint8_t* key) {
        std::string padded = xml + std::string(24, ' ');
        padded.append((16 - padded.size() % 16) % 16, ' ');
        std::string enc(padded.size(), '\0');
        ASSERT_EQ(0, CXmlHelper::Encrypt(key, reinterpret_cast<const uint8_t*>(padded.data()),
                                         reinterpret_cast<uint8_t*>(&enc[0]), padded.size()));
        qtest::WriteFile(Bin(), enc);
    }
    std::string Unable(const std::string& part) {
        return "Unable to Read register part:\"" + part + "\" from cfg.xml !";
    }

    qtest::TempDir m_dir{"cfgbin"};
    std::string m_oldDir;
    uint8_t* m_oldKey = nullptr;
    std::string m_doc = Doc(Core("sz_tcp_net", std::string(kRegCfg) + kRegFile));
};

TEST_F(BinTest, EncodedBinLoadsThePart) {
    WriteEncoded(m_doc);
    CXmlHelper x;
    LogCapture cap;
    ASSERT_EQ(0, x.LoadFromFile("sz_tcp_net", nullptr));
    EXPECT_LOGGED(cap, "INFO", "Successly Read register part:\"sz_tcp_net\" from cfg.xml !");
    EXPECT_EQ(2u, Total(x));
    EXPECT_EQ(-1, x.LoadFromFile("sz_tcp_net_x", nullptr));
    EXPECT_EQ(0u, Total(x));
}

TEST_F(BinTest, MissingEmptyOrUnreadableBin) {
    CXmlHelper x;
    {
        LogCapture cap;
        EXPECT_EQ(-1, x.LoadFromFile("p", nullptr));
        EXPECT_LOGGED(cap, "ERROR", "bin file missing. Please cotact the technical support");
    }
    mkdir(Bin().c_str(), 0755);
    {
        LogCapture cap;
        EXPECT_EQ(-1, x.LoadFromFile("p", nullptr));
        EXPECT_LOGGED(cap, "ERROR", "bin file missing. Please cotact the technical support");
    }
    rmdir(Bin().c_str());
    qtest::WriteFile(Bin(), "");
    LogCapture cap;
    EXPECT_EQ(-1, x.LoadFromFile("p", nullptr));
    EXPECT_LOGGED(cap, "ERROR", "cfg file size error!");
    EXPECT_LOGGED(cap, "INFO", Unable("p"));
}

TEST_F(BinTest, CorruptEncodedBinIsRefused) {
    std::string enc = gtcodec::Encode(reinterpret_cast<const uint8_t*>(m_doc.data()), m_doc.size());
    struct Case {
        std::string text;
        const char* reason;
    } cases[] = {
        {enc.substr(0, enc.size() - 1), "encoded text is truncated"},
        {"!" + enc.substr(1), "character 0x21 at offset 0 is outside the encoding alphabet"},
        {m_doc, "character 0x3c at offset 0 is outside the encoding alphabet"},  // plain XML
    };
    for (const Case& c : cases) {
        qtest::WriteFile(Bin(), c.text);
        CXmlHelper x;
        LogCapture cap;
        EXPECT_EQ(-1, x.LoadFromFile("sz_tcp_net", nullptr));
        EXPECT_NE(std::string::npos, cap.Text().find("][fpga]decode " + Bin() + " failed: " + c.reason))
            << cap.Text();
        EXPECT_LOGGED(cap, "INFO", Unable("sz_tcp_net"));
    }
    // Truncated at a group boundary: decodes, but the XML is cut.
    qtest::WriteFile(Bin(), enc.substr(0, enc.size() / 2 / 4 * 4));
    CXmlHelper x;
    LogCapture cap;
    EXPECT_EQ(-1, x.LoadFromFile("sz_tcp_net", nullptr));
    EXPECT_NE(std::string::npos, cap.Text().find("][fpga]XML error: "));
    EXPECT_LOGGED(cap, "INFO", Unable("sz_tcp_net"));
}

TEST_F(BinTest, EncodedDocumentWithoutCoresOrNotXml) {
    WriteEncoded("<?xml version=\"1.0\"?><Other/>");
    CXmlHelper x;
    {
        LogCapture cap;
        EXPECT_EQ(-1, x.LoadFromFile("p", nullptr));
        EXPECT_LOGGED(cap, "ERROR", "XML error: no \"Cores\" element, coreName:p,\n");
    }
    std::string bytes(200, '\0');
    for (size_t i = 0; i < bytes.size(); i++) bytes[i] = static_cast<char>(i * 37);
    WriteEncoded(bytes);
    LogCapture cap;
    EXPECT_EQ(-1, x.LoadFromFile("p", nullptr));
    EXPECT_LOGGED(cap, "INFO", Unable("p"));
}

TEST_F(BinTest, EncryptedBinLoadsWithItsKeyOnly) {
    WriteEncrypted(m_doc, kStdKey);
    CXmlHelper x;
    ASSERT_EQ(0, x.LoadFromFile("sz_tcp_net", kStdKey));
    EXPECT_EQ(2u, Total(x));

    uint8_t wrong[16];
    memcpy(wrong, kStdKey, 16);
    wrong[0] ^= 1;
    {
        LogCapture cap;
        EXPECT_EQ(-1, x.LoadFromFile("sz_tcp_net", wrong));
        EXPECT_LOGGED(cap, "INFO", Unable("sz_tcp_net"));
    }
    {
        LogCapture cap;
        EXPECT_EQ(-1, x.LoadFromFile("sz_tcp_net", nullptr)) << "an encrypted bin is no encoded text";
        EXPECT_NE(std::string::npos, cap.Text().find("failed: character 0x"));
    }
    for (size_t size : {size_t(33), size_t(16)}) {
        qtest::WriteFile(Bin(), std::string(size, 'x'));
        LogCapture cap;
        EXPECT_EQ(-1, x.LoadFromFile("sz_tcp_net", kStdKey)) << size;
        EXPECT_LOGGED(cap, "ERROR", "encrypted bin file " + Bin() + " is " + std::to_string(size) +
                                     " bytes: needs whole 16-byte blocks and more than 24 bytes");
    }
}

TEST_F(BinTest, KeyComesFromTheKeyFileOfTheConfigurationDirectory) {
    EXPECT_EQ(nullptr, CXmlHelper::GetKey()) << "no key file: no key";
    EXPECT_EQ(nullptr, GetKey());
    std::string keyFile = m_dir / "quay.key";
    qtest::WriteFile(keyFile, "0123456789abcdeffedcba987654321\n");  // 31 digits
    {
        LogCapture cap;
        EXPECT_EQ(nullptr, CXmlHelper::GetKey());
        EXPECT_LOGGED(cap, "ERROR", "key file " + keyFile + " unusable: it must hold 32 hexadecimal digits");
    }
    qtest::WriteFile(keyFile, "  0123456789ABCDEFfedcba9876543210\n");
    const uint8_t* key = CXmlHelper::GetKey();
    ASSERT_NE(nullptr, key);
    EXPECT_EQ(0, memcmp(key, kStdKey, 16));
    EXPECT_EQ(key, g_lpKey);
    EXPECT_EQ(key, GetKey());

    // With the key in place the bin is read in its encrypted form, and the
    // file converters use it.
    WriteEncrypted(m_doc, key);
    CXmlHelper x;
    EXPECT_EQ(0, x.LoadFromFile("sz_tcp_net", GetKey()));
}

}  // namespace
