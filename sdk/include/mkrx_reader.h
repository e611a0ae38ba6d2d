#ifndef MKRX_READER_H
#define MKRX_READER_H

// Record reader of libmkrxservice's pools: hands out whole records of a
// ring, in its framing, and gives back to the pool exactly the bytes of the
// records it handed out. Header-only; needs mkrx_service.h and mkrxDef.h.
//
// Run mode 2 (shared pool of the producer program), latency-bound client:
//   IMkrxService* s = NewIMkrxService(&p);            // p.eRunMode = 2
//   std::atomic<bool> stop{false};                     // set it to end the loop
//   int rc = mkrx::WithFraming(s->GetCpyDataType(), MyRawLength, [&](auto framing) {
//       mkrx::PoolReader<decltype(framing)> reader(s, framing);
//       mkrx::SpinWait wait;                           // or mkrx::PauseWait
//       return mkrx::PollLoop(reader, wait, stop,
//           [&](const uint8_t* hdr, const uint8_t* payload, uint32_t len) { ... });
//   });                                                // -1: expelled, producer gone, corrupted
//   FreeIMkrxService(s);
//
// Run mode 1 (private ring filled by the copy thread of this process):
//   s->StartCpyThread();
//   mkrx::RingReader<mkrx::LenHdrFraming> reader(s);  // s->GetDmaBuf(), s->GetTailUseLen()
//   while (!stop) { int n = reader.Poll(onRecord); if (n < 0) break; mkrx::AfterPoll(wait, n); }
//   s->StopCpyThread();
//
// Framings (the data type of the pool, GetCpyDataType()):
//   0 RawFraming<Fn>   no header; Fn tells a record's length from its bytes
//   1 LenHdrFraming    uint32 payload length, payload
//   2 PktInfoFraming   MkrxPktInfo_t (24 bytes), payload
//   3 PcapFraming      pcap record header (MkrxPcapHdr_t, 16 bytes), payload
// The framing is a type, fixed when the reader is made: the walk is compiled
// once per framing, with no call and no branch on the framing per record.
// WithFraming turns the pool's data type into the framing type.
//
// Poll hands each whole record readable now to onRecord(header, payload,
// length): header points at the record's first byte (= payload for framing
// 0), length is the payload's. The bytes are valid only during the call:
// once Poll returns they are given back and the producer may overwrite them.
// One poll takes what one look at the pool offers: in run mode 1 up to the
// ring end (the crossing record included), the next poll going on from the
// ring's start; in run mode 2 one GetPoolCurrUsage window. maxRecords, an
// argument of Poll, stops it earlier; the rest stays for the next poll.
// Poll returns the number of records handed out (0: nothing new), or -1
// when the pool has ended for this reader: the consumer was expelled, the
// producer stopped and removed the pool, or the pool is corrupted. -1 stays:
// every later Poll returns -1 too.
//
// Expelled while reading (run mode 2): the producer expels the consumer
// furthest behind when it needs the room, and then writes over the bytes
// that consumer has not given back, also while onRecord is reading them
// (the consumer may have been stopped or descheduled in the middle of a
// poll). Records handed out by the poll that returns -1 for an expelled
// consumer, and by the poll before it, may thus hold bytes of newer records;
// every earlier poll's records were intact. A length that such bytes make
// impossible is found to be the consumer's expulsion, not a corruption.
//
// Corruption: a record whose length exceeds MKRX_MAX_RECORD_LEN (8192) or
// runs past the bytes the pool says are readable, a write position more than
// a ring ahead, a tail length beyond the tail area, a crossing record that
// does not end where the tail length says. The reader reports it once, one
// line through the fault handler (default: on standard error, "mkrx_reader:
// corrupted pool: ..."), and returns -1 from then on. A record whose header
// is not complete at the end of the readable bytes (or whose framing 0
// length function cannot tell its length yet) is not corruption: it is not
// handed out and stays for the next poll.
//
// Waiting: Poll never blocks and makes no system call of its own (in run
// mode 2 the service's GetPoolCurrUsage reads the clock on every 1024th call
// and, while the pool is empty, checks the segment at most every 100 ms).
// Between empty polls a client waits with one of the policies below:
//   SpinWait   re-polls at once: no clock read, no system call, no pause.
//              Lowest latency; burns its CPU, which must be one of its own
//              (pinned, not shared with the copy thread or the producer).
//   PauseWait  x86 pause instructions, doubling from 1 to 16 per empty poll
//              and back to 1 once records come. Fewer polls of the position
//              the producer writes, so the producer's stores do not keep
//              losing their cache line: more throughput, for at most one
//              back-off step of added latency (16 pauses: under 1 us with the
//              ~40 ns pause of current Intel cores); the choice on a CPU
//              shared with a sibling hyperthread.
// Neither gives the CPU away; a client that must share its CPU with other
// work has to sleep itself (and will then lag by its sleep).
//
// Threading: a reader belongs to one thread, the only one that polls the
// pool (run mode 2: the service object's client thread; run mode 1: the one
// thread that writes the ring's out). No lock; in run mode 1 one acquire load
// of the write position and one release store of out per poll.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <type_traits>

