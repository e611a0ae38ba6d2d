#include "drvPcie.h"

#include <cstring>

#include "common.h"
#include "gt_logger.h"
#include "gt_result.h"

int CDrvPcieBase::ReadIntN(uint64_t ulOffset, unsigned nBytes, uint64_t& ulValue) {
    if (!m_bInitedRead) {
        GT_LOGW(GT_TAG_FPGA, "Didn't inited in yet!");
        return GT_ERR_NOT_INITED;
    }
    uint8_t buf[8];
    memset(buf, 0, sizeof(buf));
    if (ReadLess128Bytes(ulOffset, buf, nBytes) != nBytes) {
        if (nBytes == 8) {
            GT_LOGW(GT_TAG_FPGA, "Read Int64 error!");
        } else {
            GT_LOGW(GT_TAG_FPGA, "Read Int32 error!");
        }
        return GT_ERR_BAD_ARG;
    }
    if (nBytes == 8) {
        // Upper four bytes first, then the lower four.
        uint64_t high = ((uint64_t)buf[0] << 24) | ((uint64_t)buf[1] << 16) | ((uint64_t)buf[2] << 8) | buf[3];
        uint64_t low = ((uint64_t)buf[4] << 24) | ((uint64_t)buf[5] << 16) | ((uint64_t)buf[6] << 8) | buf[7];
        ulValue = Uti_MoveLeft64(high, 32) | low;
        return GT_OK;
    }
    uint64_t v = 0;
    for (unsigned i = 0; i < nBytes; ++i) v = (v << 8) | buf[i];
    ulValue = v;
    return GT_OK;
}

int CDrvPcieBase::WriteIntN(uint64_t ulOffset, unsigned nBytes, uint64_t ulValue) {
    if (!m_bInitedWrite) {
        GT_LOGW(GT_TAG_FPGA, nBytes == 1 ? "[xdma drv] Didn't inited out yet!" : "Didn't inited out yet!");
        return -1;
    }
    uint8_t buf[8];
    for (unsigned i = 0; i < nBytes; ++i) buf[i] = (uint8_t)(ulValue >> (8 * (nBytes - 1 - i)));
    return WriteLess128Bytes(ulOffset, buf, nBytes) == nBytes ? 0 : -1;
}
