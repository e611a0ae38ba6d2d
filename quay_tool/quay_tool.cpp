// The operator's tool: one command per run.
#include "quay_tool.h"

#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common.h"
#include "flash_qx.h"
#include "gt_config.h"
#include "gt_fpgaConfig.h"
#include "gt_fpgaService.h"
#include "gt_logger.h"
#include "xmlHelper.h"
#include "quay_version.h"

const char* QUAY_TOOL_CMD[QUAY_CMD_NUM] = {
    "help",   "reset",  "info",   "config",  "status",  "monitor", "device", "upgrade",
    "reload", "mip2mac", "debug", "encrypt", "decrypt", "encode",  "decode",
};

#define TOOL_LOGI(...) GT_LOGI(GT_TAG_MAIN, __VA_ARGS__)
#define TOOL_LOGE(...) GT_LOGE(GT_TAG_MAIN, __VA_ARGS__)

static const char* const kStars = "********************************";
static const char* const kHLine = "HHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHH";
static const char* const kConfirmHint = "please input 'yes' to comfirm or ctrl+c to exit";

const char* GetLibVersion() {
    return QUAY_SOFTWARE_BANNER __DATE__ " " __TIME__;
}

void printHelp() {
    printf("Welcome to Quay tool\n"
           "%s\n"
           "for help:\n"
           "    ./quay_tool or ./quay_tool help\n"
           "rest FPGA:\n"
           "    ./quay_tool reset\n"
           "read FPGA infomation:\n"
           "    ./quay_tool info\n"
           "config FPGA:\n"
           "    ./quay_tool config\n"
           "read traffic status:\n"
           "    ./quay_tool status\n"
           "or  execute every n second\n"
           "    ./quay_tool status n\n"
           "read monitor infomation:\n"
           "    ./quay_tool monitor\n"
           "or  execute every n second\n"
           "    ./quay_tool monitor n\n"
           "product device info\n"
           "    ./quay_tool device\n"
           "upgrade fpga\n"
           "    ./quay_tool upgrade 0000:d8:00.0 pfm_top_wrapper.mcs\n"
           "fpga reload\n"
           "    ./quay_tool reload 0000:d8:00.0  (Attention: This may cause system reboot.)\n"
           "mcast IP to target MAC addr:\n"
           "    ./quay_tool mip2mac 225.0.0.187\n",
           GetLibVersion());
}

void quay_print_debug() {
    printf("Welcome to Quay tool debug\n"
           "read less than 128 bytes\n"
           "    ./quay_tool debug read 0x1000 length\n"
           "write less than 8 bytes\n"
           "    ./quay_tool debug write 0x1000 length value: ./quay_tool debug write  0x1000  2  "
           "0x1122(or 4386)\n"
           "Read all stat infomation\n"
           "    ./quay_tool debug stat or ./quay_tool debug stat n\n"
           "decode/encode cfg\n"
           "    ./quay_tool decode[or encode] infile outfile\n");
}

// Asks on standard input; only the exact line "yes\n" confirms.
static bool confirm() {
    printf("yes(no?) ");
    fflush(stdout);
    char line[9] = {0};
    if (!fgets(line, sizeof(line), stdin)) return false;
    return strcmp(line, "yes\n") == 0;
}

// One readout in print mode, or the same readout every n seconds in record
// mode until the process is interrupted.
typedef int (CGtFpgaService::*ReadoutFn)(int);

static int repeatReadout(CGtFpgaService* lpService, ReadoutFn fn, int nSeconds) {
    if (nSeconds <= 0) {
        (lpService->*fn)(0);
        return 0;
    }
    for (int nPass = 1;; ++nPass) {
        printf("\n============ %d times ============\n", nPass);
        (lpService->*fn)(1);
        sleep((unsigned)nSeconds);
    }
    return 0;
}

int quay_tool_status(CGtFpgaService* lpService, int nSeconds) {
    return repeatReadout(lpService, &CGtFpgaService::ReadTraffic, nSeconds);
}

int quay_tool_statistics(CGtFpgaService* lpService, int nSeconds) {
    return repeatReadout(lpService, &CGtFpgaService::ReadStatistics, nSeconds);
}

int quay_tool_monitor(CGtFpgaService* lpService, int nSeconds) {
    return repeatReadout(lpService, &CGtFpgaService::ReadMonitor, nSeconds);
}

