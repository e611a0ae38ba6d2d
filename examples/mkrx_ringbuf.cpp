// mkrx_ringbuf: a client of libmkrxservice in run mode 1.
//
// The process owns the card. StartCpyThread starts a copy thread, pinned to
// the CPU given with -p, that busy-polls the DMA stream and copies each record,
// framed as -t says, into a private ring; this thread reads the ring. The copy
// thread is the ring's only writer of p.in and this thread, through the SDK's
// record reader (mkrx_reader.h), the only writer of c.out: no lock, one
// acquire load and one release store per poll. Between empty polls it waits
// with pause instructions, no system call.
//
//   mkrx_ringbuf [-d DIR] [-l DIR] [-c 0|1] [-t 0..3] [-p CPU] [-n N] [-s SEC]

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
    stats.Start(o.seconds);
    // The reader: one acquire load of the ring's in and one release store of
    // its out per poll; a record that reaches the ring end is completed from
    // the tail area (GetTailUseLen()) and out moves only to the ring end.
    int rc = mkrx::WithFraming(type, mkrxex::FeedLength, [&](auto framing) {
        mkrx::RingReader<decltype(framing)> reader(svc, framing);
        mkrx::PauseWait wait;  // a latency-bound client on a CPU of its own: mkrx::SpinWait
        auto onRecord = [&](const uint8_t* hdr, const uint8_t* payload, uint32_t len) {
            stats.RingRecord(type, hdr, payload, len);
        };
        while (!mkrxex::Done(o, stats)) {
            stats.Tick();
            stats.NewPoll();
            const int n = reader.Poll(onRecord, mkrxex::Wanted(o, stats));
            if (n < 0) {
                fprintf(stderr, "mkrx_ringbuf: broken record in the ring\n");
                return 1;
            }
            mkrx::AfterPoll(wait, n);
        }
        return 0;
    });
    if (rc < 0) rc = 1;  // a data type no reader knows
    svc->StopCpyThread();
    stats.Final();
    const DmaInfoStat_t* st = svc->GetDmaStatInf();
    printf("mkrx_ringbuf: copy thread copied %" PRIu64 " records, dropped %" PRIu64 " (ring full)\n",
           mkrx::LoadRelaxed(&st->ulCpyPktNum), mkrx::LoadRelaxed(&st->ulSoftDisPktNum));
    FreeIMkrxService(svc);
    return rc;
}
