#include "common.h"

#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <pwd.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

MKRX_ENV_BOARD_INF_e g_eEnvBoard = MKRX_INVALID_TYPE;

constexpr size_t kCommLen = 15;  // the kernel keeps this much of a command name

const char* const g_szBoardCmd[MKRX_BOARD_TYPE_NUM] = {
    "lspci | grep Enyx",    // MKRX_ENYX_BOARD
    "lspci | grep Xilinx",  // MKRX_XILINX_BOARD
};

// Runs a shell pipeline and counts the lines it prints (a last line without
// a newline counts too). A pipeline that cannot be started counts -1.
int CountCmdLines(const char* cmd) {
    FILE* fp = popen(cmd, "r");
    if (fp == nullptr) return -1;
    char line[2048];
    int count = 0;
    bool partial = false;
    while (fgets(line, sizeof(line), fp) != nullptr) {
        size_t n = strlen(line);
        if (n > 0 && line[n - 1] == '\n') {
            ++count;
            partial = false;
        } else {
            partial = true;
        }
    }
    if (partial) ++count;
    pclose(fp);
    return count;
}

int CountOrZero(const char* cmd) {
    int n = CountCmdLines(cmd);
    return n < 0 ? 0 : n;
}

// Up to size - 1 bytes of a /proc file, NUL-terminated; the byte count, or -1.
ssize_t ReadProcFile(const std::string& path, char* buf, size_t size) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    ssize_t n = read(fd, buf, size - 1);
    close(fd);
    if (n < 0) return -1;
    buf[n] = '\0';
    return n;
}

// Target of a /proc link such as ns/pid ("pid:[4026531836]"), "" if unreadable.
std::string ProcLink(const std::string& path) {
    char buf[128];
    ssize_t n = readlink(path.c_str(), buf, sizeof(buf) - 1);
    if (n <= 0) return std::string();
    return std::string(buf, (size_t)n);
}

// Number of PID namespaces a process is seen in from the /proc mount's one
// down to its own (the NSpid line of its status), 0 if unknown.
int ProcNsDepth(const std::string& pidDir) {
    char buf[4096];
    if (ReadProcFile(pidDir + "/status", buf, sizeof(buf)) <= 0) return 0;
    const char* line = strstr(buf, "\nNSpid:");
    if (line == nullptr) return 0;
    int depth = 0;
    for (const char* p = line + 7; *p != '\0' && *p != '\n'; ++p)
        if (isdigit((unsigned char)*p) && !isdigit((unsigned char)p[1])) ++depth;
    return depth;
}

// Whether the process of pidDir runs the program called name: the base name
// of its first argument (cmdline) is exactly name, and its command name
// (comm, the executable's base name cut to 15 characters, which exec -a does
// not change) agrees. So neither a command line that merely mentions the
// name (man, tail -f, an editor) nor an argv[0] of several words counts.
bool ProcIsNamed(const std::string& pidDir, const char* name) {
    char buf[4096];
    if (ReadProcFile(pidDir + "/cmdline", buf, sizeof(buf)) <= 0) return false;  // kernel thread, zombie
    const char* slash = strrchr(buf, '/');  // within argv[0]: it ends at the first NUL
    if (strcmp(slash ? slash + 1 : buf, name) != 0) return false;
    char comm[64];
    ssize_t n = ReadProcFile(pidDir + "/comm", comm, sizeof(comm));
    if (n <= 0) return false;
    if (comm[n - 1] == '\n') comm[n - 1] = '\0';
    return strncmp(comm, name, kCommLen) == 0 && strlen(comm) == std::min(strlen(name), kCommLen);
}

}  // namespace

MKRX_ENV_BOARD_INF_e CheckEnvBoard() {
    if (g_eEnvBoard != MKRX_INVALID_TYPE) return g_eEnvBoard;
    int e = CountOrZero(g_szBoardCmd[MKRX_ENYX_BOARD]);
    int x = CountOrZero(g_szBoardCmd[MKRX_XILINX_BOARD]);
    MKRX_ENV_BOARD_INF_e res;
    if (e == 0 && x == 0) {
        res = MKRX_NO_BOARD;
    } else if (e == 0) {
        res = (x == 1) ? MKRX_ONE_XI_BOARD : MKRX_MULTI_XI_BOARD;
    } else if (x == 0) {
        res = (e == 1) ? MKRX_ONE_ENYX_BOARD : MKRX_MULTI_ENYX_BOARD;
    } else {
        res = MKRX_MIXED_BOARD;
    }
    g_eEnvBoard = res;
    return res;
}

