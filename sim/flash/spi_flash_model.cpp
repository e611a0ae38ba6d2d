#include "spi_flash_model.h"

#include <cstdio>
#include <cstring>

namespace qsim {

namespace {

const uint64_t kSubsector = 4096;
const size_t kMaxCommandBytes = 65536;
const size_t kMaxViolations = 1000;

int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

uint64_t mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

std::string fmt(const char* f, uint64_t a, uint64_t b = 0) {
    char buf[160];
    snprintf(buf, sizeof(buf), f, static_cast<unsigned long long>(a), static_cast<unsigned long long>(b));
    return buf;
}

}  // namespace

uint64_t SpiFlashSizeOf(uint8_t code) {
    switch (code) {
        case 0x17:
            return 8ull << 20;
        case 0x18:
        case 0x38:
            return 16ull << 20;
        case 0x19:
        case 0x39:
            return 32ull << 20;
        case 0x20:
        case 0x3A:
            return 64ull << 20;
        case 0x21:
        case 0x3B:
            return 128ull << 20;
        case 0x22:
        case 0x3C:
            return 256ull << 20;
        default:
            return 0;
    }
}

// ------------------------------------------------------------------ flash

CSpiNorFlash::CSpiNorFlash(const SpiFlashConfig& cfg) : m_cfg(cfg) {
    m_ulSize = SpiFlashSizeOf(cfg.capacityCode);
    if (m_ulSize == 0) m_ulSize = 16ull << 20;  // an odd identification on an ordinary part
}

uint8_t CSpiNorFlash::initialByteAt(uint64_t address) const {
    if (m_cfg.initialErased) return 0xFF;
    uint64_t r = mix((static_cast<uint64_t>(m_cfg.seed) << 40) ^ (address >> 3));
    return static_cast<uint8_t>(r >> (8 * (address & 7)));
}

uint8_t CSpiNorFlash::byteAt(uint64_t address) const {
    auto it = m_mem.find(address / kSubsector);
    if (it == m_mem.end()) return initialByteAt(address);
    return it->second[address % kSubsector];
}

std::vector<uint8_t> CSpiNorFlash::read(uint64_t address, size_t length) const {
    std::vector<uint8_t> out(length);
    size_t i = 0;
    while (i < length) {
        uint64_t a = address + i;
        size_t n = std::min<size_t>(length - i, kSubsector - a % kSubsector);
        auto it = m_mem.find(a / kSubsector);
        if (it == m_mem.end()) {
            for (size_t k = 0; k < n; ++k) out[i + k] = initialByteAt(a + k);
        } else {
            memcpy(&out[i], &it->second[a % kSubsector], n);
        }
        i += n;
    }
    return out;
}

uint8_t* CSpiNorFlash::subsector(uint64_t address) {
    uint64_t n = address / kSubsector;
    auto it = m_mem.find(n);
    if (it == m_mem.end()) {
        std::vector<uint8_t> data(kSubsector);
        for (uint64_t k = 0; k < kSubsector; ++k) data[k] = initialByteAt(n * kSubsector + k);
        it = m_mem.emplace(n, std::move(data)).first;
    }
    return it->second.data();
}

void CSpiNorFlash::addViolation(const std::string& what) {
    if (m_violations.size() < kMaxViolations)
        m_violations.push_back(what);
    else
        ++m_ulDroppedViolations;
}

bool CSpiNorFlash::busy() const { return m_uiBusyPolls > 0 || std::chrono::steady_clock::now() < m_busyUntil; }

void CSpiNorFlash::startBusy(uint32_t us, bool erase) {
    m_busyUntil = std::chrono::steady_clock::now() + std::chrono::microseconds(us);
    m_bPolled = false;
    m_uiBusyPolls = m_cfg.busyPolls;
    m_bWaiting = true;
    m_bWaitErase = erase;
}

void CSpiNorFlash::logOp(uint8_t opcode, uint32_t address, const uint8_t* data, uint32_t length) {
    if (!m_cfg.logOps) return;
    FlashOp op;
    op.opcode = opcode;
    op.address = address;
    op.length = length;
    if (m_cfg.logData && data != nullptr) op.data.assign(data, data + length);
    op.timeNs = nowNs();
    m_ops.push_back(std::move(op));
}

void CSpiNorFlash::select() {
    if (m_bSelected) return;
    m_bSelected = true;
    m_bIgnored = false;
    m_cmd.clear();
}

uint8_t CSpiNorFlash::transfer(uint8_t mosi) {
    if (!m_bSelected) return 0xFF;
    if (m_cmd.size() >= kMaxCommandBytes) {
        if (m_cmd.size() == kMaxCommandBytes) {
            addViolation("command longer than 64 KB");
            m_cmd.push_back(0);
        }
        return 0xFF;
    }
    m_cmd.push_back(mosi);
    size_t i = m_cmd.size() - 1;
    uint8_t op = m_cmd[0];
    if (i == 0) {
        ++m_stats.commands;
        // While a program or erase runs only the status register answers.
        if (op != 0x05 && busy()) {
            addViolation(fmt("command 0x%02llX sent while a write is in progress", op));
            m_bIgnored = true;
        }
        return 0xFF;
    }
    if (m_bIgnored) return 0xFF;
    switch (op) {
        case 0x9F: {
            const uint8_t id[4] = {m_cfg.manufacturer, m_cfg.memoryType, m_cfg.capacityCode, 0x10};
            return i <= 4 ? id[i - 1] : 0x00;
        }
        case 0x05: {
            bool b = busy();
            if (i == 1) {
                ++m_stats.statusReads;
                if (m_uiBusyPolls > 0) --m_uiBusyPolls;
                auto now = std::chrono::steady_clock::now();
                if (m_bWaiting && !m_bPolled) {
                    m_bPolled = true;
                    m_firstPoll = now;
                }
                if (b) {
                    ++m_stats.statusReadsBusy;
                } else if (m_bWaiting) {
                    int64_t waited = std::chrono::duration_cast<std::chrono::nanoseconds>(now - m_firstPoll).count();
                    (m_bWaitErase ? m_stats.eraseWaitNs : m_stats.programWaitNs) += waited;
                    m_bWaiting = false;
                }
            }
            return static_cast<uint8_t>((b ? 0x01 : 0x00) | (m_bWel ? 0x02 : 0x00));
        }
        case 0xC8:
            return m_uiEar;
        case 0x03:
            if (i >= 4) {
                uint64_t a = (static_cast<uint64_t>(m_uiEar) << 24 | static_cast<uint64_t>(m_cmd[1]) << 16 |
                              m_cmd[2] << 8 | m_cmd[3]) +
                             (i - 4);
                return a < m_ulSize ? byteAt(a) : 0xFF;
            }
            return 0xFF;
        default:
            return 0xFF;
    }
}

void CSpiNorFlash::deselect() {
    if (!m_bSelected) return;
    m_bSelected = false;
    if (!m_cmd.empty() && !m_bIgnored) finishCommand();
    m_cmd.clear();
}

void CSpiNorFlash::finishCommand() {
    const uint8_t op = m_cmd[0];
    const size_t n = m_cmd.size();
    auto address = [&]() -> uint64_t {
        return static_cast<uint64_t>(m_uiEar) << 24 | static_cast<uint64_t>(m_cmd[1]) << 16 | m_cmd[2] << 8 | m_cmd[3];
    };
    auto needWel = [&](const char* what) {
        if (m_bWel) return true;
        addViolation(std::string(what) + " without write enable");
        return false;
    };

    switch (op) {
        case 0x06:
            if (n != 1) {
                addViolation(fmt("write enable of %llu bytes ignored", n));
                return;
            }
            m_bWel = true;
            return;
        case 0x04:
            m_bWel = false;
            return;
        case 0x05:
        case 0x9F:
        case 0xC8:
        case 0x03:
            return;
        case 0xC5: {
            if (n != 2) {
                addViolation(fmt("extended address write of %llu bytes ignored", n));
                return;
            }
            if (!needWel("extended address write")) return;
            uint64_t segments = (m_ulSize + (16ull << 20) - 1) >> 24;
            if (m_cmd[1] >= segments) {
                addViolation(fmt("extended address %llu past the chip (%llu segments)", m_cmd[1], segments));
                return;
            }
            m_uiEar = m_cmd[1];
            m_bWel = false;
            ++m_stats.earWrites;
            logOp(op, m_uiEar, nullptr, 0);
            return;
        }
        case 0x20: {
            if (n != 4) {
                addViolation(fmt("subsector erase of %llu bytes ignored", n));
                return;
            }
            if (!needWel("subsector erase")) return;
            uint64_t a = address();
            if (a >= m_ulSize) {
                addViolation(fmt("subsector erase at 0x%llX past the chip end 0x%llX", a, m_ulSize));
                return;
            }
            memset(subsector(a), 0xFF, kSubsector);
            m_bWel = false;
            ++m_stats.erases;
            logOp(op, static_cast<uint32_t>(a & ~(kSubsector - 1)), nullptr, 0);
            startBusy(m_cfg.eraseUs, true);
            return;
        }
        case 0x02:
        case 0x32: {
            if (op == 0x32 && m_cfg.manufacturer == 0xC2) {
                // Macronix has no 0x32 program; the part ignores it.
                addViolation("opcode 0x32 is not a program command of this Macronix flash");
                return;
            }
            if (n < 5) {
                addViolation(fmt("page program of %llu bytes ignored", n));
                return;
            }
            if (!needWel("page program")) return;
            uint64_t a = address();
            if (a >= m_ulSize) {
                addViolation(fmt("page program at 0x%llX past the chip end 0x%llX", a, m_ulSize));
                return;
            }
            size_t len = n - 4;
            if ((a & 0xFF) + len > 256)
                addViolation(fmt("page program of %llu bytes at 0x%llX wraps inside its 256-byte page", len, a));
            uint64_t page = a & ~uint64_t(0xFF);
            for (size_t k = 0; k < len; ++k) {
                uint64_t t = page | ((a + k) & 0xFF);
                subsector(t)[t % kSubsector] &= m_cmd[4 + k];  // programming only clears bits
            }
            m_bWel = false;
            ++m_stats.programs;
            m_stats.programBytes += len;
            logOp(op, static_cast<uint32_t>(a), &m_cmd[4], static_cast<uint32_t>(len));
            startBusy(m_cfg.programUs, false);
            return;
        }
        default:
            addViolation(fmt("unknown command 0x%02llX", op));
            return;
    }
}

// ------------------------------------------------------------------ controller

CSpiControllerModel::CSpiControllerModel(CSpiNorFlash& flash, const SpiControllerConfig& cfg)
    : m_flash(flash), m_cfg(cfg) {
    if (m_cfg.fifoDepth == 0) m_cfg.fifoDepth = 1;
}

void CSpiControllerModel::injectError(uint8_t opcode, uint32_t nth) {
    m_uiInjOpcode = opcode;
    m_uiInjNth = nth;
    m_uiInjSeen = 0;
}

uint32_t CSpiControllerModel::status() const {
    uint32_t s = 0;
    if (m_rx.empty()) s |= 1u << 0;
    if (m_rx.size() >= m_cfg.fifoDepth) s |= 1u << 1;
    if (m_tx.empty()) s |= 1u << 2;
    if (m_tx.size() >= m_cfg.fifoDepth) s |= 1u << 3;
    if (m_bError) s |= 1u << 10;
    return s;
}

bool CSpiControllerModel::canShift() const {
    // Enabled, master, transactions not inhibited.
    return (m_uiCr & 0x2) && (m_uiCr & 0x4) && !(m_uiCr & 0x100);
}

void CSpiControllerModel::setChipSelect(bool asserted) {
    if (asserted == m_bCs) return;
    m_bCs = asserted;
    if (asserted) {
        m_flash.select();
        m_bFirstByte = true;
    } else {
        m_flash.deselect();
    }
}

void CSpiControllerModel::updateChipSelect() {
    // Manual slave select: the line follows bit 0 of the slave select register.
    if (m_uiCr & 0x80) setChipSelect((m_uiSsr & 1u) == 0);
}

void CSpiControllerModel::shift(uint32_t maxBytes) {
    bool manual = (m_uiCr & 0x80) != 0;
    while (maxBytes-- > 0 && canShift() && !m_tx.empty()) {
        if (!manual && (m_uiSsr & 1u) == 0) setChipSelect(true);
        uint8_t out = m_tx.front();
        m_tx.pop_front();
        uint8_t in = 0xFF;
        if (m_bCs) {
            if (m_bFirstByte) {
                m_bFirstByte = false;
                if (m_uiInjNth != 0 && out == m_uiInjOpcode && ++m_uiInjSeen == m_uiInjNth) m_bError = true;
            }
            in = m_flash.transfer(out);
        } else {
            m_flash.addViolation(fmt("byte 0x%02llX shifted out with no slave selected", out));
        }
        if (m_rx.size() < m_cfg.fifoDepth)
            m_rx.push_back(in);
        else
            m_flash.addViolation("receive FIFO overrun");
    }
    // Automatic slave select ends with the burst.
    if (!manual && m_tx.empty()) setChipSelect(false);
}

bool CSpiControllerModel::read32(uint32_t offset, uint32_t& value) {
    if (m_ulReads++ == 0 && m_ulWrites == 0) m_lFirstAccessNs = nowNs();
    value = 0;
    switch (offset) {
        case 0x1C:
        case 0x20:
        case 0x28:
        case REG_SRR:
        case REG_DTR:
            return true;
        case REG_CR:
            value = m_uiCr;
            return true;
        case REG_SR:
            if (m_cfg.bytesPerStatusRead > 0) shift(m_cfg.bytesPerStatusRead);
            value = status();
            return true;
        case REG_DRR:
            if (m_rx.empty()) {
                m_flash.addViolation("read of an empty receive FIFO");
                return true;
            }
            value = m_rx.front();
            m_rx.pop_front();
            return true;
        case REG_SSR:
            value = m_uiSsr;
            return true;
        case REG_TX_OCC:
            value = m_tx.empty() ? 0 : static_cast<uint32_t>(m_tx.size() - 1);
            return true;
        case REG_RX_OCC:
            value = m_rx.empty() ? 0 : static_cast<uint32_t>(m_rx.size() - 1);
            return true;
        default:
            m_flash.addViolation(fmt("read of controller offset 0x%llX", offset));
            return false;
    }
}

bool CSpiControllerModel::write32(uint32_t offset, uint32_t value) {
    if (m_ulWrites++ == 0 && m_ulReads == 0) m_lFirstAccessNs = nowNs();
    switch (offset) {
        case 0x1C:
        case 0x20:
        case 0x28:
        case REG_DRR:
        case REG_TX_OCC:
        case REG_RX_OCC:
            return true;
        case REG_SRR:
            if (value == 0x0A) {
                m_uiCr = 0x180;
                m_uiSsr = 0xFFFFFFFFu;
                m_tx.clear();
                m_rx.clear();
                m_bError = false;
                setChipSelect(false);
            }
            return true;
        case REG_CR:
            // The two FIFO reset bits clear themselves.
            if (value & 0x20) m_tx.clear();
            if (value & 0x40) m_rx.clear();
            if (value & 0x60) m_bError = false;
            m_uiCr = value & 0x39F;
            updateChipSelect();
            break;
        case REG_DTR:
            if (m_tx.size() >= m_cfg.fifoDepth) {
                m_flash.addViolation("transmit FIFO overflow");
                return true;
            }
            m_tx.push_back(static_cast<uint8_t>(value));
            break;
        case REG_SSR:
            m_uiSsr = value;
            updateChipSelect();
            break;
        default:
            m_flash.addViolation(fmt("write of controller offset 0x%llX", offset));
            return false;
    }
    if (m_cfg.bytesPerStatusRead == 0) shift(UINT32_MAX);
    return true;
}

}  // namespace qsim
