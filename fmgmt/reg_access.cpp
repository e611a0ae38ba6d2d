#include "reg_access.h"

#include <ios>
#include <iostream>

CBarRegAccess::CBarRegAccess(volatile void* barBase, size_t barLength, size_t windowOffset)
    : m_pBase(static_cast<volatile uint8_t*>(barBase)), m_ulBarLen(barLength), m_ulWindow(windowOffset) {}

bool CBarRegAccess::check(uint32_t offset, const char* what) const {
    size_t pos = m_ulWindow + offset;
    bool ok = m_pBase != nullptr && (pos % 4) == 0 && pos >= m_ulWindow && m_ulBarLen >= 4 && pos <= m_ulBarLen - 4;
    if (!ok) {
        std::ios::fmtflags f = std::cout.flags();
        std::cout << "ERROR: register " << what << " at BAR 0 offset 0x" << std::hex << pos
                  << " refused: outside the mapped 0x" << m_ulBarLen << " bytes or unaligned" << std::endl;
        std::cout.flags(f);
    }
    return ok;
}

bool CBarRegAccess::read32(uint32_t offset, uint32_t& value) {
    if (!check(offset, "read")) return false;
    value = *reinterpret_cast<volatile uint32_t*>(m_pBase + m_ulWindow + offset);
    return true;
}

bool CBarRegAccess::write32(uint32_t offset, uint32_t value) {
    if (!check(offset, "write")) return false;
    *reinterpret_cast<volatile uint32_t*>(m_pBase + m_ulWindow + offset) = value;
    return true;
}
