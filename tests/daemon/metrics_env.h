#ifndef QUAY_TEST_METRICS_ENV_H
#define QUAY_TEST_METRICS_ENV_H

// Samples of a scrape body by family and labels, for the tests of the
// daemon's numeric metric families.
//
//   qm::Samples s(d.Scrape());
//   double v = s.Value("quay_card_register", {{"class", "mon"}, {"name", "seq_gap_num"}});

#include <cmath>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "daemon_env.h"

namespace qm {

typedef std::map<std::string, std::string> LabelSet;

struct Sample {
    std::string family;
    LabelSet labels;
    double value = NAN;
};

// The sample lines of a Prometheus text body.
class Samples {
public:
    explicit Samples(const std::string& body) {
        std::istringstream in(body);
        for (std::string line; std::getline(in, line);) {
            if (line.empty() || line[0] == '#') continue;
            Sample s;
            size_t brace = line.find('{'), space = line.rfind(' ');
            if (space == std::string::npos) continue;
            s.family = line.substr(0, std::min(brace, space));
            if (brace != std::string::npos && brace < space) s.labels = qd::Labels("\n" + line, s.family);
            s.value = strtod(line.c_str() + space + 1, nullptr);
            m_all.push_back(s);
        }
    }
    // Samples of a family whose labels include want.
    std::vector<Sample> Of(const std::string& family, const LabelSet& want = {}) const {
        std::vector<Sample> out;
        for (const Sample& s : m_all) {
            if (s.family != family) continue;
            bool match = true;
            for (auto& kv : want) {
                auto it = s.labels.find(kv.first);
                match = match && it != s.labels.end() && it->second == kv.second;
            }
            if (match) out.push_back(s);
        }
        return out;
    }
    // The value of the one sample that matches; NaN when none or several.
    double Value(const std::string& family, const LabelSet& want = {}) const {
        std::vector<Sample> s = Of(family, want);
        return s.size() == 1 ? s[0].value : NAN;
    }
    bool Has(const std::string& family) const { return !Of(family).empty(); }

private:
    std::vector<Sample> m_all;
};

// Scrapes until pred holds for the samples (or the deadline passes); the
// last body.
template <class Pred>
std::string ScrapeUntil(const qd::Daemon& d, Pred pred, double seconds = 15) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds((int)(seconds * 1000));
    std::string body;
    do {
        body = d.Scrape();
        if (!body.empty() && pred(Samples(body))) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    } while (std::chrono::steady_clock::now() < end);
    return body;
}

}  // namespace qm

#endif
