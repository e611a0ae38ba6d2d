#include "drvXdma.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "common.h"
#include "gt_logger.h"
#include "gt_result.h"

namespace xdma_order {

int ReadIntN(IDrv& drv, uint64_t ulOffset, unsigned nBytes, uint64_t& ulValue) {
    uint8_t buf[8];
    memset(buf, 0, sizeof(buf));
    if (drv.ReadLess128Bytes(ulOffset, buf, nBytes) != nBytes) {
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

int WriteIntN(IDrv& drv, uint64_t ulOffset, unsigned nBytes, uint64_t ulValue) {
    uint8_t buf[8];
    for (unsigned i = 0; i < nBytes; ++i) buf[i] = (uint8_t)(ulValue >> (8 * (nBytes - 1 - i)));
    return drv.WriteLess128Bytes(ulOffset, buf, nBytes) == nBytes ? 0 : -1;
}

}  // namespace xdma_order

CDrvXdma::CDrvXdma()
    : m_bInitedWrite(false), m_bInitedRead(false), m_fdWrite(-1), m_fdRead(-1), m_nPcieMode(0) {}

CDrvXdma::~CDrvXdma() {
    if (m_fdWrite >= 0) close(m_fdWrite);
    if (m_fdRead >= 0) close(m_fdRead);
}

int CDrvXdma::Init(void* lpParam) {
    if (m_bInitedWrite || m_bInitedRead) {
        GT_LOGW(GT_TAG_FPGA, "Init device xdma driver failed, already inited!");
        return GT_ERR_ALREADY_INITED;
    }
    XDMA_PARAM_t* lpXdma = static_cast<XDMA_PARAM_t*>(lpParam);
    if (lpXdma == nullptr) {
        GT_LOGW(GT_TAG_FPGA, "Init device xdma driver failed, null parameter!");
        return GT_ERR_BAD_ARG;
    }
    if (lpXdma->lpStrWriteDev != nullptr) {
        int fd = open(lpXdma->lpStrWriteDev, O_RDWR);
        if (fd < 0) {
            GT_LOGW(GT_TAG_FPGA, "Open device in failed, please check the device exist or not: %s!",
                    lpXdma->lpStrWriteDev);
            return GT_ERR_DEV_OPEN;
        }
        m_fdWrite = fd;
        m_bInitedWrite = true;
    }
    if (lpXdma->lpStrReadDev != nullptr) {
        int fd = open(lpXdma->lpStrReadDev, O_RDWR | O_NONBLOCK);
        if (fd < 0) {
            GT_LOGW(GT_TAG_FPGA, "Open device out failed, please check the device exist or not: %s!",
                    lpXdma->lpStrReadDev);
            // Leave the driver as it was, so that a corrected Init may follow.
            if (m_fdWrite >= 0) close(m_fdWrite);
            m_fdWrite = -1;
            m_bInitedWrite = false;
            return GT_ERR_DEV_OPEN;
        }
        m_fdRead = fd;
        m_bInitedRead = true;
    }
    m_nPcieMode = lpXdma->nPcieMode;
    return GT_OK;
}

int CDrvXdma::ReadInt8(uint64_t ulOffset, uint8_t& ucValue) {
    if (!m_bInitedRead) {
        GT_LOGW(GT_TAG_FPGA, "Didn't inited in yet!");
        return GT_ERR_NOT_INITED;
    }
    uint64_t v = 0;
    int ret = xdma_order::ReadIntN(*this, ulOffset, 1, v);
    if (ret == GT_OK) ucValue = (uint8_t)v;
    return ret;
}

int CDrvXdma::ReadInt16(uint64_t ulOffset, uint16_t& usValue) {
    if (!m_bInitedRead) {
        GT_LOGW(GT_TAG_FPGA, "Didn't inited in yet!");
        return GT_ERR_NOT_INITED;
    }
    uint64_t v = 0;
    int ret = xdma_order::ReadIntN(*this, ulOffset, 2, v);
    if (ret == GT_OK) usValue = (uint16_t)v;
    return ret;
}

int CDrvXdma::ReadInt32(uint64_t ulOffset, uint32_t& uiValue) {
    if (!m_bInitedRead) {
        GT_LOGW(GT_TAG_FPGA, "Didn't inited in yet!");
        return GT_ERR_NOT_INITED;
    }
    uint64_t v = 0;
    int ret = xdma_order::ReadIntN(*this, ulOffset, 4, v);
    if (ret == GT_OK) uiValue = (uint32_t)v;
    return ret;
}

int CDrvXdma::ReadInt64(uint64_t ulOffset, uint64_t& ulValue) {
    if (!m_bInitedRead) {
        GT_LOGW(GT_TAG_FPGA, "Didn't inited in yet!");
        return GT_ERR_NOT_INITED;
    }
    return xdma_order::ReadIntN(*this, ulOffset, 8, ulValue);
}

uint64_t CDrvXdma::ReadLess128Bytes(uint64_t ulOffset, uint8_t* lpBuf, uint64_t ulLen) {
    if (ulLen > 128 || lpBuf == nullptr) {
        GT_LOGW(GT_TAG_FPGA, "length should less than 128!");
        return 0;
    }
    uint8_t tmp[128];
    memset(tmp, 0, sizeof(tmp));
    uint64_t got = ReadBytes(ulOffset, tmp, ulLen);
    if (got != ulLen) {
        GT_LOGW(GT_TAG_FPGA, "Read failed, system msg:%s. Note:If is pio mode,add pio_mode=1 in quay.ini.",
                strerror(errno));
        return got;
    }
    for (uint64_t i = 0; i < ulLen; ++i) lpBuf[i] = tmp[ulLen - 1 - i];
    return ulLen;
}

uint64_t CDrvXdma::ReadBytes(uint64_t ulOffset, uint8_t* lpBuf, uint64_t ulLen) {
    if (!m_bInitedRead || lpBuf == nullptr) {
        GT_LOGW(GT_TAG_FPGA, "Didn't inited in yet!");
        return 0;
    }
    uint64_t done = 0;
    while (done < ulLen) {
        uint64_t chunk = ulLen - done;
        if (chunk > (uint64_t)MAX_RW_SIZE) chunk = (uint64_t)MAX_RW_SIZE;
        off_t pos = lseek(m_fdRead, (off_t)ulOffset, SEEK_SET);
        if (pos != (off_t)ulOffset) {
            int err = errno;
            GT_LOGW(GT_TAG_FPGA, "seek failed. set offset:0x%lx, but return:0x%lx, errno:%d, errInfo:%s.",
                    (unsigned long)ulOffset, (unsigned long)pos, err, strerror(err));
            return done;
        }
        ssize_t n = read(m_fdRead, lpBuf + done, chunk);
        if (n < 0 || (uint64_t)n != chunk) {
            int err = errno;
            GT_LOGW(GT_TAG_FPGA, "Read failed, should Read %ld, now %ld, errno:%d, errInfo:%s.", (long)ulLen,
                    (long)done, err, strerror(err));
            return done;
        }
        ulOffset += chunk;
        done += chunk;
    }
    return done;
}

int CDrvXdma::WriteInt8(uint64_t ulOffset, uint8_t ucValue) {
    if (!m_bInitedWrite) {
        GT_LOGW(GT_TAG_FPGA, "[xdma drv] Didn't inited out yet!");
        return -1;
    }
    return xdma_order::WriteIntN(*this, ulOffset, 1, ucValue);
}

int CDrvXdma::WriteInt16(uint64_t ulOffset, uint16_t usValue) {
    if (!m_bInitedWrite) {
        GT_LOGW(GT_TAG_FPGA, "Didn't inited out yet!");
        return -1;
    }
    return xdma_order::WriteIntN(*this, ulOffset, 2, usValue);
}

int CDrvXdma::WriteInt32(uint64_t ulOffset, uint32_t uiValue) {
    if (!m_bInitedWrite) {
        GT_LOGW(GT_TAG_FPGA, "Didn't inited out yet!");
        return -1;
    }
    return xdma_order::WriteIntN(*this, ulOffset, 4, uiValue);
}

int CDrvXdma::WriteInt64(uint64_t ulOffset, uint64_t ulValue) {
    if (!m_bInitedWrite) {
        GT_LOGW(GT_TAG_FPGA, "Didn't inited out yet!");
        return -1;
    }
    return xdma_order::WriteIntN(*this, ulOffset, 8, ulValue);
}

uint64_t CDrvXdma::WriteLess128Bytes(uint64_t ulOffset, const uint8_t* lpBuf, uint64_t ulLen) {
    if (ulLen > 128 || lpBuf == nullptr) {
        GT_LOGW(GT_TAG_FPGA, "length should less than 128!");
        return 0;
    }
    uint8_t tmp[128];
    memset(tmp, 0, sizeof(tmp));
    for (uint64_t i = 0; i < ulLen; ++i) tmp[i] = lpBuf[ulLen - 1 - i];
    return WriteBytes(ulOffset, tmp, ulLen);
}

uint64_t CDrvXdma::WriteBytes(uint64_t ulOffset, const uint8_t* lpBuf, uint64_t ulLen) {
    if (!m_bInitedWrite || lpBuf == nullptr) {
        GT_LOGW(GT_TAG_FPGA, "Didn't inited out yet!");
        return 0;
    }
    uint64_t done = 0;
    while (done < ulLen) {
        uint64_t chunk = ulLen - done;
        if (chunk > (uint64_t)MAX_RW_SIZE) chunk = (uint64_t)MAX_RW_SIZE;
        off_t pos = lseek(m_fdWrite, (off_t)ulOffset, SEEK_SET);
        if (pos != (off_t)ulOffset) {
            int err = errno;
            GT_LOGW(GT_TAG_FPGA, "seek failed. set offset:0x%lx, but return:0x%lx, errno:%d, errInfo:%s.",
                    (unsigned long)ulOffset, (unsigned long)pos, err, strerror(err));
            return done;
        }
        ssize_t n = write(m_fdWrite, lpBuf + done, chunk);
        if (n < 0 || (uint64_t)n != chunk) {
            int err = errno;
            GT_LOGW(GT_TAG_FPGA, "Write failed, should write %ld, now %ld, errno:%d, errInfo:%s.", (long)ulLen,
                    (long)done, err, strerror(err));
            return done;
        }
        ulOffset += chunk;
        done += chunk;
    }
    return done;
}
