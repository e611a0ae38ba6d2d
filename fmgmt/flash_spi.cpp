#include "flash_spi.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <vector>

namespace {

// Readiness polls: at most 6,000,000 polls 5 us apart, and never longer than
// 30 s of wall time (a sleep of 5 us takes far longer than 5 us on a busy host).
const uint32_t kMaxPolls = 6000000;
const auto kPollBudget = std::chrono::seconds(30);
const uint32_t kPageSize = 128;   // bytes programmed per command
const uint32_t kFlashPage = 256;  // program page of the flash device
const uint32_t kSubsector = 4096;
// Longest Intel HEX record: ':' and 2 + 4 + 2 + 255 * 2 + 2 hex digits.
const size_t kMaxLine = 521;

void sleepUs(unsigned us) { usleep(us); }

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool hexByte(const std::string& s, size_t pos, uint8_t& out) {
    if (pos + 2 > s.size()) return false;
    int hi = hexDigit(s[pos]);
    int lo = hexDigit(s[pos + 1]);
    if (hi < 0 || lo < 0) return false;
    out = static_cast<uint8_t>(hi << 4 | lo);
    return true;
}

void stripLine(std::string& line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.pop_back();
}

enum ReadResult { READ_LINE, READ_END, READ_TOO_LONG };

// Reads one line (without its '\n') and adds the characters taken from the
// stream, line end included, to offset. A line may carry a '\r' beyond the
// longest record; anything longer is refused after kMaxLine + 2 characters, so
// a file without line ends cannot make the line grow without bound.
ReadResult readLine(std::istream& in, std::string& line, std::streamoff& offset) {
    line.clear();
    std::streambuf* sb = in.rdbuf();
    for (;;) {
        int c = sb->sbumpc();
        if (c == std::char_traits<char>::eof()) {
            in.setstate(std::ios::eofbit);
            return line.empty() ? READ_END : READ_LINE;
        }
        ++offset;
        if (c == '\n') return READ_LINE;
        if (line.size() == kMaxLine + 1) return READ_TOO_LONG;
        line.push_back(static_cast<char>(c));
    }
}

// One record of an Intel HEX (MCS) file: ":LLAAAATT<data>CC".
struct McsLine {
    uint32_t len = 0;
    uint32_t addr = 0;
    uint32_t type = 0;
    uint8_t data[255];
};

enum LineResult { LINE_OK, LINE_NO_COLON, LINE_MALFORMED, LINE_CHECKSUM };

LineResult parseLine(const std::string& s, McsLine& out) {
    if (s.empty() || s[0] != ':') return LINE_NO_COLON;
    uint8_t len, ahi, alo, type, sum;
    if (!hexByte(s, 1, len) || !hexByte(s, 3, ahi) || !hexByte(s, 5, alo) || !hexByte(s, 7, type))
        return LINE_MALFORMED;
    if (s.size() != 11 + 2 * static_cast<size_t>(len)) return LINE_MALFORMED;
    uint32_t total = len + ahi + alo + type;
    for (uint32_t i = 0; i < len; ++i) {
        if (!hexByte(s, 9 + 2 * i, out.data[i])) return LINE_MALFORMED;
        total += out.data[i];
    }
    if (!hexByte(s, 9 + 2 * len, sum)) return LINE_MALFORMED;
    out.len = len;
    out.addr = static_cast<uint32_t>(ahi) << 8 | alo;
    out.type = type;
    if (((total + sum) & 0xFF) != 0) return LINE_CHECKSUM;
    return LINE_OK;
}

// -22 with the message of a record that did not parse, 0 for one that did.
int reportLineError(LineResult result, unsigned long lineNo, const std::string& name) {
    const char* what = nullptr;
    switch (result) {
        case LINE_OK:
            return 0;
        case LINE_NO_COLON:
            std::cout << "ERROR: Line " << std::dec << lineNo << " of " << name << " does not start with ':'"
                      << std::endl;
            return -22;
        case LINE_MALFORMED:
            what = "ERROR: Malformed record on line ";
            break;
        case LINE_CHECKSUM:
            what = "ERROR: Bad checksum on line ";
            break;
    }
    std::cout << what << std::dec << lineNo << " of " << name << std::endl;
    return -22;
}

// Where a record stands: the file, its line, the stream offset of the line
// and of the line after it.
struct McsPlace {
    const std::string& name;
    unsigned long lineNo;
    std::streamoff lineStart;
    std::streamoff next;
};

// Builds the blocks of an image record by record: a block runs from an
// extended linear address record (or, for data in the first 64 KB, from the
// first data record) to the next such record or the end-of-file record.
class BlockCollector {
public:
    explicit BlockCollector(std::list<ELARecord>& out) : mOut(out) {}

