// mkrx_callback: a client of libmkrxservice in run mode 0.
//
// The process owns the card: NewIMkrxService brings it up from device.ini
// and quay.ini and opens the DMA stream of the channel. Each PollOnce hands
// at most one record to the registered callback, on the calling thread,
// straight from the stream: no ring and no copy, and the bytes are valid only
// during the callback. Run mode 0 delivers records bare whatever data type is
// asked for, so this client takes no -t.
//
//   mkrx_callback [-d DIR] [-l DIR] [-c 0|1] [-n N] [-s SEC]

#include "mkrx_example.h"

namespace {

void OnRecord(const uint8_t* data, uint32_t length, void* param) {
    static_cast<mkrxex::FeedStats*>(param)->Record(data, length);
}

}  // namespace

int main(int argc, char** argv) {
    mkrxex::Options o;
    if (!mkrxex::ParseOptions(argc, argv, mkrxex::kTakesChannel, "[-d DIR] [-l DIR] [-c 0|1] [-n N] [-s SEC]", &o)) return 2;
    mkrxex::StopOnSignals();

    MkrxInitParam_t param = mkrxex::InitParam(o, MKRX_ONE_SDK_PERFORMANCE_MODE);
    IMkrxService* svc = NewIMkrxService(&param);
    if (svc == nullptr) {
        fprintf(stderr, "mkrx_callback: no service, the reason is in the log under %s\n", o.logDir.c_str());
        return 1;
    }
    mkrxex::FeedStats stats("mkrx_callback");
    if (svc->RegisterHandler(OnRecord, &stats) != 0) {
        fprintf(stderr, "mkrx_callback: RegisterHandler failed\n");
        FreeIMkrxService(svc);
        return 1;
    }
    printf("mkrx_callback: polling channel %d\n", o.channel);

    stats.Start(o.seconds);
    mkrx::PauseWait wait;
    while (!mkrxex::Done(o, stats)) {
        stats.Tick();
        // PollOnce: 0 when one record went to OnRecord, -1 when none was waiting.
        mkrx::AfterPoll(wait, svc->PollOnce() == 0 ? 1 : 0);
    }
    stats.Final();
    FreeIMkrxService(svc);
    return 0;
}
