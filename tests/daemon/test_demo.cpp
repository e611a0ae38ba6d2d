// make demo's script: the daemon on the animated card until Ctrl-C, which
// stops all of it.
#include <gtest/gtest.h>

#include <cerrno>

#include "daemon_env.h"

TEST(Demo, RunsTheDaemonUntilCtrlCAndLeavesNothingRunning) {
    qtest::TempDir dir("quaydemo");
    const std::string out = dir / "demo.txt";
    fflush(nullptr);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        setsid();  // its own process group, as a terminal's foreground job
        for (int sig = 1; sig < NSIG; ++sig) signal(sig, SIG_DFL);
        FILE* f = freopen(out.c_str(), "w", stdout);
        if (!f || dup2(fileno(stdout), 2) < 0) _exit(127);
        execl("/bin/bash", "bash", svc::SourceFile("scripts/demo.sh").c_str(), QUAY_BINARY_DIR, (char*)nullptr);
        _exit(127);
    }
    bool scraped = false;
    for (int i = 0; i < 200 && !scraped; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        scraped = qtest::ReadFile(out).find(">>> scrape: rx ") != std::string::npos;
    }
    kill(-pid, SIGINT);  // Ctrl-C reaches the whole foreground group
    int st = 0;
    waitpid(pid, &st, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const bool groupLeft = kill(-pid, 0) == 0;
    const std::string left = groupLeft ? qtest::RunCmd("ps -o pid,stat,args -g " + std::to_string(pid)) : "";
    if (groupLeft) kill(-pid, SIGKILL);

    std::string text = qtest::ReadFile(out);
    EXPECT_TRUE(scraped) << text;
    EXPECT_NE(std::string::npos, text.find("curl -s http://127.0.0.1:")) << text;
    EXPECT_NE(std::string::npos, text.find("trade date " + qd::Today())) << text;
    EXPECT_NE(std::string::npos, text.find("demo stopped; nothing left running")) << text;
    EXPECT_FALSE(groupLeft) << "processes of the demo still running:\n" << left;
}
