#ifndef MKRX_SERVICE_H
#define MKRX_SERVICE_H

// Client interface of libmkrxservice: market-data records of the card,
// delivered in this process or read from the shared pool of a producer.
//
// Run mode 0, callback (records arrive on the thread that polls):
//   MkrxInitParam_t p = {};  p.eRunMode = MKRX_ONE_SDK_PERFORMANCE_MODE; ...
//   IMkrxService* s = NewIMkrxService(&p);          // null: see the log
//   s->RegisterHandler(OnRecord, ctx);
//   while (running) s->PollOnce();                   // 0: one record delivered
//   FreeIMkrxService(s);
//
// Run mode 1, private ring filled by a pinned copy thread:
//   s->StartCpyThread();
//   ringbuffer* rb = (ringbuffer*)s->GetDmaBuf();
//   loop: in = acquire-load rb->p.in; walk records at
//         rb->c.buffer + (rb->c.out & (rb->c.size - 1)); a record that
//         reaches the ring end continues for s->GetTailUseLen() bytes in the
//         tail area and moves out only to the ring end; release-store rb->c.out
//   s->StopCpyThread();  FreeIMkrxService(s);
//
// Run mode 2, consumer of the producer program's shared pool:
//   MkrxCurPoolUsge_t u;
//   while (s->GetPoolCurrUsage(&u) == 0) {          // -1: expelled, too slow
//       ...process whole records in [u.pucbuf, u.pucbuf + u.uiAvailDataLen),
//          framed as s->GetCpyDataType() says...
//       s->SetFetchSize(processed);
//   }
//   FreeIMkrxService(s);
//
// Record framing, the pool's counters and the shared layout: mkrxDef.h.
// One service object per process; one client thread drives it.

#include <cstdint>
#include <string>

#include "mkrxDef.h"

// Receives one record (run modes 0 and 1); data is valid only during the call.
typedef void (*MkrxServiceRecvCb)(const uint8_t* data, uint32_t length, void* param);

struct MkrxInitParam_t {
    char logdirect[512];          // log directory; empty: "./"
    char device_ini_direct[512];  // directory of device.ini; empty: "./"
    MkrxServiceCbType_e eChannel;
    MkrxChanRunMode_e eRunMode;
    MkrxDataType_e eDataType;
    int32_t copyThreadCore;       // CPU of the copy thread (run mode 1)
};

class IMkrxService {
public:
    virtual ~IMkrxService() {}
    virtual int Init(void* param) = 0;  // a MkrxInitParam_t*
    virtual int RegisterHandler(MkrxServiceRecvCb cb, void* param) = 0;
    virtual int PollOnce() = 0;
    virtual int StartCpyThread() = 0;
    virtual int StopCpyThread() = 0;
    virtual DmaInfoStat_t* GetDmaStatInf() = 0;
    virtual void* GetDmaBuf() = 0;  // the private ring (ringbuffer*)
    virtual int GetPoolCurrUsage(MkrxCurPoolUsge_t* usage) = 0;
    virtual void SetFetchSize(uint32_t bytes) = 0;
    virtual int GetCpyDataType() = 0;
    virtual uint32_t GetTailUseLen() = 0;
    virtual const char* GetVersion() = 0;
};

struct GT_CONFIG_DEVICE_INFO_t;

extern "C" {
IMkrxService* NewIMkrxService(MkrxInitParam_t* param);
void FreeIMkrxService(IMkrxService* service);
const char* GetUpDmaLibVersion();
bool IsMultiProdRunning();
int64_t MkrxGetTimeTamp();  // CLOCK_REALTIME, ns
int64_t MkrxDiffTimeTamp(int64_t t);
}

// Consumers attached to the shared pool; 0 before a successful run mode 2 Init.
uint32_t GetSdkNum();
// Reads dir + "/device.ini" into info. 0 or -1.
int MkrxGetDevCfg(std::string dir, GT_CONFIG_DEVICE_INFO_t* info);

#endif
