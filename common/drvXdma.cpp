#include "drvXdma.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "gt_logger.h"
#include "gt_result.h"

CDrvXdma::CDrvXdma() : m_fdWrite(-1), m_fdRead(-1), m_nPcieMode(0) {}

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

uint64_t CDrvXdma::ReadRange(uint64_t ulOffset, uint8_t* lpBuf, uint64_t ulLen) {
    uint64_t got = ReadBytes(ulOffset, lpBuf, ulLen);
    if (got != ulLen) {
        GT_LOGW(GT_TAG_FPGA, "Read failed, system msg:%s. Note:If is pio mode,add pio_mode=1 in quay.ini.",
                strerror(errno));
    }
    return got;
}

uint64_t CDrvXdma::Transfer(bool bWrite, uint64_t ulOffset, uint8_t* lpIn, const uint8_t* lpOut, uint64_t ulLen) {
    int fd = bWrite ? m_fdWrite : m_fdRead;
    uint64_t done = 0;
    while (done < ulLen) {
        uint64_t chunk = ulLen - done;
        if (chunk > (uint64_t)MAX_RW_SIZE) chunk = (uint64_t)MAX_RW_SIZE;
        off_t pos = lseek(fd, (off_t)ulOffset, SEEK_SET);
        // -1 is a failure even when it is the offset asked for (2^64 - 1).
        if (pos < 0 || pos != (off_t)ulOffset) {
            int err = errno;
            GT_LOGW(GT_TAG_FPGA, "seek failed. set offset:0x%lx, but return:0x%lx, errno:%d, errInfo:%s.",
                    (unsigned long)ulOffset, (unsigned long)pos, err, strerror(err));
            return done;
        }
        ssize_t n = bWrite ? write(fd, lpOut + done, chunk) : read(fd, lpIn + done, chunk);
        if (n < 0 || (uint64_t)n != chunk) {
            int err = errno;
            GT_LOGW(GT_TAG_FPGA,
                    bWrite ? "Write failed, should write %ld, now %ld, errno:%d, errInfo:%s."
                           : "Read failed, should Read %ld, now %ld, errno:%d, errInfo:%s.",
                    (long)ulLen, (long)done, err, strerror(err));
            return done;
        }
        ulOffset += chunk;
        done += chunk;
    }
    return done;
}

uint64_t CDrvXdma::ReadBytes(uint64_t ulOffset, uint8_t* lpBuf, uint64_t ulLen) {
    if (!m_bInitedRead || lpBuf == nullptr) {
        GT_LOGW(GT_TAG_FPGA, "Didn't inited in yet!");
        return 0;
    }
    return Transfer(false, ulOffset, lpBuf, nullptr, ulLen);
}

uint64_t CDrvXdma::WriteRange(uint64_t ulOffset, const uint8_t* lpBuf, uint64_t ulLen) {
    return WriteBytes(ulOffset, lpBuf, ulLen);
}

uint64_t CDrvXdma::WriteBytes(uint64_t ulOffset, const uint8_t* lpBuf, uint64_t ulLen) {
    if (!m_bInitedWrite || lpBuf == nullptr) {
        GT_LOGW(GT_TAG_FPGA, "Didn't inited out yet!");
        return 0;
    }
    return Transfer(true, ulOffset, nullptr, lpBuf, ulLen);
}