    // 0, or -22 with the message of a record that cannot be taken.
    int add(const McsLine& rec, const McsPlace& at, bool& sawEof) {
        switch (rec.type) {
            case 0x04:
                return startBlock(rec, at);
            case 0x00:
                return addData(rec, at);
            case 0x01:
                close();
                sawEof = true;
                return 0;
            case 0x02:
                std::cout << "ERROR: Extended segment address records are not supported (line " << std::dec << at.lineNo
                          << ")" << std::endl;
                return -22;
            default:
                return 0;
        }
    }

private:
    int startBlock(const McsLine& rec, const McsPlace& at) {
        if (rec.addr != 0 || rec.len != 2) {
            std::cout << "ERROR: Extended linear address record on line " << std::dec << at.lineNo << " of " << at.name
                      << " must have address 0000 and 2 data bytes" << std::endl;
            return -22;
        }
        close();
        mCur = ELARecord();
        mCur.mStartAddress = mCur.mEndAddress = (static_cast<uint32_t>(rec.data[0]) << 8 | rec.data[1]) << 16;
        mCur.mDataPos = at.next;
        mOpen = true;
        return 0;
    }

    int addData(const McsLine& rec, const McsPlace& at) {
        if (rec.len > 16) {
            std::cout << "ERROR: Data record on line " << std::dec << at.lineNo << " of " << at.name << " holds "
                      << rec.len << " bytes, at most 16 are accepted (srec_cat needs -Output_Block_Size=16)"
                      << std::endl;
            return -22;
        }
        if (!mOpen) {
            // Data before any extended linear address record lies in the
            // first 64 KB, as in any Intel HEX file.
            mCur = ELARecord();
            mCur.mDataPos = at.lineStart;
            mOpen = true;
        }
        if ((mCur.mStartAddress & 0xFFFF) + mCur.mDataCount != rec.addr) {
            if (mCur.mDataCount != 0) {
                std::cout << "Address is not contiguous ! " << std::endl;
                return -22;
            }
            mCur.mStartAddress += rec.addr;
            mCur.mEndAddress += rec.addr;
        }
        // One past the block's last byte must stay a 32-bit address.
        if (static_cast<uint64_t>(mCur.mEndAddress) + rec.len >= 0x100000000ull) {
            std::cout << "ERROR: Data on line " << std::dec << at.lineNo << " of " << at.name
                      << " reaches the end of the 32-bit address space" << std::endl;
            return -22;
        }
        mCur.mDataCount += rec.len;
        mCur.mEndAddress += rec.len;
        return 0;
    }

    void close() {
        // A block without data programs nothing and does not move the guard.
        if (mOpen && mCur.mDataCount > 0) mOut.push_back(mCur);
        mOpen = false;
    }

    std::list<ELARecord>& mOut;
    ELARecord mCur;
    bool mOpen = false;
};

// 0 when the parsed image can be programmed, else -22 with the reason.
int checkImage(const std::list<ELARecord>& blocks, bool sawEof, const std::string& name) {
    if (!sawEof) {
        std::cout << "ERROR: " << name << " ends without an end-of-file record" << std::endl;
        return -22;
    }
    if (blocks.empty()) {
        std::cout << "ERROR: No data records found in " << name << std::endl;
        return -22;
    }
    // Blocks written twice would be programmed over each other.
    for (auto a = blocks.begin(); a != blocks.end(); ++a) {
        for (auto b = std::next(a); b != blocks.end(); ++b) {
            if (a->mStartAddress < b->mEndAddress && b->mStartAddress < a->mEndAddress) {
                std::cout << "ERROR: Overlapping data blocks at 0x" << std::hex << a->mStartAddress << " and 0x"
                          << b->mStartAddress << std::dec << std::endl;
                return -22;
            }
        }
    }
    return 0;
}

// Number of 16 MB segments and real size in bytes for a capacity code.
bool capacityOf(uint8_t code, int& segments, uint64_t& bytes) {
    switch (code) {
        case 0x17:
            segments = 1;
            bytes = 8ull << 20;
            return true;
        case 0x18:
        case 0x38:
            segments = 1;
            bytes = 16ull << 20;
            return true;
        case 0x19:
        case 0x39:
            segments = 2;
            bytes = 32ull << 20;
            return true;
        case 0x20:
        case 0x3A:
            segments = 4;
            bytes = 64ull << 20;
            return true;
        case 0x21:
        case 0x3B:
            segments = 8;
            bytes = 128ull << 20;
            return true;
        case 0x22:
        case 0x3C:
            segments = 16;
            bytes = 256ull << 20;
            return true;
        default:
            return false;
    }
}

}  // namespace