#include "mkrx_service.h"

namespace mkrx {

// Returned by a framing's Length: the header or the length of the record is
// not complete in the readable bytes; the record stays for the next poll.
constexpr uint32_t kNeedMoreBytes = 0xFFFFFFFFu;

// Framings: kType is the pool's data type, kHead the header bytes in front of
// the payload, Length(record, left) the payload length of the record that
// starts at `record` with `left` readable bytes (left >= kHead).
// Framings 1 to 3: the header holds the payload length as a uint32 at LenOff.
template <int T, uint32_t Head, size_t LenOff>
struct LengthWordFraming {
    static constexpr int kType = T;
    static constexpr uint32_t kHead = Head;
    static constexpr uint32_t kMinLen = 0;
    uint32_t Length(const uint8_t* r, uint32_t) const {
        uint32_t len;
        memcpy(&len, r + LenOff, sizeof(len));
        return len;
    }
};
using LenHdrFraming = LengthWordFraming<MKRX_RAW_FPGA_WITH_LEN_HDR, 4, 0>;
using PktInfoFraming = LengthWordFraming<MKRX_RAW_FPGA_WITH_HDR_DATA, sizeof(MkrxPktInfo_t),
                                         offsetof(MkrxPktInfo_t, uiPayloadLen)>;
using PcapFraming =
    LengthWordFraming<MKRX_PCAP_DATA, sizeof(MkrxPcapHdr_t), offsetof(MkrxPcapHdr_t, uiCapLen)>;

// Framing 0: the records carry their own length, which fn tells:
//   uint32_t fn(const uint8_t* record, uint32_t left)
// returns the record's length in bytes (1 to 8192), reading at most `left`
// bytes from `record`; 0 (or kNeedMoreBytes) when the `left` bytes do not
// yet tell it; anything above 8192 for bytes that are not a record
// (corruption). fn is copied into the reader and called once per record.
template <class Fn>
struct RawFraming {
    static constexpr int kType = MKRX_RAW_FPGA_DATA;
    static constexpr uint32_t kHead = 0;
    static constexpr uint32_t kMinLen = 1;  // a 0 from fn: needs more bytes
    Fn fn;
    uint32_t Length(const uint8_t* r, uint32_t left) const { return fn(r, left); }
};

template <class Fn>
RawFraming<Fn> MakeRawFraming(Fn fn) {
    return RawFraming<Fn>{fn};
}

// Calls body(framing) with the framing object of dataType and returns what
// body returns (an int); -1 for a data type outside 0..3, or for 0 when
// rawLength is nullptr (no length function: the client cannot read framing 0).
// body is usually a generic lambda, compiled once per framing.
template <class RawLen, class Body>
int WithFraming(int dataType, RawLen rawLength, Body&& body) {
    switch (dataType) {
        case MKRX_RAW_FPGA_DATA:
            if constexpr (std::is_same<RawLen, std::nullptr_t>::value) {
                return -1;
            } else {
                return body(RawFraming<RawLen>{rawLength});
            }
        case MKRX_RAW_FPGA_WITH_LEN_HDR: return body(LenHdrFraming());
        case MKRX_RAW_FPGA_WITH_HDR_DATA: return body(PktInfoFraming());
        case MKRX_PCAP_DATA: return body(PcapFraming());
        default: return -1;
    }
}

// Receives the reader's one report of a corrupted pool (a NUL-terminated
// line without newline), on the polling thread.
typedef void (*FaultHandler)(const char* text, void* ctx);

namespace detail {

enum WalkEnd { kWalkDone, kWalkLimit, kWalkPartial, kWalkCorrupt };

struct WalkResult {
    uint32_t records;
    uint32_t used;  // bytes of the records handed out
    WalkEnd end;
    uint32_t badLen;  // kWalkCorrupt: the length found
};

// Hands out the whole records that start in [p, p + startLimit) and end
// within [p, p + avail), at most maxRecords of them. The one hot loop of the
// reader: per record a bounds check, a length read, one combined check of
// the length, the call.
template <class Framing, class OnRecord>
inline WalkResult Walk(const Framing& f, const uint8_t* p, uint32_t startLimit, uint32_t avail, uint32_t maxRecords,
                       OnRecord& onRecord) {
    constexpr uint32_t kHead = Framing::kHead;
    constexpr uint32_t kMin = Framing::kMinLen;
    uint32_t used = 0, n = 0;
    while (used < startLimit) {
        if (n == maxRecords) return {n, used, kWalkLimit, 0};
        const uint8_t* r = p + used;
        const uint32_t left = avail - used;
        if (kHead > 0 && left < kHead) return {n, used, kWalkPartial, 0};
        const uint32_t len = f.Length(r, left);
        // One compare for "below the minimum or above 8192" (unsigned
        // wrap), one for "past the readable bytes".
        if (__builtin_expect(len - kMin > MKRX_MAX_RECORD_LEN - kMin || len > left - kHead, 0)) {
            const bool more = len == kNeedMoreBytes || (kMin > 0 && len == 0);
            return {n, used, more ? kWalkPartial : kWalkCorrupt, len};
        }
        onRecord(r, r + kHead, len);
        used += kHead + len;
        ++n;
    }
    return {n, used, kWalkDone, 0};
}

inline void PrintFault(const char* text, void*) { fprintf(stderr, "mkrx_reader: corrupted pool: %s\n", text); }

// The fault state shared by both readers: reported once, then -1 for good.
class FaultLatch {
public:
    void SetHandler(FaultHandler fn, void* ctx) {
        m_fn = fn != nullptr ? fn : PrintFault;
        m_ctx = ctx;
    }
    bool faulted() const { return m_faulted; }
    template <class... A>
    int Report(const char* fmt, A... a) {
        if (!m_faulted) {
            m_faulted = true;
            char text[160];
            snprintf(text, sizeof(text), fmt, a...);
            m_fn(text, m_ctx);
        }
        return -1;
    }
    int ReportRecord(const WalkResult& w, uint32_t avail) {
        if (w.badLen > MKRX_MAX_RECORD_LEN)
            return Report("record length %u exceeds %u", w.badLen, MKRX_MAX_RECORD_LEN);
        return Report("record of %u bytes runs past the %u readable bytes", w.badLen, avail - w.used);
    }

private:
    FaultHandler m_fn = PrintFault;
    void* m_ctx = nullptr;
    bool m_faulted = false;
};

}  // namespace detail

// Run mode 2: the records of the shared pool, through GetPoolCurrUsage and
// SetFetchSize. Source is anything with those two calls; IMkrxService by
// default (a concrete type makes them direct calls).
template <class Framing, class Source = IMkrxService>
class PoolReader {
public:
    explicit PoolReader(Source* src, Framing f = Framing()) : m_src(src), m_f(f) {}
    PoolReader(const PoolReader&) = delete;
    PoolReader& operator=(const PoolReader&) = delete;

