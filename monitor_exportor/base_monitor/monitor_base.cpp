#include "monitor_base.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>

int count_dir_entries(const char* path) {
    DIR* dir = opendir(path);
    if (!dir) return -1;
    int n = 0;
    while (struct dirent* e = readdir(dir)) {
        if (e->d_name[0] != '.') ++n;
    }
    closedir(dir);
    return n;
}

// ---------------------------------------------------------------------------

CLinux_CPUusage::CLinux_CPUusage() : m_tProcessCpuUse_Old(0), m_tAllCpuUse_Old(0), m_pid(0) {}

int64_t CLinux_CPUusage::get_cpu_total_occupy() {
    FILE* f = fopen("/proc/stat", "r");
    if (!f) return 0;
    unsigned long v[7] = {0, 0, 0, 0, 0, 0, 0};
    int n = fscanf(f, "cpu %lu %lu %lu %lu %lu %lu %lu", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6]);
    fclose(f);
    if (n <= 0) return 0;
    int64_t sum = 0;
    for (int i = 0; i < 7; ++i) sum += static_cast<int64_t>(v[i]);
    return sum;
}

int64_t CLinux_CPUusage::get_cpu_process_occupy(int pid) {
    char path[64];
    snprintf(path, sizeof(path), "/proc/%d/task", pid);
    DIR* dir = opendir(path);
    if (!dir) return 0;
    int64_t sum = 0;
    while (struct dirent* e = readdir(dir)) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
        char stat_path[300];
        snprintf(stat_path, sizeof(stat_path), "%s/stat", e->d_name);
        int fd = openat(dirfd(dir), stat_path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;  // the thread has just ended
        char line[256];
        ssize_t got = read(fd, line, sizeof(line) - 1);
        close(fd);
        if (got <= 0) continue;
        line[got] = '\0';
        if (char* nl = strchr(line, '\n')) *nl = '\0';
        const char* rp = strrchr(line, ')');
        if (!rp) continue;
        proc_info info;
        memset(&info, 0, sizeof(info));
        info.tid = static_cast<pid_t>(atoi(e->d_name));
        if (sscanf(rp + 1, " %c %*d %*d %*d %*d %*d %*d %*d %*d %*d %*d %lu %lu", &info.state, &info.utime,
                   &info.stime) == 3) {
            sum += static_cast<int64_t>(info.utime + info.stime);
        }
    }
    closedir(dir);
    return sum;
}

float CLinux_CPUusage::get_cpu_usage(int pid) {
    if (m_pid == 0) {
        // No previous sample yet: take one and report nothing used.
        m_pid = pid;
        m_tAllCpuUse_Old = get_cpu_total_occupy();
        m_tProcessCpuUse_Old = get_cpu_process_occupy(pid);
        return 0.0f;
    }
    int64_t all = get_cpu_total_occupy();
    int64_t proc = get_cpu_process_occupy(m_pid);
    double d_all = static_cast<double>(all - m_tAllCpuUse_Old);
    double d_proc = static_cast<double>(proc - m_tProcessCpuUse_Old);
    float usage = 0.0f;
    if (d_all > 0.0) usage = static_cast<float>(d_proc * 100.0 * get_nprocs() / d_all);
    m_tAllCpuUse_Old = all;
    m_tProcessCpuUse_Old = proc;
    return usage;
}

// ---------------------------------------------------------------------------

CMonitor_BaseInfo::CMonitor_BaseInfo() : m_pid(getpid()) {
    time_t now = time(nullptr);
    struct tm tmv;
    localtime_r(&now, &tmv);
    char buf[64];
    snprintf(buf, sizeof(buf), "%d%02d%02d %02d:%02d:%02d", tmv.tm_year + 1900, tmv.tm_mon + 1, tmv.tm_mday,
             tmv.tm_hour, tmv.tm_min, tmv.tm_sec);
    m_startTime = buf;
}

CMonitor_BaseInfo::~CMonitor_BaseInfo() {}

void CMonitor_BaseInfo::get_cpu_use() {}
void CMonitor_BaseInfo::get_men_use() {}
void CMonitor_BaseInfo::get_thread_num() {}
void CMonitor_BaseInfo::get_handle_num() {}

void CMonitor_BaseInfo::get_pid() {
    char buf[32];
    snprintf(buf, sizeof(buf), "%d", m_pid);
    m_mapKV["PID"] = buf;
}

void CMonitor_BaseInfo::get_start_time() { m_mapKV["start_time"] = m_startTime; }

void CMonitor_BaseInfo::get_version() {
    if (!m_version.empty()) m_mapKV["version"] = m_version;
}

void CMonitor_BaseInfo::SetVerision(const std::string& version) { m_version = version; }

Q_LabelMap CMonitor_BaseInfo::GetProcessInfo() {
    m_mapKV.clear();
    get_pid();
    get_version();
    get_men_use();
    get_cpu_use();
    get_thread_num();
    get_handle_num();
    get_start_time();
    return m_mapKV;
}

// ---------------------------------------------------------------------------

void CBaseMonitor_linux::get_cpu_use() {
    float usage = m_cpuUse.get_cpu_usage(m_pid);
    char buf[64];
    snprintf(buf, sizeof(buf), "%f", usage > 1e-5f ? static_cast<double>(usage) : 0.0);
    m_mapKV["cpu_usage"] = buf;
}

void CBaseMonitor_linux::get_men_use() {
    char path[64];
    snprintf(path, sizeof(path), "/proc/%d/statm", m_pid);
    FILE* f = fopen(path, "r");
    if (!f) return;
    unsigned v[7];
    int n = fscanf(f, "%u %u %u %u %u %u %u", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6]);
    fclose(f);
    if (n != 7) return;
    static const double page_kib = static_cast<double>(sysconf(_SC_PAGESIZE)) / 1024.0;
    char buf[64];
    snprintf(buf, sizeof(buf), "%f", v[1] * page_kib / 1024.0);
    m_mapKV["physics_men_use_MB"] = buf;
}

void CBaseMonitor_linux::get_thread_num() {
    char path[64];
    snprintf(path, sizeof(path), "/proc/%d/task", m_pid);
    int n = count_dir_entries(path);
    if (n > 0) m_mapKV["threads_num"] = std::to_string(n);
}

void CBaseMonitor_linux::get_handle_num() {
    char path[64];
    snprintf(path, sizeof(path), "/proc/%d/fd", m_pid);
    int n = count_dir_entries(path);
    if (n > 0) m_mapKV["handles_num"] = std::to_string(n);
}
