#ifndef MKRX_DEF_H
#define MKRX_DEF_H

// Records, enumerations and the shared-pool layout of the market-data path.
//
// This header is the one place that fixes the bytes that cross a process
// boundary: the System V segment written by the producer program and read by
// up to 8 consumer processes, its semaphores, and the framing of a record in
// a ring. Client applications may include it; it needs nothing but the C++
// standard library.
//
// Shared segment (key MKRX_SHM_KEY), all integers little-endian:
//
//   offset  size      field
//   0       8         bufInf.buffer    producer's own address of the ring
//   8       4         bufInf.uiSize    ring size in bytes (power of two)
//   16      8         bufInf.ullIn     write position: bytes ever written
//   24      4         uiTailLen        bytes of the latest wrapping record
//                                      that lie in the tail area
//   64      64        DmaStatInfo      producer counters (DmaInfoStat_t)
//   128     8 x 64    SdkCoutInf[8]    consumer slots (MkrxSdkCoutInfo_t)
//   640     4         uiRunSdkNum      attached consumers, 0..8
//   648     8         ullWrIdx         event messages written, 0..64
//   656     64 x 128  stEventMsg       event messages, NUL-terminated
//   8848    40        stServUsInf      producer uid, pid and user name
//   8888    4         eDataType        framing of the records in the ring
//   8892    4         eChannel         zero
//   8896    size      ring
//   8896+size  8192   tail area: continuation of a record that crosses
//                     the ring end
//
// Positions shared between processes (ullIn, uiTailLen, uiCout, bValidTag,
// uiRunSdkNum, iRecAccTime, the counters) are plain integers in the layout
// and are only ever touched through the atomic accessors at the end of this
// header. The producer stores uiTailLen and then ullIn with release order
// after a record's bytes are in place; a reader loads ullIn with acquire
// order before it looks at uiTailLen or the bytes. A consumer publishes its
// uiCout with release order after it has finished with the bytes; the
// producer loads it with acquire order before it overwrites them.

#include <cstddef>
#include <cstdint>

// Framing of a record in a pool: the header bytes put in front of the payload.
enum MkrxDataType_e {
    MKRX_RAW_FPGA_DATA = 0,           // payload alone
    MKRX_RAW_FPGA_WITH_LEN_HDR = 1,   // uint32 payload length, payload
    MKRX_RAW_FPGA_WITH_HDR_DATA = 2,  // MkrxPktInfo_t (24 bytes), payload
    MKRX_PCAP_DATA = 3,               // pcap record header (16 bytes), payload
    MKRX_ERROR_DATA = 4,              // no pool; in a segment: any consumer type
};

enum MkrxChanRunMode_e {
    MKRX_ONE_SDK_PERFORMANCE_MODE = 0,  // callback straight from the DMA stream
    MKRX_ONE_SDK_RINGBUF_MODE = 1,      // private ring, copy thread, same process
    MKRX_MULTI_SDK_CONSUME_MODE = 2,    // consumer of the shared segment
    MKRX_MULTI_SDK_PRODUCE_MODE = 3,    // producer of the shared segment
};

enum MkrxServiceCbType_e {
    MKRX_SERVICECB_TYPE_RAW_DATA = 0,
    MKRX_SERVICECB_TYPE_PARSE_DATA = 1,
    MKRX_SERVICECB_TYPE_BUTT = 2,
};

// Consumer events recorded in the segment's event log.
enum MKRX_CUR_SDK_STAT_e {
    _EVENT_ACCESS_IN = 0,
    _EVENT_LOG_OUT = 1,
    _EVENT_SDK_FULL_EXIT = 2,
    _EVENT_SDK_LEAK_MM = 3,
    _EVENT_SDK_SEM_KEY_FAIL = 4,
    _EVENT_KICKED_OUT = 5,
    _EVENT_PROD_RUN = 6,
    _EVENT_PROD_EXIT = 7,
    _EVENT_SDK_OTH_FAIL = 8,
    _EVENT_BUTT = 9,
};

