#include "common.h"

#include <ctype.h>
#include <errno.h>
#include <pthread.h>
#include <pwd.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

MKRX_ENV_BOARD_INF_e g_eEnvBoard = MKRX_INVALID_TYPE;

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

bool IsProdProgRunning() {
    char cmd[256];
    snprintf(cmd, sizeof(cmd), "ps -ef | grep -w %s | grep -v grep", MKRX_PROD_PROG_NAME);
    int lines = CountCmdLines(cmd);
    if (lines < 0) return false;
    const char* self = program_invocation_short_name;
    size_t nameLen = strlen(MKRX_PROD_PROG_NAME);
    if (self != nullptr && strncmp(self, MKRX_PROD_PROG_NAME, nameLen) == 0) return lines == 2;
    return lines == 1;
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
