#ifndef DRV_XDMA_PIO_H
#define DRV_XDMA_PIO_H

#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "drvPcie.h"

// Register access by mapping the card's PCIe BAR 0 ("pio mode"): the sysfs
// resource0 file of the card that owns the configured XDMA device is mapped
// shared, and registers sit at offset 0x60000 of the BAR.
class CDrvXdmaPio : public CDrvPcieBase {
public:
    static constexpr int64_t MAX_RW_SIZE = 0x7ffff000;
    static constexpr uint64_t REG_WINDOW_OFFSET = 0x60000;  // register window inside BAR 0

    CDrvXdmaPio();
    ~CDrvXdmaPio() override;

    // lpParam: the XDMA character device path (const char*), e.g. /dev/xdma0_user.
    int Init(void* lpParam) override;

    // 0 when the whole range moved, (uint64_t)-1 when it was refused.
    uint64_t ReadBytes(uint64_t ulOffset, uint8_t* lpBuf, uint64_t ulLen) override;
    uint64_t WriteBytes(uint64_t ulOffset, const uint8_t* lpBuf, uint64_t ulLen) override;

    CDrvXdmaPio(const CDrvXdmaPio&) = delete;
    CDrvXdmaPio& operator=(const CDrvXdmaPio&) = delete;

private:
    // ulLen when the range moved; 0 when it was refused (after "Read failed,
    // system msg:..." for a read), so that no caller takes zeros for a
    // register value or counts a refused write as done.
    uint64_t ReadRange(uint64_t ulOffset, uint8_t* lpBuf, uint64_t ulLen) override;
    uint64_t WriteRange(uint64_t ulOffset, const uint8_t* lpBuf, uint64_t ulLen) override;
    // sysfs directory of the card that owns the XDMA device at lpDevPath,
    // or "" if none.
    std::string GetBdf(const char* lpDevPath);
    // Whether [ulOffset, ulOffset + ulLen) lies inside the register window.
    bool InWindow(uint64_t ulOffset, uint64_t ulLen) const;
    // Whether a raw transfer may go ahead: initialised for its direction, a
    // buffer, inside the window; the refusal is logged ("Didn't inited in
    // yet!" for either direction, or the range).
    bool Usable(bool bInited, const void* lpBuf, uint64_t ulOffset, uint64_t ulLen) const;
    void Release();

    int mFd;
    char* mMgmtBaseMap;
    char* mMgmtRegBaseMap;
    struct stat mSb;
};

#endif
