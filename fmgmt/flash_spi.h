#ifndef FMGMT_FLASH_SPI_H
#define FMGMT_FLASH_SPI_H

#include <cstdint>
#include <istream>
#include <list>
#include <string>

#include "reg_access.h"

// Offset of the SPI flash controller inside BAR 0.
#define FLASH_SPI_BAR_OFFSET 0x40000u
// Byte span of the controller's registers used here (up to 0x74 inclusive).
#define FLASH_SPI_REG_SPAN 0x80u

// One block of an MCS image: the data lines that follow one extended linear
// address record.
struct ELARecord {
    uint32_t mStartAddress = 0;   // flash byte address of the first data byte
    uint32_t mEndAddress = 0;     // one past the last data byte
    uint32_t mDataCount = 0;      // data bytes in the block
    std::streampos mDataPos = 0;  // stream position of the block's first line
};

// Programs an MCS image into the configuration flash behind a Xilinx AXI
// Quad SPI controller, driving the SPI NOR protocol byte by byte through the
// controller's FIFOs. All register accesses go through the accessor handed
// to the constructor; a null accessor means BAR 0 is not mapped.
class flash_spi {
public:
    // Controller registers, byte offsets from the controller's base.
    enum : uint32_t {
        REG_CONTROL = 0x60,
        REG_STATUS = 0x64,
        REG_TX_DATA = 0x68,
        REG_RX_DATA = 0x6C,
        REG_SLAVE_SELECT = 0x70,
        REG_TX_OCCUPANCY = 0x74,
    };
    enum : uint32_t {
        CR_ENABLE = 1u << 1,
        CR_MASTER = 1u << 2,
        CR_TX_RESET = 1u << 5,
        CR_RX_RESET = 1u << 6,
        CR_MANUAL_SS = 1u << 7,
        CR_INHIBIT = 1u << 8,
        SR_RX_EMPTY = 1u << 0,
        SR_TX_EMPTY = 1u << 2,
        SR_TX_FULL = 1u << 3,
        SR_CMD_ERROR = 1u << 10,
    };
    // Flash commands.
    enum : uint8_t {
        CMD_READ_STATUS = 0x05,
        CMD_WRITE_ENABLE = 0x06,
        CMD_READ_ID = 0x9F,
        CMD_WRITE_EXT_ADDR = 0xC5,
        CMD_SUBSECTOR_ERASE = 0x20,
        CMD_PAGE_PROGRAM = 0x02,       // Macronix
        CMD_QUAD_PAGE_PROGRAM = 0x32,  // Micron and others
    };
    static const uint8_t BITSTREAM_GUARD[48];
    static const int flashVendors[2];

    explicit flash_spi(IRegAccess* regs);

    // Parses the MCS file and programs it into the flash. 0 on success; -13
    // without a mapped BAR, -2 when the file cannot be opened or is not a
    // regular file, -22 for a malformed file, an image that does not fit the
    // flash or a failed flash step. Ends the process with status
    // -95 when the flash cannot be identified.
    int xclUpgradeFirmwareXSpi(const std::string& file, int slave);

    // Guard, erase and program passes over the parsed blocks.
    int programXSpi(std::istream& stream);
    // Programs one parsed block from the stream.
    int programXSpi(std::istream& stream, const ELARecord& block);

    uint32_t readReg(uint32_t offset);
    void writeReg(uint32_t offset, uint32_t value);

    bool prepareXSpi();
    bool getFlashId();
    bool isFlashReady();
    bool waitTxEmpty();
    bool writeEnable();
    bool setSector(uint32_t address);
    bool sectorErase(uint32_t address, uint8_t opcode = CMD_SUBSECTOR_ERASE);
    bool writePage(uint32_t address, uint8_t opcode = 0xFF);
    bool writeBitstreamGuard(uint32_t location);
    bool finalTransfer(const uint8_t* sendBuf, uint8_t* recvBuf, uint32_t byteCount);

    const std::list<ELARecord>& records() const { return recordList; }
    int vendor() const { return flashVendor; }
    int maxSectors() const { return MAX_NUM_SECTORS; }
    uint32_t bitstreamStart() const { return BITSTREAM_START_LOC; }

private:
    int parseMcs(std::istream& in, const std::string& name);
    bool programChunk(uint32_t address, uint32_t length);
    bool waitBudget(uint32_t mask, bool printOccupancy, const char* failMsg);
    bool abortTransfer(bool bInhibit);
    bool drainRxFifo(uint8_t* recvBuf, uint32_t& received, uint32_t sent, uint32_t& status);
    // True when address lies on the identified flash; else prints why.
    bool addressFits(uint64_t address) const;
    // True when every block, moved up by shift, lies on the identified flash;
    // checked before the guard and the first erase, so that an image that
    // cannot be programmed whole leaves the flash untouched.
    bool imageFits(uint32_t shift) const;

    IRegAccess* mRegs;
    std::list<ELARecord> recordList;

    uint8_t WriteBuffer[260];
    uint8_t ReadBuffer[264];
    int slave_index = 0;
    int selected_sector = -1;
    int MAX_NUM_SECTORS = 0;
    uint64_t mFlashBytes = 0;  // real size of the identified part
    int flashVendor = -1;
    uint32_t BITSTREAM_START_LOC = 0xFFFFFFFFu;
};

#endif
