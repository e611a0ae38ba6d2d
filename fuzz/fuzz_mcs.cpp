// The MCS image parser and flash programmer, with the behavioural model of
// the SPI controller and NOR flash behind the register accessor. The input
// is the MCS file, handed over as a memory file (the programmer takes a
// path). Whatever the file, the programmer must not break the flash
// protocol: every violation the model records is a finding.

#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "flash_spi.h"
#include "fuzz_util.h"
#include "spi_flash_model.h"

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
    prog.xclUpgradeFirmwareXSpi(path, 0);
    close(fd);

    for (const std::string& v : card.flash.violations()) fprintf(stderr, "flash protocol violation: %s\n", v.c_str());
    QFUZZ_CHECK(card.flash.violations().empty());
    return 0;
}
