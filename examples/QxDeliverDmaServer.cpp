// QxDeliverDmaServer: the producer of the shared market-data pool.
//
// Brings the Enyx card up as a client process does (device.ini, then quay.ini
// of the directory it names), opens the DMA engine of one channel with a pool
// in the shared form, and runs the pinned copy thread that moves every record
// of the card into the segment, where up to 8 consumer processes (run mode 2)
// read it. SIGINT or SIGTERM stops the copy thread and removes the segment and
// its semaphores; a producer that dies otherwise leaves them for the next one,
// which continues at the old write position under the attached consumers.
//
//   QxDeliverDmaServer [-d DEVICE_INI_DIR] [-l LOG_DIR] [-c CHANNEL]
//                      [-t DATA_TYPE] [-p CPU] [-s]
//     -d  directory of device.ini (default ./)
//     -l  log directory (default ./log)
//     -c  0 raw channel (device:dma0name, default), 1 parse channel (dma1name)
//     -t  record framing 0..3 (default device:dataType)
//     -p  CPU of the copy thread (default device:copyCoreNum)
//     -s  print the counters once a second
//
// Consumers find the producer by this program's name: keep it.

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "common.h"
#include "drvDMAEnyx.h"
#include "gt_config.h"
#include "gt_logger.h"
#include "mkrxServiceEnyxImpl.h"
#include "xmlHelper.h"

namespace {

volatile sig_atomic_t g_stop = 0;
void OnStop(int) { g_stop = 1; }

void Usage() {
    fprintf(stderr, "usage: QxDeliverDmaServer [-d device_ini_dir] [-l log_dir] [-c 0|1] [-t 0..3] [-p cpu] [-s]\n");
}

}  // namespace

int main(int argc, char** argv) {
    std::string devDir = "./", logDir = "./log";
    int channel = 0, dataType = -1, cpu = -1;
    bool stats = false;
    int opt;
    while ((opt = getopt(argc, argv, "d:l:c:t:p:s")) != -1) {
        switch (opt) {
            case 'd': devDir = optarg; break;
            case 'l': logDir = optarg; break;
            case 'c': channel = atoi(optarg); break;
            case 't': dataType = atoi(optarg); break;
            case 'p': cpu = atoi(optarg); break;
            case 's': stats = true; break;
            default: Usage(); return 2;
        }
    }
    if ((channel != 0 && channel != 1) || dataType > MKRX_PCAP_DATA) {
        Usage();
        return 2;
    }

    g_lpLogger = new CGtLogger();
    int ret = g_lpLogger->Init(0, logDir.c_str(), "QxDeliverDmaServer");
    if (ret != 0) {
        printf("###Init log service failed! ret: %d###\n", ret);
        return 1;
    }
    int rc = 1;
    CDrvDMAEnyx* dma = nullptr;
    std::string quayDir;
    if (ParseRingbufCfg(devDir, quayDir) != 0) {
        GT_LOGE(GT_TAG_MAIN, "Get device.ini config fail.");
    } else {
        g_sXmlDirect = quayDir;
        if (MkrxBringUpCard(quayDir) == 0) {
            _DMaInitParam_t p;
            p.nBusId = (uint32_t)g_tDevInfo.nBusId;
            p.name = channel == 0 ? g_tDevInfo.strDevDma0Name : g_tDevInfo.strDevDma1Name;
            p.bPoolEnable = true;
            p.uiPoolSize = g_tDevInfo.uiPoolSize;
            p.eDataType = (MkrxDataType_e)(dataType >= 0 ? dataType : g_tDevInfo.eDataType);
            p.iCopyCore = cpu >= 0 ? cpu : (int32_t)g_tDevInfo.uiCpyCore;
            p.eRunMode = MKRX_MULTI_SDK_PRODUCE_MODE;
            dma = new CDrvDMAEnyx();
            if (dma->Init(&p) == 0 && dma->StartCpyThread() == 0) rc = 0;
        }
    }
    if (rc == 0) {
        signal(SIGINT, OnStop);
        signal(SIGTERM, OnStop);
        printf("QxDeliverDmaServer: producing, pid %d\n", (int)getpid());
        fflush(stdout);
        while (!g_stop) {
            sleep(1);
            if (stats && !g_stop) {
                const DmaInfoStat_t* st = dma->GetDmaStat();
                const auto* h = static_cast<const MkrxShareMemInfo_t*>(GetShareMemBase());
                printf("copied %lu records %lu bytes, dropped %lu records %lu bytes, card %u packets %u "
                       "back-pressure, consumers %u\n",
                       (unsigned long)mkrx::LoadRelaxed(&st->ulCpyPktNum),
                       (unsigned long)mkrx::LoadRelaxed(&st->ulCpyPktByte),
                       (unsigned long)mkrx::LoadRelaxed(&st->ulSoftDisPktNum),
                       (unsigned long)mkrx::LoadRelaxed(&st->ulSoftDisByte), st->uiHardwareDmaCpyNum,
                       st->uiHardwarePressNum, h ? mkrx::LoadRelaxed(&h->uiRunSdkNum) : 0);
                fflush(stdout);
            }
        }
        dma->StopCpyThread();
        GT_LOGI(GT_TAG_MAIN, "QxDeliverDmaServer stopped.");
    }
    delete dma;  // the pool removes the segment and the semaphores
    MkrxReleaseCard();
    return rc;
}
