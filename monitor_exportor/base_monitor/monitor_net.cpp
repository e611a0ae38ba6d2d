#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "monitor_base.h"

namespace {

const char* const kTcpStates[] = {
    "",          "ESTABLISHED", "SYN_SENT", "SYN_RECV", "FIN_WAIT1", "FIN_WAIT2",
    "TIME_WAIT", "CLOSE",       "CLOSE_WAIT", "LAST_ACK", "LISTEN",  "CLOSING",
};

const unsigned kTcpListen = 10;

// Parses the whole of [p, p+len) as a non-negative decimal number that fits
// in a long; -1 otherwise.
long parse_inode(const char* p, size_t len) {
    if (len == 0) return -1;
    long v = 0;
    for (size_t i = 0; i < len; ++i) {
        if (p[i] < '0' || p[i] > '9') return -1;
        long d = p[i] - '0';
        if (v > (LONG_MAX - d) / 10) return -1;
        v = v * 10 + d;
    }
    return v;
}

// The inode column (the tenth) of a socket table line, -1 when absent.
long inode_column(const char* line) {
    const char* p = line;
    for (int field = 0; field < 10; ++field) {
        while (*p == ' ' || *p == '\t') ++p;
        if (!*p || *p == '\n') return -1;
        const char* start = p;
        while (*p && *p != ' ' && *p != '\t' && *p != '\n') ++p;
        if (field == 9) return parse_inode(start, static_cast<size_t>(p - start));
    }
    return -1;
}

std::string addr_text(const char* hex, unsigned port, bool ipv4) {
    char buf[64];
    if (!ipv4) {
        snprintf(buf, sizeof(buf), "[NONE SET]:%u", port);
        return buf;
    }
    struct in_addr a;
    a.s_addr = static_cast<in_addr_t>(strtoul(hex, nullptr, 16));
    char ip[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &a, ip, sizeof(ip));
    snprintf(buf, sizeof(buf), "%s:%u", ip, port);
    return buf;
}

// The labels every socket family carries: both ends and the queue sizes.
void add_endpoint_labels(Q_LabelMap& kv, const char* local, unsigned lport, const char* remote, unsigned rport,
                         bool ipv4, unsigned long rxq, unsigned long txq) {
    kv["local_addr"] = addr_text(local, lport, ipv4);
    kv["remote_addr"] = addr_text(remote, rport, ipv4);
    kv["Recv_Q"] = std::to_string(rxq);
    kv["Send_Q"] = std::to_string(txq);
}

struct FileCloser {
    void operator()(FILE* f) const { fclose(f); }
};

}  // namespace

CMonitor_NetStatInfo::~CMonitor_NetStatInfo() {}
void CMonitor_NetStatInfo::GetNetstatInfo_TCP(Q_NetStat_List&) {}
void CMonitor_NetStatInfo::GetNetstatInfo_UDP(Q_NetStat_List&) {}

CMonitor_NetStatInfo_Linux::CMonitor_NetStatInfo_Linux() : m_pid(getpid()) { m_buffer[0] = '\0'; }

const char* CMonitor_NetStatInfo_Linux::tcp_state_name(unsigned state) {
    return state < sizeof(kTcpStates) / sizeof(kTcpStates[0]) ? kTcpStates[state] : "";
}

long CMonitor_NetStatInfo_Linux::socket_inode_of(const char* link) {
    size_t len = strlen(link);
    if (len >= 11 && strncmp(link, "socket:[", 8) == 0 && link[len - 1] == ']') return parse_inode(link + 8, len - 9);
    if (strncmp(link, "[0000]:", 7) == 0) return parse_inode(link + 7, len - 7);
    return -1;
}

void CMonitor_NetStatInfo_Linux::collect_inodes() {
    m_inode_list.clear();
    char path[64];
    snprintf(path, sizeof(path), "/proc/%d/fd", m_pid);
    DIR* dir = opendir(path);
    if (!dir) return;
    while (struct dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.' || e->d_name[0] == '0') continue;
        char target[64];
        ssize_t n = readlinkat(dirfd(dir), e->d_name, target, sizeof(target) - 1);
        if (n <= 0) continue;
        target[n] = '\0';
        long inode = socket_inode_of(target);
        if (inode >= 0) m_inode_list.insert(inode);
    }
    closedir(dir);
}