const uint8_t flash_spi::BITSTREAM_GUARD[48] = {
    0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0xBB, 0x11, 0x22, 0x00, 0x44, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xAA, 0x99, 0x55, 0x66, 0x20, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00,
    0x30, 0x02, 0x20, 0x01, 0x40, 0x00, 0x00, 0x02, 0x20, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00,
};

const int flash_spi::flashVendors[2] = {0x20, 0xC2};

flash_spi::flash_spi(IRegAccess* regs) : mRegs(regs) {
    memset(WriteBuffer, 0, sizeof(WriteBuffer));
    memset(ReadBuffer, 0, sizeof(ReadBuffer));
}

uint32_t flash_spi::readReg(uint32_t offset) {
    uint32_t v = 0;
    // A refused access reads as all ones, like a function that left the bus;
    // the status error bit then stops every transfer.
    if (mRegs == nullptr || !mRegs->read32(offset, v)) return 0xFFFFFFFFu;
    return v;
}

void flash_spi::writeReg(uint32_t offset, uint32_t value) {
    if (mRegs != nullptr) mRegs->write32(offset, value);
}

// ---------------------------------------------------------------- parsing

int flash_spi::xclUpgradeFirmwareXSpi(const std::string& file, int slave) {
    memset(WriteBuffer, 0, sizeof(WriteBuffer));
    memset(ReadBuffer, 0, sizeof(ReadBuffer));
    recordList.clear();
    if (mRegs == nullptr) return -13;
    if (slave < 0 || slave > 31) {
        std::cout << "ERROR: Invalid flash slave index " << std::dec << slave << std::endl;
        return -22;
    }
    slave_index = slave;

    // Only a regular file: a FIFO would block the open and a device such as
    // /dev/zero never ends.
    struct stat st;
    bool found = stat(file.c_str(), &st) == 0;
    bool regular = found && S_ISREG(st.st_mode);
    if (found && !regular) std::cout << "ERROR: " << file << " is not a regular file" << std::endl;
    std::ifstream in;
    if (regular) in.open(file.c_str());
    if (!in.is_open()) {
        std::cout << "ERROR: Cannot open " << file << ". Check that it exists and is readable." << std::endl;
        return -2;
    }
    std::cout << "INFO: Parsing file " << file << std::endl;

    int ret = parseMcs(in, file);
    if (ret != 0) return ret;

    in.clear();
    in.seekg(0);
    std::cout << "INFO: ***Found " << std::dec << recordList.size() << " ELA Records" << std::endl;
    BITSTREAM_START_LOC = recordList.front().mStartAddress;
    return programXSpi(in);
}

int flash_spi::parseMcs(std::istream& in, const std::string& name) {
    BlockCollector blocks(recordList);
    bool sawEof = false;
    unsigned long lineNo = 0;
    std::string line;
    McsLine rec;

    // Byte offset of the current line, kept by hand: asking the stream for
    // its position on every line costs more than the parsing.
    std::streamoff offset = in.tellg();
    while (!sawEof) {
        std::streamoff lineStart = offset;
        ReadResult rr = readLine(in, line, offset);
        if (rr == READ_END) break;
        ++lineNo;
        if (rr == READ_TOO_LONG) {
            std::cout << "ERROR: Line " << std::dec << lineNo << " of " << name << " is longer than " << kMaxLine
                      << " characters" << std::endl;
            return -22;
        }
        stripLine(line);
        if (line.empty()) continue;
        int ret = reportLineError(parseLine(line, rec), lineNo, name);
        if (ret == 0) ret = blocks.add(rec, McsPlace{name, lineNo, lineStart, offset}, sawEof);
        if (ret != 0) return ret;
    }
    return checkImage(recordList, sawEof, name);
}

