// A real Prometheus server scrapes the exporter on loopback.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <regex>

#include "Q_Exporter.h"
#include "exporter_test_util.h"

using namespace qexp;

namespace {

void CardStatus(Q_Exporter_LPHandle h) {
    int i = Q_Exporter_CreatRecord(h);
    Q_Exporter_Gauge_Add_str(h, i, "card", "sz0");
    Q_Exporter_Gauge_Add_int64(h, i, "rx_frames", INT64_C(123456789012));
    Q_Exporter_SetValue(h, i, 7);
}

void CardPackets(Q_Exporter_LPHandle h) {
    int i = Q_Exporter_CreatRecord(h);
    Q_Exporter_Counter_Add_Features_str(h, i, "feed", "sh");
    Q_Exporter_SetValue(h, i, 42);
}

int FreeLoopbackPort() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    socklen_t sl = sizeof(a);
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &sl);
    close(s);
    return ntohs(a.sin_port);
}

// A Prometheus server with its own configuration and storage; always killed
// with this object, and with the test process should that die first.
class Prometheus {
public:
    explicit Prometheus(int target_port) : m_dir("qexp_prom") {
        qtest::WriteFile(m_dir / "prometheus.yml",
                         "global:\n"
                         "  scrape_interval: 1s\n"
                         "  scrape_timeout: 1s\n"
                         "  evaluation_interval: 1s\n"
                         "scrape_configs:\n"
                         "  - job_name: quay\n"
                         "    static_configs:\n"
                         "      - targets: ['127.0.0.1:" + std::to_string(target_port) + "']\n");
    }
    ~Prometheus() { Kill(); }

    // Starts the server on a free loopback port and waits until it is ready.
    bool Start() {
        for (int attempt = 0; attempt < 3; ++attempt) {
            m_port = FreeLoopbackPort();
            if (Launch() && WaitReady()) return true;
            Kill();
        }
        return false;
    }

    void Kill() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
            m_pid = -1;
        }
    }

    // Result of an instant query as JSON text.
    std::string Query(const std::string& expr) {
        std::string cmd = "curl -sS -m 5 --get --data-urlencode 'query=" + expr + "' http://127.0.0.1:" +
                          std::to_string(m_port) + "/api/v1/query";
        return qtest::RunCmd(cmd);
    }

    std::string Log() const { return qtest::ReadFile(m_dir / "prometheus.log"); }

private:
    bool Launch() {
        std::string cfg = m_dir / "prometheus.yml";
        std::string data = m_dir / "data";
        std::string listen = "--web.listen-address=127.0.0.1:" + std::to_string(m_port);
        std::string log = m_dir / "prometheus.log";
        pid_t parent = getpid();
        m_pid = fork();
        if (m_pid < 0) return false;
        if (m_pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent) _exit(127);
            int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd >= 0) {
                dup2(fd, 1);
                dup2(fd, 2);
            }
            std::string cfg_arg = "--config.file=" + cfg;
            std::string data_arg = "--storage.tsdb.path=" + data;
            execl("/usr/bin/prometheus", "prometheus", cfg_arg.c_str(), data_arg.c_str(), listen.c_str(),
                  "--log.level=warn", static_cast<char*>(nullptr));
            _exit(127);
        }
        return true;
    }

    bool WaitReady() {
        auto t0 = Clock::now();
        while (SecondsSince(t0) < 40.0) {
            int status = 0;
            if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = -1;
                return false;  // exited (port taken?)
            }
            std::string code = qtest::RunCmd("curl -s -m 2 -o /dev/null -w '%{http_code}' http://127.0.0.1:" +
                                             std::to_string(m_port) + "/-/ready");
            if (code == "200") return true;
            usleep(200000);
        }
        return false;
    }

    qtest::TempDir m_dir;
    pid_t m_pid = -1;
    int m_port = 0;
};

// The value of the first series in an instant-query result, "" if none.
std::string FirstValue(const std::string& json) {
    std::smatch m;
    if (std::regex_search(json, m, std::regex("\"value\":\\[[0-9.e+]+,\"([^\"]*)\"\\]"))) return m[1];
    return "";
}

}  // namespace

TEST(ExporterPrometheus, ScrapedByRealPrometheus) {
    ASSERT_EQ(0, Q_Exporter_Init(0, "127.0.0.1", "9.9.9", "/metrics"));
    ASSERT_EQ(0, Q_Exporter_Regist_Gauge("card_status", "status of the card", CardStatus));
    ASSERT_EQ(0, Q_Exporter_Regist_Counter("card_packets_total", "packets seen by the card", CardPackets));
    int port = ListenPort();
    ASSERT_GT(port, 0);

    // What Prometheus will see passes promtool.
    std::string text = Scrape(port);
    std::string out;
    EXPECT_EQ(0, PromtoolCheck(text, &out)) << out << text;

    {
        Prometheus prom(port);
        ASSERT_TRUE(prom.Start()) << prom.Log();

        std::string up;
        auto t0 = Clock::now();
        while (SecondsSince(t0) < 30.0) {
            up = prom.Query("up{job=\"quay\"}");
            if (FirstValue(up) == "1") break;
            usleep(300000);
        }
        ASSERT_EQ("1", FirstValue(up)) << up << "\n" << prom.Log();

        std::string r = prom.Query("process_base_info_guage");
        EXPECT_NE(std::string::npos, r.find("\"PID\":\"" + std::to_string(getpid()) + "\"")) << r;
        EXPECT_NE(std::string::npos, r.find("\"version\":\"9.9.9\"")) << r;

        r = prom.Query("net_tcp_state_guage{tcp_state=\"LISTEN\"}");
        EXPECT_NE(std::string::npos, r.find("\"local_addr\":\"127.0.0.1:" + std::to_string(port) + "\"")) << r;
        EXPECT_EQ("0", FirstValue(r)) << r;

        r = prom.Query("card_status{card=\"sz0\"}");
        EXPECT_EQ("7", FirstValue(r)) << r;
        EXPECT_NE(std::string::npos, r.find("\"rx_frames\":\"123456789012\"")) << r;

        r = prom.Query("card_packets_total{feed=\"sh\"}");
        EXPECT_EQ("42", FirstValue(r)) << r;

        // Prometheus found nothing wrong with the scrapes.
        r = prom.Query("scrape_samples_post_metric_relabeling{job=\"quay\"}");
        EXPECT_NE("", FirstValue(r)) << r;
        EXPECT_EQ(std::string::npos, prom.Log().find("level=error")) << prom.Log();
    }
    Q_Exporter_Fini();
}
