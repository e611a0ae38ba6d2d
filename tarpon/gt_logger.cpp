// Logger core (elog) and the logger service object in front of it.
//
// Every line goes to standard output and to a dated file
// <dir>/<name>_YYYYMMDD.log. The file is switched at the first line stamped
// with a new calendar day. Lines are composed in per-thread buffers, so two
// threads logging at once never share a buffer; the file write, the day check
// and the rotation run under one process-wide recursive mutex.

#include "gt_logger.h"

#include <errno.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "gt_result.h"
#include "thread_mutex.h"

ILogger* g_lpLogger = nullptr;

namespace {

const char* const kLevelLabel[] = {
    "[ASSERT ]", "[ERROR  ]", "[WARN   ]", "[EVENT  ]", "[INFO   ]", "[DEBUG  ]", "[VERBOSE]",
};
const int kLevelNum = 7;

const char* const kRotateNotice =
    "======================log file is rotating, exit log file!===================";

// Process-wide logger settings.
struct ElogSettings {
    std::atomic<uint8_t> filter_level{6};
    std::atomic<uint64_t> formats[kLevelNum] = {};
    std::atomic<bool> output_enabled{false};
    void (*assert_hook)(const char*, const char*, long) = nullptr;
};
ElogSettings g_elog;

// Log file state; guarded by LogMutex() except time_cache (atomic).
struct ElogFile {
    FILE* fp = nullptr;
    int fd = -1;
    bool inited = false;
    char name_tmpl[ELOG_FILE_NAME_MAX] = {0};
    std::atomic<time_t> time_cache{0};
    long last_rotate_day = 0;
    bool rotating = false;
};
ElogFile g_file;

// Never destroyed, so that lines logged from static destructors still find it.
OSKIT2::CThreadMutex& LogMutex() {
    static OSKIT2::CThreadMutex* s_mutex = new OSKIT2::CThreadMutex();
    return *s_mutex;
}

// Raw output of elog_raw_huge is composed here under the mutex (too large for
// a per-thread buffer).
char* RawHugeBuf() {
    static char* s_buf = new char[ELOG_RAW_HUGE_BUF_SIZE + 1];
    return s_buf;
}

long DayKey(time_t t, bool* ok) {
    struct tm tmv;
    if (localtime_r(&t, &tmv) == nullptr) {
        *ok = false;
        return 0;
    }
    *ok = true;
    return (long)(tmv.tm_year + 1900) * 10000 + (tmv.tm_mon + 1) * 100 + tmv.tm_mday;
}

// Opens the file for the day of time_cache from the remembered template.
// Called with the mutex held (or during initialisation). Returns the
// descriptor or -1.
int OpenDayFile() {
    if (g_file.fp != nullptr) {
        fclose(g_file.fp);
        g_file.fp = nullptr;
        g_file.fd = -1;
    }
    time_t t = g_file.time_cache.load(std::memory_order_relaxed);
    struct tm tmv;
    if (localtime_r(&t, &tmv) == nullptr) return -1;
    char date[32];
    snprintf(date, sizeof(date), "%04d%02d%02d", tmv.tm_year + 1900, tmv.tm_mon + 1, tmv.tm_mday);
    char path[ELOG_FILE_NAME_MAX + 32];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    snprintf(path, sizeof(path), g_file.name_tmpl, date);
#pragma GCC diagnostic pop
    g_file.fp = fopen(path, "ab");
    if (g_file.fp == nullptr) {
        g_file.fd = -1;
        fprintf(stderr, "Error! Create file %s fail, errmsg:%s. \n", path, strerror(errno));
        return -1;
    }
    g_file.fd = fileno(g_file.fp);
    // The file just opened belongs to this day: a later line of the same day
    // must not rotate again, a line of the next day must.
    g_file.last_rotate_day = (long)(tmv.tm_year + 1900) * 10000 + (tmv.tm_mon + 1) * 100 + tmv.tm_mday;
    return g_file.fd;
}

// Day check; mutex held.
void RotateIfNewDay(time_t t) {
    bool ok = false;
    long key = DayKey(t, &ok);
    if (!ok) return;
    if (g_file.last_rotate_day == 0) {
        g_file.last_rotate_day = key;
        return;
    }
    if (key > g_file.last_rotate_day) {
        g_file.rotating = true;
        g_file.time_cache.store(t, std::memory_order_relaxed);
        OpenDayFile();
        g_file.last_rotate_day = key;
        g_file.rotating = false;
    }
}

// Writes a composed line (or raw text) to standard output and the log file.
// t is the time the line carries, used for the day check.
void OutputText(const char* text, size_t len, time_t t) {
    if (len > 0) fwrite(text, 1, len, stdout);

    OSKIT2::CAutoMutex lock(LogMutex());
    if (g_file.rotating) {
        fputs(kRotateNotice, stdout);
        return;
    }
    // Nothing is written to a file that was never opened or is closed
    // (after elog_fini, or after a failed reopen at rotation).
    if (!g_file.inited) return;
    RotateIfNewDay(t);
    if (g_file.fp == nullptr) return;
    if (len > 0) fwrite(text, 1, len, g_file.fp);
    fflush(g_file.fp);
}

// Appends str to buf (at *len), never going past cap - 1 characters.
void Append(char* buf, size_t* len, size_t cap, const char* str) {
    while (*str != '\0' && *len + 1 < cap) buf[(*len)++] = *str++;
    buf[*len] = '\0';
}

thread_local char t_lineBuf[ELOG_LINE_BUF_SIZE + 1];
thread_local char t_rawBuf[ELOG_LINE_BUF_SIZE + 1];

}  // namespace

