// Cross-process primitives of liboskit, exercised between this process and
// forked children. Every name carries the test's pid; the fixture checks
// that no descriptor, key file, FIFO or shared-memory object outlives a test.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "oskit_ipc.h"
#include "test_util.h"

using namespace OSKIT2;

namespace {

int CountFds() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d)) ++n;
        closedir(d);
    }
    return n;
}

bool Exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// Runs body in a child process; returns its exit status (or -1).
int InChild(const std::function<int()>& body) {
    pid_t pid = fork();
    if (pid == 0) _exit(body());
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

class OskitIpc : public ::testing::Test {
protected:
    void SetUp() override { m_fds = CountFds(); }
    void TearDown() override {
        EXPECT_EQ(m_fds, CountFds()) << "descriptor left open";
        for (const std::string& n : m_names) {
            EXPECT_FALSE(Exists("/tmp/" + n)) << n;
            EXPECT_FALSE(Exists("/dev/shm/" + n)) << n;
            EXPECT_FALSE(Exists("/dev/shm/sem." + n)) << n;
            unlink(("/tmp/" + n).c_str());
        }
    }
    std::string Name(const char* tag) {
        m_names.push_back("oskit_" + std::to_string(getpid()) + "_" + tag);
        return m_names.back();
    }

private:
    int m_fds = 0;
    std::vector<std::string> m_names;
};

TEST_F(OskitIpc, ProcessMutexExcludesAnotherProcessAndDiesWithItsHolder) {
    std::string name = Name("pmutex");
    {
        CProcessMutex m(name.c_str());
        ASSERT_TRUE(m.IsValid());
        ASSERT_EQ(0, m.Acquire());
        EXPECT_EQ(EAGAIN, InChild([&] { return CProcessMutex(name.c_str()).TryAcquire(); }));
        ASSERT_EQ(0, m.Release());

        int ready[2];
        ASSERT_EQ(0, pipe(ready));
        pid_t holder = fork();
        if (holder == 0) {
            CProcessMutex other(name.c_str());
            char c = other.Acquire() == 0 ? 'y' : 'n';
            if (write(ready[1], &c, 1) != 1) _exit(1);
            for (;;) pause();
        }
        char c = 0;
        ASSERT_EQ(1, read(ready[0], &c, 1));
        EXPECT_EQ('y', c);
        EXPECT_EQ(EAGAIN, m.TryAcquire());
        kill(holder, SIGKILL);
        waitpid(holder, nullptr, 0);
        EXPECT_EQ(0, m.TryAcquire());  // the kernel undid the dead holder's lock
        m.Release();
        close(ready[0]);
        close(ready[1]);
    }
}

TEST_F(OskitIpc, SemaphoreCreatedHereIsOpenedAndPostedAcrossProcessesInBothStyles) {
    for (SemStyle style : {SYSV_STYLE, POSIX_STYLE}) {
        std::string name = Name(style == SYSV_STYLE ? "sysv" : "posix");
        CSemaphore sem(0, name.c_str(), style);
        ASSERT_TRUE(sem.IsValid()) << style;
        CSemaphore again;
        again.SetStyle(style);
        EXPECT_EQ(OSKIT_ALREADY_EXISTS, again.Create(0, name.c_str())) << style;
        EXPECT_EQ(-1, again.Create(-1, name.c_str()));
        EXPECT_NE(0, sem.Wait(30)) << "time-out, style " << style;

        pid_t waiter = fork();
        if (waiter == 0) {
            CSemaphore opened(0, name.c_str(), style);
            _exit(opened.IsValid() && opened.Wait(5000) == 0 ? 0 : 1);
        }
        usleep(50000);
        ASSERT_EQ(0, sem.Post());
        int status = -1;
        waitpid(waiter, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "style " << style;

        EXPECT_EQ(0, sem.Reset(2));
        EXPECT_EQ(2, sem.Value());
        EXPECT_EQ(0, sem.TryWait());
    }
    CSemaphore unnamed(1, "", POSIX_STYLE);
    EXPECT_EQ(0, unnamed.TryWait());
    EXPECT_EQ(EAGAIN, unnamed.TryWait());
    CSemaphore none;
    EXPECT_EQ(-1, none.Post());
    EXPECT_TRUE(!none);
}

TEST_F(OskitIpc, NamedEventStaysSignalledUntilReset) {
    std::string name = Name("event");
    CNamedEvent ev;
    EXPECT_EQ(-2, ev.Wait(0));
    ASSERT_EQ(0, ev.Init(name.c_str(), false));
    pid_t waiter = fork();
    if (waiter == 0) {
        CNamedEvent opened;
        if (opened.Init(name.c_str(), false) != 1) _exit(1);
        for (int i = 0; i < 3; ++i)
            if (opened.Wait(i == 0 ? 5000 : 100) != 0) _exit(2 + i);
        _exit(0);
    }
    usleep(50000);
    ASSERT_EQ(0, ev.Set());
    int status = -1;
    waitpid(waiter, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(0, ev.Wait(0));
    EXPECT_EQ(0, ev.Set());  // already set: unchanged
    EXPECT_EQ(0, ev.Reset());
    EXPECT_EQ(-1, ev.Wait(50));
    EXPECT_EQ(0, ev.Close());
}

TEST_F(OskitIpc, SharedMemoryCreateOpenResizeAndUnlink) {
    std::string name = Name("shm");
    CSharedMem shm;
    char* p = static_cast<char*>(shm.CreateEx(name.c_str(), 4096));
    ASSERT_NE(nullptr, p);
    strcpy(p, "from parent");
    CSharedMem dup;
    EXPECT_EQ(nullptr, dup.CreateEx(name.c_str(), 4096));
    EXPECT_EQ(0, InChild([&] {
        CSharedMem other;
        char* q = static_cast<char*>(other.Open(name.c_str()));
        if (!q || other.Size() != 4096 || strcmp(q, "from parent") != 0) return 1;
        strcpy(q + 100, "from child");
        return 0;
    }));
    EXPECT_STREQ("from child", p + 100);
    EXPECT_EQ(p, shm.Resize(8192));
    EXPECT_EQ(8192u, shm.Size());
    CSharedMem fallback(name.c_str(), 16);  // exists: opened with its size
    ASSERT_FALSE(!fallback);
    EXPECT_EQ(8192u, fallback.Size());
    EXPECT_STREQ("from parent", static_cast<char*>(*fallback));
    EXPECT_EQ(0, shm.UnLink());
    EXPECT_FALSE(Exists("/dev/shm/" + name));
    shm.Close();
    EXPECT_EQ(-1, shm.UnLink());
    EXPECT_EQ(0u, shm.Size());
}

TEST_F(OskitIpc, NamedPipeReaderOutlivesWritersWithoutEndOfFile) {
    std::string name = Name("fifo");
    {
        CNamedPipe reader(name.c_str());
        CNamedPipe early(name.c_str());
        EXPECT_FALSE(early.Connect());  // no reader yet
        ASSERT_TRUE(reader.Create());
        for (const char* msg : {"one", "two"}) {
            EXPECT_EQ(0, InChild([&] {
                CNamedPipe w(name.c_str());
                return w.Connect() && w.Write(msg, 3) ? 0 : 1;
            }));
            char buf[16] = {};
            int len = -1;
            ASSERT_TRUE(reader.Read(buf, sizeof(buf), &len, 1000));
            EXPECT_EQ(msg, std::string(buf, static_cast<size_t>(len)));
        }
        // Every writer has gone: the read waits out its time-out instead of
        // returning end of file at once.
        char buf[16];
        int len = -1;
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_TRUE(reader.Read(buf, sizeof(buf), &len, 100));
        EXPECT_EQ(0, len);
        EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(100));

        CNamedPipe writer(name.c_str());
        ASSERT_TRUE(writer.Connect());
        reader.~CNamedPipe();
        new (&reader) CNamedPipe("unused_never_created");
        // The reader is gone: false, not a SIGPIPE that ends the process.
        EXPECT_FALSE(writer.Write("x", 1));
    }
    EXPECT_FALSE(Exists("/tmp/" + name));
}

TEST_F(OskitIpc, FileLockExcludesAnotherProcess) {
    std::string name = Name("flock");
    std::string path = "/tmp/" + name;
    {
        CFileLock lock(path.c_str());
        ASSERT_TRUE(lock.isAvailable());
        ASSERT_TRUE(lock.lockExclusive());
        EXPECT_EQ(0, InChild([&] {
            CFileLock other(path.c_str());
            return other.isAvailable() && !other.tryLockExclusive() && !other.tryLockShare() ? 0 : 1;
        }));
        ASSERT_TRUE(lock.unlock());
        ASSERT_TRUE(lock.lockShare());
        EXPECT_EQ(0, InChild([&] {
            CFileLock other(path.c_str());
            return other.tryLockShare() && !other.tryLockExclusive() ? 0 : 1;
        }));
    }
    unlink(path.c_str());
}

// Each row opens one kind of named object: a name of `opens` characters
// works, one longer than `limit` (what its buffer holds) is refused. Cut, two
// distinct long names named one object (two 301-character shared-memory
// names mapped one).
TEST_F(OskitIpc, NamesThatDoNotFitTheirBufferAreRefused) {
    struct Row {
        const char* what;
        size_t opens, limit;
        std::function<bool(const std::string&)> open;  // valid; released again before it returns
    };
    const Row rows[] = {
        {"sysv semaphore", 255, 255,
         [](const std::string& n) { return CSemaphore(1, n.c_str(), SYSV_STYLE).IsValid(); }},
        // The kernel's own limit ("sem." + name) is below the buffer's.
        {"posix semaphore", 200, 255,
         [](const std::string& n) { return CSemaphore(1, n.c_str(), POSIX_STYLE).IsValid(); }},
        {"shared memory", 253, 253,  // kept as "/" + name
         [](const std::string& n) {
             CSharedMem shm;
             bool ok = shm.CreateEx(n.c_str(), 64) != nullptr;
             if (ok) shm.UnLink();
             return ok;
         }},
        {"named pipe", 250, 250, [](const std::string& n) { return CNamedPipe(n.c_str()).Create(); }},
    };
    std::string stem = Name("long");
    auto leftovers = [&] {
        std::string found;
        for (const char* dir : {"/tmp", "/dev/shm"})
            if (DIR* d = opendir(dir)) {
                while (dirent* e = readdir(d))
                    if (strstr(e->d_name, stem.c_str())) found += std::string(dir) + "/" + e->d_name + " ";
                closedir(d);
            }
        return found;
    };
    for (const Row& row : rows) {
        for (size_t len : {row.opens, row.limit + 1, size_t{301}}) {
            std::string name = stem + std::string(len - stem.size(), 'n');
            EXPECT_EQ(len <= row.limit, row.open(name)) << row.what << ", " << len << " characters";
            EXPECT_EQ("", leftovers()) << row.what << ", " << len << " characters";
        }
    }
    std::string tooLong = stem + std::string(300, 'n');
    CSemaphore sem;
    EXPECT_EQ(ENAMETOOLONG, sem.Create(1, tooLong.c_str()));
    EXPECT_EQ(ENAMETOOLONG, sem.Open(tooLong.c_str()));
}

// A System V set is made with init + 1, so init must stay below the kernel's
// largest semaphore value; INT_MAX overflowed. POSIX counts reach INT_MAX.
TEST_F(OskitIpc, SemaphoreInitialValueOutsideTheKernelsRangeIsRefused) {
    struct Row {
        SemStyle style;
        int init;
        int result;
    };
    const Row rows[] = {{SYSV_STYLE, INT_MAX, ERANGE}, {SYSV_STYLE, 32767, ERANGE}, {SYSV_STYLE, 32766, 0},
                        {POSIX_STYLE, INT_MAX, 0},     {SYSV_STYLE, -1, -1}};
    std::string name = Name("semrange");
    for (const Row& row : rows) {
        CSemaphore sem;
        sem.SetStyle(row.style);
        EXPECT_EQ(row.result, sem.Create(row.init, name.c_str())) << row.style << " " << row.init;
        EXPECT_EQ(row.result == 0, sem.IsValid());
        if (row.result == 0) {
            EXPECT_EQ(row.init, sem.Value());
        }
    }
}

// The pipe is a FIFO this object owns below /tmp, or nothing: a regular file
// under its name was read, written and unlinked by the destructor.
TEST_F(OskitIpc, NamedPipeRefusesAnythingButAFifoBelowTmp) {
    std::string base = Name("pipe");
    std::string file = Name("pipefile"), link = Name("pipelink"), outdir = Name("pipeout"), fifo = Name("pipefifo");
    std::string outside = "/var/tmp/" + base;
    ASSERT_EQ(0, mkfifo(outside.c_str(), 0600));
    struct Case {
        std::string name;
        std::function<void()> setup;
    };
    const Case refused[] = {
        {file, [&] {
             int fd = open(("/tmp/" + file).c_str(), O_CREAT | O_WRONLY | O_EXCL, 0644);
             ASSERT_EQ(5, write(fd, "keep\n", 5));
             close(fd);
         }},
        {link, [&] { ASSERT_EQ(0, symlink(outside.c_str(), ("/tmp/" + link).c_str())); }},
        {outdir + "/" + base, [&] { ASSERT_EQ(0, symlink("/var/tmp", ("/tmp/" + outdir).c_str())); }},
        {"../var/tmp/" + base, [] {}},
        {"../tmp/" + base, [] {}},
        {base + "/../" + base, [] {}},
        {"", [] {}},
    };
    for (const Case& c : refused) {
        c.setup();
        {
            CNamedPipe pipe(c.name.c_str());
            EXPECT_FALSE(pipe.Create()) << c.name;
            EXPECT_FALSE(pipe.Connect()) << c.name;
        }
        EXPECT_FALSE(Exists("/tmp/" + base)) << c.name;
    }
    EXPECT_EQ("keep\n", qtest::ReadFile("/tmp/" + file));
    struct stat st;
    EXPECT_TRUE(lstat(outside.c_str(), &st) == 0 && S_ISFIFO(st.st_mode)) << "the FIFO outside /tmp stays";
    for (const std::string& n : {file, link, outdir}) unlink(("/tmp/" + n).c_str());
    unlink(outside.c_str());

    // A FIFO made by someone else is used, and left in place.
    ASSERT_EQ(0, mkfifo(("/tmp/" + fifo).c_str(), 0600));
    {
        CNamedPipe reader(fifo.c_str()), writer(fifo.c_str());
        ASSERT_TRUE(reader.Create());
        ASSERT_TRUE(writer.Connect());
        EXPECT_TRUE(writer.Write("hi", 2));
        char buf[4];
        int len = 0;
        EXPECT_TRUE(reader.Read(buf, sizeof(buf), &len, 1000));
        EXPECT_EQ(2, len);
    }
    EXPECT_TRUE(Exists("/tmp/" + fifo));
    unlink(("/tmp/" + fifo).c_str());
}

}  // namespace