int quay_tool_mip2mac(char* lpIp) {
    uint8_t b[4] = {0, 0, 0, 0};
    if (ipStr2val(lpIp, b) != 0) {
        puts("Error Ip: Please check like 10.10.10.10");
        return 0;
    }
    uint8_t mac[6];
    Uti_McastIpToMac(b, mac);
    printf("\n%s -> %02X:%02X:%02X:%02X:%02X:%02X\n\n", lpIp, mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    return 0;
}

int quay_tool_reload(char* lpDevice) {
    TOOL_LOGI("%s", kHLine);
    TOOL_LOGI("This command will reboot HOST");
    TOOL_LOGI("%s", kConfirmHint);
    TOOL_LOGI("%s", kHLine);
    if (!confirm()) return 0;
    TOOL_LOGI("Start reloading......");
    flash_reload_qx(lpDevice, 10000);
    return 0;
}

int quay_tool_upgrade(char* lpDevice, char* lpMcsFile) {
    TOOL_LOGI("%s", kStars);
    TOOL_LOGI("This command will upgrade FPGA, and you need execute reload cmd after this command.");
    TOOL_LOGI("%s", kConfirmHint);
    TOOL_LOGI("%s", kStars);

    char szKeptDevice[30] = {0};
    strncpy(szKeptDevice, lpDevice, sizeof(szKeptDevice) - 1);

    if (!confirm()) return 0;
    TOOL_LOGI("Start upgrading......");
    if (flash_cmd_qx(lpDevice, lpMcsFile) != 0) return 0;

    TOOL_LOGI("%s", kStars);
    TOOL_LOGI("Download new image into FPGA successful,");
    TOOL_LOGI("you can input yes to RELOAD image");
    TOOL_LOGI("or ./quay_tool reload %s        later.", szKeptDevice);
    TOOL_LOGI("%s", kConfirmHint);
    TOOL_LOGI("%s", kStars);
    if (!confirm()) return 0;
    TOOL_LOGI("Start reloading......");
    flash_reload_qx(szKeptDevice, 10000);
    return 0;
}

static void logWelcome() { TOOL_LOGI("welcome to quay_tool @ Corvane! %s", GetLibVersion()); }

// The register address of a debug read or write: the whole text a number of
// base (0: automatic) and addr + len within the file offsets the driver can
// seek to. Logs the refusal otherwise.
static bool debugAddress(const char* lpCmd, const char* lpText, int base, uint64_t ulLen, uint64_t& ulAddr) {
    const char* p = lpText;
    while (*p == ' ' || *p == '\t') ++p;
    char* end = nullptr;
    errno = 0;
    unsigned long long v = *p == '-' ? 0 : strtoull(p, &end, base);
    if (*p == '-' || errno != 0 || end == p || *end != '\0' || v > (unsigned long long)INT64_MAX ||
        ulLen > (uint64_t)INT64_MAX - v) {
        TOOL_LOGE("debug %s: bad address %s", lpCmd, lpText);
        return false;
    }
    ulAddr = v;
    return true;
}

static void debugRead(CGtFpgaService* lpService, char** argv) {
    long lLen = strtol(argv[4], nullptr, 10);
    if ((unsigned long)lLen > 128) lLen = 128;
    uint64_t ulAddr = 0;
    if (!debugAddress("read", argv[3], 16, (uint64_t)lLen, ulAddr)) return;
    uint8_t buf[128] = {0};
    if (lpService->GetRegWithBytes(ulAddr, (uint64_t)lLen, buf) != 0) return;
    printf("read %ld bytes from addr 0x%lx\n", lLen, (unsigned long)ulAddr);
    for (long i = 0; i < lLen; ++i) {
        if (i % 8 == 0) printf("\n");
        printf("%02x ", buf[i]);
    }
    printf("\n");
}

static void debugWrite(CGtFpgaService* lpService, char** argv) {
    unsigned long ulLen = strtoul(argv[4], nullptr, 0);
    uint64_t ulValue = strtoul(argv[5], nullptr, 0);
    if (ulLen > 8) ulLen = 8;
    uint64_t ulAddr = 0;
    if (!debugAddress("write", argv[3], 0, ulLen, ulAddr)) return;
    uint8_t buf[8] = {0};
    for (unsigned long i = 0; i < ulLen; ++i)
        buf[i] = (uint8_t)(ulValue >> (8 * (ulLen - 1 - i)));
    if (lpService->SetRegBytes(ulAddr, buf, ulLen) != 0) return;
    TOOL_LOGI("write 0x%lx into addr 0x%lx", (unsigned long)ulValue, (unsigned long)ulAddr);
}

int quay_tool_debug(int argc, char** argv) {
    CGtFpgaService* lpService = g_lpFpgaService;
    if (argc < 3) {
        quay_print_debug();
        uint64_t ulDate = 0;
        lpService->GetRegBitsWithAddr(g_fpgaDateTrueAddr, ulDate, 0, 48);
        TOOL_LOGI("compile date: %s\n", Uti_FormatCardDate(ulDate, '.').c_str());
        return 0;
    }
    if (strcmp(argv[2], "read") == 0 && argc == 5) {
        debugRead(lpService, argv);
    } else if (strcmp(argv[2], "write") == 0 && argc == 6) {
        debugWrite(lpService, argv);
    } else if (strcmp(argv[2], "stat") == 0 && (argc == 3 || argc == 4)) {
        if (SetFpgaRunningInfo(lpService) != 0) {
            TOOL_LOGE("set fpga runing info fail.");
            return 0;
        }
        logWelcome();
        int n = 0;
        if (argc == 4) {
            n = (int)strtol(argv[3], nullptr, 10);
            if (n < 0) n = 0;
        }
        quay_tool_statistics(lpService, n);
    }
    return 0;
}

static int lookupCommand(const char* word) {
    int nCmd = QUAY_CMD_HELP;
    for (int i = 0; i < QUAY_CMD_NUM; ++i)
        if (strcmp(word, QUAY_TOOL_CMD[i]) == 0) nCmd = i;
    return nCmd;
}

// Runs the four file commands; false when the argument count does not fit.
static bool fileCommand(int nCmd, int argc, char** argv) {
    if (argc != 4) return false;
    char* in = argv[2];
    char* out = argv[3];
    switch (nCmd) {
        case QUAY_CMD_ENCRYPT:
            TOOL_LOGI("Encrypt command, infile:%s, outfile:%s", in, out);
            CXmlHelper::EnDecryptFile(GetKey(), in, out, true);
            return true;
        case QUAY_CMD_DECRYPT:
            TOOL_LOGI("Decrypt command, infile:%s, outfile:%s", in, out);
            CXmlHelper::EnDecryptFile(GetKey(), in, out, false);
            return true;
        case QUAY_CMD_ENCODE:
            TOOL_LOGI("Encode command, infile:%s, outfile:%s", in, out);
            CXmlHelper::EnDecodeFile(in, out, true);
            return true;
        case QUAY_CMD_DECODE:
            TOOL_LOGI("Decode command, infile:%s, outfile:%s", in, out);
            CXmlHelper::EnDecodeFile(in, out, false);
            return true;
        default:
            return false;
    }
}

static int periodArg(int argc, char** argv) {
    if (argc != 3) return 0;
    int n = (int)strtol(argv[2], nullptr, 10);
    return n < 0 ? 0 : n;
}

int doWork(int argc, char** argv) {
    if (argc < 2) {
        printHelp();
        return 0;
    }
    // Help needs no card: it is what an operator reads on a host without one.
    if (strcmp(argv[1], "help") == 0 || strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0) {
        printHelp();
        return 0;
    }
    int nCmd = lookupCommand(argv[1]);

    switch (nCmd) {
        case QUAY_CMD_MIP2MAC:
            if (argc == 3) quay_tool_mip2mac(argv[2]);
            else printHelp();
            return 0;
        case QUAY_CMD_UPGRADE:
            if (argc == 4) quay_tool_upgrade(argv[2], argv[3]);
            else printHelp();
            return 0;
        case QUAY_CMD_RELOAD:
            if (argc == 3) quay_tool_reload(argv[2]);
            else printHelp();
            return 0;
        case QUAY_CMD_ENCRYPT:
        case QUAY_CMD_DECRYPT:
        case QUAY_CMD_ENCODE:
        case QUAY_CMD_DECODE:
            if (fileCommand(nCmd, argc, argv)) return 0;
            break;
        default:
            break;
    }

    if (CheckBeforeRun() != 0) return -1;

    CGtFpgaService* lpService = new CGtFpgaService();
    g_lpFpgaService = lpService;
    if (FpgaDeviceinit(lpService) != 0) {
        TOOL_LOGE("fpga device init fail.");
        return 600004;
    }
    if (nCmd == QUAY_CMD_DEBUG) {
        quay_tool_debug(argc, argv);
        return 0;
    }
    if (SetFpgaRunningInfo(lpService) != 0) {
        TOOL_LOGE("set fpga runing info fail.");
        return 600004;
    }
    logWelcome();

    switch (nCmd) {
        case QUAY_CMD_RESET:
        case QUAY_CMD_CONFIG:
            TOOL_LOGI("Reset command");
            lpService->ResetFpga((char*)"quay_tool", true);
            TOOL_LOGI("quay_tool reset finished.");
            return 0;
        case QUAY_CMD_INFO:
            TOOL_LOGI("Info command");
            lpService->ReadFpgaConfiguration(0);
            return 0;
        case QUAY_CMD_STATUS:
            TOOL_LOGI("Status command");
            return quay_tool_status(lpService, periodArg(argc, argv));
        case QUAY_CMD_MONITOR:
            TOOL_LOGI("Monitor command");
            return quay_tool_monitor(lpService, periodArg(argc, argv));
        case QUAY_CMD_DEVICE:
            TOOL_LOGI("Device command");
            return ShowHwDeviceInfo(lpService) != 0 ? 600004 : 0;
        default:
            printHelp();
            return 0;
    }
}

// Releases the services in the order logger, configuration, driver, FPGA
// service. The register catalogue stays: the tool never frees it.
void release() {
    ReleaseProcessServices();
}
