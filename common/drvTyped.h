#ifndef DRV_TYPED_H
#define DRV_TYPED_H

#include <cstdint>

#include "drvCore.h"

// What every register driver shares: the typed 8 to 64-bit accesses and the
// highest-address-first order of the ...Less128Bytes operations, written once
// over the four raw hooks a driver supplies. A driver keeps its own messages
// and return codes in the hooks; the base only checks the range length and
// reverses the bytes.
//
//   class CDrvFoo : public CDrvTyped {
//       int ReadIntN(...) override;          // one register of nBytes
//       uint64_t ReadRange(...) override;    // the bytes of a range, in address order
//       ...
//   };
//
// Thread safety is the driver's: the base holds no state.
class CDrvTyped : public IDrv {
public:
    // The value is left untouched when the read fails.
    int ReadInt8(uint64_t ulOffset, uint8_t& ucValue) final;
    int ReadInt16(uint64_t ulOffset, uint16_t& usValue) final;
    int ReadInt32(uint64_t ulOffset, uint32_t& uiValue) final;
    int ReadInt64(uint64_t ulOffset, uint64_t& ulValue) final;
    int WriteInt8(uint64_t ulOffset, uint8_t ucValue) final;
    int WriteInt16(uint64_t ulOffset, uint16_t usValue) final;
    int WriteInt32(uint64_t ulOffset, uint32_t uiValue) final;
    int WriteInt64(uint64_t ulOffset, uint64_t ulValue) final;

    // More than 128 bytes or no buffer: 0 after "length should less than
    // 128!". Otherwise what ReadRange returns; lpBuf is filled, highest
    // address first, only when the whole range was read.
    uint64_t ReadLess128Bytes(uint64_t ulOffset, uint8_t* lpBuf, uint64_t ulLen) final;
    // The same checks; the bytes go to WriteRange highest address first.
    uint64_t WriteLess128Bytes(uint64_t ulOffset, const uint8_t* lpBuf, uint64_t ulLen) final;

protected:
    CDrvTyped() = default;

    // One register of nBytes (1, 2, 4 or 8) as a little-endian value; 0 on
    // success, the driver's code otherwise (ulValue then not to be used).
    virtual int ReadIntN(uint64_t ulOffset, unsigned nBytes, uint64_t& ulValue) = 0;
    virtual int WriteIntN(uint64_t ulOffset, unsigned nBytes, uint64_t ulValue) = 0;
    // The ulLen (at most 128) bytes of a range in address order: ulLen when
    // all of them moved, else what ReadLess128Bytes / WriteLess128Bytes hand
    // back to the caller (after the driver's own message).
    virtual uint64_t ReadRange(uint64_t ulOffset, uint8_t* lpBuf, uint64_t ulLen) = 0;
    virtual uint64_t WriteRange(uint64_t ulOffset, const uint8_t* lpBuf, uint64_t ulLen) = 0;

private:
    // A register of sizeof(T) bytes into value, left alone on failure.
    template <class T>
    int ReadAs(uint64_t ulOffset, T& value);
};

#endif
