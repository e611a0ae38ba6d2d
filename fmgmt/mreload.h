#ifndef FMGMT_MRELOAD_H
#define FMGMT_MRELOAD_H

#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <string>

#include "reg_access.h"

// Offset of the reload controller inside BAR 0, and its control register.
#define RELOAD_BAR_OFFSET 0x50000u
#define RELOAD_CONTROL_REG 0x4u
#define RELOAD_TRIGGER 0xA596u

// Arguments of one reload.
struct T_Arguments_Reload {
    std::string devIdx;
    uint32_t delay;
    bool isValid;
    T_Arguments_Reload() : delay(0), isValid(true) {}
};

// The FPGA's reload controller in BAR 0 + 0x50000.
class mreload {
public:
    // Maps BAR 0 of the PCIe function through sysfs.
    explicit mreload(const char* device);
    // Drives the controller through the given registers (window at 0x50000).
    explicit mreload(IRegAccess* regs);
    ~mreload();
    mreload(const mreload&) = delete;
    mreload& operator=(const mreload&) = delete;

    // Writes 0, then (delay << 16) | 0xA596 to the control register.
    // 0 when both writes were made, -1 when the registers are not reachable.
    int reloadFPGA(unsigned delay, bool, bool withTrigger);
    bool regWrite(unsigned index, uint32_t offset, uint32_t value);

    bool mapped() const { return mRegs != nullptr; }

private:
    int mapDevice(const char* device);

    void* mMgmtMap;
    int mFd;
    struct stat mSb;
    std::unique_ptr<CBarRegAccess> mOwnRegs;
    IRegAccess* mRegs;
};

#endif