constexpr int MKRX_SHM_KEY = 11224455;      // 0xAB4587, the segment
constexpr int MKRX_SEM_SLOT_KEY = 11224430;  // 0xAB456E, slot table lock
constexpr int MKRX_SEM_EVENT_KEY = 11224431; // 0xAB456F, event log lock

constexpr uint32_t MKRX_MAX_SDK_NUM = 8;        // consumer slots
constexpr uint32_t MKRX_MAX_EVENT_NUM = 64;     // event log entries
constexpr uint32_t MKRX_EVENT_MSG_LEN = 128;    // bytes per entry, NUL included
constexpr uint32_t MKRX_MAX_RECORD_LEN = 8192;  // largest payload, and tail area size
constexpr uint32_t MKRX_TAIL_AREA_SIZE = 8192;
constexpr uint32_t MKRX_SHM_HEAD_SIZE = 8896;
constexpr uint32_t MKRX_SHM_EXTRA_SIZE = MKRX_SHM_HEAD_SIZE + MKRX_TAIL_AREA_SIZE;  // 17088

// Header of a MKRX_RAW_FPGA_WITH_HDR_DATA record; also what the parse-channel
// callback receives in front of the payload.
struct MkrxPktInfo_t {
    int64_t uiTimeStamp;     // CLOCK_REALTIME at the copy, ns since the epoch
    uint32_t uiPayloadLen;
    uint32_t uiReserved;     // zero
    const uint8_t* pucData;  // zero in a ring
};

// Header of a MKRX_PCAP_DATA record (a pcap record header); the time is the
// producer's processor time (clock()), not wall-clock time.
struct MkrxPcapHdr_t {
    uint32_t uiSec;
    uint32_t uiUsec;
    uint32_t uiCapLen;
    uint32_t uiWireLen;
};

// Producer counters, 64 bytes, also inside the segment.
struct DmaInfoStat_t {
    uint64_t ulCpyPktNum;    // records copied into the pool
    uint64_t ulCpyPktByte;   // payload bytes copied (pcap: payload + 16)
    uint64_t ulSoftDisPktNum;  // records dropped by software
    uint64_t ulSoftDisByte;    // payload bytes dropped
    uint32_t uiHardwareDmaCpyNum;  // DMA packet count of the card library
    uint32_t uiHardwarePressNum;   // DMA back-pressure count
    uint8_t aucReserved[24];
};

// What a consumer may read now (GetPoolCurrUsage).
struct MkrxCurPoolUsge_t {
    uint32_t uiAvailDataLen;
    const uint8_t* pucbuf;
};

// Private ring of one process (run mode 1). The producer part and the
// consumer part lie on separate cache lines; buffer holds size + 8192 bytes.
// A reader reads `in` with acquire order, consumes records at
// buffer + (out & (size - 1)), and stores `out` with release order. A
// record that reaches the ring end continues in the tail area behind it for
// GetTailUseLen() bytes that `in` does not count: the reader advances `out`
// to the ring end and the next record starts at offset 0.
struct ringbuffer {
    struct {
        uint8_t* buffer;
        uint32_t size;
        uint32_t in;  // bytes published, modulo 2^32
    } p;
    uint8_t cache_line_pad[64];
    struct {
        uint8_t* buffer;
        uint32_t size;
        uint32_t out;  // bytes consumed, modulo 2^32
    } c;
};

// Ring descriptor at the start of the segment.
struct RinfBufInf {
    uint8_t* buffer;  // valid in the producer's mapping only
    uint32_t uiSize;
    uint32_t uiGap;
    uint64_t ullIn;
};

// One consumer slot, 64 bytes.
struct MkrxSdkCoutInfo_t {
    uint8_t bValidTag;  // 1: owned by a live consumer
    uint8_t aucRes1[7];
    uint64_t uiCout;    // read position, same scale as ullIn
    int32_t sdkPid;
    uint32_t uiRes2;
    int64_t iRecAccTime;  // CLOCK_MONOTONIC ns of the last sign of life
    uint8_t aucRes3[32];
};