// ---------------------------------------------------------------- programming

int flash_spi::programXSpi(std::istream& stream) {
    if (!prepareXSpi()) {
        std::cout << "Exiting now, as could not get correct idcode" << std::endl;
        std::cout.flush();
        std::exit(-95);
    }
    sleepUs(20);

    uint32_t offset = BITSTREAM_START_LOC != 0 ? kSubsector : 0;
    if (!imageFits(offset)) return -22;
    if (offset != 0) {
        if (!writeBitstreamGuard(BITSTREAM_START_LOC)) {
            std::cout << "ERROR: Unable to set bitstream guard!" << std::endl;
            return -22;
        }
        std::cout << "Enabled bitstream guard. Bitstream will not be loaded until flashing is finished." << std::endl;
    }

    unsigned blockNo = 0;
    for (ELARecord& block : recordList) {
        if (++blockNo % 20 == 0) std::cout << "." << std::flush;
        block.mStartAddress += offset;
        block.mEndAddress += offset;
        // Erase from the subsector holding the first byte, so that a block
        // that does not start on a subsector boundary is erased whole.
        // imageFits() keeps every address below the flash's size.
        for (uint32_t a = block.mStartAddress & ~(kSubsector - 1); a < block.mEndAddress; a += kSubsector) {
            if (!sectorErase(a)) {
                std::cout << "\nERROR: Failed to erase subsector!" << std::endl;
                return -22;
            }
            sleepUs(20);
        }
    }

    std::cout << " . " << std::endl;
    std::cout << "Programming flash" << std::flush;

    blockNo = 0;
    for (const ELARecord& block : recordList) {
        if (++blockNo % 20 == 0) std::cout << "." << std::flush;
        if (!isFlashReady()) {
            std::cout << "\nERROR: Unable to get flash ready" << std::endl;
            return -22;
        }
        memset(WriteBuffer, 0, sizeof(WriteBuffer));
        memset(ReadBuffer, 0, sizeof(ReadBuffer));
        if (programXSpi(stream, block) != 0) {
            std::cout << "\nERROR: Could not programXSpi the block" << std::endl;
            return -22;
        }
        sleepUs(20);
    }
    std::cout << std::endl;

    if (BITSTREAM_START_LOC == 0) return 0;
    if (!sectorErase(BITSTREAM_START_LOC)) {
        std::cout << "ERROR: Unable to clear bitstream guard!" << std::endl;
        return -22;
    }
    std::cout << "Cleared bitstream guard. Bitstream now active." << std::endl;
    return 0;
}

int flash_spi::programXSpi(std::istream& stream, const ELARecord& block) {
    stream.clear();
    stream.seekg(block.mDataPos);
    if (!stream) return -6;

    uint32_t remaining = block.mDataCount;
    uint32_t page = 0;
    uint32_t fill = 0;
    std::string line;
    McsLine rec;
    std::streamoff offset = block.mDataPos;
    while (remaining != 0) {
        ReadResult rr = readLine(stream, line, offset);
        if (rr != READ_LINE) {
            std::cout << "ERROR: Image ended inside a block" << std::endl;
            return -6;
        }
        stripLine(line);
        if (line.empty()) continue;
        if (parseLine(line, rec) != LINE_OK) return -6;
        // Only data records carry bytes of the block; the parse pass counted
        // nothing else.
        if (rec.type != 0x00) continue;
        if (rec.len > remaining) return -6;
        remaining -= rec.len;
        for (uint32_t i = 0; i < rec.len; ++i) {
            WriteBuffer[4 + fill++] = rec.data[i];
            if (fill == kPageSize) {
                if (!writePage(block.mStartAddress + page * kPageSize)) return -6;
                memset(WriteBuffer, 0, sizeof(WriteBuffer));
                memset(ReadBuffer, 0, sizeof(ReadBuffer));
                ++page;
                sleepUs(20);
                fill = 0;
            }
        }
    }
    if (fill != 0) {
        memset(WriteBuffer + 4 + fill, 0xFF, kPageSize - fill);
        if (!writePage(block.mStartAddress + page * kPageSize)) return -6;
        sleepUs(20);
    }
    return 0;
}

