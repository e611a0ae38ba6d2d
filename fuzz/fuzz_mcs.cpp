// The MCS image parser and flash programmer, with the behavioural model of
// the SPI controller and NOR flash behind the register accessor. The input
// is the MCS file, handed over as a memory file (the programmer takes a
// path). Whatever the file, the programmer must not break the flash
// protocol (every violation the model records is a finding), and a file it
// reports as programmed must be in the flash byte for byte.

#include <sys/mman.h>
#include <unistd.h>

#include <map>
#include <vector>
#include <string>

#include "flash_spi.h"
#include "fuzz_util.h"
#include "spi_flash_model.h"

namespace {

int Hex(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The data bytes of an MCS file the programmer accepted, by flash address
// (before the shift past the bitstream guard).
std::map<uint64_t, uint8_t> DataOf(const std::string& text)
{
    std::map<uint64_t, uint8_t> out;
    uint64_t base = 0;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t eol = text.find('\n', pos);
        if (eol == std::string::npos) eol = text.size();
        std::string line = text.substr(pos, eol - pos);
        pos = eol + 1;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.pop_back();
        if (line.size() < 11 || line[0] != ':') continue;
        std::vector<uint8_t> b;
        for (size_t i = 1; i + 1 < line.size(); i += 2) b.push_back(static_cast<uint8_t>(Hex(line[i]) << 4 | Hex(line[i + 1])));
        const uint32_t addr = b[1] << 8 | b[2];
        if (b[3] == 0x01) break;
        if (b[3] == 0x04) base = static_cast<uint64_t>(b[4] << 8 | b[5]) << 16;
        if (b[3] == 0x00)
            for (uint32_t i = 0; i < b[0]; ++i) out[base + addr + i] = b[4 + i];
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    int fd = memfd_create("fuzz_mcs", MFD_CLOEXEC);
    QFUZZ_CHECK(fd >= 0);
    QFUZZ_CHECK(write(fd, data, size) == static_cast<ssize_t>(size));
    const std::string path = "/proc/self/fd/" + std::to_string(fd);

    qsim::SpiFlashConfig cfg;
    cfg.initialErased = true;
    cfg.logOps = false;
    cfg.logData = false;
    qsim::CSimFlashCard card(cfg);
    flash_spi prog(&card.controller);
    const int ret = prog.xclUpgradeFirmwareXSpi(path, 0);
    close(fd);

    for (const std::string& v : card.flash.violations()) fprintf(stderr, "flash protocol violation: %s\n", v.c_str());
    QFUZZ_CHECK(card.flash.violations().empty());
    if (ret != 0) return 0;
    // A bitstream not at 0 is written one subsector further on, past its guard.
    const uint64_t shift = prog.bitstreamStart() != 0 ? 4096 : 0;
    const std::string text(reinterpret_cast<const char*>(data), size);
    for (const auto& kv : DataOf(text)) QFUZZ_CHECK(card.flash.byteAt(kv.first + shift) == kv.second);
    return 0;
}
