#ifndef QUAY_TEST_ENYX_SIM_ENV_H
#define QUAY_TEST_ENYX_SIM_ENV_H

// A private simulated Enyx card for a test: a temp directory holding the card
// description and the card files, named to the simulated library through
// ENYX_SIM_CONFIG and ENYX_SIM_DIR (restored on destruction). Child processes
// forked or started afterwards see the same card.
//
//   qtest::EnyxSimEnv card("card\ncore 474\nstream CH0\n");
//   ... code under test opens bus 0, core 474, stream CH0 ...
//   auto acc = card.Log(mark);   // register accesses since enyx_sim_log_mark(0)

#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "enyx_sim_ctl.h"
#include "test_util.h"

namespace qtest {

class EnyxSimEnv {
public:
    explicit EnyxSimEnv(const std::string& config = "card\ncore 474\ncore 472\nstream MAC_CHAN0_DATA\n"
                                                    "stream MAC_CHAN1_DATA\n")
        : m_dir("enyxsim") {
        Save("ENYX_SIM_CONFIG", m_oldCfg, m_hadCfg);
        Save("ENYX_SIM_DIR", m_oldDir, m_hadDir);
        WriteFile(m_dir / "card.conf", config);
        setenv("ENYX_SIM_CONFIG", (m_dir / "card.conf").c_str(), 1);
        setenv("ENYX_SIM_DIR", (m_dir / "cards").c_str(), 1);
    }
    ~EnyxSimEnv() {
        Restore("ENYX_SIM_CONFIG", m_oldCfg, m_hadCfg);
        Restore("ENYX_SIM_DIR", m_oldDir, m_hadDir);
    }
    const std::string& dir() const { return m_dir.path(); }

    // Access-log entries of card `card` from sequence number `from` on,
    // optionally only those of process `pid` (0: all) and of the given ops.
    static std::vector<enyx_sim_log_entry> Log(uint64_t from, unsigned card = 0, int pid = 0,
                                               const std::string& ops = "RWLUX") {
        std::vector<enyx_sim_log_entry> all, out;
        std::vector<enyx_sim_log_entry> buf(1024);
        for (;;) {
            long n = enyx_sim_log_read(card, from, buf.data(), buf.size());
            if (n <= 0) break;
            all.insert(all.end(), buf.begin(), buf.begin() + n);
            from = buf[n - 1].seq + 1;
        }
        for (const auto& e : all)
            if ((pid == 0 || e.pid == pid) && ops.find(e.op) != std::string::npos) out.push_back(e);
        return out;
    }

    EnyxSimEnv(const EnyxSimEnv&) = delete;
    EnyxSimEnv& operator=(const EnyxSimEnv&) = delete;

private:
    static void Save(const char* name, std::string& value, bool& had) {
        const char* v = getenv(name);
        had = v != nullptr;
        if (had) value = v;
    }
    static void Restore(const char* name, const std::string& value, bool had) {
        if (had)
            setenv(name, value.c_str(), 1);
        else
            unsetenv(name);
    }

    TempDir m_dir;
    std::string m_oldCfg, m_oldDir;
    bool m_hadCfg = false, m_hadDir = false;
};

}  // namespace qtest

#endif
