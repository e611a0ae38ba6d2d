#ifndef DRV_ENYX_H
#define DRV_ENYX_H

#include <cstdint>

#include "drvTyped.h"
#include "enyx_hw.h"

// Number of Enyx cards (bus ids 0..9) the handle tables hold.
#define DRV_ENYX_MAX_BUS 10

// Parameter of CDrvEnyxReg::Init.
struct DrvRegInfo_t {
    int16_t nBusId;   // index of the card among the Enyx accelerators
    int16_t nCoreId;  // hardware id of the core whose registers are accessed
};

// Process-wide lookup of the Enyx library's handles by bus id, cached for the
// life of the process. One recursive mutex guards all tables.
//
// Accelerator of the card; null on failure (nothing cached then).
enyx_hw_accelerator* DrvEnyxCoreGetAcc(int32_t nBusId);
// Fills up to nCapacity handles of the cores of hardware id nCoreId and
// returns how many the card has, or -1. The first call for a bus id builds
// the core tree, resets it and waits one second.
int32_t DrvEnyxGetCore(int32_t nBusId, int32_t nCoreId, enyx_hw_core** lpCores, int32_t nCapacity);
// Empties every table (the handles are not released).
void DrvEnyxVarClear();
// DMA engines hold the card's accelerator while their streams are open: the
// last engine of a bus to let go puts the accelerator and empties the tables,
// so that two engines of one process never put it twice.
enyx_hw_accelerator* DrvEnyxAccHold(int32_t nBusId);
void DrvEnyxAccRelease(int32_t nBusId, enyx_hw_accelerator* lpAcc);

// Register access to one core of an Enyx card. Offsets are register indexes
// in 4-byte units; the library gets byte offset = index x 4.
class CDrvEnyxReg : public CDrvTyped {
public:
    CDrvEnyxReg();
    ~CDrvEnyxReg() override;

    // lpParam: DrvRegInfo_t*.
    int Init(void* lpParam) override;

    uint64_t ReadBytes(uint64_t ulOffset, uint8_t* lpBuf, uint64_t ulLen) override;
    uint64_t WriteBytes(uint64_t ulOffset, const uint8_t* lpBuf, uint64_t ulLen) override;

    CDrvEnyxReg(const CDrvEnyxReg&) = delete;
    CDrvEnyxReg& operator=(const CDrvEnyxReg&) = delete;

private:
    // One access of the register's own width; a failure logs "read int<bits>
    // failed, addr:<index>" (or the write's message) and returns -1.
    int ReadIntN(uint64_t ulOffset, unsigned nBytes, uint64_t& ulValue) override;
    int WriteIntN(uint64_t ulOffset, unsigned nBytes, uint64_t ulValue) override;
    // A short read: "Read failed, should Read <n>, now <got>" and the count.
    uint64_t ReadRange(uint64_t ulOffset, uint8_t* lpBuf, uint64_t ulLen) override;
    uint64_t WriteRange(uint64_t ulOffset, const uint8_t* lpBuf, uint64_t ulLen) override;
    // One register access of nWidth bits under the core lock; -1 on failure.
    int ReadReg(uint64_t ulIndex, uint32_t nWidth, uint64_t& ulValue);
    int WriteReg(uint64_t ulIndex, uint32_t nWidth, uint64_t ulValue);

    enyx_hw_core* m_lpCore;
};

#endif
