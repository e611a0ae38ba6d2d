// Threads, events and the UDP receive thread of liboskit.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <string>

#include "oskit_base.h"
#include "oskit_net.h"
#include "oskit_peers.h"
#include "oskit_thread.h"

using OSKIT2::CEvent;
using Clock = std::chrono::steady_clock;

namespace {

long ElapsedMs(Clock::time_point t0) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
}

size_t OwnStackSize() {
    pthread_attr_t attr;
    size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        pthread_attr_getstacksize(&attr, &size);
        pthread_attr_destroy(&attr);
    }
    return size;
}

// Reads its own stack size and returns.
class StackProbe : public OSKIT2::CThread {
public:
    long Run() override {
        size = OwnStackSize();
        done.Set();
        return 0;
    }
    std::atomic<size_t> size{0};
    CEvent done;
};

class StackProbeEx : public OSKIT2::CThreadEx {
public:
    long Run() override {
        size = OwnStackSize();
        return 0;
    }
    std::atomic<size_t> size{0};
};

// Sleeps until asked to stop, or ignores the request when stubborn.
class Sleeper : public OSKIT2::CThreadEx {
public:
    explicit Sleeper(bool stubborn) : m_stubborn(stubborn) {}
    ~Sleeper() override { Stop(-1); }
    long Run() override {
        while (m_stubborn || !IsTerminateRequest()) {
            IncreaseLoops();
            WaitCond(20);
        }
        return 0;
    }

private:
    bool m_stubborn;
};

class Blocked : public OSKIT2::CThread {
public:
    ~Blocked() override { Stop(0); }
    long Run() override {
        for (;;) pause();
        return 0;
    }
};

TEST(OskitThread, StackSizeComesFromTheEnvironmentWithinItsClamps) {
    struct {
        const char* value;
        size_t kib;
    } cases[] = {{nullptr, 10240}, {"100", 256}, {"200000", 102400}, {"4096", 4096}, {"lots", 10240}};
    for (auto& c : cases) {
        if (c.value)
            setenv("OSKIT_STACK_SIZE", c.value, 1);
        else
            unsetenv("OSKIT_STACK_SIZE");
        StackProbe t;
        ASSERT_EQ(0, t.Start());
        ASSERT_EQ(CEvent::EVENT_OK, t.done.Wait(5000));
        EXPECT_EQ(c.kib * 1024, t.size.load()) << (c.value ? c.value : "unset");
        StackProbeEx ex;
        ASSERT_EQ(0, ex.StartEx(0));
        ex.Stop(5000);
        EXPECT_EQ(c.kib * 1024, ex.size.load()) << (c.value ? c.value : "unset");
    }
    unsetenv("OSKIT_STACK_SIZE");
    StackProbeEx fixed;
    ASSERT_EQ(0, fixed.Start());
    fixed.Stop(5000);
    EXPECT_EQ(10240u * 1024, fixed.size.load());
}

TEST(OskitThreadEx, StartWaitsForTheThreadAndStopEndsItCooperatively) {
    Sleeper t(false);
    ASSERT_EQ(0, t.Start());
    EXPECT_TRUE(t.IsStarted());
    EXPECT_EQ(1, t.Start());
    auto t0 = Clock::now();
    t.Stop(5000);
    EXPECT_LT(ElapsedMs(t0), 2000);
    EXPECT_FALSE(t.IsStarted());
    ASSERT_EQ(0, t.Start());  // restartable
    EXPECT_TRUE(t.IsStarted());
}

TEST(OskitThreadEx, StopCancelsAThreadThatIgnoresTheRequestAfterItsTimeout) {
    Sleeper t(true);
    ASSERT_EQ(0, t.Start());
    auto t0 = Clock::now();
    t.Stop(200);
    EXPECT_GE(ElapsedMs(t0), 200);
    EXPECT_FALSE(t.IsStarted());
}

