#include "mflash.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <iostream>

#include "flash_qx.h"
#include "pcie_bar.h"
#include "timer_slack.h"

mflash::mflash(const char* device) : mType(SPI), mMgmtMap(nullptr), mFd(-1) {
    memset(&mSb, 0, sizeof(mSb));
    if (mapDevice(device) != 1) std::cout << "Failed to map pcie device." << std::endl;
    mType = SPI;
    mXspi.reset(new flash_spi(mRegs.get()));
}

mflash::~mflash() {
    if (mXspi) {
        std::cout << "flash_spi delete" << std::endl;
        mXspi.reset();
    }
    mRegs.reset();
    if (mMgmtMap != nullptr) {
        std::cout << "munmap." << std::endl;
        munmap(mMgmtMap, static_cast<size_t>(mSb.st_size));
        mMgmtMap = nullptr;
    }
    if (mFd >= 0) close(mFd);
}

int mflash::mapDevice(const char* device) {
    mMgmtMap = pcieMapResource0(device, mFd, mSb);
    if (mMgmtMap != nullptr && static_cast<uint64_t>(mSb.st_size) < FLASH_SPI_BAR_OFFSET + FLASH_SPI_REG_SPAN) {
        std::cout << "ERROR: BAR 0 of " << device << " has " << std::dec << mSb.st_size
                  << " bytes, too small for the flash controller at 0x40000" << std::endl;
        munmap(mMgmtMap, static_cast<size_t>(mSb.st_size));
        mMgmtMap = nullptr;
        close(mFd);
        mFd = -1;
    }
    int pciRet = enable_pci_master(device);
    if (mMgmtMap == nullptr || pciRet != 0) return 0;
    mRegs.reset(new CBarRegAccess(mMgmtMap, static_cast<size_t>(mSb.st_size), FLASH_SPI_BAR_OFFSET));
    return 1;
}

int mflash::upgradeFirmware(const std::string& file) {
    if (mType != SPI) {
        std::cout << "ERROR: Invalid programming type." << std::endl;
        return -1;
    }
    fmgmt::ScopedTimerSlack exactWaits;  // the 20 us sleeps last 20 us, not the default slack's 50 more
    return mXspi->xclUpgradeFirmwareXSpi(file, 0);
}

int mflash::flashRead(unsigned, uint32_t address, void* buffer, size_t length) {
    if (mRegs == nullptr || buffer == nullptr || reinterpret_cast<uintptr_t>(buffer) % 4 != 0 || length % 4 != 0)
        return -1;
    uint32_t* out = static_cast<uint32_t*>(buffer);
    for (size_t i = 0; i < length / 4; ++i)
        if (!mRegs->read32(static_cast<uint32_t>(address + i * 4), out[i])) return -1;
    return 0;
}

int mflash::flashWrite(unsigned, uint32_t address, const void* buffer, size_t length) {
    if (mRegs == nullptr || buffer == nullptr || reinterpret_cast<uintptr_t>(buffer) % 4 != 0 || length % 4 != 0)
        return -1;
    const uint32_t* in = static_cast<const uint32_t*>(buffer);
    for (size_t i = 0; i < length / 4; ++i)
        if (!mRegs->write32(static_cast<uint32_t>(address + i * 4), in[i])) return -1;
    return 0;
}

int flash_cmd_qx(const char* device, const char* mcsFile) {
    T_Arguments_Flash args;
    args.devIdx = device ? device : "";
    args.file1 = mcsFile ? mcsFile : "";

    mflash flash(args.devIdx.c_str());
    int ret = flash.upgradeFirmware(args.file1);
    if (ret != 0) {
        std::cout << "ZARorur failed." << std::endl;
        return -1;
    }
    std::cout << "ZARorur completed succesfully. Please reboot device for flash to complete." << std::endl;
    return 0;
}
