#include "drvTyped.h"

#include <cstring>

#include "gt_logger.h"

namespace {

constexpr uint64_t kMaxRange = 128;

bool RangeFits(const void* lpBuf, uint64_t ulLen) {
    if (ulLen > kMaxRange || lpBuf == nullptr) {
        GT_LOGW(GT_TAG_FPGA, "length should less than 128!");
        return false;
    }
    return true;
}

}  // namespace

template <class T>
int CDrvTyped::ReadAs(uint64_t ulOffset, T& value) {
    uint64_t v = 0;
    int ret = ReadIntN(ulOffset, sizeof(T), v);
    if (ret == 0) value = static_cast<T>(v);
    return ret;
}

int CDrvTyped::ReadInt8(uint64_t ulOffset, uint8_t& ucValue) { return ReadAs(ulOffset, ucValue); }

int CDrvTyped::ReadInt16(uint64_t ulOffset, uint16_t& usValue) { return ReadAs(ulOffset, usValue); }

int CDrvTyped::ReadInt32(uint64_t ulOffset, uint32_t& uiValue) { return ReadAs(ulOffset, uiValue); }

int CDrvTyped::ReadInt64(uint64_t ulOffset, uint64_t& ulValue) { return ReadAs(ulOffset, ulValue); }

int CDrvTyped::WriteInt8(uint64_t ulOffset, uint8_t ucValue) { return WriteIntN(ulOffset, 1, ucValue); }

int CDrvTyped::WriteInt16(uint64_t ulOffset, uint16_t usValue) { return WriteIntN(ulOffset, 2, usValue); }

int CDrvTyped::WriteInt32(uint64_t ulOffset, uint32_t uiValue) { return WriteIntN(ulOffset, 4, uiValue); }

int CDrvTyped::WriteInt64(uint64_t ulOffset, uint64_t ulValue) { return WriteIntN(ulOffset, 8, ulValue); }

uint64_t CDrvTyped::ReadLess128Bytes(uint64_t ulOffset, uint8_t* lpBuf, uint64_t ulLen) {
    if (!RangeFits(lpBuf, ulLen)) return 0;
    uint8_t aTmp[kMaxRange];
    memset(aTmp, 0, sizeof(aTmp));
    uint64_t ulGot = ReadRange(ulOffset, aTmp, ulLen);
    if (ulGot != ulLen) return ulGot;
    for (uint64_t i = 0; i < ulLen; ++i) lpBuf[i] = aTmp[ulLen - 1 - i];
    return ulLen;
}

uint64_t CDrvTyped::WriteLess128Bytes(uint64_t ulOffset, const uint8_t* lpBuf, uint64_t ulLen) {
    if (!RangeFits(lpBuf, ulLen)) return 0;
    uint8_t aTmp[kMaxRange];
    memset(aTmp, 0, sizeof(aTmp));
    for (uint64_t i = 0; i < ulLen; ++i) aTmp[i] = lpBuf[ulLen - 1 - i];
    return WriteRange(ulOffset, aTmp, ulLen);
}