bool flash_spi::addressFits(uint64_t address) const {
    if ((address >> 24) < static_cast<uint64_t>(MAX_NUM_SECTORS) && address < mFlashBytes) return true;
    std::ios::fmtflags f = std::cout.flags();
    if ((address >> 24) >= static_cast<uint64_t>(MAX_NUM_SECTORS))
        std::cout << "ERROR: Invalid sector encountered" << std::endl;
    else
        std::cout << "ERROR: Address beyond the end of the flash" << std::endl;
    std::cout << "ERROR: Bad address 0x" << std::hex << address << std::endl;
    std::cout.flags(f);
    return false;
}

bool flash_spi::imageFits(uint32_t shift) const {
    unsigned blockNo = 0;
    for (const ELARecord& block : recordList) {
        ++blockNo;
        uint64_t first = static_cast<uint64_t>(block.mStartAddress) + shift;
        uint64_t last = first + block.mDataCount - 1;
        if (addressFits(first) && addressFits(last)) continue;
        std::cout << "ERROR: Block " << std::dec << blockNo << " of the image (0x" << std::hex << block.mStartAddress
                  << ", " << std::dec << block.mDataCount << " bytes, written at 0x" << std::hex << first
                  << ") does not fit the flash of " << std::dec << (mFlashBytes >> 20)
                  << " MB; nothing was erased or programmed" << std::endl;
        return false;
    }
    return true;
}

bool flash_spi::writeBitstreamGuard(uint32_t location) {
    if (!sectorErase(location)) return false;
    memcpy(WriteBuffer + 4, BITSTREAM_GUARD, sizeof(BITSTREAM_GUARD));
    memset(WriteBuffer + 4 + sizeof(BITSTREAM_GUARD), 0xFF, kPageSize - sizeof(BITSTREAM_GUARD));
    return writePage(location + kPageSize);
}

// ---------------------------------------------------------------- flash commands

bool flash_spi::prepareXSpi() {
    selected_sector = -1;
    (void)readReg(REG_CONTROL);
    (void)readReg(REG_STATUS);
    writeReg(REG_CONTROL, 0x1E6);
    return getFlashId();
}

bool flash_spi::getFlashId() {
    if (!isFlashReady()) {
        std::cout << "Unable to get flash ready " << std::endl;
        return false;
    }
    uint8_t cmd[5] = {CMD_READ_ID, 0, 0, 0, 0};
    memset(ReadBuffer, 0, sizeof(ReadBuffer));
    if (!finalTransfer(cmd, ReadBuffer, 5)) return false;

    for (int v : flashVendors)
        if (ReadBuffer[1] == v) flashVendor = v;

    uint8_t code = ReadBuffer[3];
    if (code == 0xFF) return false;
    int segments = 0;
    uint64_t bytes = 0;
    if (code < 0x17 || code > 0x3C || !capacityOf(code, segments, bytes)) {
        std::cout << "ERROR: Unrecognized sector field! Exiting..." << std::endl;
        return false;
    }
    MAX_NUM_SECTORS = segments;
    mFlashBytes = bytes;
    std::ios::fmtflags f = std::cout.flags();
    for (int i = 0; i < 5; ++i)
        std::cout << "Idcode byte[" << std::dec << i << "] " << std::hex << static_cast<int>(ReadBuffer[i])
                  << std::endl;
    std::cout.flags(f);
    return true;
}

bool flash_spi::isFlashReady() {
    auto start = std::chrono::steady_clock::now();
    for (uint32_t poll = 0; poll < kMaxPolls; ++poll) {
        uint8_t cmd[2] = {CMD_READ_STATUS, 0};
        uint8_t resp[2] = {0xFF, 0xFF};
        if (!finalTransfer(cmd, resp, 2)) return false;
        if ((resp[1] & 0x01) == 0) return true;
        if (std::chrono::steady_clock::now() - start > kPollBudget) break;
        sleepUs(5);
    }
    std::cout << "Unable to get Flash Ready\n" << std::flush;
    return false;
}

