#ifndef GT_LOGGER_H
#define GT_LOGGER_H

#include <cstdarg>
#include <cstddef>
#include <cstdint>

// Log levels. The system's own code logs at ERROR, WARN and INFO only.
enum ELOG_LVL_e {
    ELOG_LVL_ASSERT = 0,
    ELOG_LVL_ERROR = 1,
    ELOG_LVL_WARN = 2,
    ELOG_LVL_EVENT = 3,
    ELOG_LVL_INFO = 4,
    ELOG_LVL_DEBUG = 5,
    ELOG_LVL_VERBOSE = 6,
};

// Prefix field bits of a per-level format.
enum ELOG_FMT_e {
    ELOG_FMT_LVL = 1 << 0,
    ELOG_FMT_TAG = 1 << 1,
    ELOG_FMT_TIME = 1 << 2,
    ELOG_FMT_P_INFO = 1 << 3,
    ELOG_FMT_T_INFO = 1 << 4,
    ELOG_FMT_DIR = 1 << 5,
    ELOG_FMT_FUNC = 1 << 6,
    ELOG_FMT_LINE = 1 << 7,
};

#define ELOG_LINE_BUF_SIZE 2048
#define ELOG_RAW_HUGE_BUF_SIZE 2048000
#define ELOG_FILE_NAME_MAX 256

// C-style core: one set of process-wide state.
int elog_init(const char* dir, const char* name);
void elog_start(void);
void elog_fini(void);
void elog_output(uint8_t level, const char* tag, const char* file, const char* func, long line,
                 const char* format, ...) __attribute__((format(printf, 6, 7)));
void elog_raw(const char* format, ...) __attribute__((format(printf, 1, 2)));
void elog_raw_huge(const char* format, ...) __attribute__((format(printf, 1, 2)));
void elog_hexdump(const char* name, uint8_t width, const uint8_t* buf, uint16_t size);
void elog_set_filter_lvl(uint8_t level);
void elog_set_fmt(uint8_t level, uint64_t bits);
void elog_set_output_enabled(bool enabled);
bool elog_get_output_enabled(void);
void elog_assert_set_hook(void (*hook)(const char* expr, const char* func, long line));

int elog_file_init(const char* dir, const char* name);
bool elog_mkdirs(const char* path, unsigned int mode);

#define GT_LOG(level, tag, ...) elog_output((level), (tag), __FILE__, __FUNCTION__, __LINE__, __VA_ARGS__)
#define GT_LOGE(tag, ...) GT_LOG(ELOG_LVL_ERROR, tag, __VA_ARGS__)
#define GT_LOGW(tag, ...) GT_LOG(ELOG_LVL_WARN, tag, __VA_ARGS__)
#define GT_LOGI(tag, ...) GT_LOG(ELOG_LVL_INFO, tag, __VA_ARGS__)

// Tags.
#define GT_TAG_FPGA "fpga"
#define GT_TAG_SRV "Srv"
#define GT_TAG_MONITOR "Monitor"
#define GT_TAG_MAIN "Main"

class ILogger {
public:
    virtual ~ILogger() {}
    virtual int32_t Init(int32_t iLevel, const char* direct, const char* logName) = 0;
};

class CGtLogger : public ILogger {
public:
    CGtLogger() {}
    ~CGtLogger() override;
    int32_t Init(int32_t iLevel, const char* direct, const char* logName) override;
};

extern ILogger* g_lpLogger;

#endif