int IsXiDriverInstalled() { return CountOrZero("lsmod | grep xdma") >= 1 ? 1 : 0; }

int IsEDriverInstalled() { return CountOrZero("lsmod | grep hfp") > 5 ? 1 : 0; }

int CheckBeforeRun() {
    MKRX_ENV_BOARD_INF_e board = CheckEnvBoard();
    switch (board) {
        case MKRX_NO_BOARD:
            puts("Unable to recongnize fpga board! if there indeed exist fpga board, firmware maybe error.");
            return -1;
        case MKRX_ONE_ENYX_BOARD:
        case MKRX_MULTI_ENYX_BOARD:
            if (IsEDriverInstalled()) return 0;
            puts("There exist E board, but the E driver not installed, please install first.");
            return -1;
        case MKRX_ONE_XI_BOARD:
        case MKRX_MULTI_XI_BOARD:
            if (IsXiDriverInstalled()) return 0;
            puts("There exist Xi board, but the Xi driver not installed, please install first.");
            return -1;
        case MKRX_MIXED_BOARD: {
            std::string notice;
            if (!IsEDriverInstalled()) notice += "Attention! the E driver not installed!";
            if (!IsXiDriverInstalled()) notice += "Attention! the Xi driver not installed!";
            printf("%s \n", notice.c_str());
            return 0;
        }
        default:
            printf("Unsupport board type.%d\n", (int)board);
            return 0;
    }
}

int CountProgProcesses(const char* lpProcDir, const char* lpName) {
    if (lpProcDir == nullptr || lpName == nullptr || lpName[0] == '\0') return -1;
    DIR* dir = opendir(lpProcDir);
    if (dir == nullptr) return -1;
    const std::string root(lpProcDir);
    const std::string ownNs = ProcLink(root + "/self/ns/pid");
    const int ownDepth = ProcNsDepth(root + "/self");
    int count = 0;
    while (struct dirent* de = readdir(dir)) {
        const char* c = de->d_name;
        if (*c == '\0' || strspn(c, "0123456789") != strlen(c)) continue;  // processes only
        const std::string pidDir = root + "/" + c;
        if (!ProcIsNamed(pidDir, lpName)) continue;
        // Only the processes of this PID namespace: a producer in a container
        // has a pool of its own. The namespace link needs the right to trace
        // the process; without it the depth of the process's NSpid tells.
        const std::string ns = ProcLink(pidDir + "/ns/pid");
        if (!ownNs.empty() && !ns.empty()) {
            if (ns != ownNs) continue;
        } else if (ownDepth > 0 && ProcNsDepth(pidDir) != ownDepth) {
            continue;
        }
        ++count;
    }
    closedir(dir);
    return count;
}

bool IsProdProgRunning() {
    int procs = CountProgProcesses("/proc", MKRX_PROD_PROG_NAME);
    if (procs < 0) return false;
    const char* self = program_invocation_short_name;
    size_t nameLen = strlen(MKRX_PROD_PROG_NAME);
    if (self != nullptr && strncmp(self, MKRX_PROD_PROG_NAME, nameLen) == 0) return procs == 2;
    return procs == 1;
}

std::string GetCurUserName() {
    struct passwd pw;
    struct passwd* result = nullptr;
    char buf[4096];
    if (getpwuid_r(getuid(), &pw, buf, sizeof(buf), &result) != 0 || result == nullptr) return std::string();
    return std::string(result->pw_name ? result->pw_name : "");
}

bool IsCurUserRoot() { return GetCurUserName() == "root"; }

int64_t Uti_GetFileSize(const char* lpPath) {
    if (lpPath == nullptr) return -1;
    struct stat st;
    if (stat(lpPath, &st) != 0) return -1;
    return (int64_t)st.st_size;
}

const char* Uti_NotRegularFile(const char* lpPath) {
    if (lpPath == nullptr) return strerror(EINVAL);
    struct stat st;
    if (stat(lpPath, &st) != 0) return strerror(errno);
    if (S_ISDIR(st.st_mode)) return strerror(EISDIR);
    if (!S_ISREG(st.st_mode)) return "not a regular file";
    return nullptr;
}

int ipStr2val(const char* lpText, uint8_t* lpBytes) {
    if (lpText == nullptr || lpBytes == nullptr) return -1;
    char work[21];
    memset(work, 0, sizeof(work));
    strncpy(work, lpText, 20);
    if (work[0] == '\0') return 0;

    const char* p = work;
    for (int idx = 0;; ++idx) {
        if (idx >= 4) return -1;  // a fifth component would not fit
        char* end = nullptr;
        unsigned long v = strtoul(p, &end, 10);
        lpBytes[idx] = (uint8_t)(v & 0xff);
        if (*end == '\0') return 0;
        if (*end != '.') return -1;
        p = end + 1;
    }
}