bool flash_spi::waitBudget(uint32_t mask, bool printOccupancy, const char* failMsg) {
    auto start = std::chrono::steady_clock::now();
    for (uint32_t poll = 0; poll < kMaxPolls; ++poll) {
        if (readReg(REG_STATUS) & mask) return true;
        if (printOccupancy) {
            std::ios::fmtflags f = std::cout.flags();
            std::cout << std::hex << readReg(REG_TX_OCCUPANCY) << std::endl;
            std::cout.flags(f);
        }
        if (std::chrono::steady_clock::now() - start > kPollBudget) break;
        sleepUs(5);
    }
    std::cout << failMsg << std::flush;
    return false;
}

bool flash_spi::waitTxEmpty() { return waitBudget(SR_TX_EMPTY, true, "Unable to get Tx Empty\n"); }

bool flash_spi::writeEnable() {
    if (readReg(REG_STATUS) & SR_TX_FULL) {
        std::cout << "Tx fifo fill during WriteEnable" << std::endl;
        return false;
    }
    writeReg(REG_CONTROL, readReg(REG_CONTROL) | 0x1E6);
    uint8_t cmd[1] = {CMD_WRITE_ENABLE};
    if (!finalTransfer(cmd, nullptr, 1)) return false;
    return waitTxEmpty();
}

bool flash_spi::setSector(uint32_t address) {
    if (!addressFits(address)) return false;
    int segment = static_cast<int>(address >> 24);
    if (segment == selected_sector) return true;
    if (!isFlashReady()) return false;
    if (!writeEnable()) return false;
    writeReg(REG_CONTROL, readReg(REG_CONTROL) | 0x60);
    uint8_t cmd[2] = {CMD_WRITE_EXT_ADDR, static_cast<uint8_t>(segment)};
    if (!finalTransfer(cmd, nullptr, 2)) return false;
    if (!waitTxEmpty()) return false;
    selected_sector = segment;
    return true;
}

bool flash_spi::sectorErase(uint32_t address, uint8_t opcode) {
    if (!isFlashReady()) return false;
    if (!setSector(address)) {
        std::cout << "ERROR: Unable to set sector for sectorErase cmd" << std::endl;
        return false;
    }
    if (!writeEnable()) return false;
    writeReg(REG_CONTROL, readReg(REG_CONTROL) | 0x60);
    uint8_t cmd[4] = {opcode, static_cast<uint8_t>(address >> 16), static_cast<uint8_t>(address >> 8),
                      static_cast<uint8_t>(address)};
    if (!finalTransfer(cmd, nullptr, 4)) return false;
    return waitTxEmpty();
}

bool flash_spi::writePage(uint32_t address, uint8_t opcode) {
    if (opcode == 0xFF) opcode = flashVendor == 0xC2 ? CMD_PAGE_PROGRAM : CMD_QUAD_PAGE_PROGRAM;
    // The flash programs within pages of 256 bytes and wraps at the end of
    // one; 128 bytes that straddle such a page go out as two commands.
    uint32_t first = kFlashPage - (address % kFlashPage);
    if (first >= kPageSize) {
        WriteBuffer[0] = opcode;
        WriteBuffer[1] = static_cast<uint8_t>(address >> 16);
        WriteBuffer[2] = static_cast<uint8_t>(address >> 8);
        WriteBuffer[3] = static_cast<uint8_t>(address);
        return programChunk(address, kPageSize);
    }
    uint8_t data[kPageSize];
    memcpy(data, WriteBuffer + 4, kPageSize);
    WriteBuffer[0] = opcode;
    for (uint32_t part = 0, done = 0; part < 2; ++part) {
        uint32_t len = part == 0 ? first : kPageSize - first;
        uint32_t a = address + done;
        WriteBuffer[1] = static_cast<uint8_t>(a >> 16);
        WriteBuffer[2] = static_cast<uint8_t>(a >> 8);
        WriteBuffer[3] = static_cast<uint8_t>(a);
        memcpy(WriteBuffer + 4, data + done, len);
        if (!programChunk(a, len)) return false;
        done += len;
    }
    return true;
}