bool elog_mkdirs(const char* path, unsigned int mode) {
    if (path == nullptr || *path == '\0') return false;
    char buf[512 + 1];
    strncpy(buf, path, 512);
    buf[512] = '\0';
    struct stat st;
    for (char* p = buf + 1; *p != '\0'; ++p) {
        if (*p != '/') continue;
        *p = '\0';
        if (stat(buf, &st) != 0) mkdir(buf, mode);
        *p = '/';
    }
    if (stat(buf, &st) != 0) mkdir(buf, mode);
    return stat(buf, &st) == 0 && S_ISDIR(st.st_mode);
}

int elog_file_init(const char* dir, const char* name) {
    OSKIT2::CAutoMutex lock(LogMutex());
    if (g_file.inited) return 0;
    if (dir == nullptr || name == nullptr) {
        fprintf(stderr, "Error! log init fail.\n");
        return -1;
    }
    if (access(dir, W_OK) != 0) {
        struct stat st;
        if (stat(dir, &st) == 0) {
            fprintf(stderr,
                    "Error! file or dir: [%s] already exist and havn't write authority. use root try "
                    "again ?\n",
                    dir);
            return -1;
        }
        if (!elog_mkdirs(dir, 0755)) {
            fprintf(stderr,
                    "Error! make file or log dir:[%s] failed! Maybe no access authority.use root try "
                    "again ?\n",
                    dir);
            return -1;
        }
    }
    g_file.time_cache.store(time(nullptr), std::memory_order_relaxed);
    int n = snprintf(g_file.name_tmpl, sizeof(g_file.name_tmpl), "%s/%s_%%s.log", dir, name);
    if (n < 0 || (size_t)n >= sizeof(g_file.name_tmpl)) {
        // A cut template could lose the "%s" of the date; refuse it.
        g_file.name_tmpl[0] = '\0';
        fprintf(stderr, "Error! log init fail.\n");
        return -1;
    }
    if (OpenDayFile() < 0) {
        fprintf(stderr, "Error! log init fail.\n");
        return -1;
    }
    g_file.inited = true;
    return 0;
}

int elog_init(const char* dir, const char* name) {
    int ret = elog_file_init(dir, name);
    if (ret != 0) return ret;
    setvbuf(stdout, nullptr, _IONBF, 0);
    g_elog.formats[ELOG_LVL_ASSERT] = 255;
    for (int lvl = ELOG_LVL_ERROR; lvl <= ELOG_LVL_INFO; ++lvl) g_elog.formats[lvl] = 7;
    g_elog.formats[ELOG_LVL_DEBUG] = 191;
    g_elog.formats[ELOG_LVL_VERBOSE] = 191;
    g_elog.filter_level = ELOG_LVL_VERBOSE;
    return 0;
}