void Uti_McastIpToMac(const uint8_t* lpIp, uint8_t* lpMac) {
    lpMac[0] = 0x01;
    lpMac[1] = 0x00;
    lpMac[2] = 0x5E;
    lpMac[3] = (uint8_t)(lpIp[1] & 0x7F);
    lpMac[4] = lpIp[2];
    lpMac[5] = lpIp[3];
}

std::string Uti_FormatCardDate(uint64_t ulPacked, char cSep) {
    char text[32];
    snprintf(text, sizeof(text), "20%02d.%02d.%02d%c%02d:%02d", (int)((ulPacked >> 25) & 0x3F),
             (int)((ulPacked >> 21) & 0xF), (int)((ulPacked >> 16) & 0x1F), cSep, (int)((ulPacked >> 6) & 0x1F),
             (int)(ulPacked & 0x3F));
    return text;
}

int Uti_IsBigEndian() { return 0; }

uint64_t Uti_MoveLeft64(uint64_t ulValue, int n) {
    if (n <= 0) return ulValue;
    if (n >= 64) return 0;
    return ulValue << n;
}

uint64_t Uti_MoveRight64(uint64_t ulValue, int n) {
    if (n <= 0) return ulValue;
    if (n >= 64) return 0;
    return ulValue >> n;
}

int bind_to_cpu(int cpu) {
    if (cpu > CPU_SETSIZE - 1) {
        printf("Invalid CPU %d > CPU_SETSIZE(%d), WE don't bind to anycore.", cpu, CPU_SETSIZE);
        return -1;
    }
    cpu_set_t set;
    CPU_ZERO(&set);
    if (cpu >= 0) CPU_SET(cpu, &set);
    if (pthread_setaffinity_np(pthread_self(), sizeof(set), &set) != 0) {
        printf("Failed to bind to CPU %d", cpu);
        return -1;
    }
    return 0;
}

bool containsLetters(const char* lpText) {
    if (lpText == nullptr) return false;
    for (; *lpText != '\0'; ++lpText) {
        if (isalpha((unsigned char)*lpText)) return true;
    }
    return false;
}

bool containsLetters(const std::string& strText) {
    for (char c : strText) {
        if (isalpha((unsigned char)c)) return true;
    }
    return false;
}

void FillDebugFileHex(char* lpBuf, uint32_t BufSize, int nFd, const uint8_t* lpHexDat, uint32_t nSize) {
    static const char kHex[] = "0123456789ABCDEF";
    if (lpBuf == nullptr || BufSize < 2) return;
    if (lpHexDat == nullptr) nSize = 0;
    uint32_t pos = 0;
    uint32_t done = 0;
    // Two digits fit only if the newline and the terminator still follow them.
    while (done < nSize && (uint64_t)pos + 4 <= BufSize) {
        lpBuf[pos++] = kHex[lpHexDat[done] >> 4];
        lpBuf[pos++] = kHex[lpHexDat[done] & 0x0f];
        ++done;
    }
    if (done < nSize) {
        printf("Left %u bytes not write into file. totalSizes:%u, writed:%u.\n", nSize - done, nSize, pos);
    }
    lpBuf[pos] = '\n';
    lpBuf[pos + 1] = '\0';
    size_t left = pos + 1;
    const char* p = lpBuf;
    while (left > 0) {
        ssize_t n = write(nFd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        p += n;
        left -= (size_t)n;
    }
}

void CheckSeqNumIncre(uint32_t* pSeqNumArray, uint32_t seq_num, uint8_t msg_type) {
    if (pSeqNumArray == nullptr) return;
    uint32_t old = pSeqNumArray[msg_type];
    if (old != 0 && old + 1 != seq_num) {
        printf("ERROR! not equal!! old_seq %u, current seq %u. \n", old, seq_num);
    }
    pSeqNumArray[msg_type] = seq_num;
}

int CheckIsRotateDay(uint32_t& last_rotate) {
    time_t now = time(nullptr);
    struct tm tmv;
    if (localtime_r(&now, &tmv) == nullptr) return 0;
    uint32_t today = (uint32_t)((tmv.tm_year + 1900) * 10000 + (tmv.tm_mon + 1) * 100 + tmv.tm_mday);
    if (last_rotate == 0) {
        last_rotate = today;
        return 0;
    }
    if (today > last_rotate) {
        last_rotate = today;
        return 1;
    }
    return 0;
}