// Sends WriteBuffer[0..4+length) (command, 3 address bytes and data) as one
// program command at address.
bool flash_spi::programChunk(uint32_t address, uint32_t length) {
    if (!isFlashReady()) return false;
    if (!setSector(address)) return false;
    if (!writeEnable()) return false;
    writeReg(REG_CONTROL, 0x1E6);
    if (!finalTransfer(WriteBuffer, nullptr, 4 + length)) return false;
    return waitTxEmpty();
}

// ---------------------------------------------------------------- one transfer

// Gives up a transfer that made no progress for the polling budget: says so,
// stops the shifting when bInhibit (a stall waiting for the transmit FIFO;
// a stall after a refill leaves the control register as it is) and
// deselects the flash.
bool flash_spi::abortTransfer(bool bInhibit) {
    std::cout << "Unable to get Tx Empty\n" << std::flush;
    if (bInhibit) writeReg(REG_CONTROL, readReg(REG_CONTROL) | CR_INHIBIT);
    writeReg(REG_SLAVE_SELECT, 3);
    return false;
}

// Takes what the receive FIFO holds, up to the bytes sent, into recvBuf
// (when given); status is the last status read. False on a command error.
bool flash_spi::drainRxFifo(uint8_t* recvBuf, uint32_t& received, uint32_t sent, uint32_t& status) {
    status = readReg(REG_STATUS);
    while (!(status & SR_RX_EMPTY) && received < sent) {
        uint32_t v = readReg(REG_RX_DATA);
        if (recvBuf != nullptr) recvBuf[received] = static_cast<uint8_t>(v);
        ++received;
        status = readReg(REG_STATUS);
        if (status & SR_CMD_ERROR) {
            std::cout << "status reg in error situation " << std::endl;
            return false;
        }
    }
    return true;
}

bool flash_spi::finalTransfer(const uint8_t* sendBuf, uint8_t* recvBuf, uint32_t byteCount) {
    (void)readReg(REG_CONTROL);
    uint32_t status = readReg(REG_STATUS);
    if (status & SR_CMD_ERROR) {
        std::cout << "status reg in error situation " << std::endl;
        return false;
    }

    uint32_t sent = 0;
    uint32_t received = 0;
    auto fill = [&](const char* errMsg) {
        while (!(status & SR_TX_FULL) && sent < byteCount) {
            writeReg(REG_TX_DATA, sendBuf[sent++]);
            status = readReg(REG_STATUS);
            if (status & SR_CMD_ERROR) {
                std::cout << errMsg << std::endl;
                return false;
            }
        }
        return true;
    };
    if (!fill("Write command caused created error")) return false;

    writeReg(REG_SLAVE_SELECT, ~(1u << slave_index));
    status = readReg(REG_STATUS);
    if (status & SR_CMD_ERROR) {
        std::cout << "status reg in error situation: 2 " << std::endl;
        return false;
    }
    writeReg(REG_CONTROL, readReg(REG_CONTROL) & ~CR_INHIBIT);

    // The controller moves each byte into the receive FIFO shortly after
    // shifting it out; a transfer that makes no progress for the polling
    // budget is abandoned instead of waiting for ever.
    auto lastProgress = std::chrono::steady_clock::now();
    uint32_t idle = 0;
    auto stalled = [&]() {
        return ++idle % 4096 == 0 && std::chrono::steady_clock::now() - lastProgress > kPollBudget;
    };
    while (received < byteCount) {
        while (!(readReg(REG_STATUS) & SR_TX_EMPTY)) {
            if (stalled()) return abortTransfer(true);
        }
        writeReg(REG_CONTROL, readReg(REG_CONTROL) | CR_INHIBIT);
        uint32_t before = received;
        if (!drainRxFifo(recvBuf, received, sent, status)) return false;
        if (sent < byteCount) {
            if (!fill("status reg in error situation ")) return false;
            writeReg(REG_CONTROL, readReg(REG_CONTROL) & ~CR_INHIBIT);
        }
        if (received != before) {
            lastProgress = std::chrono::steady_clock::now();
            idle = 0;
        } else if (stalled()) {
            return abortTransfer(false);
        }
    }
    writeReg(REG_CONTROL, readReg(REG_CONTROL) | CR_INHIBIT);
    writeReg(REG_SLAVE_SELECT, 3);
    return true;
}
