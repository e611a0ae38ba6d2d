#ifndef QUAY_SIM_SPI_FLASH_MODEL_H
#define QUAY_SIM_SPI_FLASH_MODEL_H

// Behavioural model of the card's configuration flash path: a Xilinx AXI
// Quad SPI controller (standard mode, manual or automatic slave select)
// wired to one SPI NOR flash (Micron or Macronix). The controller is reached
// through the same 32-bit register accessor as the real one in BAR 0.
//
// The model refuses what a real chip would ignore or do wrongly (a program
// or erase without write enable, a command while a write is in progress, an
// address past the chip, a program that wraps inside a page, a FIFO
// overflow, bytes shifted with no slave selected) and records each such
// protocol violation, so tests can assert that there were none.

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <unordered_map>
#include <vector>

#include "reg_access.h"

namespace qsim {

struct SpiFlashConfig {
    uint8_t manufacturer = 0x20;  // 0x20 Micron, 0xC2 Macronix
    uint8_t memoryType = 0xBA;
    uint8_t capacityCode = 0x19;  // 0x19: 256 Mbit
    // Time the write-in-progress bit stays set after a page program and after
    // a subsector erase, and the least number of status reads that report it
    // set (so a programmer that never waits is caught even with zero times).
    uint32_t programUs = 0;
    uint32_t eraseUs = 0;
    uint32_t busyPolls = 1;
    // Contents before the first erase: an old image derived from seed, or
    // all 0xFF when initialErased.
    uint32_t seed = 1;
    bool initialErased = false;
    // Keep a log of erases, programs and extended address writes (logData:
    // with the programmed bytes).
    bool logOps = true;
    bool logData = true;
};

struct SpiControllerConfig {
    uint32_t fifoDepth = 16;          // transmit and receive FIFO entries
    uint32_t bytesPerStatusRead = 0;  // 0: bytes shift out at once; n: n bytes per status read
};

// One completed state-changing flash command.
struct FlashOp {
    uint8_t opcode = 0;
    uint32_t address = 0;       // full flash address (extended address included); segment for 0xC5
    uint32_t length = 0;        // data bytes programmed
    std::vector<uint8_t> data;  // programmed bytes when logData
    int64_t timeNs = 0;         // steady clock at the end of the command
};

struct FlashStats {
    uint64_t commands = 0;
    uint64_t programs = 0;
    uint64_t programBytes = 0;
    uint64_t erases = 0;
    uint64_t earWrites = 0;
    uint64_t statusReads = 0;
    uint64_t statusReadsBusy = 0;
    // Time from the first status read after each program or erase to the
    // status read that found the flash ready: the host's polling of the
    // write in progress (0 when the first read found it ready).
    int64_t programWaitNs = 0;
    int64_t eraseWaitNs = 0;
};

class CSpiNorFlash {
public:
    explicit CSpiNorFlash(const SpiFlashConfig& cfg = SpiFlashConfig());

    // The SPI bus: chip select falls, one byte each way per clocked byte,
    // chip select rises (the command takes effect).
    void select();
    uint8_t transfer(uint8_t mosi);
    void deselect();
    bool selected() const { return m_bSelected; }

    uint64_t size() const { return m_ulSize; }
    uint8_t byteAt(uint64_t address) const;
    std::vector<uint8_t> read(uint64_t address, size_t length) const;
    // Bytes of what the flash held before any erase (the old image).
    uint8_t initialByteAt(uint64_t address) const;

    bool writeEnabled() const { return m_bWel; }
    uint8_t extendedAddress() const { return m_uiEar; }
    bool busy() const;

    void addViolation(const std::string& what);
    const std::vector<std::string>& violations() const { return m_violations; }
    const std::vector<FlashOp>& ops() const { return m_ops; }
    const FlashStats& stats() const { return m_stats; }
    const SpiFlashConfig& config() const { return m_cfg; }

private:
    uint8_t* subsector(uint64_t address);
    void startBusy(uint32_t us, bool erase);
    void finishCommand();
    void logOp(uint8_t opcode, uint32_t address, const uint8_t* data, uint32_t length);

    SpiFlashConfig m_cfg;
    uint64_t m_ulSize;
    std::unordered_map<uint64_t, std::vector<uint8_t>> m_mem;  // by subsector number

    bool m_bSelected = false;
    bool m_bIgnored = false;  // the command in progress is being ignored
    std::vector<uint8_t> m_cmd;
    bool m_bWel = false;
    uint8_t m_uiEar = 0;

    std::chrono::steady_clock::time_point m_busyUntil;
    uint32_t m_uiBusyPolls = 0;
    bool m_bWaiting = false;  // a program or erase has ended and nobody has seen it ready yet
    bool m_bWaitErase = false;
    bool m_bPolled = false;  // a status read has been made since
    std::chrono::steady_clock::time_point m_firstPoll;

    std::vector<std::string> m_violations;
    uint64_t m_ulDroppedViolations = 0;
    std::vector<FlashOp> m_ops;
    FlashStats m_stats;
};

class CSpiControllerModel : public IRegAccess {
public:
    enum : uint32_t {
        REG_SRR = 0x40,
        REG_CR = 0x60,
        REG_SR = 0x64,
        REG_DTR = 0x68,
        REG_DRR = 0x6C,
        REG_SSR = 0x70,
        REG_TX_OCC = 0x74,
        REG_RX_OCC = 0x78,
    };
    CSpiControllerModel(CSpiNorFlash& flash, const SpiControllerConfig& cfg = SpiControllerConfig());

    bool read32(uint32_t offset, uint32_t& value) override;
    bool write32(uint32_t offset, uint32_t value) override;

    // Raises the command error bit of the status register when the flash is
    // sent the nth (from 1) command with this opcode. A write of control
    // with a FIFO reset bit clears it.
    void injectError(uint8_t opcode, uint32_t nth);

    uint64_t registerReads() const { return m_ulReads; }
    uint64_t registerWrites() const { return m_ulWrites; }
    // Steady clock (ns) of the first register access; 0 before any.
    int64_t firstAccessNs() const { return m_lFirstAccessNs; }

private:
    uint32_t status() const;
    bool canShift() const;
    void shift(uint32_t maxBytes);
    void setChipSelect(bool asserted);
    void updateChipSelect();

    CSpiNorFlash& m_flash;
    SpiControllerConfig m_cfg;
    uint32_t m_uiCr = 0x180;
    uint32_t m_uiSsr = 0xFFFFFFFFu;
    std::deque<uint8_t> m_tx;
    std::deque<uint8_t> m_rx;
    bool m_bError = false;
    bool m_bCs = false;
    bool m_bFirstByte = false;
    uint8_t m_uiInjOpcode = 0;
    uint32_t m_uiInjNth = 0;
    uint32_t m_uiInjSeen = 0;
    uint64_t m_ulReads = 0;
    uint64_t m_ulWrites = 0;
    int64_t m_lFirstAccessNs = 0;
};

// A flash and its controller, wired together.
struct CSimFlashCard {
    explicit CSimFlashCard(const SpiFlashConfig& f = SpiFlashConfig(),
                           const SpiControllerConfig& c = SpiControllerConfig())
        : flash(f), controller(flash, c) {}
    CSpiNorFlash flash;
    CSpiControllerModel controller;
};

// Size in bytes of a flash with this capacity code; 0 for an unknown code.
uint64_t SpiFlashSizeOf(uint8_t capacityCode);

}  // namespace qsim

#endif
