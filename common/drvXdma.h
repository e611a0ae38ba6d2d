#ifndef DRV_XDMA_H
#define DRV_XDMA_H

#include <cstdint>

#include "drvPcie.h"

// Parameter of CDrvXdma::Init.
struct XDMA_PARAM_t {
    const char* lpStrWriteDev;  // device opened for writes ("in" side); may be null
    const char* lpStrReadDev;   // device opened for reads ("out" side); may be null
    int32_t nPageSizeWrite;     // page size of the write side (not used by the driver)
    int32_t nPageSizeRead;      // page size of the read side (not used by the driver)
    char nPcieMode;             // PCIe mode byte, kept in m_nPcieMode
};

// Register access through the XDMA kernel driver's character devices:
// positioned reads and writes at the register's byte offset.
class CDrvXdma : public CDrvPcieBase {
public:
    static constexpr int64_t MAX_RW_SIZE = 0x7ffff000;  // largest single read/write handed to the kernel

    CDrvXdma();
    ~CDrvXdma() override;

    // lpParam: XDMA_PARAM_t*.
    int Init(void* lpParam) override;

    uint64_t ReadBytes(uint64_t ulOffset, uint8_t* lpBuf, uint64_t ulLen) override;
    uint64_t WriteBytes(uint64_t ulOffset, const uint8_t* lpBuf, uint64_t ulLen) override;

    CDrvXdma(const CDrvXdma&) = delete;
    CDrvXdma& operator=(const CDrvXdma&) = delete;

private:
    // A short read: "Read failed, system msg:..." and the bytes read.
    uint64_t ReadRange(uint64_t ulOffset, uint8_t* lpBuf, uint64_t ulLen) override;
    uint64_t WriteRange(uint64_t ulOffset, const uint8_t* lpBuf, uint64_t ulLen) override;
    // Positioned transfer of ulLen bytes in chunks of at most MAX_RW_SIZE,
    // into lpIn (read side) or from lpOut (write side); the bytes of the
    // whole chunks done, after a logged seek or short transfer failure.
    uint64_t Transfer(bool bWrite, uint64_t ulOffset, uint8_t* lpIn, const uint8_t* lpOut, uint64_t ulLen);

    int32_t m_fdWrite;
    int32_t m_fdRead;
    char m_nPcieMode;
};


#endif
