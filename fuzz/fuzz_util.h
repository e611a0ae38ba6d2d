#ifndef QUAY_FUZZ_UTIL_H
#define QUAY_FUZZ_UTIL_H

// Helpers shared by the fuzz targets: a private scratch folder in /dev/shm
// for parsers that only take a path, and a reader that splits one input
// into the values a target needs.

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace qfuzz {

// A folder of this process, removed with its files at exit.
inline const std::string& ScratchDir()
{
    static std::string dir = [] {
        char tmpl[] = "/dev/shm/quay_fuzz_XXXXXX";
        if (mkdtemp(tmpl) == nullptr) {
            perror("mkdtemp");
            abort();
        }
        static std::string s_dir = tmpl;
        atexit([] {
            std::string cmd = "rm -rf '" + s_dir + "'";
            if (system(cmd.c_str()) != 0) fprintf(stderr, "could not remove %s\n", s_dir.c_str());
        });
        return s_dir;
    }();
    return dir;
}

inline void WriteFile(const std::string& path, const void* data, size_t size)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        perror(path.c_str());
        abort();
    }
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = write(fd, p, size);
        if (n <= 0) {
            perror("write");
            abort();
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
    close(fd);
}

// Takes values from the front of an input; the rest stays for the body.
class Reader {
public:
    Reader(const uint8_t* data, size_t size) : m_p(data), m_n(size) {}
    uint8_t Byte() { return m_n ? (--m_n, *m_p++) : 0; }
    uint16_t Word() { return static_cast<uint16_t>(Byte() | Byte() << 8); }
    const uint8_t* Rest() const { return m_p; }
    size_t Left() const { return m_n; }
    // Up to n bytes as a string (shorter when the input ends).
    std::string Take(size_t n)
    {
        if (n > m_n) n = m_n;
        std::string s(reinterpret_cast<const char*>(m_p), n);
        m_p += n;
        m_n -= n;
        return s;
    }

private:
    const uint8_t* m_p;
    size_t m_n;
};

// A finding that is not a sanitizer report: print it and stop, so libFuzzer
// keeps the input as a crash.
#define QFUZZ_CHECK(cond)                                                                      \
    do {                                                                                       \
        if (!(cond)) {                                                                         \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);           \
            abort();                                                                           \
        }                                                                                      \
    } while (0)

}  // namespace qfuzz

#endif
