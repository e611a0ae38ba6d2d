// Time of one flash upgrade against the behavioural model: an image from
// MCS file to verified flash, split into parse, identification and guard,
// erase pass, program pass, guard clear and verify, with the host's waits
// for write-in-progress and its fixed sleeps. It runs twice in one go: with
// the thread's default timer slack and with the slack the tool's upgrade
// sets, and prints the before/after of the fixed 20 us sleeps and the total.
//
//   bench_flash [--mib N] [--base 0xADDR] [--program-us N] [--erase-us N]
//               [--busy-polls N] [--fifo N] [--bytes-per-poll N]

#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "flash_spi.h"
#include "spi_flash_model.h"
#include "timer_slack.h"

namespace {

int64_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double cpuSeconds()
{
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

double ms(int64_t ns) { return ns / 1e6; }

struct Run {
    bool ok = false;
    double sleep20Us = 0, totalMs = 0, sleepsMs = 0;
};

// One upgrade of the MCS file on a fresh model, its phases printed.
// exactWaits: under the timer slack that the tool's upgrade sets.
Run upgrade(const std::string& mcs, const std::vector<uint8_t>& image, uint32_t base,
            const qsim::SpiFlashConfig& fcfg, const qsim::SpiControllerConfig& ccfg, bool exactWaits, double srecMs)
{
    Run r;
    std::unique_ptr<fmgmt::ScopedTimerSlack> slack;
    if (exactWaits) slack.reset(new fmgmt::ScopedTimerSlack());
    const size_t size = image.size();
    const unsigned mib = static_cast<unsigned>(size >> 20);

    // A quick look at what the host's fixed 20 us sleep really costs here.
    int64_t s0 = nowNs();
    for (int i = 0; i < 2000; ++i) usleep(20);
    double sleep20Us = (nowNs() - s0) / 2000.0 / 1e3;

    qsim::CSimFlashCard card(fcfg, ccfg);
    flash_spi prog(&card.controller);

    std::ostringstream sink;
    std::streambuf* old = std::cout.rdbuf(sink.rdbuf());
    double cpu0 = cpuSeconds();
    int64_t tStart = nowNs();
    int ret = prog.xclUpgradeFirmwareXSpi(mcs, 0);
    int64_t tEnd = nowNs();
    double cpu = cpuSeconds() - cpu0;
    std::cout.rdbuf(old);
    if (ret != 0) {
        fprintf(stderr, "upgrade failed: %d\n%s\n", ret, sink.str().c_str());
        return r;
    }

    uint32_t shift = base != 0 ? 4096 : 0;
    int64_t v0 = nowNs();
    bool equal = card.flash.read(base + shift, size) == image;
    int64_t tVerify = nowNs() - v0;

    // Phase boundaries from the model's log of completed commands.
    const auto& ops = card.flash.ops();
    auto isProgram = [](uint8_t op) { return op == 0x02 || op == 0x32; };
    size_t firstProgram = 0;
    while (firstProgram < ops.size() && !isProgram(ops[firstProgram].opcode)) ++firstProgram;
    size_t imageFirst = shift ? firstProgram + 1 : firstProgram;
    while (imageFirst < ops.size() && !isProgram(ops[imageFirst].opcode)) ++imageFirst;
    size_t lastErase = imageFirst;
    while (lastErase > 0 && ops[lastErase].opcode != 0x20) --lastErase;
    size_t lastProgram = ops.size() - 1;
    while (lastProgram > 0 && !isProgram(ops[lastProgram].opcode)) --lastProgram;

    int64_t tFirst = card.controller.firstAccessNs();
    int64_t tGuard = shift ? ops[firstProgram].timeNs : tFirst;
    int64_t tErased = ops[lastErase].timeNs;
    int64_t tProgrammed = ops[lastProgram].timeNs;
    const auto& st = card.flash.stats();
    uint64_t blocks = prog.records().size();
    uint64_t sleeps = st.programs + st.erases + blocks + 1;

    printf("flash upgrade of %u MiB at 0x%08X on the model (program %u us, erase %u us, busy polls %u, fifo %u), "
           "timer slack %s\n",
           mib, base, fcfg.programUs, fcfg.eraseUs, fcfg.busyPolls, ccfg.fifoDepth,
           exactWaits ? "1 ns (as the tool's upgrade)" : "default");
    printf("  srec_cat bin -> mcs (not part of the upgrade)   %10.1f ms\n", srecMs);
    printf("  parse MCS (%llu blocks)                          %10.1f ms\n",
           static_cast<unsigned long long>(blocks), ms(tFirst - tStart));
    printf("  identify + guard                                 %10.1f ms\n", ms(tGuard - tFirst));
    printf("  erase pass (%llu subsectors)                    %10.1f ms\n",
           static_cast<unsigned long long>(st.erases), ms(tErased - tGuard));
    printf("  program pass (%llu page commands)              %10.1f ms\n",
           static_cast<unsigned long long>(st.programs), ms(tProgrammed - tErased));
    printf("  guard clear                                      %10.1f ms\n", ms(tEnd - tProgrammed));
    printf("  total upgrade                                    %10.1f ms  (cpu %.1f ms)\n", ms(tEnd - tStart),
           cpu * 1e3);
    printf("  verify (read back and compare)                   %10.1f ms  %s\n", ms(tVerify),
           equal ? "equal" : "DIFFERENT");
    printf("  within the passes: waiting for write-in-progress  program %.1f ms, erase %.1f ms\n",
           ms(st.programWaitNs), ms(st.eraseWaitNs));
    printf("  within the passes: %llu fixed 20 us sleeps at %.1f us each = %.1f ms\n",
           static_cast<unsigned long long>(sleeps), sleep20Us, sleeps * sleep20Us / 1e3);
    printf("  register accesses: %llu reads, %llu writes; status commands %llu (%llu busy)\n",
           static_cast<unsigned long long>(card.controller.registerReads()),
           static_cast<unsigned long long>(card.controller.registerWrites()),
           static_cast<unsigned long long>(st.statusReads), static_cast<unsigned long long>(st.statusReadsBusy));
    printf("  protocol violations: %zu\n", card.flash.violations().size());
    // Ratios against what was measured in this run: srec_cat writing the same
    // MCS text (a peer handling the same bytes), and the waits the protocol
    // itself asks for (fixed sleeps plus write-in-progress), which no
    // programmer on this controller can avoid.
    double boundMs = sleeps * sleep20Us / 1e3 + ms(st.programWaitNs) + ms(st.eraseWaitNs);
    printf("  parse MCS / srec_cat bin->mcs:                   %10.2fx\n", ms(tFirst - tStart) / srecMs);
    printf("  total upgrade / protocol waits bound:            %10.2fx\n", ms(tEnd - tStart) / boundMs);

    r.ok = equal && card.flash.violations().empty();
    r.sleep20Us = sleep20Us;
    r.totalMs = ms(tEnd - tStart);
    r.sleepsMs = sleeps * sleep20Us / 1e3;
    return r;
}

}  // namespace

int main(int argc, char** argv)
{
    unsigned mib = 32;
    uint32_t base = 0x01002000;
    qsim::SpiFlashConfig fcfg;
    fcfg.capacityCode = 0x20;  // 512 Mbit: room for 32 MiB above 16 MB
    fcfg.logData = false;
    fcfg.busyPolls = 0;
    qsim::SpiControllerConfig ccfg;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string k = argv[i];
        unsigned long v = strtoul(argv[i + 1], nullptr, 0);
        if (k == "--mib") mib = static_cast<unsigned>(v);
        else if (k == "--base") base = static_cast<uint32_t>(v);
        else if (k == "--program-us") fcfg.programUs = static_cast<uint32_t>(v);
        else if (k == "--erase-us") fcfg.eraseUs = static_cast<uint32_t>(v);
        else if (k == "--busy-polls") fcfg.busyPolls = static_cast<uint32_t>(v);
        else if (k == "--fifo") ccfg.fifoDepth = static_cast<uint32_t>(v);
        else if (k == "--bytes-per-poll") ccfg.bytesPerStatusRead = static_cast<uint32_t>(v);
        else {
            fprintf(stderr, "unknown option %s\n", argv[i]);
            return 2;
        }
    }