    // Hands out at most maxRecords whole records (see the head of this file).
    template <class OnRecord>
    int Poll(OnRecord&& onRecord, uint32_t maxRecords = kMaxPerPoll) {
        if (m_fault.faulted()) return -1;
        MkrxCurPoolUsge_t u;
        if (m_src->GetPoolCurrUsage(&u) != 0) return -1;  // expelled or producer gone
        if (u.uiAvailDataLen == 0) return 0;
        if (maxRecords > kMaxPerPoll) maxRecords = kMaxPerPoll;
        const detail::WalkResult w = detail::Walk(m_f, u.pucbuf, u.uiAvailDataLen, u.uiAvailDataLen, maxRecords, onRecord);
        // Exactly the bytes of the records handed out go back; a record
        // left partial stays where it is.
        if (w.used > 0) m_src->SetFetchSize(w.used);
        if (w.end == detail::kWalkCorrupt) {
            // Bytes overwritten after this consumer was expelled are not a
            // corruption: the service now says the pool has ended for it.
            MkrxCurPoolUsge_t again;
            if (m_src->GetPoolCurrUsage(&again) != 0) return -1;
            return m_fault.ReportRecord(w, u.uiAvailDataLen);
        }
        return (int)w.records;
    }

    // Where the one report of a corrupted pool goes (nullptr: standard error).
    void SetFaultHandler(FaultHandler fn, void* ctx) { m_fault.SetHandler(fn, ctx); }
    bool Corrupted() const { return m_fault.faulted(); }

