#ifndef DRV_PCIE_H
#define DRV_PCIE_H

#include <cstdint>

#include "drvCore.h"

// What the two PCIe drivers (XDMA character devices, mapped BAR) share: the
// read and write flags and the register reads and writes of 8 to 64 bits.
// The ...Less128Bytes operations of a driver hand over the bytes of a range
// highest address first; the ReadInt/WriteInt operations work most
// significant byte first on top of them, so the net access is little-endian.
class CDrvPcieBase : public IDrv {
public:
    // Not initialised for reading: "Didn't inited in yet!", 600002. A short
    // read: "Read Int32 error!" (8 to 32 bits) or "Read Int64 error!",
    // 600005, the value untouched.
    int ReadInt8(uint64_t ulOffset, uint8_t& ucValue) override;
    int ReadInt16(uint64_t ulOffset, uint16_t& usValue) override;
    int ReadInt32(uint64_t ulOffset, uint32_t& uiValue) override;
    int ReadInt64(uint64_t ulOffset, uint64_t& ulValue) override;
    // Not initialised for writing: -1 after "[xdma drv] Didn't inited out
    // yet!" (8 bits) or "Didn't inited out yet!"; -1 on a short write.
    int WriteInt8(uint64_t ulOffset, uint8_t ucValue) override;
    int WriteInt16(uint64_t ulOffset, uint16_t usValue) override;
    int WriteInt32(uint64_t ulOffset, uint32_t uiValue) override;
    int WriteInt64(uint64_t ulOffset, uint64_t ulValue) override;

protected:
    CDrvPcieBase() : m_bInitedWrite(false), m_bInitedRead(false) {}

    bool m_bInitedWrite;
    bool m_bInitedRead;

private:
    int ReadIntN(uint64_t ulOffset, unsigned nBytes, uint64_t& ulValue);
    int WriteIntN(uint64_t ulOffset, unsigned nBytes, uint64_t ulValue);
};

#endif