void elog_start(void) {
    g_elog.output_enabled = true;
    elog_output(ELOG_LVL_INFO, "log", __FILE__, __FUNCTION__, __LINE__, "log is initialized successfully.");
}

void elog_fini(void) {
    OSKIT2::CAutoMutex lock(LogMutex());
    if (g_file.fp != nullptr) fclose(g_file.fp);
    g_file.fp = nullptr;
    g_file.fd = -1;
    g_file.inited = false;
}

void elog_output(uint8_t level, const char* tag, const char* file, const char* func, long line,
                 const char* format, ...) {
    if (!g_elog.output_enabled.load(std::memory_order_relaxed)) return;
    if (level > g_elog.filter_level.load(std::memory_order_relaxed) || level >= kLevelNum) return;

    char* buf = t_lineBuf;
    const size_t cap = ELOG_LINE_BUF_SIZE;  // content + newline, at most
    size_t len = 0;
    buf[0] = '\0';
    uint64_t fmt = g_elog.formats[level].load(std::memory_order_relaxed);
    time_t stamp = g_file.time_cache.load(std::memory_order_relaxed);

    if (fmt & ELOG_FMT_LVL) Append(buf, &len, cap, kLevelLabel[level]);
    if (fmt & (ELOG_FMT_TIME | ELOG_FMT_P_INFO | ELOG_FMT_T_INFO)) {
        Append(buf, &len, cap, "[");
        if (fmt & ELOG_FMT_TIME) {
            time_t now = time(nullptr);
            struct tm tmv;
            if (localtime_r(&now, &tmv) != nullptr) {
                char tbuf[64];
                snprintf(tbuf, sizeof(tbuf), "%04d%02d%02d-%02d:%02d:%02d", tmv.tm_year + 1900, tmv.tm_mon + 1,
                         tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec);
                Append(buf, &len, cap, tbuf);
            }
            stamp = now;
            g_file.time_cache.store(now, std::memory_order_relaxed);
            if (fmt & (ELOG_FMT_P_INFO | ELOG_FMT_T_INFO)) Append(buf, &len, cap, " ");
        }
        if (fmt & ELOG_FMT_P_INFO) {
            char pbuf[32];
            snprintf(pbuf, sizeof(pbuf), "pid:%04d", (int)getpid());
            Append(buf, &len, cap, pbuf);
            if (fmt & ELOG_FMT_T_INFO) Append(buf, &len, cap, " ");
        }
        if (fmt & ELOG_FMT_T_INFO) {
            char tidbuf[32];
            snprintf(tidbuf, sizeof(tidbuf), "tid:%04d", (int)syscall(SYS_gettid));
            Append(buf, &len, cap, tidbuf);
        }
        Append(buf, &len, cap, "]");
    }
    if (fmt & ELOG_FMT_TAG) {
        Append(buf, &len, cap, "[");
        Append(buf, &len, cap, tag ? tag : "");
        Append(buf, &len, cap, "]");
    }
    if (fmt & (ELOG_FMT_DIR | ELOG_FMT_FUNC | ELOG_FMT_LINE)) {
        Append(buf, &len, cap, "(");
        bool named = false;
        if ((fmt & ELOG_FMT_DIR) && file != nullptr) {
            const char* slash = strrchr(file, '/');
            Append(buf, &len, cap, slash ? slash + 1 : file);
            named = true;
        }
        if ((fmt & ELOG_FMT_FUNC) && func != nullptr) {
            if (named) Append(buf, &len, cap, " ");
            Append(buf, &len, cap, func);
            named = true;
        }
        if (fmt & ELOG_FMT_LINE) {
            if (named) Append(buf, &len, cap, ":");
            char lbuf[32];
            snprintf(lbuf, sizeof(lbuf), "%ld", line);
            lbuf[4] = '\0';  // at most four digits
            Append(buf, &len, cap, lbuf);
        }
        Append(buf, &len, cap, ")");
    }

    if (format != nullptr && len + 1 < cap) {
        va_list args;
        va_start(args, format);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
        int n = vsnprintf(buf + len, cap - len, format, args);
#pragma GCC diagnostic pop
        va_end(args);
        if (n < 0) {
            // Formatting failed: keep the prefix, drop whatever was written.
            buf[len] = '\0';
        } else if (len + (size_t)n >= cap) {
            len = cap - 1;  // the text filled the buffer
        } else {
            len += (size_t)n;
        }
    }
    if (len > cap - 1) len = cap - 1;
    buf[len++] = '\n';
    buf[len] = '\0';
    OutputText(buf, len, stamp);
}

