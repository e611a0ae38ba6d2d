#ifndef DRV_CORE_H
#define DRV_CORE_H

#include <cstdint>

// Which driver reaches the card.
enum GT_DRV_TYPE_e {
    GT_DRV_TYPE_XDMA = 0,  // XDMA character devices
    GT_DRV_TYPE_ENYX = 1,  // Enyx hardware library
    GT_DRV_TYPE_PIO = 2,   // mapped PCIe BAR 0 through sysfs
};

// Register access interface. Offsets are byte offsets for the PCIe drivers
// and 4-byte register indexes for the Enyx driver; values are little-endian.
// The ...Less128Bytes operations hand back the bytes of a range highest
// address first.
class IDrv {
public:
    virtual ~IDrv() {}
    virtual int Init(void* lpParam) = 0;
    virtual int ReadInt8(uint64_t ulOffset, uint8_t& ucValue) = 0;
    virtual int ReadInt16(uint64_t ulOffset, uint16_t& usValue) = 0;
    virtual int ReadInt32(uint64_t ulOffset, uint32_t& uiValue) = 0;
    virtual int ReadInt64(uint64_t ulOffset, uint64_t& ulValue) = 0;
    virtual uint64_t ReadLess128Bytes(uint64_t ulOffset, uint8_t* lpBuf, uint64_t ulLen) = 0;
    virtual uint64_t ReadBytes(uint64_t ulOffset, uint8_t* lpBuf, uint64_t ulLen) = 0;
    virtual int WriteInt8(uint64_t ulOffset, uint8_t ucValue) = 0;
    virtual int WriteInt16(uint64_t ulOffset, uint16_t usValue) = 0;
    virtual int WriteInt32(uint64_t ulOffset, uint32_t uiValue) = 0;
    virtual int WriteInt64(uint64_t ulOffset, uint64_t ulValue) = 0;
    virtual uint64_t WriteLess128Bytes(uint64_t ulOffset, const uint8_t* lpBuf, uint64_t ulLen) = 0;
    virtual uint64_t WriteBytes(uint64_t ulOffset, const uint8_t* lpBuf, uint64_t ulLen) = 0;
};

#endif
