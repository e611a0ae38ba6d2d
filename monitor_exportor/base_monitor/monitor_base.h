// Process and socket figures of the host process, read from /proc.
#ifndef Q_MONITOR_BASE_H
#define Q_MONITOR_BASE_H

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

typedef std::map<std::string, std::string> Q_LabelMap;
typedef std::vector<Q_LabelMap> Q_NetStat_List;

// One thread's CPU record.
struct proc_info {
    pid_t tid;
    char state;
    unsigned long utime;  // user ticks
    unsigned long stime;  // system ticks
};

// Process CPU usage between two samples, in percent of one processor.
class CLinux_CPUusage {
public:
    CLinux_CPUusage();
    // Usage since the previous call; 0 on the first call (no previous sample).
    float get_cpu_usage(int pid);

    static int64_t get_cpu_total_occupy();         // machine ticks, 0 when unreadable
    static int64_t get_cpu_process_occupy(int pid);  // sum over the process's threads

private:
    int64_t m_tProcessCpuUse_Old;
    int64_t m_tAllCpuUse_Old;
    int m_pid;
};

class CMonitor_BaseInfo {
public:
    CMonitor_BaseInfo();
    virtual ~CMonitor_BaseInfo();
    virtual void get_cpu_use();
    virtual void get_men_use();
    virtual void get_pid();
    virtual void get_thread_num();
    virtual void get_handle_num();
    virtual void get_start_time();

    // Rebuilds and returns the process label set.
    Q_LabelMap GetProcessInfo();
    void SetVerision(const std::string& version);
    void get_version();

protected:
    Q_LabelMap m_mapKV;
    int m_pid;
    std::string m_startTime;
    std::string m_version;
};

class CBaseMonitor_linux : public CMonitor_BaseInfo {
public:
    void get_cpu_use() override;
    void get_men_use() override;
    void get_thread_num() override;
    void get_handle_num() override;

private:
    CLinux_CPUusage m_cpuUse;
};

class CMonitor_NetStatInfo {
public:
    virtual ~CMonitor_NetStatInfo();
    virtual void GetNetstatInfo_TCP(Q_NetStat_List& list);
    virtual void GetNetstatInfo_UDP(Q_NetStat_List& list);
};

class CMonitor_NetStatInfo_Linux : public CMonitor_NetStatInfo {
public:
    CMonitor_NetStatInfo_Linux();
    // Collects the process's socket inodes, then its TCP sockets.
    void GetNetstatInfo_TCP(Q_NetStat_List& list) override;
    // Uses the inode set of the last TCP call.
    void GetNetstatInfo_UDP(Q_NetStat_List& list) override;

    // Name of a kernel TCP state number; empty for 0 and above 11.
    static const char* tcp_state_name(unsigned state);
    // Inode of an fd link target ("socket:[N]" or "[0000]:N"), -1 if none.
    static long socket_inode_of(const char* link);

private:
    void collect_inodes();
    bool parse_tcp_line(const char* line, Q_LabelMap& kv);
    bool parse_udp_line(const char* line, Q_LabelMap& kv);
    // Appends a label map for each line of /proc/<pid>/net/<table> whose
    // socket belongs to the process, parsed by `parse`.
    void read_socket_table(const char* table, bool (CMonitor_NetStatInfo_Linux::*parse)(const char*, Q_LabelMap&),
                           Q_NetStat_List& list);

    int m_pid;
    char m_buffer[8192];
    std::set<long> m_inode_list;
    std::vector<char> m_iobuf;  // stdio buffer for the socket tables
};

// Number of entries of a directory whose names do not begin with ".";
// -1 when the directory cannot be opened.
int count_dir_entries(const char* path);

#endif