void elog_raw(const char* format, ...) {
    if (!g_elog.output_enabled.load(std::memory_order_relaxed) || format == nullptr) return;
    char* buf = t_rawBuf;
    va_list args;
    va_start(args, format);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    int n = vsnprintf(buf, ELOG_LINE_BUF_SIZE + 1, format, args);
#pragma GCC diagnostic pop
    va_end(args);
    if (n < 0) return;
    size_t len = (size_t)n > ELOG_LINE_BUF_SIZE ? ELOG_LINE_BUF_SIZE : (size_t)n;
    OutputText(buf, len, g_file.time_cache.load(std::memory_order_relaxed));
}

void elog_raw_huge(const char* format, ...) {
    if (!g_elog.output_enabled.load(std::memory_order_relaxed) || format == nullptr) return;
    OSKIT2::CAutoMutex lock(LogMutex());
    char* buf = RawHugeBuf();
    va_list args;
    va_start(args, format);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    int n = vsnprintf(buf, ELOG_RAW_HUGE_BUF_SIZE + 1, format, args);
#pragma GCC diagnostic pop
    va_end(args);
    if (n < 0) return;
    size_t len = (size_t)n > ELOG_RAW_HUGE_BUF_SIZE ? ELOG_RAW_HUGE_BUF_SIZE : (size_t)n;
    OutputText(buf, len, g_file.time_cache.load(std::memory_order_relaxed));
}

void elog_hexdump(const char* name, uint8_t width, const uint8_t* buf, uint16_t size) {
    if (!g_elog.output_enabled.load(std::memory_order_relaxed)) return;
    if (g_elog.filter_level.load(std::memory_order_relaxed) < ELOG_LVL_DEBUG) return;
    if (size == 0 || width == 0 || buf == nullptr) return;

    char* line = t_lineBuf;
    const size_t cap = ELOG_LINE_BUF_SIZE;
    char piece[64];
    for (uint32_t i = 0; i < size; i += width) {
        size_t len = 0;
        line[0] = '\0';
        Append(line, &len, cap, "[DEBUG  ]HEX ");
        Append(line, &len, cap, name ? name : "");
        snprintf(piece, sizeof(piece), ": %04X-%04X: ", i, i + width);
        Append(line, &len, cap, piece);
        for (uint32_t j = 0; j < width; ++j) {
            if (i + j < size) {
                snprintf(piece, sizeof(piece), "%02X ", buf[i + j]);
                Append(line, &len, cap, piece);
            } else {
                Append(line, &len, cap, "   ");
            }
            if ((j + 1) % 8 == 0) Append(line, &len, cap, " ");
        }
        Append(line, &len, cap, "  ");
        for (uint32_t j = 0; j < width && i + j < size; ++j) {
            uint8_t c = buf[i + j];
            piece[0] = (c >= 32 && c <= 126) ? (char)c : '.';
            piece[1] = '\0';
            Append(line, &len, cap, piece);
        }
        if (len > cap - 1) len = cap - 1;
        line[len++] = '\n';
        line[len] = '\0';
        OutputText(line, len, g_file.time_cache.load(std::memory_order_relaxed));
    }
}

void elog_set_filter_lvl(uint8_t level) { g_elog.filter_level = level; }

void elog_set_fmt(uint8_t level, uint64_t bits) {
    if (level < kLevelNum) g_elog.formats[level] = bits;
}

void elog_set_output_enabled(bool enabled) { g_elog.output_enabled = enabled; }

bool elog_get_output_enabled(void) { return g_elog.output_enabled; }

void elog_assert_set_hook(void (*hook)(const char* expr, const char* func, long line)) {
    g_elog.assert_hook = hook;
}

CGtLogger::~CGtLogger() { elog_fini(); }

int32_t CGtLogger::Init(int32_t iLevel, const char* direct, const char* logName) {
    (void)iLevel;
    if (elog_init(direct, logName) != 0) return GT_ERR_CREATE;
    elog_start();
    return GT_OK;
}
