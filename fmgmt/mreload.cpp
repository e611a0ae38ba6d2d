#include "mreload.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <iostream>

#include "flash_qx.h"
#include "pcie_bar.h"

mreload::mreload(const char* device) : mMgmtMap(nullptr), mFd(-1), mRegs(nullptr) {
    memset(&mSb, 0, sizeof(mSb));
    if (mapDevice(device) != 1) std::cout << "Failed to map pcie device." << std::endl;
}

mreload::mreload(IRegAccess* regs) : mMgmtMap(nullptr), mFd(-1), mRegs(regs) { memset(&mSb, 0, sizeof(mSb)); }

mreload::~mreload() {
    mOwnRegs.reset();
    if (mMgmtMap != nullptr) munmap(mMgmtMap, static_cast<size_t>(mSb.st_size));
    if (mFd >= 0) close(mFd);
}

int mreload::mapDevice(const char* device) {
    // Bus mastering is left as it is: only the BAR is needed here.
    mMgmtMap = pcieMapResource0(device, mFd, mSb);
    if (mMgmtMap == nullptr) return 0;
    mOwnRegs.reset(new CBarRegAccess(mMgmtMap, static_cast<size_t>(mSb.st_size), RELOAD_BAR_OFFSET));
    mRegs = mOwnRegs.get();
    return 1;
}

bool mreload::regWrite(unsigned, uint32_t offset, uint32_t value) {
    return mRegs != nullptr && mRegs->write32(offset, value);
}

int mreload::reloadFPGA(unsigned delay, bool, bool withTrigger) {
    if (delay < 3) delay = 3;
    // The delay field is 16 bits wide; a longer delay is kept as the longest.
    if (delay > 0xFFFF) delay = 0xFFFF;
    uint32_t value = static_cast<uint32_t>(delay) << 16;
    if (withTrigger) value |= RELOAD_TRIGGER;

    std::ios::fmtflags f = std::cout.flags();
    std::cout << " delay :" << std::dec << delay << std::endl;
    std::cout << "-- controlRegBits: 0x" << std::hex << value << std::endl;
    std::cout.flags(f);

    if (mRegs == nullptr) {
        std::cout << "ERROR: BAR 0 is not mapped, the reload was not triggered." << std::endl;
        return -1;
    }
    if (!regWrite(0, RELOAD_CONTROL_REG, 0)) return -1;
    usleep(1);
    if (!regWrite(0, RELOAD_CONTROL_REG, value)) return -1;
    return 0;
}

int flash_reload_qx(const char* device, int delay) {
    std::cout << "Board Reload Utility." << std::endl;
    T_Arguments_Reload args;
    args.devIdx = device ? device : "";
    args.delay = delay < 0 ? 0u : static_cast<uint32_t>(delay);

    mreload reload(args.devIdx.c_str());
    int ret = reload.reloadFPGA(args.delay, true, true);
    if (ret != 0) {
        std::cout << "Board Reload Utility failed: the FPGA was not reloaded." << std::endl;
        return -1;
    }
    std::cout << "Board Reload Utility Complete. The system may restart, which is normal." << std::endl;
    return 0;
}
