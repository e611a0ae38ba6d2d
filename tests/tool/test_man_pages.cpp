// The manual pages: each formats without a warning, and each names what its
// program's own usage offers (commands of quay_tool, options of quay and of
// the producer), so a page cannot fall behind its program unnoticed.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>

#include "test_util.h"

namespace {

std::string Page(const std::string& name) { return std::string(QUAY_SOURCE_DIR) + "/packaging/man/" + name + ".8"; }

// The page as man shows it, hyphenation and justification off so that words
// stay whole.
std::string Rendered(const std::string& name) {
    return qtest::RunCmd("MANWIDTH=200 MAN_KEEP_FORMATTING= LC_ALL=C.UTF-8 man -l '" + Page(name) +
                         "' 2>/dev/null | col -b");
}

// The distinct matches of the first group of re in text.
std::set<std::string> Matches(const std::string& text, const std::string& re) {
    std::set<std::string> out;
    const std::regex r(re);
    for (auto it = std::sregex_iterator(text.begin(), text.end(), r); it != std::sregex_iterator(); ++it)
        out.insert((*it)[1]);
    return out;
}

const char* const kPages[] = {"quay", "quay_tool", "QxDeliverDmaServer", "quay-vcard", "enyx-sim-ctl"};

}  // namespace

TEST(ManPages, FormatWithoutWarnings) {
    for (const char* p : kPages) {
        int st = -1;
        std::string warn = qtest::RunCmd("LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l '" + Page(p) + "' 2>&1 >/dev/null",
                                         &st);
        EXPECT_EQ(0, st) << p;
        EXPECT_EQ("", warn) << p;
        warn = qtest::RunCmd("groff -ww -z -man '" + Page(p) + "' 2>&1", &st);
        EXPECT_EQ(0, st) << p;
        EXPECT_EQ("", warn) << p;
    }
}

TEST(ManPages, NameWhatEachProgramsUsageOffers) {
    qtest::TempDir d("quayman");
    const std::string bin = std::string(QUAY_BINARY_DIR);
    // quay_tool: every command word of its usage and of its debug usage.
    const std::string toolUsage =
        qtest::RunCmd("cd '" + d.path() + "' && '" + bin + "/bin/quay_tool' help; cd '" + d.path() + "' && '" + bin +
                      "/bin/quay_tool' decode");
    std::set<std::string> words = Matches(toolUsage, "\\./quay_tool (\\w+)");
    words.erase("or");  // "./quay_tool or ./quay_tool help"
    for (const char* w : {"encode", "encrypt", "decrypt"}) words.insert(w);  // the file commands besides decode
    ASSERT_GE(words.size(), 12u) << toolUsage;
    const std::string tool = Rendered("quay_tool");
    for (const std::string& w : words)
        EXPECT_TRUE(std::regex_search(tool, std::regex("\n {7}([a-z]+, )*" + w + "\\b"))) << "quay_tool.8 lacks " << w;
    // quay: the options of its usage line.
    const std::string quay = Rendered("quay");
    const std::string quayUsage = qtest::RunCmd("'" + bin + "/bin/quay' --help");
    const std::set<std::string> quayOpts = Matches(quayUsage.substr(0, quayUsage.find('\n')), "(--?[a-z]+)");
    ASSERT_EQ(2u, quayOpts.size()) << quayUsage;
    for (const std::string& o : quayOpts)
        EXPECT_NE(std::string::npos, quay.find(o)) << "quay.8 lacks " << o;
    // The producer: the options of its usage line.
    const std::string prod = Rendered("QxDeliverDmaServer");
    const std::string prodUsage = qtest::RunCmd("'" + bin + "/examples/QxDeliverDmaServer' -x 2>&1");
    std::set<std::string> opts = Matches(prodUsage, "\\[(-[a-z])");
    ASSERT_EQ(6u, opts.size()) << prodUsage;
    for (const std::string& o : opts)
        EXPECT_TRUE(std::regex_search(prod, std::regex("\n {7}" + o + "\\b"))) << "QxDeliverDmaServer.8 lacks " << o;
    // Each page gives its exit statuses.
    for (const char* p : kPages) EXPECT_NE(std::string::npos, Rendered(p).find("\nEXIT STATUS\n")) << p;
}