    static constexpr uint32_t kMaxPerPoll = 0x7FFFFFFF;

private:
    Source* m_src;
    Framing m_f;
    detail::FaultLatch m_fault;
};

// Run mode 1: the records of the private ring that this process's copy
// thread fills. TailSource is anything with uint32_t GetTailUseLen() (the
// service by default), asked only when a poll reaches the ring end.
template <class Framing, class TailSource = IMkrxService>
class RingReader {
public:
    RingReader(ringbuffer* rb, TailSource* tail, Framing f = Framing()) : m_rb(rb), m_tail(tail), m_f(f) {
        if (rb != nullptr) {
            m_data = rb->c.buffer;
            m_size = rb->c.size;
            m_out = rb->c.out;  // only this reader writes it from now on
        }
    }
    // The ring of a run mode 1 service (GetDmaBuf; null: every Poll is -1).
    explicit RingReader(TailSource* svc, Framing f = Framing())
        : RingReader(static_cast<ringbuffer*>(svc->GetDmaBuf()), svc, f) {}
    RingReader(const RingReader&) = delete;
    RingReader& operator=(const RingReader&) = delete;

    template <class OnRecord>
    int Poll(OnRecord&& onRecord, uint32_t maxRecords = kMaxPerPoll) {
        if (m_rb == nullptr || m_fault.faulted()) return -1;
        // Acquire: the bytes of every record counted in `in`, and the tail
        // length of a record that reaches the ring end, are in place.
        const uint32_t in = LoadAcquire(&m_rb->p.in);
        const uint32_t pending = in - m_out;
        if (pending == 0) return 0;
        if (pending > m_size) return m_fault.Report("write position %u bytes ahead of a ring of %u", pending, m_size);
        if (maxRecords > kMaxPerPoll) maxRecords = kMaxPerPoll;
        const uint32_t off = m_out & (m_size - 1);
        const uint32_t toEnd = m_size - off;
        if (pending < toEnd) {
            const detail::WalkResult w = detail::Walk(m_f, m_data + off, pending, pending, maxRecords, onRecord);
            Advance(w.used);
            if (w.end == detail::kWalkCorrupt) return m_fault.ReportRecord(w, pending);
            return (int)w.records;
        }
        // The record that reaches the ring end is counted in `in` only up to
        // the end; its rest, GetTailUseLen() bytes, lies in the tail area
        // behind the ring. It cannot change before out passes the ring end.
        const uint32_t tail = m_tail->GetTailUseLen();
        if (tail > MKRX_TAIL_AREA_SIZE) return m_fault.Report("tail length %u exceeds the tail area", tail);
        const uint32_t avail = toEnd + tail;
        const detail::WalkResult w = detail::Walk(m_f, m_data + off, toEnd, avail, maxRecords, onRecord);
        if (w.end == detail::kWalkCorrupt) {
            Advance(w.used < toEnd ? w.used : toEnd);
            return m_fault.ReportRecord(w, avail);
        }
        if (w.used < toEnd) {
            // Stopped by maxRecords; a partial record cannot be here, every
            // byte up to the crossing record's end is written.
            Advance(w.used);
            if (w.end == detail::kWalkPartial)
                return m_fault.Report("record at ring offset %u cut short before the ring end", off + w.used);
            return (int)w.records;
        }
        // The records end at the ring end (tail 0) or the last one ends
        // where the tail length says; out moves to the ring end.
        Advance(toEnd);
        if (w.used != avail)
            return m_fault.Report("record crossing the ring end ends %u bytes from where the tail length says",
                                  w.used > avail ? w.used - avail : avail - w.used);
        return (int)w.records;
    }

