#ifndef FMGMT_MFLASH_H
#define FMGMT_MFLASH_H

#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <string>

#include "flash_spi.h"
#include "reg_access.h"

// Arguments of one flash upgrade.
struct T_Arguments_Flash {
    std::string operators;
    std::string file1;   // the MCS file
    std::string file2;   // a second image, unused
    std::string devIdx;  // PCIe address, e.g. "0000:d8:00.0"
    bool isValid;
    T_Arguments_Flash() : isValid(true) {}
};

enum E_mflashType { SPI = 0 };

// The card's configuration flash: maps BAR 0 of the PCIe function through
// sysfs, enables the function and hands the SPI controller's registers to a
// flash_spi programmer.
class mflash {
public:
    explicit mflash(const char* device);
    ~mflash();
    mflash(const mflash&) = delete;
    mflash& operator=(const mflash&) = delete;

    int upgradeFirmware(const std::string& file);

    // Word copies between a buffer and the controller window (BAR 0 + 0x40000
    // + address). length is in bytes, a multiple of 4; the buffer must be
    // 4-byte aligned. 0 on success, -1 when refused.
    int flashRead(unsigned index, uint32_t address, void* buffer, size_t length);
    int flashWrite(unsigned index, uint32_t address, const void* buffer, size_t length);

    bool mapped() const { return mMgmtMap != nullptr; }

private:
    int mapDevice(const char* device);

    E_mflashType mType;
    std::unique_ptr<flash_spi> mXspi;
    std::unique_ptr<CBarRegAccess> mRegs;
    void* mMgmtMap;
    int mFd;
    struct stat mSb;
};

#endif
