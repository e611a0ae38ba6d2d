#include "oskit_base.h"

#include <errno.h>
#include <fnmatch.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <string>

#include "thread_mutex.h"

namespace {

// Guards the C random generator, which is not thread-safe.
OSKIT2::CThreadMutex gLockTime;

struct LibraryLoad {
    LibraryLoad() {
        struct timeval tv;
        gettimeofday(&tv, nullptr);
        srand(static_cast<unsigned>(tv.tv_usec));
    }
} g_libraryLoad;

void AddMs(struct timespec* ts, long ms) {
    ts->tv_sec += ms / 1000;
    ts->tv_nsec += (ms % 1000) * 1000000L;
    if (ts->tv_nsec >= 1000000000L) {
        ts->tv_sec += 1;
        ts->tv_nsec -= 1000000000L;
    } else if (ts->tv_nsec < 0) {
        ts->tv_sec -= 1;
        ts->tv_nsec += 1000000000L;
    }
}

}  // namespace

extern "C" {

void SleepX(int ms) {
    if (ms < 0) return;
    if (ms < 1000)
        usleep(static_cast<useconds_t>(ms) * 1000);
    else
        sleep(static_cast<unsigned>(ms / 1000));
}

void ConvertDir(char* path) {
    if (!path) return;
    for (; *path; ++path)
        if (*path == '\\') *path = '/';
}

bool IsDir(const char* path) {
    struct stat st;
    if (!path || lstat(path, &st) != 0) return false;
    return S_ISDIR(st.st_mode);
}

int CreateDir(const char* path) {
    if (!path || !*path) return -1;
    std::string p(path);
    int rc = -1;
    mode_t old = umask(0);
    for (size_t i = 1; i < p.size(); ++i) {
        if (p[i] != '/' || p[i - 1] == '/') continue;
        rc = mkdir(p.substr(0, i).c_str(), 0777);
    }
    umask(old);
    return rc;
}

tag_DIR_HANDLE* OpenDir(const char* lpPattern) {
    if (!lpPattern || !*lpPattern) return nullptr;
    std::string s(lpPattern);
    if (s[0] != '.' && s[0] != '/') s = "./" + s;
    std::string dir, pattern;
    if (s.back() == '/' || IsDir(s.c_str())) {
        dir = s;
        pattern = "*";
    } else {
        // A name without a "/" (".*", ".profile") is a pattern for "./".
        size_t slash = s.rfind('/');
        dir = slash == std::string::npos ? "./" : s.substr(0, slash + 1);
        pattern = slash == std::string::npos ? s : s.substr(slash + 1);
    }
    if (dir.back() != '/') dir += '/';
    tag_DIR_HANDLE tmp;
    if (dir.size() >= sizeof(tmp.sDir) || pattern.size() >= sizeof(tmp.sPattern)) return nullptr;
    DIR* d = opendir(dir.c_str());
    if (!d) return nullptr;
    tag_DIR_HANDLE* h = static_cast<tag_DIR_HANDLE*>(calloc(1, sizeof(tag_DIR_HANDLE)));
    if (!h) {
        closedir(d);
        return nullptr;
    }
    h->dirbuf = d;
    memcpy(h->sDir, dir.c_str(), dir.size() + 1);
    memcpy(h->sPattern, pattern.c_str(), pattern.size() + 1);
    return h;
}

int ReadDir(tag_DIR_HANDLE* handle, tag_FileInfo* info) {
    if (!handle || !handle->dirbuf || !info) return 0;
    while (struct dirent* e = readdir(handle->dirbuf)) {
        if (fnmatch(handle->sPattern, e->d_name, FNM_PATHNAME | FNM_PERIOD) != 0) continue;
        std::string full = std::string(handle->sDir) + e->d_name;
        struct stat st;
        if (stat(full.c_str(), &st) != 0 && lstat(full.c_str(), &st) != 0) continue;
        memset(info, 0, sizeof(*info));
        snprintf(info->sFileName, sizeof(info->sFileName), "%s", e->d_name);
        info->iSize = static_cast<int>(st.st_size);
        info->bIsDir = S_ISDIR(st.st_mode);
        struct tm tm;
        localtime_r(&st.st_mtime, &tm);
        uint32_t packed = (static_cast<uint32_t>(tm.tm_year + 1900 - 1980) << 25) +
                          (static_cast<uint32_t>(tm.tm_mon + 1) << 21) +
                          (static_cast<uint32_t>(tm.tm_mday) << 16) +
                          (static_cast<uint32_t>(tm.tm_hour) << 11) +
                          (static_cast<uint32_t>(tm.tm_min) << 5) + static_cast<uint32_t>(tm.tm_sec / 2);
        info->iTime = static_cast<int>(packed);
        return 1;
    }
    return 0;
}

void CloseDir(tag_DIR_HANDLE* handle) {
    if (!handle) return;
    if (handle->dirbuf) closedir(handle->dirbuf);
    free(handle);
}

int GetRandNum(void) {
    OSKIT2::CAutoMutex lock(gLockTime);
    return rand() % 100000 + 1;
}

uint32_t GetTimeSinceStart(void) {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    uint64_t ms = static_cast<uint64_t>(tv.tv_sec) * 1000u + static_cast<uint64_t>(tv.tv_usec) / 1000u;
    return static_cast<uint32_t>(ms);
}

uint64_t GetTime(void) {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return static_cast<uint64_t>(tv.tv_sec) * 1000000u + static_cast<uint64_t>(tv.tv_usec);
}

char* GetTimeStr(char* buf) {
    if (!buf) return buf;
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm tm;
    time_t sec = tv.tv_sec;
    localtime_r(&sec, &tm);
    snprintf(buf, 64, "%02d-%02d-%02d %02d:%02d:%02d:%03d", tm.tm_year % 100, tm.tm_mon + 1, tm.tm_mday,
             tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(tv.tv_usec / 1000));
    return buf;
}

void GetTimespecMonotonic(long ms, struct timespec* ts) {
    clock_gettime(CLOCK_MONOTONIC, ts);
    AddMs(ts, ms);
}

void GetTimespecRealtime(long ms, struct timespec* ts) {
    clock_gettime(CLOCK_REALTIME, ts);
    AddMs(ts, ms);
}

int GetErrorNo(void) { return errno; }

const char* GetOSAdapterVer(void) { return "20090213"; }

const char* GetOSAdapterData(void) { return "V2.0.2.34 Mar 25 2015 11:26:00"; }

size_t OskitStackSizeKiB(void) {
    const char* v = getenv("OSKIT_STACK_SIZE");
    if (!v || !*v) return 10240;
    char* end = nullptr;
    errno = 0;
    long long kib = strtoll(v, &end, 10);
    if (end == v || *end != '\0') return 10240;
    if (errno == ERANGE || kib > 102400) return 102400;
    if (kib < 256) return 256;
    return static_cast<size_t>(kib);
}

}  // extern "C"
