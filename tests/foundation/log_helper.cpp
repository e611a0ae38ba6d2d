// Drives the logger step by step for the day-rotation tests, which run it
// under libfaketime with FAKETIME_TIMESTAMP_FILE / FAKETIME_NO_CACHE so that
// each "T:" step moves the clock.
//
//   log_helper DIR NAME STEP...
//   steps: I             start the logger (prints "init=<code>" on stderr)
//          T:<time>      write <time> ("YYYY-MM-DD hh:mm:ss") to $FAKETIME_TIMESTAMP_FILE
//          L:<text>      log <text> at INFO with tag "Main"
//          X             replace DIR by a plain file (the old one becomes DIR.old)
//          F             stop the logger (close the file)

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "gt_logger.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: %s DIR NAME STEP...\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    const char* name = argv[2];
    CGtLogger* logger = nullptr;
    for (int i = 3; i < argc; ++i) {
        const char* step = argv[i];
        if (strcmp(step, "I") == 0) {
            logger = new CGtLogger();
            fprintf(stderr, "init=%d\n", logger->Init(0, dir.c_str(), name));
        } else if (strncmp(step, "T:", 2) == 0) {
            const char* tsFile = getenv("FAKETIME_TIMESTAMP_FILE");
            FILE* fp = tsFile ? fopen(tsFile, "w") : nullptr;
            if (fp == nullptr) return 3;
            fprintf(fp, "%s\n", step + 2);
            fclose(fp);
        } else if (strncmp(step, "L:", 2) == 0) {
            GT_LOGI(GT_TAG_MAIN, "%s", step + 2);
        } else if (strcmp(step, "X") == 0) {
            if (rename(dir.c_str(), (dir + ".old").c_str()) != 0) return 4;
            FILE* fp = fopen(dir.c_str(), "w");
            if (fp == nullptr) return 4;
            fclose(fp);
        } else if (strcmp(step, "F") == 0) {
            delete logger;
            logger = nullptr;
        } else {
            return 2;
        }
    }
    delete logger;
    return 0;
}
