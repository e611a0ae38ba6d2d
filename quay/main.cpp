#include <cstdio>

#include "gt_logger.h"
#include "quay.h"

int main(int argc, char** argv) {
    const int args = HandleArguments(argc, argv);
    if (args >= 0) return args;
    CGtLogger* lpLogger = new CGtLogger();
    g_lpLogger = lpLogger;
    int ret = lpLogger->Init(0, "./log", "quay");
    if (ret != 0) {
        printf("###Init log service failed! ret: %d###\n", ret);
        return -1;
    }
    doWork();
    release();
    return 0;
}