    void SetFaultHandler(FaultHandler fn, void* ctx) { m_fault.SetHandler(fn, ctx); }
    bool Corrupted() const { return m_fault.faulted(); }

    static constexpr uint32_t kMaxPerPoll = 0x7FFFFFFF;

private:
    void Advance(uint32_t bytes) {
        if (bytes == 0) return;
        m_out += bytes;
        // Release: finished with the bytes; the copy thread may reuse them.
        StoreRelease(&m_rb->c.out, m_out);
    }

    ringbuffer* m_rb = nullptr;
    TailSource* m_tail;
    Framing m_f;
    const uint8_t* m_data = nullptr;
    uint32_t m_size = 0;
    uint32_t m_out = 0;
    detail::FaultLatch m_fault;
};

// Wait policies: Idle() after an empty poll, Busy() after one that handed
// out records (see the head of this file for which to choose).
inline void CpuPause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    __asm__ __volatile__("yield" ::: "memory");
#else
    __asm__ __volatile__("" ::: "memory");
#endif
}

struct SpinWait {
    void Idle() {}
    void Busy() {}
};

class PauseWait {
public:
    static constexpr uint32_t kMaxPauses = 16;
    void Idle() {
        for (uint32_t i = 0; i < m_pauses; ++i) CpuPause();
        if (m_pauses < kMaxPauses) m_pauses <<= 1;
    }
    void Busy() { m_pauses = 1; }

private:
    uint32_t m_pauses = 1;
};

// What wait does after a poll that handed out n records (n >= 0): Busy()
// when there were some, Idle() when there were none.
template <class Wait>
inline void AfterPoll(Wait& wait, int n) {
    if (n > 0)
        wait.Busy();
    else
        wait.Idle();
}

// Polls reader until stop is set (returns 0) or Poll returns -1 (returns
// -1), waiting with wait between empty polls. stop is read with relaxed
// order once per poll; another thread or a signal handler sets it.
template <class Reader, class Wait, class OnRecord>
int PollLoop(Reader& reader, Wait& wait, const std::atomic<bool>& stop, OnRecord&& onRecord) {
    while (!stop.load(std::memory_order_relaxed)) {
        const int n = reader.Poll(onRecord);
        if (n < 0) return -1;
        AfterPoll(wait, n);
    }
    return 0;
}

}  // namespace mkrx

#endif
