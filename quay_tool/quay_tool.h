#ifndef QUAY_TOOL_H
#define QUAY_TOOL_H

class CGtFpgaService;

// Command words; the position is the command number.
enum QUAY_TOOL_CMD_e {
    QUAY_CMD_HELP = 0,
    QUAY_CMD_RESET,
    QUAY_CMD_INFO,
    QUAY_CMD_CONFIG,
    QUAY_CMD_STATUS,
    QUAY_CMD_MONITOR,
    QUAY_CMD_DEVICE,
    QUAY_CMD_UPGRADE,
    QUAY_CMD_RELOAD,
    QUAY_CMD_MIP2MAC,
    QUAY_CMD_DEBUG,
    QUAY_CMD_ENCRYPT,
    QUAY_CMD_DECRYPT,
    QUAY_CMD_ENCODE,
    QUAY_CMD_DECODE,
    QUAY_CMD_NUM,
};

extern const char* QUAY_TOOL_CMD[QUAY_CMD_NUM];

const char* GetLibVersion();
int doWork(int argc, char** argv);
void release();
void printHelp();
int quay_tool_status(CGtFpgaService* lpService, int nSeconds);
int quay_tool_statistics(CGtFpgaService* lpService, int nSeconds);
int quay_tool_monitor(CGtFpgaService* lpService, int nSeconds);
int quay_tool_mip2mac(char* lpIp);
int quay_tool_upgrade(char* lpDevice, char* lpMcsFile);
int quay_tool_reload(char* lpDevice);
int quay_tool_debug(int argc, char** argv);
void quay_print_debug();

#endif
