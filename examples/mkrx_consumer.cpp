// mkrx_consumer: a client of libmkrxservice in run mode 2.
//
// The producer program QxDeliverDmaServer owns the card and copies its records
// into a shared pool; up to 8 consumers like this one read it, each at its own
// pace, without touching the card. NewIMkrxService fails unless exactly one
// producer runs and its pool holds records framed as -t says. A consumer sees
// the records written after it attached. GetPoolCurrUsage tells how many
// bytes of whole records are readable and where; SetFetchSize hands back what
// was consumed; the SDK's record reader (mkrx_reader.h) does both. A consumer
// that falls a ring behind while other consumers keep up is expelled: the
// reader's Poll then returns -1 for good. Between empty polls it waits with
// pause instructions, no system call; its once-a-second line is printed by
// a thread of its own (FeedStats).
//
//   mkrx_consumer [-d DIR] [-l DIR] [-t 0..3] [-n N] [-s SEC] [-w FILE]
//     -w FILE  with -t 3: the records as a pcap file (the header of a type 3
//              record is a pcap record header), for tcpdump or wireshark
// Exit status: 0 done, 1 failure, 2 bad arguments, 3 expelled.

#include "mkrx_example.h"

namespace {

// Link type of the pcap file: LINKTYPE_USER0, records in a private format.
// The records are whatever the channel carries; use 1 (Ethernet) for a
// channel that delivers whole frames.
constexpr uint32_t kPcapLinkType = 147;

// The ring's type 3 records, written as they are behind a pcap file header.
class PcapFile {
public:
    PcapFile() = default;
    PcapFile(const PcapFile&) = delete;
    PcapFile& operator=(const PcapFile&) = delete;
    ~PcapFile() { Close(); }

    bool Open(const std::string& path) {
        m_f = fopen(path.c_str(), "wb");
        if (m_f == nullptr) return false;
        struct {
            uint32_t magic;  // microsecond timestamps, in this host's byte order
            uint16_t major, minor;
            int32_t thiszone;
            uint32_t sigfigs, snaplen, linktype;
        } hdr = {0xa1b2c3d4, 2, 4, 0, 0, 65535, kPcapLinkType};
        static_assert(sizeof(hdr) == 24, "pcap file header");
        return Write(reinterpret_cast<const uint8_t*>(&hdr), sizeof(hdr));
    }
    bool Write(const uint8_t* p, size_t n) { return fwrite(p, 1, n, m_f) == n; }
    bool Close() {
        bool ok = m_f == nullptr || fclose(m_f) == 0;
        m_f = nullptr;
        return ok;
    }
    bool open() const { return m_f != nullptr; }

private:
    FILE* m_f = nullptr;
};

}  // namespace

int main(int argc, char** argv) {
    mkrxex::Options o;
    if (!mkrxex::ParseOptions(argc, argv, mkrxex::kTakesType | mkrxex::kTakesPcap,
                              "[-d DIR] [-l DIR] [-t 0..3] [-n N] [-s SEC] [-w FILE]", &o))
        return 2;
    mkrxex::StopOnSignals();

    PcapFile pcap;
    if (!o.pcapPath.empty() && !pcap.Open(o.pcapPath)) {
        fprintf(stderr, "mkrx_consumer: cannot write %s: %s\n", o.pcapPath.c_str(), strerror(errno));
        return 1;
    }
    MkrxInitParam_t param = mkrxex::InitParam(o, MKRX_MULTI_SDK_CONSUME_MODE);
    IMkrxService* svc = NewIMkrxService(&param);
    if (svc == nullptr) {
        fprintf(stderr, "mkrx_consumer: not attached (is the producer running, with this data type?), see the log "
                        "under %s\n", o.logDir.c_str());
        return 1;
    }
    const int type = svc->GetCpyDataType();
    printf("mkrx_consumer: attached, data type %d, %u consumers\n", type, GetSdkNum());

    mkrxex::FeedStats stats("mkrx_consumer");
    stats.Start(o.seconds);
    // The reader hands out whole records only (one that crosses the ring end
    // is readable in one piece, its end in the tail area behind the ring) and
    // gives back to the producer exactly the bytes it handed out.
    int rc = mkrx::WithFraming(type, mkrxex::FeedLength, [&](auto framing) {
        mkrx::PoolReader<decltype(framing)> reader(svc, framing);
        mkrx::PauseWait wait;  // a latency-bound client on a CPU of its own: mkrx::SpinWait
        bool written = true;
        auto onRecord = [&](const uint8_t* hdr, const uint8_t* payload, uint32_t len) {
            stats.RingRecord(type, hdr, payload, len);
            if (pcap.open() && written) written = pcap.Write(hdr, (size_t)(payload + len - hdr));
        };
        while (!mkrxex::Done(o, stats)) {
            stats.Tick();
            stats.NewPoll();
            const int n = reader.Poll(onRecord, mkrxex::Wanted(o, stats));
            if (n < 0) {
                if (reader.Corrupted()) {
                    fprintf(stderr, "mkrx_consumer: broken record in the pool\n");
                    return 1;
                }
                fprintf(stderr, "mkrx_consumer: expelled by the producer, this consumer fell behind\n");
                stats.Overrun();
                return 3;
            }
            if (!written) {
                fprintf(stderr, "mkrx_consumer: writing %s failed: %s\n", o.pcapPath.c_str(), strerror(errno));
                return 1;
            }
            mkrx::AfterPoll(wait, n);
        }
        return 0;
    });
    if (rc < 0) rc = 1;  // a data type no reader knows
    stats.Final();
    if (!pcap.Close() && rc == 0) {
        fprintf(stderr, "mkrx_consumer: writing %s failed: %s\n", o.pcapPath.c_str(), strerror(errno));
        rc = 1;
    }
    FreeIMkrxService(svc);
    return rc;
}