struct MkrxSdkEventInfo_t {
    uint64_t ullWrIdx;
    char stEventMsg[MKRX_MAX_EVENT_NUM][MKRX_EVENT_MSG_LEN];
};

struct MkrxServUsInfo_t {
    uint32_t server_uid;
    int32_t serverPid;
    char szServName[32];
};

struct MkrxShareMemInfo_t {
    RinfBufInf bufInf;
    uint32_t uiTailLen;
    uint8_t aucRes1[36];
    DmaInfoStat_t DmaStatInfo;
    MkrxSdkCoutInfo_t SdkCoutInf[MKRX_MAX_SDK_NUM];
    uint32_t uiRunSdkNum;
    uint32_t uiRes2;
    MkrxSdkEventInfo_t stSdkEveInf;
    MkrxServUsInfo_t stServUsInf;
    int32_t eDataType;
    int32_t eChannel;
};

// The layout binds every process that maps the segment.
static_assert(sizeof(void*) == 8, "the segment layout is that of a 64-bit process");
static_assert(sizeof(DmaInfoStat_t) == 64, "DmaInfoStat_t");
static_assert(offsetof(DmaInfoStat_t, ulCpyPktByte) == 8, "DmaInfoStat_t");
static_assert(offsetof(DmaInfoStat_t, ulSoftDisPktNum) == 16, "DmaInfoStat_t");
static_assert(offsetof(DmaInfoStat_t, ulSoftDisByte) == 24, "DmaInfoStat_t");
static_assert(offsetof(DmaInfoStat_t, uiHardwareDmaCpyNum) == 32, "DmaInfoStat_t");
static_assert(offsetof(DmaInfoStat_t, uiHardwarePressNum) == 36, "DmaInfoStat_t");
static_assert(sizeof(MkrxPktInfo_t) == 24, "MkrxPktInfo_t");
static_assert(offsetof(MkrxPktInfo_t, uiPayloadLen) == 8, "MkrxPktInfo_t");
static_assert(offsetof(MkrxPktInfo_t, pucData) == 16, "MkrxPktInfo_t");
static_assert(sizeof(MkrxPcapHdr_t) == 16, "MkrxPcapHdr_t");
static_assert(sizeof(MkrxSdkCoutInfo_t) == 64, "MkrxSdkCoutInfo_t");
static_assert(offsetof(MkrxSdkCoutInfo_t, uiCout) == 8, "MkrxSdkCoutInfo_t");
static_assert(offsetof(MkrxSdkCoutInfo_t, sdkPid) == 16, "MkrxSdkCoutInfo_t");
static_assert(offsetof(MkrxSdkCoutInfo_t, iRecAccTime) == 24, "MkrxSdkCoutInfo_t");
static_assert(offsetof(ringbuffer, cache_line_pad) == 16, "ringbuffer");
static_assert(offsetof(ringbuffer, c) == 80, "ringbuffer");
static_assert(offsetof(MkrxShareMemInfo_t, bufInf.buffer) == 0, "segment");
static_assert(offsetof(MkrxShareMemInfo_t, bufInf.uiSize) == 8, "segment");
static_assert(offsetof(MkrxShareMemInfo_t, bufInf.ullIn) == 16, "segment");
static_assert(offsetof(MkrxShareMemInfo_t, uiTailLen) == 24, "segment");
static_assert(offsetof(MkrxShareMemInfo_t, DmaStatInfo) == 64, "segment");
static_assert(offsetof(MkrxShareMemInfo_t, SdkCoutInf) == 128, "segment");
static_assert(offsetof(MkrxShareMemInfo_t, uiRunSdkNum) == 640, "segment");
static_assert(offsetof(MkrxShareMemInfo_t, stSdkEveInf.ullWrIdx) == 648, "segment");
static_assert(offsetof(MkrxShareMemInfo_t, stSdkEveInf.stEventMsg) == 656, "segment");
static_assert(offsetof(MkrxShareMemInfo_t, stServUsInf.server_uid) == 8848, "segment");
static_assert(offsetof(MkrxShareMemInfo_t, stServUsInf.serverPid) == 8852, "segment");
static_assert(offsetof(MkrxShareMemInfo_t, stServUsInf.szServName) == 8856, "segment");
static_assert(offsetof(MkrxShareMemInfo_t, eDataType) == 8888, "segment");
static_assert(offsetof(MkrxShareMemInfo_t, eChannel) == 8892, "segment");
static_assert(sizeof(MkrxShareMemInfo_t) == MKRX_SHM_HEAD_SIZE, "segment header");