TEST(OskitThread, StopCancelsAtOnceAndTheThreadCanStartAgain) {
    Blocked t;
    ASSERT_EQ(0, t.Start());
    EXPECT_EQ(1, t.Start());
    EXPECT_TRUE(t.IsStarted());
    t.Stop(0);
    EXPECT_FALSE(t.IsStarted());
    ASSERT_EQ(0, t.Start());
}

TEST(OskitEvent, AutoResetWithTimeouts) {
    CEvent e(false);
    auto t0 = Clock::now();
    EXPECT_EQ(CEvent::EVENT_TIMEOUT, e.Wait(50));
    EXPECT_GE(ElapsedMs(t0), 50);
    e.Set();
    EXPECT_EQ(CEvent::EVENT_OK, e.Wait(0));
    EXPECT_EQ(CEvent::EVENT_TIMEOUT, e.Wait(0));  // the wait cleared it
    e.Set();
    e.Reset();
    EXPECT_EQ(CEvent::EVENT_TIMEOUT, e.Wait(0));
    CEvent initially(true);
    EXPECT_EQ(CEvent::EVENT_OK, initially.Wait(0));
    std::thread setter([&] {
        usleep(50000);
        e.Set();
    });
    EXPECT_EQ(CEvent::EVENT_OK, e.Wait(-1));
    setter.join();
}

struct Received {
    CEvent got;
    std::string data, ip;
    int port = 0;
};

int OnDatagram(void* owner, void* data, int len) {
    auto* r = static_cast<Received*>(owner);
    r->data.assign(static_cast<char*>(data), static_cast<size_t>(len));
    r->got.Set();
    return 0;
}

int OnDatagramEx(void* owner, void* data, int len, const char* ip, int port) {
    auto* r = static_cast<Received*>(owner);
    r->data.assign(static_cast<char*>(data), static_cast<size_t>(len));
    r->ip = ip;
    r->port = port;
    r->got.Set();
    return 0;
}

TEST(OskitUdpBroadcast, ReceiveThreadHandsDatagramsToTheCallbacks) {
    int sender = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in from = oskt::Loopback(0);
    ASSERT_EQ(0, bind(sender, reinterpret_cast<sockaddr*>(&from), sizeof(from)));
    for (bool extended : {false, true}) {
        Received r;
        unsigned short port = oskt::FreePort(SOCK_DGRAM);
        auto* b = new OSKIT2::CUDPBroadcast;
        ASSERT_EQ(0, extended ? b->InitByAddr("127.0.0.1", port, OnDatagramEx, &r) : b->Init(port, OnDatagram, &r));
        ASSERT_GE(b->Socket(), 0);
        EXPECT_GT(b->SetRecvBufLen(65536), 0);
        EXPECT_EQ(-1, b->SetSendBufLen(-1));
        ASSERT_EQ(0, b->Start());
        sockaddr_in to = oskt::Loopback(port);
        std::string msg = extended ? "extended" : "plain";
        sendto(sender, msg.data(), msg.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
        ASSERT_EQ(CEvent::EVENT_OK, r.got.Wait(5000));
        EXPECT_EQ(msg, r.data);
        if (extended) {
            EXPECT_EQ("127.0.0.1", r.ip);
            EXPECT_EQ(oskt::BoundPort(sender), r.port);
        }
        b->Destroy();
    }
    close(sender);
}

TEST(OskitUdpBroadcast, PortInUseLeavesNoSocketAndTheThreadEndsAtOnce) {
    int holder = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa = oskt::Loopback(0);
    ASSERT_EQ(0, bind(holder, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)));
    OSKIT2::CUDPBroadcast b;
    EXPECT_EQ(0, b.InitByAddr("127.0.0.1", oskt::BoundPort(holder), OnDatagramEx, nullptr));
    EXPECT_EQ(-2, b.Socket());
    EXPECT_EQ(-1, b.Run());
    close(holder);
}

}  // namespace
