#include "quay.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "gt_config.h"
#include "gt_fpgaConfig.h"
#include "gt_fpgaService.h"
#include "quay_version.h"
#include "gt_logger.h"
#include "gt_monitorServer.h"
#include "gt_result.h"

const char* GetQuayVersion() { return QUAY_SOFTWARE_BANNER __DATE__ " " __TIME__; }

static void printUsage(FILE* out) {
    fprintf(out,
            "usage: quay [--help | --version]\n"
            "The market-data card daemon: run it without arguments in the directory of\n"
            "quay.ini and bin (quay.service runs it in /var/lib/quay). It brings the card\n"
            "up, serves its metrics, re-reads it every monitor:record_time_len seconds and\n"
            "applies quay.ini at each day's reset; quay_tool reset applies it at once.\n"
            "Exit status: 0 after a failed bring-up (the log says why), 255 when ./log\n"
            "cannot be made, 2 for an argument other than these.\n");
}

int HandleArguments(int argc, char** argv) {
    if (argc < 2) return -1;
    if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
        printUsage(stdout);
        return 0;
    }
    if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        printf("quay %s\n", GetQuayVersion());
        return 0;
    }
    printUsage(stderr);
    return 2;
}

// SIGINT and SIGTERM stop the daemon with their default action. While they
// are blocked they wait, so a stop request never cuts a card reset short:
// a card killed between the two halves of the reset pulse would stay held in
// reset, unconfigured, until the next day's reset.
static void blockStopSignals(bool block) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(block ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

// The fixed set of ignored signals. SIGINT and SIGTERM get their default
// action even when whoever started the daemon ignored them (a background
// job of a script, for one), so that they always end it.
static void setSignals() {
    const int signals[] = {SIGHUP, SIGALRM, SIGPIPE, SIGXCPU, SIGXFSZ, SIGIO, SIGPROF, SIGVTALRM, SIGURG};
    for (int sig : signals) signal(sig, SIG_IGN);
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
}

int initMonitor() {
    CGtMonitorServer* lpServer = CGtMonitorServer::GetInstance();
    if (!lpServer) {
        GT_LOGW(GT_TAG_MAIN, "Init monitor service failed! ret:%d", GT_ERR_CREATE);
        return 0;
    }
    int ret;
    {
        GT_MONITOR_PARAM_t tParam;
        tParam.lpCfgObject = g_lpConfig;
        tParam.lpFpgaService = g_lpFpgaService;
        ret = lpServer->Init(&tParam);
    }
    if (ret != 0) {
        GT_LOGW(GT_TAG_MAIN, "Init monitor service failed! ret:%d", ret);
        return 0;
    }
    ret = lpServer->Start();
    if (ret != 0) {
        GT_LOGW(GT_TAG_MAIN, "Start monitor service failed! ret:%d", ret);
        return -1;
    }
    GT_LOGI(GT_TAG_MAIN, "started monitor service!");
    return 0;
}

bool CheckTimeAndReset(uint64_t& last_rotate) {
    time_t now = time(nullptr);
    struct tm t;
    if (!localtime_r(&now, &t)) return false;
    const uint64_t key = (uint64_t)(t.tm_year + 1900) * 10000 + (uint64_t)(t.tm_mon + 1) * 100 + (uint64_t)t.tm_mday;
    if (last_rotate == 0) {
        last_rotate = key;
        return false;
    }
    if (key <= last_rotate) return false;
    last_rotate = key;
    GT_LOGI(GT_TAG_MAIN, "========== new day %d%02d%02d, reset ==========", t.tm_year + 1900, t.tm_mon + 1,
            t.tm_mday);
    GT_LOGI(GT_TAG_MAIN, "Reset command by quay");
    blockStopSignals(true);
    (void)g_lpFpgaService->ResetFpga("quay", true);
    blockStopSignals(false);
    return true;
}

int doWork() {
    GT_LOGI(GT_TAG_MAIN, "welcome to Quay @ Corvane! %s", GetQuayVersion());

    g_lpFpgaService = new CGtFpgaService();
    if (FpgaDeviceinit(g_lpFpgaService) != 0 || SetFpgaRunningInfo(g_lpFpgaService) != 0 ||
        g_lpFpgaService->InitMonitor() != 0) {
        return GT_ERR_CREATE;
    }

    g_lpFpgaService->ReadFpgaConfiguration(READ_MODE_PRINT);
    g_lpFpgaService->ReadStatistics(READ_MODE_PRINT);

    // The exporter's HTTP thread inherits this mask, so a stop signal sent
    // to the process always lands on the main thread (see blockStopSignals).
    blockStopSignals(true);
    (void)initMonitor();
    blockStopSignals(false);

    setSignals();

    CGtMonitorServer* lpServer = CGtMonitorServer::GetInstance();
    const int nRecordTimeLen = lpServer ? lpServer->GetRecordTimeLen() : -1;
    int nPass = 0;
    uint64_t ulDayKey = 0;
    for (;;) {
        sleep(1);
        // A period of 0 or less never re-reads; the count then stays put.
        if (nRecordTimeLen > 0 && ++nPass >= nRecordTimeLen) {
            g_lpFpgaService->ReadFpgaConfiguration(READ_MODE_RECORD);
            g_lpFpgaService->ReadStatistics(READ_MODE_RECORD);
            g_lpFpgaService->ReadMonitor(READ_MODE_RECORD);
            nPass = 0;
        }
        if (CheckTimeAndReset(ulDayKey)) {
            g_lpFpgaService->ReadFpgaConfiguration(READ_MODE_PRINT);
            g_lpFpgaService->ReadStatistics(READ_MODE_PRINT);
        }
    }
}

void release() {
    ReleaseProcessServices();
}