// Header bytes in front of each payload for a data type; -1 for none of 0..3.
constexpr int MkrxHeadSize(int eDataType) {
    return eDataType == MKRX_RAW_FPGA_DATA            ? 0
           : eDataType == MKRX_RAW_FPGA_WITH_LEN_HDR  ? 4
           : eDataType == MKRX_RAW_FPGA_WITH_HDR_DATA ? 24
           : eDataType == MKRX_PCAP_DATA              ? 16
                                                      : -1;
}

// Any local process may write the segment (it is mode 0777), so a reader
// trusts none of its header until this says the fields can describe a ring of
// a segment of segBytes: the ring size a power of two that fits, the tail
// length within the tail area, at most 8 consumers and 64 event messages, a
// known data type. nullptr when they can; else what is wrong, for the log.
// A snapshot: the fields are read once each, without the locks.
inline const char* MkrxHeadFault(const MkrxShareMemInfo_t* h, uint64_t segBytes) {
    uint32_t size = __atomic_load_n(&h->bufInf.uiSize, __ATOMIC_RELAXED);
    if (size == 0 || (size & (size - 1)) != 0) return "ring size is not a power of two";
    if ((uint64_t)size + MKRX_SHM_EXTRA_SIZE > segBytes) return "ring size exceeds the segment";
    if (__atomic_load_n(&h->uiTailLen, __ATOMIC_RELAXED) > MKRX_TAIL_AREA_SIZE) return "tail length exceeds the tail area";
    if (__atomic_load_n(&h->uiRunSdkNum, __ATOMIC_RELAXED) > MKRX_MAX_SDK_NUM) return "consumer count exceeds 8";
    if (__atomic_load_n(&h->stSdkEveInf.ullWrIdx, __ATOMIC_RELAXED) > MKRX_MAX_EVENT_NUM) return "event count exceeds 64";
    int32_t type = __atomic_load_n(&h->eDataType, __ATOMIC_RELAXED);
    if (type < MKRX_RAW_FPGA_DATA || type > MKRX_ERROR_DATA) return "data type outside 0..4";
    return nullptr;
}

// Bytes a consumer at position cout has still to read when the producer is at
// in: at most the ring size. False for a pair no producer can make (cout ahead
// of in, or more than a ring behind), which only a corrupted segment shows.
inline bool MkrxPendingSane(uint64_t in, uint64_t cout, uint32_t size, uint64_t* pending) {
    if (cout > in || in - cout > size) return false;
    *pending = in - cout;
    return true;
}

// Atomic access to the plain integers of the shared layout (and of the
// private ring). The layout stays a plain C structure that any process can
// map; the accessors give each access its memory order.
namespace mkrx {
template <class T>
inline T LoadAcquire(const T* p) { return __atomic_load_n(p, __ATOMIC_ACQUIRE); }
template <class T>
inline T LoadRelaxed(const T* p) { return __atomic_load_n(p, __ATOMIC_RELAXED); }
template <class T>
inline void StoreRelease(T* p, T v) { __atomic_store_n(p, v, __ATOMIC_RELEASE); }
template <class T>
inline void StoreRelaxed(T* p, T v) { __atomic_store_n(p, v, __ATOMIC_RELAXED); }
inline bool IsPowerOfTwo(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }
// Single-writer counter: a load and a store, no read-modify-write.
template <class T>
inline void AddRelaxed(T* p, T v) { __atomic_store_n(p, __atomic_load_n(p, __ATOMIC_RELAXED) + v, __ATOMIC_RELAXED); }
}  // namespace mkrx

#endif
