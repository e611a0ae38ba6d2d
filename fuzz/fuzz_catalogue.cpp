// The register description data file: the input (after a mode byte) is the
// file "bin" of a scratch configuration folder, decoded (mode bit 0 clear)
// or SM4-decrypted with a fixed key (bit 0 set), and the register part
// "sz_tcp_net" is loaded from the XML inside. With mode bit 1 the input is
// the XML itself, encoded or encrypted here first, so that mutations reach
// the catalogue rather than the cipher. Every descriptor loaded must
// describe a field the register access can reach.

#include <string>
#include <vector>

#include "fuzz_util.h"
#include "gt_codec.h"
#include "xmlHelper.h"

namespace {

const uint8_t kKey[16] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef,
                          0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54, 0x32, 0x10};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    qfuzz::Reader in(data, size);
    const uint8_t mode = in.Byte();
    const bool encrypted = mode & 1;
    g_sXmlDirect = qfuzz::ScratchDir();
    std::vector<uint8_t> file(in.Rest(), in.Rest() + in.Left());
    if (mode & 2) {
        if (encrypted) {
            // The loader drops the last 24 bytes of the decrypted text.
            file.resize(file.size() + 24, ' ');
            file.resize((file.size() + 15) / 16 * 16, ' ');
            std::string err;
            QFUZZ_CHECK(gtcodec::Sm4Ecb(kKey, file.data(), file.data(), file.size(), true, err));
        } else {
            std::string text = gtcodec::Encode(file.data(), file.size());
            file.assign(text.begin(), text.end());
        }
    }
    qfuzz::WriteFile(g_sXmlDirect + "/bin", file.data(), file.size());

    CXmlHelper helper;
    if (helper.LoadFromFile("sz_tcp_net", encrypted ? kKey : nullptr) != 0) return 0;
    const CFG_CLASS_e classes[] = {CFGCLASS_CFG, CFGCLASS_CFGFILE, CFGCLASS_TRAFIC, CFGCLASS_MON, CFGCLASS_DEBUG};
    for (CFG_CLASS_e c : classes) {
        CfgDesIter it;
        size_t n = 0;
        for (CfgDes_t* d = helper.ScanStart(c, it); d != nullptr; d = helper.ScanNext(it)) {
            ++n;
            QFUZZ_CHECK(d->tRegDes.bitWidth >= 1 && d->tRegDes.bitWidth <= 64);
            QFUZZ_CHECK(d->tRegDes.bitOffset + d->tRegDes.bitWidth <= 64);
            QFUZZ_CHECK(static_cast<int>(d->eType) >= CFGDES_TYPE_int &&
                        static_cast<int>(d->eType) <= CFGDES_TYPE_TIME_YYYYMMDD);
            QFUZZ_CHECK(c == CFGCLASS_CFGFILE || d->section.empty());
        }
        QFUZZ_CHECK(n == helper.GetList(c).size());
    }
    return 0;
}