bool CMonitor_NetStatInfo_Linux::parse_tcp_line(const char* line, Q_LabelMap& kv) {
    int slot = 0, uid = 0, timeout = 0, cwnd = -1;
    char local[65] = "", remote[65] = "", more[501] = "";
    unsigned lport = 0, rport = 0, state = 0, timer_run = 0;
    unsigned long txq = 0, rxq = 0, time_len = 0, retr = 0;
    long inode = 0;
    // ... inode, refcount, socket pointer, rto, ato, quick-ack/ping-pong, snd_cwnd, ssthresh
    int num = sscanf(line,
                     "%d: %64[0-9A-Fa-f]:%X %64[0-9A-Fa-f]:%X %X %lX:%lX %X:%lX %lX %d %d %ld %*d %*X %*d %*d %*d "
                     "%d %500s\n",
                     &slot, local, &lport, remote, &rport, &state, &txq, &rxq, &timer_run, &time_len, &retr, &uid,
                     &timeout, &inode, &cwnd, more);
    if (num <= 10) {
        fprintf(stderr, "warning, got bogus tcp line.\n");
        return false;
    }
    if (num < 14 || m_inode_list.count(inode) == 0) return false;

    bool ipv4 = strlen(local) <= 8;
    if (state == kTcpListen) {
        time_len = 0;
        retr = 0;
        txq = 0;
    }
    char buf[64];
    add_endpoint_labels(kv, local, lport, remote, rport, ipv4, rxq, txq);
    kv["tcp_state"] = tcp_state_name(state);

    double secs = static_cast<double>(time_len) / 100.0;
    long lretr = static_cast<long>(retr);
    switch (timer_run) {
        case 0:
            snprintf(buf, sizeof(buf), "off (0.00/retry:%ld/timeout:%d)", lretr, timeout);
            break;
        case 1:
            snprintf(buf, sizeof(buf), "Retransmission on (time_len:%2.2f/retry:%ld/timeout:%d)", secs, lretr, timeout);
            break;
        case 2:
            snprintf(buf, sizeof(buf), "keepalive or other timer (time_len:%2.2f/retry:%ld/timeout:%d)", secs, lretr,
                     timeout);
            break;
        case 3:
            snprintf(buf, sizeof(buf), "timewait (time_len:%2.2f/retry:%ld/timeout:%d)", secs, lretr, timeout);
            break;
        default:
            snprintf(buf, sizeof(buf), "unkn-%d (time_len:%2.2f/retry:%ld/timeout:%d)", static_cast<int>(timer_run),
                     secs, lretr, timeout);
            break;
    }
    kv["timers"] = buf;
    if (num >= 15 && cwnd >= 0) kv["cwnd"] = std::to_string(cwnd);
    return true;
}

bool CMonitor_NetStatInfo_Linux::parse_udp_line(const char* line, Q_LabelMap& kv) {
    int slot = 0, uid = 0, timeout = 0, drops = -1;
    char local[65] = "", remote[65] = "";
    unsigned lport = 0, rport = 0, state = 0, timer_run = 0;
    unsigned long txq = 0, rxq = 0, time_len = 0, retr = 0;
    long inode = 0;
    int num = sscanf(line, "%d: %64[0-9A-Fa-f]:%X %64[0-9A-Fa-f]:%X %X %lX:%lX %X:%lX %lX %d %d %ld %*d %*X %d\n",
                     &slot, local, &lport, remote, &rport, &state, &txq, &rxq, &timer_run, &time_len, &retr, &uid,
                     &timeout, &inode, &drops);
    if (num <= 9) {
        fprintf(stderr, "warning, got bogus udp line.\n");
        return false;
    }
    if (num < 14 || m_inode_list.count(inode) == 0) return false;

    bool ipv4 = strlen(local) <= 8;
    add_endpoint_labels(kv, local, lport, remote, rport, ipv4, rxq, txq);
    if (num < 15 || drops < 0) drops = -1;
    kv["drops"] = std::to_string(drops);
    return true;
}

void CMonitor_NetStatInfo_Linux::read_socket_table(const char* table,
                                                   bool (CMonitor_NetStatInfo_Linux::*parse)(const char*, Q_LabelMap&),
                                                   Q_NetStat_List& list) {
    char path[64];
    snprintf(path, sizeof(path), "/proc/%d/net/%s", m_pid, table);
    std::unique_ptr<FILE, FileCloser> f(fopen(path, "r"));
    if (!f) {
        perror(path);
        return;
    }
    m_iobuf.resize(65536);
    setvbuf(f.get(), m_iobuf.data(), _IOFBF, m_iobuf.size());
    bool header = true;
    while (fgets(m_buffer, sizeof(m_buffer), f.get())) {
        if (header) {
            header = false;
            continue;
        }
        // Sockets of other processes are the common case: skip them early.
        long inode = inode_column(m_buffer);
        if (inode >= 0 && m_inode_list.count(inode) == 0) continue;
        Q_LabelMap kv;
        if ((this->*parse)(m_buffer, kv) && !kv.empty()) list.push_back(std::move(kv));
    }
}

void CMonitor_NetStatInfo_Linux::GetNetstatInfo_TCP(Q_NetStat_List& list) {
    collect_inodes();
    read_socket_table("tcp", &CMonitor_NetStatInfo_Linux::parse_tcp_line, list);
}

void CMonitor_NetStatInfo_Linux::GetNetstatInfo_UDP(Q_NetStat_List& list) {
    read_socket_table("udp", &CMonitor_NetStatInfo_Linux::parse_udp_line, list);
}
