// A consumer process of the shared pool for the SDK tests, using only the
// library's public interface.
//
//   sdk_peer DEVDIR LOGDIR TYPE COUNT        read COUNT records of the feed
//   sdk_peer DEVDIR LOGDIR TYPE stall        never consume; wait to be expelled
//
// Prints "init ok sdknum N" or "init fail sdknum N", then "ok RECORDS gaps G"
// or "kicked" or "bad WHAT". Exit: 0 done, 2 bad record, 3 expelled, 4 Init failed.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "mkrx_service.h"
#include "sdk_env.h"

int main(int argc, char** argv) {
    if (argc != 5) return 5;
    MkrxInitParam_t p;
    memset(&p, 0, sizeof(p));
    snprintf(p.device_ini_direct, sizeof(p.device_ini_direct), "%s", argv[1]);
    snprintf(p.logdirect, sizeof(p.logdirect), "%s", argv[2]);
    p.eRunMode = MKRX_MULTI_SDK_CONSUME_MODE;
    p.eDataType = (MkrxDataType_e)atoi(argv[3]);
    bool stall = strcmp(argv[4], "stall") == 0;
    uint64_t count = stall ? 0 : strtoull(argv[4], nullptr, 10);

    IMkrxService* s = NewIMkrxService(&p);
    printf("\ninit %s sdknum %u\n", s ? "ok" : "fail", GetSdkNum());
    fflush(stdout);
    if (s == nullptr) return 4;
    std::unique_ptr<sdktest::FeedChecker> chk(new sdktest::FeedChecker);
    int type = s->GetCpyDataType();
    int rc = 0;
    MkrxCurPoolUsge_t u;
    for (;;) {
        if (s->GetPoolCurrUsage(&u) != 0) {
            // Once out, out for good, with a zeroed answer.
            bool again = s->GetPoolCurrUsage(&u) == -1 && u.uiAvailDataLen == 0 && u.pucbuf == nullptr;
            printf("kicked%s\n", again ? "" : " (answer changed)");
            rc = 3;
            break;
        }
        if (stall) {
            usleep(20000);
            continue;
        }
        s->SetFetchSize(sdktest::WalkFeed(type, u.pucbuf, u.uiAvailDataLen, *chk));
        if (!chk->bad.empty()) {
            printf("bad %s\n", chk->bad.c_str());
            rc = 2;
            break;
        }
        if (chk->records >= count) {
            printf("ok %lu gaps %lu\n", (unsigned long)chk->records, (unsigned long)chk->gaps);
            break;
        }
    }
    fflush(stdout);
    FreeIMkrxService(s);
    return rc;
}
