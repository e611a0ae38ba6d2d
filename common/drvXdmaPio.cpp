#include "drvXdmaPio.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "gt_logger.h"
#include "gt_result.h"

namespace {
const char* const kPciDevicesDir = "/sys/bus/pci/devices/";
}

CDrvXdmaPio::CDrvXdmaPio() : mFd(-1), mMgmtBaseMap(nullptr), mMgmtRegBaseMap(nullptr) {
    memset(&mSb, 0, sizeof(mSb));
}

CDrvXdmaPio::~CDrvXdmaPio() { Release(); }

void CDrvXdmaPio::Release() {
    if (mMgmtBaseMap != nullptr) munmap(mMgmtBaseMap, (size_t)mSb.st_size);
    mMgmtBaseMap = nullptr;
    mMgmtRegBaseMap = nullptr;
    if (mFd >= 0) close(mFd);
    mFd = -1;
    m_bInitedRead = false;
    m_bInitedWrite = false;
}

std::string CDrvXdmaPio::GetBdf(const char* lpDevPath) {
    if (lpDevPath == nullptr || strstr(lpDevPath, "xdma") == nullptr) {
        GT_LOGE(GT_TAG_FPGA, "DevWritePath Null parameter ");
        return std::string();
    }
    // Device name: from the first 'x' after the first character, at most 11 characters.
    const char* x = strchr(lpDevPath + 1, 'x');
    if (x == nullptr) {
        GT_LOGE(GT_TAG_FPGA, "DevWritePath Null parameter ");
        return std::string();
    }
    std::string devName(x, strnlen(x, 11));

    FILE* fp = popen("lspci | grep Xi", "r");
    if (fp == nullptr) return std::string();
    char line[128];
    std::string found;
    while (fgets(line, sizeof(line), fp) != nullptr) {
        size_t n = strcspn(line, " \t\r\n");
        if (n > 63) n = 63;
        if (n == 0) continue;
        std::string candidate = std::string(kPciDevicesDir) + "0000:" + std::string(line, n);
        std::string entry = candidate + "/xdma/" + devName;
        struct stat st;
        if (lstat(entry.c_str(), &st) == 0) {
            found = candidate;
            break;
        }
    }
    pclose(fp);
    return found;
}

int CDrvXdmaPio::Init(void* lpParam) {
    const char* lpDevPath = static_cast<const char*>(lpParam);
    std::string dir = GetBdf(lpDevPath);
    if (dir.empty()) {
        GT_LOGE(GT_TAG_FPGA, "No pcie node match %s", lpDevPath ? lpDevPath : "(null)");
        return -1;
    }
    // A second Init maps the card afresh; the old mapping is not leaked.
    Release();

    GT_LOGI(GT_TAG_FPGA, "xdma reg init devpath %s.", dir.c_str());
    std::string resource = dir + "/resource0";
    mFd = open(resource.c_str(), O_RDWR);
    if (mFd < 0) {
        GT_LOGE(GT_TAG_FPGA, "Open %s failed, errmsg:%s.", resource.c_str(), strerror(errno));
        return -1;
    }
    if (fstat(mFd, &mSb) != 0) {
        GT_LOGE(GT_TAG_FPGA, "Stat %s failed, errmsg:%s.", resource.c_str(), strerror(errno));
        Release();
        return -1;
    }
    void* map = mmap(nullptr, (size_t)mSb.st_size, PROT_READ | PROT_WRITE, MAP_SHARED, mFd, 0);
    if (map == MAP_FAILED) {
        GT_LOGW(GT_TAG_FPGA, "Mmap failed, msg:%s", strerror(errno));
        close(mFd);
        mFd = -1;
        return -1;
    }
    mMgmtBaseMap = static_cast<char*>(map);
    mMgmtRegBaseMap = mMgmtBaseMap + REG_WINDOW_OFFSET;
    m_bInitedRead = true;
    m_bInitedWrite = true;
    return 0;
}

bool CDrvXdmaPio::InWindow(uint64_t ulOffset, uint64_t ulLen) const {
    uint64_t size = (uint64_t)mSb.st_size;
    if (size <= REG_WINDOW_OFFSET) return false;
    uint64_t window = size - REG_WINDOW_OFFSET;
    return ulOffset <= window && ulLen <= window - ulOffset;
}

bool CDrvXdmaPio::Usable(bool bInited, const void* lpBuf, uint64_t ulOffset, uint64_t ulLen) const {
    if (!bInited || lpBuf == nullptr) {
        GT_LOGW(GT_TAG_FPGA, "Didn't inited in yet!");
        return false;
    }
    if (!InWindow(ulOffset, ulLen)) {
        GT_LOGE(GT_TAG_FPGA, "Register offset out of range, offset:0x%lx, length:%lu, window size:0x%lx.",
                (unsigned long)ulOffset, (unsigned long)ulLen,
                (unsigned long)((uint64_t)mSb.st_size > REG_WINDOW_OFFSET ? mSb.st_size - REG_WINDOW_OFFSET : 0));
        return false;
    }
    return true;
}

uint64_t CDrvXdmaPio::ReadRange(uint64_t ulOffset, uint8_t* lpBuf, uint64_t ulLen) {
    if (ReadBytes(ulOffset, lpBuf, ulLen) != 0) {
        GT_LOGW(GT_TAG_FPGA, "Read failed, system msg:%s. Note:If is pio mode,add pio_mode=1 in quay.ini.",
                strerror(errno));
        return 0;
    }
    return ulLen;
}

uint64_t CDrvXdmaPio::ReadBytes(uint64_t ulOffset, uint8_t* lpBuf, uint64_t ulLen) {
    if (!Usable(m_bInitedRead, lpBuf, ulOffset, ulLen)) return (uint64_t)-1;
    if (ulLen > 0) memcpy(lpBuf, mMgmtRegBaseMap + ulOffset, ulLen);
    return 0;
}

uint64_t CDrvXdmaPio::WriteRange(uint64_t ulOffset, const uint8_t* lpBuf, uint64_t ulLen) {
    return WriteBytes(ulOffset, lpBuf, ulLen) == 0 ? ulLen : 0;
}

uint64_t CDrvXdmaPio::WriteBytes(uint64_t ulOffset, const uint8_t* lpBuf, uint64_t ulLen) {
    if (!Usable(m_bInitedWrite, lpBuf, ulOffset, ulLen)) return (uint64_t)-1;
    if (ulLen > 0) memcpy(mMgmtRegBaseMap + ulOffset, lpBuf, ulLen);
    return 0;
}
