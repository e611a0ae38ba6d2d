#include <cstdio>

#include "gt_fpgaService.h"
#include "gt_logger.h"
#include "quay_tool.h"

int main(int argc, char** argv) {
    g_bIsQuayTool = true;
    CGtLogger* lpLogger = new CGtLogger();
    g_lpLogger = lpLogger;
    int ret = lpLogger->Init(0, "./log", "quay_tool");
    if (ret != 0) {
        printf("###Init log service failed! ret: %d###\n", ret);
        return -1;
    }
    doWork(argc, argv);
    release();
    return 0;
}
