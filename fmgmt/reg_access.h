#ifndef FMGMT_REG_ACCESS_H
#define FMGMT_REG_ACCESS_H

#include <cstddef>
#include <cstdint>

// A window of 32-bit registers of the card, addressed by byte offset from
// the start of the window. The flash programmer and the reload code reach
// their controllers only through this interface.
class IRegAccess {
public:
    virtual ~IRegAccess() = default;
    // Loads the register at offset into value; false when the access is refused.
    virtual bool read32(uint32_t offset, uint32_t& value) = 0;
    // Stores value into the register at offset; false when the access is refused.
    virtual bool write32(uint32_t offset, uint32_t value) = 0;
};

// Registers of a controller inside a mapped PCIe BAR: volatile 32-bit loads
// and stores at base + window + offset. Accesses that are not 4-byte aligned
// or that would reach past the end of the mapping are refused with a message.
class CBarRegAccess : public IRegAccess {
public:
    CBarRegAccess(volatile void* barBase, size_t barLength, size_t windowOffset);

    bool read32(uint32_t offset, uint32_t& value) override;
    bool write32(uint32_t offset, uint32_t value) override;

    size_t windowOffset() const { return m_ulWindow; }
    size_t barLength() const { return m_ulBarLen; }

private:
    bool check(uint32_t offset, const char* what) const;

    volatile uint8_t* m_pBase;
    size_t m_ulBarLen;
    size_t m_ulWindow;
};

#endif
