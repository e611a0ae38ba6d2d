// The monitor server's own rules. The server is a process-wide singleton
// that initialises once, so every case runs in a child process.
#include <gtest/gtest.h>

#include "daemon_env.h"
#include "gt_monitorServer.h"
#include "log_capture.h"

namespace {

// A loaded quay.ini with the given monitor keys.
class MonitorConfig {
public:
    explicit MonitorConfig(std::initializer_list<std::pair<const std::string, std::string>> keys)
        : m_dir("monitorcfg") {
        std::string ini = svc::EditIni(qtest::ReadFile(svc::SourceFile("data/quay.ini")), keys);
        qtest::WriteFile(m_dir / "quay.ini", ini);
        m_ret = m_cfg.Init((m_dir / "quay.ini").c_str());
    }
    CGtConfig* get() { return m_ret == 0 ? &m_cfg : nullptr; }

private:
    qtest::TempDir m_dir;
    CGtConfig m_cfg;
    int m_ret;
};

int32_t InitWith(IConfig* cfg, CGtFpgaService* svc = nullptr) {
    GT_MONITOR_PARAM_t p;
    p.lpCfgObject = cfg;
    p.lpFpgaService = svc;
    return CGtMonitorServer::GetInstance()->Init(&p);
}

TEST(MonitorServer, StartsOnlyAfterOneSuccessfulInit) {
    EXPECT_EQ(0, qtest::RunInChild([] {
        qtest::LogCapture log;
        CGtMonitorServer* srv = CGtMonitorServer::GetInstance();
        EXPECT_EQ(srv, CGtMonitorServer::GetInstance());
        EXPECT_EQ(600002, srv->Start());
        EXPECT_EQ(-1, srv->GetRecordTimeLen());
        EXPECT_EQ(2u, svc::Count(log.Text(), "[Monitor]not inited yet!")) << log.Text();

        // A failed Init still keeps the FPGA service it was given.
        CGtFpgaService* svcMark = reinterpret_cast<CGtFpgaService*>(&log);
        EXPECT_EQ(600005, InitWith(nullptr, svcMark));
        EXPECT_EQ(svcMark, srv->GetFpgaService());
        EXPECT_TRUE(log.Contains("Init GT monitor server failed, the object is NULL")) << log.Text();

        MonitorConfig cfg({{"monitor:record_time_len", "7"}});
        EXPECT_EQ(0, InitWith(cfg.get()));
        EXPECT_EQ(nullptr, srv->GetFpgaService());
        EXPECT_EQ(7, srv->GetRecordTimeLen());
        EXPECT_EQ(600001, InitWith(cfg.get()));
        EXPECT_TRUE(log.Contains("Init GT monitor server failed, already inited!")) << log.Text();
    }));
}

TEST(MonitorServer, PortAndAddressRules) {
    EXPECT_EQ(0, qtest::RunInChild([] {
        qtest::LogCapture log;
        GT_CONFIG_MONITOR_t c;
        snprintf(c.strIp, sizeof(c.strIp), "1.2.3.4");
        for (int port : {1, 65535, 65536}) {
            c.nPort = port;
            EXPECT_EQ(0, CGtMonitorServer::CheckConfig(c)) << port;
        }
        c.nPort = 0;
        EXPECT_EQ(600005, CGtMonitorServer::CheckConfig(c));
        EXPECT_TRUE(log.Contains("config error: port:0")) << log.Text();
        c.nPort = 9;
        snprintf(c.strIp, sizeof(c.strIp), "1.2.3");
        EXPECT_EQ(600005, CGtMonitorServer::CheckConfig(c));
        EXPECT_TRUE(log.Contains("config error: ip:1.2.3")) << log.Text();

        // Through quay.ini: port 0 is refused here, 65536 already by the
        // configuration; neither leaves the server initialised.
        MonitorConfig zero({{"monitor:port", "0"}});
        EXPECT_EQ(600005, InitWith(zero.get()));
        EXPECT_TRUE(log.Contains("Init GT monitor server failed, config error! ret:600005")) << log.Text();
        MonitorConfig tooBig({{"monitor:port", "65536"}});
        EXPECT_EQ(600007, InitWith(tooBig.get()));
        EXPECT_TRUE(log.Contains("Init GT monitor server failed, get config failed!")) << log.Text();
        MonitorConfig shortIp({{"monitor:server_ip", "1.2.3"}});
        EXPECT_EQ(600005, InitWith(shortIp.get()));
        EXPECT_EQ(-1, CGtMonitorServer::GetInstance()->GetRecordTimeLen());
    }));
}

TEST(MonitorServer, StartFailsWhenThePortIsTaken) {
    int port = qd::FreePort();
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons((uint16_t)port);
    ASSERT_EQ(0, bind(fd, (sockaddr*)&a, sizeof(a)));
    ASSERT_EQ(0, listen(fd, 1));
    EXPECT_EQ(0, qtest::RunInChild([&] {
        qtest::LogCapture log;
        MonitorConfig cfg({{"monitor:port", std::to_string(port)}, {"monitor:server_ip", "127.0.0.1"}});
        ASSERT_EQ(0, InitWith(cfg.get()));
        EXPECT_EQ(600006, CGtMonitorServer::GetInstance()->Start());
        EXPECT_TRUE(log.Contains("Q_Exporter_Init error: errno:-1, port:" + std::to_string(port))) << log.Text();
    }));
    close(fd);
}

TEST(MonitorServer, WithoutTheFpgaServiceBothBlocksSayNotReady) {
    EXPECT_EQ(0, qtest::RunInChild([] {
        int port = qd::FreePort();
        MonitorConfig cfg({{"monitor:port", std::to_string(port)}, {"monitor:server_ip", "127.0.0.1"},
                           {"monitor:url", "/quay"}});
        CGtMonitorServer* srv = CGtMonitorServer::GetInstance();
        ASSERT_EQ(0, InitWith(cfg.get()));
        ASSERT_EQ(0, srv->Start());
        std::string body = qd::HttpGet(port, "/quay");
        for (const char* block : {"quay_fpga_config", "quay_fpga_status"}) {
            auto labels = qd::Labels(body, block);
            EXPECT_EQ(1u, labels.size()) << body;
            EXPECT_EQ("The system service is not ready! Please check!", labels["config"]) << body;
        }
        EXPECT_EQ(0, srv->Stop());
        EXPECT_EQ("", qd::HttpGet(port, "/quay"));
    }));
}

}  // namespace
