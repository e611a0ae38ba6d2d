#ifndef MKRX_SERVICE_H
#define MKRX_SERVICE_H

// Client interface of libmkrxservice: market-data records of the card,
// delivered in this process or read from the shared pool of a producer.
// The records of the pools are best read with the record reader of
// mkrx_reader.h, which does the ring arithmetic below for every framing.
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
//   mkrx::RingReader<mkrx::LenHdrFraming> reader(s);  // framing of GetCpyDataType()
//   while (running) { int n = reader.Poll(OnRecord); if (n < 0) break; mkrx::AfterPoll(wait, n); }
//   s->StopCpyThread();  FreeIMkrxService(s);
//
// Run mode 2, consumer of the producer program's shared pool:
//   mkrx::PoolReader<mkrx::PktInfoFraming> reader(s);
//   while (reader.Poll(OnRecord) >= 0) ...;          // -1: the pool has ended
//   FreeIMkrxService(s);
//
// What a buffer holds:
// - Run mode 0: the callback gets one record, bare (no header, whatever data
//   type was asked for), valid only during the call.
// - Run mode 1: GetDmaBuf() is the private ring (ringbuffer, mkrxDef.h):
//   c.size bytes (a power of two) followed by an 8192-byte tail area. p.in
//   counts the bytes published (modulo 2^32), c.out the bytes this client has
//   consumed; records lie back to back from c.buffer + (c.out & (c.size - 1)),
//   each framed as GetCpyDataType() says. Records are contiguous across the
//   ring end: one that reaches the end continues for GetTailUseLen() bytes in
//   the tail area, p.in counts it only up to the end, the next record starts
//   at offset 0, and the client moves c.out to the ring end after it. Load
//   p.in with acquire order, store c.out with release order; the copy thread
//   drops records (counted in GetDmaStatInf()) while the ring is full.
// - Run mode 2: GetPoolCurrUsage offers uiAvailDataLen bytes of whole
//   records at pucbuf, inside the shared segment, framed as GetCpyDataType()
//   says. Records are contiguous across the ring end here too: the window
//   that reaches the end ends with the crossing record whole, its end in the
//   tail area; the library handles the positions (the next window starts
//   behind that record). The bytes stay valid until SetFetchSize gives them
//   back. SetFetchSize accepts at most the uiAvailDataLen that the last
//   GetPoolCurrUsage offered, and should be given the bytes of whole records
//   only (a count inside a record makes every later window start mid-record);
//   a larger count is a misuse the library does not honour.
// - Record framing (data type): 0 the payload alone (the records must tell
//   their own length), 1 a uint32 length, 2 MkrxPktInfo_t (24 bytes, the
//   copy's wall-clock time), 3 a pcap record header (16 bytes); mkrxDef.h.
//   The data type must match the producer's: in run mode 2 Init fails
//   ("Error !Data type isn't the same with Server! current:%d, server:%d.")
//   when the pool holds another one; a reader made for another framing than
//   GetCpyDataType() reads garbage, which it reports as a corrupted pool.
//
// Waiting: PollOnce, GetPoolCurrUsage and the ring are non-blocking polls;
// the library never waits for records. A client waits between empty polls
// itself: mkrx_reader.h's SpinWait (lowest latency, on a CPU of its own),
// PauseWait (throughput, or a CPU shared with a sibling hyperthread), or its
// PollLoop, which polls until a stop flag or -1. A sched_yield or a sleep per
// empty poll is a system call each time and lets the producer run a ring
// ahead.
//
// -1 from GetPoolCurrUsage (and from a reader's Poll) means the pool has
// ended for this consumer, for good: it was expelled (too slow while other
// consumers kept up, or its slot taken by a newcomer when all 8 were in use;
// logged once, "Attention !! You fetch too slow we kick you out!! ..."), or
// the producer stopped and removed the pool ("The producer removed the pool:
// no more records."; a producer that crashed leaves the pool for the next
// one, and the consumer just sees no records meanwhile), or the pool is
// corrupted (positions or records no producer writes; the reader reports
// it). It is -1 too for a service not in run mode 2 or not initialised. The
// client then calls FreeIMkrxService; a new service may attach again.
//
// Standard output: the library's logger writes every line it logs to
// standard output as well as to the log file under logdirect (e.g.
// "[ERROR  ][20250225-08:41:13][fpga]Share memory init fail"), and turns
// standard output unbuffered when it starts (in Init). Printed directly on
// standard output, outside the log:
//   Init, always: "Input param:RunMode:%d, Channel:%d,Datatype:%d.coreNum:%d.devpath:%s,logpath:%s.\n"
//   Init, logger failure: "log inited fail ", "###Init log service failed! ret: %d###\n"
//   Init, run modes 0 and 1: "can't parse config file: device.ini",
//     "Get quay.ini path fail ! maybe You haven't entered."
//   Init, run mode 2, segment not attached: "shmem get fail, errmsg:%s \n",
//     "shmat fail,\terrmsg:%s \n"
//   StartCpyThread, copy CPU refused: "Invalid CPU %d > CPU_SETSIZE(%d), WE don't bind to anycore.",
//     "Failed to bind to CPU %d"
//   GetDmaBuf in run mode 2: "--------------"
//   FreeIMkrxService(null): "free Mkrx service failed! It is NULL or object changed!"
//   the logger, at a day's rotation: "======================log file is rotating, exit log file!==================="
// Lines without "\n" run on into the next output. The logger's own failures
// go to standard error ("Error! log init fail.", "Error! Create file %s fail,
// errmsg:%s. "); so does the reader's report of a corrupted pool.
//
// Record framing, the pool's counters and the shared layout: mkrxDef.h.
// One service object per process; one client thread drives it (in run mode
// 1 the copy thread writes the ring meanwhile, the client thread reads it).

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
