#ifndef COMMON_H
#define COMMON_H

// Host checks that run before the card is touched, and small utilities
// shared by the daemon, the tool and the SDK library. The checks print on
// standard output (they may run before the logger exists).

#include <cstdint>
#include <string>

// Census of the cards in the host.
enum MKRX_ENV_BOARD_INF_e {
    MKRX_NO_BOARD = 0,
    MKRX_ONE_ENYX_BOARD = 1,
    MKRX_ONE_XI_BOARD = 2,
    MKRX_MULTI_ENYX_BOARD = 3,
    MKRX_MULTI_XI_BOARD = 4,
    MKRX_MIXED_BOARD = 5,
    MKRX_INVALID_TYPE = 6,
};

// Card families; indexes the census commands.
enum MKRX_BOARD_TYPE_e {
    MKRX_ENYX_BOARD = 0,
    MKRX_XILINX_BOARD = 1,
    MKRX_BOARD_TYPE_NUM = 2,
};

#define MKRX_PROD_PROG_NAME "QxDeliverDmaServer"

// Census of the cards (cached after the first call).
MKRX_ENV_BOARD_INF_e CheckEnvBoard();
// 1 if the Xilinx XDMA driver is loaded, else 0.
int IsXiDriverInstalled();
// 1 if the Enyx driver is loaded (6 or more "hfp" modules), else 0.
int IsEDriverInstalled();
// 0 if the host may run, -1 if not; prints its own message.
int CheckBeforeRun();
// Processes under the /proc mount lpProcDir that run the program lpName
// (the base name of their argv[0] is lpName and their command name agrees)
// in the caller's PID namespace; -1 if lpProcDir cannot be read.
int CountProgProcesses(const char* lpProcDir, const char* lpName);
// Whether the producer program QxDeliverDmaServer runs: exactly one such
// process, or exactly two when the caller is itself the producer (then true
// means a second producer runs).
bool IsProdProgRunning();

// Login name of the real user id ("" if it has no password entry).
std::string GetCurUserName();
bool IsCurUserRoot();

// Size in bytes of the file, or -1 if it cannot be examined.
int64_t Uti_GetFileSize(const char* lpPath);
// Null when lpPath names a regular file (after links), else why not, as a
// short text. Input files are checked with it before they are opened: a FIFO
// would block the open and a device such as /dev/zero never ends.
const char* Uti_NotRegularFile(const char* lpPath);
// Dotted decimal IPv4 text to 4 bytes: 0 on success, -1 on malformed input
// (including more than four components).
int ipStr2val(const char* lpText, uint8_t* lpBytes);
// The IPv4 multicast MAC of a group address: 01:00:5E, then the second byte
// with its top bit cleared, the third and the fourth.
void Uti_McastIpToMac(const uint8_t* lpIp, uint8_t* lpMac);
// The card's packed build date (bits 25-30 year since 2000, 21-24 month,
// 16-20 day, 6-10 hour, 0-5 minute) as "20YY.MM.DD" cSep "hh:mm".
std::string Uti_FormatCardDate(uint64_t ulPacked, char cSep);
// Always 0: the host is little-endian.
int Uti_IsBigEndian();
// 64-bit shifts defined for n = 0..64 (n >= 64 gives 0).
uint64_t Uti_MoveLeft64(uint64_t ulValue, int n);
uint64_t Uti_MoveRight64(uint64_t ulValue, int n);

// Pins the calling thread to one CPU; 0 on success, -1 otherwise.
int bind_to_cpu(int cpu);

// True if any character is alphabetic.
bool containsLetters(const char* lpText);
bool containsLetters(const std::string& strText);

// Writes the bytes as one line of upper-case hex (no separators) to nFd,
// composing it in lpBuf of BufSize bytes.
void FillDebugFileHex(char* lpBuf, uint32_t BufSize, int nFd, const uint8_t* lpHexDat, uint32_t nSize);

// Sequence-gap check: pSeqNumArray holds the last number of each of 256
// message types.
void CheckSeqNumIncre(uint32_t* pSeqNumArray, uint32_t seq_num, uint8_t msg_type);

// Day-rollover check on the local date YYYYMMDD: 1 once at each new day.
int CheckIsRotateDay(uint32_t& last_rotate);

#endif
