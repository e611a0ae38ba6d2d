#ifndef DRV_PCIE_H
#define DRV_PCIE_H

#include <cstdint>

#include "drvTyped.h"

// What the two PCIe drivers (XDMA character devices, mapped BAR) share: the
// read and write flags and the register reads and writes of 8 to 64 bits.
// A register is read and written through the ...Less128Bytes operations of
// CDrvTyped, most significant byte first on top of their highest-address-
// first order, so the net access is little-endian.
//
// Typed reads, not initialised for reading: "Didn't inited in yet!", 600002.
// A short read: "Read Int32 error!" (8 to 32 bits) or "Read Int64 error!",
// 600005, the value untouched. Typed writes, not initialised for writing: -1
// after "[xdma drv] Didn't inited out yet!" (8 bits) or "Didn't inited out
// yet!"; -1 on a short write.
class CDrvPcieBase : public CDrvTyped {
protected:
    CDrvPcieBase() : m_bInitedWrite(false), m_bInitedRead(false) {}

    int ReadIntN(uint64_t ulOffset, unsigned nBytes, uint64_t& ulValue) override;
    int WriteIntN(uint64_t ulOffset, unsigned nBytes, uint64_t ulValue) override;

    bool m_bInitedWrite;
    bool m_bInitedRead;
};

#endif
