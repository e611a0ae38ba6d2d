#ifndef DRV_XDMA_H
#define DRV_XDMA_H

#include <cstdint>

#include "drvCore.h"

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
class CDrvXdma : public IDrv {
public:
    static constexpr int64_t MAX_RW_SIZE = 0x7ffff000;  // largest single read/write handed to the kernel

    CDrvXdma();
    ~CDrvXdma() override;

    // lpParam: XDMA_PARAM_t*.
    int Init(void* lpParam) override;

    int ReadInt8(uint64_t ulOffset, uint8_t& ucValue) override;
    int ReadInt16(uint64_t ulOffset, uint16_t& usValue) override;
    int ReadInt32(uint64_t ulOffset, uint32_t& uiValue) override;
    int ReadInt64(uint64_t ulOffset, uint64_t& ulValue) override;
    uint64_t ReadLess128Bytes(uint64_t ulOffset, uint8_t* lpBuf, uint64_t ulLen) override;
    uint64_t ReadBytes(uint64_t ulOffset, uint8_t* lpBuf, uint64_t ulLen) override;

    int WriteInt8(uint64_t ulOffset, uint8_t ucValue) override;
    int WriteInt16(uint64_t ulOffset, uint16_t usValue) override;
    int WriteInt32(uint64_t ulOffset, uint32_t uiValue) override;
    int WriteInt64(uint64_t ulOffset, uint64_t ulValue) override;
    uint64_t WriteLess128Bytes(uint64_t ulOffset, const uint8_t* lpBuf, uint64_t ulLen) override;
    uint64_t WriteBytes(uint64_t ulOffset, const uint8_t* lpBuf, uint64_t ulLen) override;

    CDrvXdma(const CDrvXdma&) = delete;
    CDrvXdma& operator=(const CDrvXdma&) = delete;

private:
    bool m_bInitedWrite;
    bool m_bInitedRead;
    int32_t m_fdWrite;
    int32_t m_fdRead;
    char m_nPcieMode;
};

// Register byte order shared by the PCIe drivers: the ...Less128Bytes
// operations hand over the bytes of a range highest address first, the
// ReadInt/WriteInt operations work most significant byte first on top of
// them, so the net access is little-endian.
namespace xdma_order {

// Reads N/8 bytes through drv.ReadLess128Bytes and assembles them; returns 0,
// or 600005 (after "Read Int32 error!" / "Read Int64 error!") on a short read.
int ReadIntN(IDrv& drv, uint64_t ulOffset, unsigned nBytes, uint64_t& ulValue);

// Lays the value out most significant byte first and hands it to
// drv.WriteLess128Bytes; returns 0, or -1 if fewer bytes were taken.
int WriteIntN(IDrv& drv, uint64_t ulOffset, unsigned nBytes, uint64_t ulValue);

}  // namespace xdma_order

#endif
