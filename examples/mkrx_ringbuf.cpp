// mkrx_ringbuf: a client of libmkrxservice in run mode 1.
//
// The process owns the card. StartCpyThread starts a copy thread, pinned to
// the CPU given with -p, that busy-polls the DMA stream and copies each record,
// framed as -t says, into a private ring; this thread reads the ring. The copy
// thread is the ring's only writer of p.in and this thread the only writer of
// c.out: no lock, one acquire load and one release store per batch.
//
//   mkrx_ringbuf [-d DIR] [-l DIR] [-c 0|1] [-t 0..3] [-p CPU] [-n N] [-s SEC]

#include <sched.h>

#include "mkrx_example.h"

int main(int argc, char** argv) {
    mkrxex::Options o;
    if (!mkrxex::ParseOptions(argc, argv, mkrxex::kTakesChannel | mkrxex::kTakesType | mkrxex::kTakesCpu,
                              "[-d DIR] [-l DIR] [-c 0|1] [-t 0..3] [-p CPU] [-n N] [-s SEC]", &o))
        return 2;
    mkrxex::StopOnSignals();

    MkrxInitParam_t param = mkrxex::InitParam(o, MKRX_ONE_SDK_RINGBUF_MODE);
    IMkrxService* svc = NewIMkrxService(&param);
    if (svc == nullptr) {
        fprintf(stderr, "mkrx_ringbuf: no service, the reason is in the log under %s\n", o.logDir.c_str());
        return 1;
    }
    ringbuffer* rb = static_cast<ringbuffer*>(svc->GetDmaBuf());
    const int type = svc->GetCpyDataType();
    if (rb == nullptr || svc->StartCpyThread() != 0) {
        fprintf(stderr, "mkrx_ringbuf: no ring or no copy thread, see the log under %s\n", o.logDir.c_str());
        FreeIMkrxService(svc);
        return 1;
    }
    printf("mkrx_ringbuf: reading a ring of %u bytes, data type %d, copy thread on CPU %d\n", rb->c.size, type, o.cpu);

    mkrxex::FeedStats stats("mkrx_ringbuf");
    int rc = 0;
    uint32_t out = rb->c.out;  // only this thread writes it
    while (!mkrxex::Done(o, stats)) {
        stats.Tick();
        // Acquire: the bytes of every record counted in `in` are in place.
        const uint32_t in = mkrx::LoadAcquire(&rb->p.in);
        if (in == out) {
            sched_yield();  // a latency-bound client spins here on a CPU of its own
            continue;
        }
        const uint32_t off = out & (rb->c.size - 1);
        const uint32_t toEnd = rb->c.size - off;
        const uint32_t pending = in - out;
        // A record that reaches the ring end is counted in `in` only up to the
        // end; the rest of it, GetTailUseLen() bytes, lies in the tail area
        // behind the ring, and the next record starts at offset 0.
        const bool wraps = pending >= toEnd;
        const uint32_t avail = wraps ? toEnd + svc->GetTailUseLen() : pending;
        const int64_t used = mkrxex::WalkRecords(type, rb->c.buffer + off, avail, mkrxex::Wanted(o, stats),
                                                 [&](const uint8_t* hdr, const uint8_t* payload, uint32_t len) {
                                                     stats.RingRecord(type, hdr, payload, len);
                                                 });
        if (used < 0) {
            fprintf(stderr, "mkrx_ringbuf: broken record at ring offset %u\n", off);
            rc = 1;
            break;
        }
        out += wraps && (uint32_t)used == avail ? toEnd : (uint32_t)used;
        // Release: the copy thread may overwrite these bytes once it sees `out`.
        mkrx::StoreRelease(&rb->c.out, out);
    }
    svc->StopCpyThread();
    stats.Final();
    const DmaInfoStat_t* st = svc->GetDmaStatInf();
    printf("mkrx_ringbuf: copy thread copied %" PRIu64 " records, dropped %" PRIu64 " (ring full)\n",
           mkrx::LoadRelaxed(&st->ulCpyPktNum), mkrx::LoadRelaxed(&st->ulSoftDisPktNum));
    FreeIMkrxService(svc);
    return rc;
}
