#ifndef QUAY_TEST_UTIL_H
#define QUAY_TEST_UTIL_H

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace qtest {

// A fresh directory under $TMPDIR (else /tmp), removed with everything in
// it on destruction. CTest gives every test a TMPDIR of the build tree's own.
class TempDir {
public:
    explicit TempDir(const char* prefix = "quaytest") {
        const char* base = std::getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/" + prefix + ".XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
        m_path = buf.data();
    }
    ~TempDir() {
        std::string cmd = "rm -rf '" + m_path + "'";
        if (std::system(cmd.c_str()) != 0) {
        }
    }
    const std::string& path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

// Changes the working directory for the life of the object.
class ScopedChdir {
public:
    explicit ScopedChdir(const std::string& dir) {
        char buf[4096];
        if (!getcwd(buf, sizeof(buf))) throw std::runtime_error("getcwd failed");
        m_old = buf;
        if (chdir(dir.c_str()) != 0) throw std::runtime_error("chdir failed: " + dir);
    }
    ~ScopedChdir() {
        if (chdir(m_old.c_str()) != 0) {
        }
    }

private:
    std::string m_old;
};

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline void WriteFile(const std::string& path, const std::string& data, mode_t mode = 0644) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
    out.close();
    chmod(path.c_str(), mode);
}

// Today's local date as YYYYMMDD, as in the names of the day's log files.
inline std::string Today() {
    time_t now = time(nullptr);
    struct tm t;
    localtime_r(&now, &t);
    char buf[16];
    strftime(buf, sizeof(buf), "%Y%m%d", &t);
    return buf;
}

// The log files "<prefix>*.log" of a directory, in name (date) order,
// concatenated; "" when there are none.
inline std::string ReadLogs(const std::string& dir, const std::string& prefix = "") {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string n = e->d_name;
            if (n.size() >= prefix.size() + 4 && n.compare(0, prefix.size(), prefix) == 0 &&
                n.compare(n.size() - 4, 4, ".log") == 0)
                names.push_back(n);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    std::string out;
    for (const auto& n : names) out += ReadFile(dir + "/" + n);
    return out;
}

// Runs a shell command and returns its standard output; status gets the exit code.
inline std::string RunCmd(const std::string& cmd, int* status = nullptr) {
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) {
        if (status) *status = -1;
        return out;
    }
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0) out.append(buf, n);
    int rc = pclose(p);
    if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

}  // namespace qtest

#endif