    char tmpl[] = "/tmp/bench_flash.XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    std::string dir = tmpl;
    std::string bin = dir + "/img.bin", mcs = dir + "/img.mcs";

    size_t size = static_cast<size_t>(mib) << 20;
    std::vector<uint8_t> image(size);
    std::mt19937_64 rng(42);
    for (size_t i = 0; i < size; i += 8) {
        uint64_t r = rng();
        memcpy(&image[i], &r, std::min<size_t>(8, size - i));
    }
    {
        std::ofstream out(bin, std::ios::binary);
        out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    }
    char cmd[1024];
    snprintf(cmd, sizeof(cmd), "srec_cat '%s' -binary -offset 0x%08X -o '%s' -intel -Output_Block_Size=16",
             bin.c_str(), base, mcs.c_str());
    int64_t t = nowNs();
    if (system(cmd) != 0) {
        fprintf(stderr, "srec_cat failed\n");
        return 1;
    }
    double srecMs = ms(nowNs() - t);

    // The same upgrade twice on fresh models: with this thread's default
    // timer slack (what the programmer's sleeps cost before the tool set
    // it), then under the slack the tool's upgrade runs with.
    Run before = upgrade(mcs, image, base, fcfg, ccfg, false, srecMs);
    Run after = upgrade(mcs, image, base, fcfg, ccfg, true, srecMs);
    if (before.ok && after.ok)
        printf("before/after: 20 us sleep %.1f -> %.1f us (%.2fx), fixed sleeps %.1f -> %.1f ms, "
               "total upgrade %.1f -> %.1f ms (%.2fx)\n",
               before.sleep20Us, after.sleep20Us, before.sleep20Us / after.sleep20Us, before.sleepsMs,
               after.sleepsMs, before.totalMs, after.totalMs, before.totalMs / after.totalMs);

    std::string rm = "rm -rf '" + dir + "'";
    if (system(rm.c_str()) != 0) {
    }
    return before.ok && after.ok ? 0 : 1;
}
