#include "xmlHelper.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include <tinyxml2.h>

#include "common.h"
#include "gt_codec.h"
#include "gt_logger.h"

CXmlHelper* g_lpXmlHelper = nullptr;
std::string g_sXmlDirect = "./";
uint8_t* g_lpKey = nullptr;

using tinyxml2::XMLDocument;
using tinyxml2::XMLElement;

namespace {

// Key loaded from the key file; g_lpKey points here once loaded.
uint8_t s_fileKey[16];

// An open input file read whole into a zero-filled buffer of size + 100.
// Returns 0, or -1 after logging; openMsg is the message for a file that
// cannot be opened, readMsg the one for a short read.
struct InputFile {
    std::vector<uint8_t> buf;
    size_t size = 0;
};

enum ReadResult { READ_OK, READ_OPEN_FAIL, READ_SIZE_ZERO, READ_NO_MEMORY, READ_SHORT };

ReadResult ReadWhole(const char* path, InputFile& in, const char* readMsg) {
    FILE* fp = path && Uti_NotRegularFile(path) == nullptr ? fopen(path, "rb") : nullptr;
    if (!fp) return READ_OPEN_FAIL;
    struct stat st;
    if (fstat(fileno(fp), &st) != 0 || !S_ISREG(st.st_mode)) {
        fclose(fp);
        return READ_OPEN_FAIL;
    }
    if (st.st_size <= 0) {
        GT_LOGE(GT_TAG_FPGA, "cfg file size error!");
        fclose(fp);
        return READ_SIZE_ZERO;
    }
    size_t size = static_cast<size_t>(st.st_size);
    try {
        in.buf.assign(size + 100, 0);
    } catch (const std::bad_alloc&) {
        GT_LOGE(GT_TAG_FPGA, "memory alloc En failed!");
        fclose(fp);
        return READ_NO_MEMORY;
    }
    size_t got = fread(in.buf.data(), 1, size, fp);
    fclose(fp);
    if (got != size) {
        GT_LOGE(GT_TAG_FPGA, readMsg, static_cast<int>(size), static_cast<int>(got));
        return READ_SHORT;
    }
    in.size = size;
    return READ_OK;
}

bool AllocOut(std::vector<uint8_t>& out, size_t size) {
    try {
        out.assign(size, 0);
    } catch (const std::bad_alloc&) {
        GT_LOGE(GT_TAG_FPGA, "memory alloc De failed!");
        return false;
    }
    return true;
}

int32_t WriteWhole(const char* path, const uint8_t* data, size_t len) {
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (fd < 0) {
        GT_LOGE(GT_TAG_FPGA, "Open %s failed", path);
        return -1;
    }
    size_t done = 0;
    while (done < len) {
        ssize_t n = write(fd, data + done, len - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            GT_LOGE(GT_TAG_FPGA, "write %s failed: %s", path, n < 0 ? strerror(errno) : "no space");
            close(fd);
            return -1;
        }
        done += static_cast<size_t>(n);
    }
    if (close(fd) != 0) {
        GT_LOGE(GT_TAG_FPGA, "write %s failed: %s", path, strerror(errno));
        return -1;
    }
    return 0;
}

bool TypeFromText(const char* text, CFGDES_TYPE_e& type) {
    static const struct {
        const char* text;
        CFGDES_TYPE_e type;
    } kTypes[] = {
        {CXmlHelper::XmlValTypeInt, CFGDES_TYPE_int},
        {CXmlHelper::XmlValTypeMac, CFGDES_TYPE_mac},
        {CXmlHelper::XmlValTypeIpv4, CFGDES_TYPE_ipv4},
        {CXmlHelper::XmlValTypeDate, CFGDES_TYPE_date},
        {CXmlHelper::XmlValTypeMacMcastDst, CFGDES_TYPE_mac_MCAST_DST},
        {CXmlHelper::XmlValTypeIpv4McastDst, CFGDES_TYPE_ipv4_MCAST_DST},
        {CXmlHelper::XmlValTypeMutiInt, CFGDES_TYPE_MUTI_INT},
        {CXmlHelper::XmlValTypeTime, CFGDES_TYPE_TIME},
        {CXmlHelper::XmlValTypeTimeYYYYMMDD, CFGDES_TYPE_TIME_YYYYMMDD},
    };
    for (const auto& t : kTypes) {
        if (strcmp(text, t.text) == 0) {
            type = t.type;
            return true;
        }
    }
    return false;
}

void LogMissing(const char* attr) { GT_LOGE(GT_TAG_FPGA, "Get reg info error, [%s] attribute is missing", attr); }

void LogRange(const char* attr, const char* value) {
    GT_LOGE(GT_TAG_FPGA, "Get reg info error, [%s] value out of range: %s", attr, value);
}

std::string KeyFilePath() { return g_sXmlDirect + "/" + CXmlHelper::KeyFileName; }

}  // namespace

CXmlHelper::CXmlHelper() {}

CXmlHelper::~CXmlHelper() {}

void CXmlHelper::ClearList() {
    m_listCfg.clear();
    m_listCfgFile.clear();
    m_listMonitor.clear();
    m_listDebug.clear();
    m_listTrafic.clear();
}

CfgDesList& CXmlHelper::GetList(CFG_CLASS_e eClass) {
    switch (eClass) {
        case CFGCLASS_CFGFILE: return m_listCfgFile;
        case CFGCLASS_TRAFIC: return m_listTrafic;
        case CFGCLASS_MON: return m_listMonitor;
        case CFGCLASS_DEBUG: return m_listDebug;
        case CFGCLASS_CFG:
        default: return m_listCfg;
    }
}

CfgDes_t* CXmlHelper::ScanStart(CFG_CLASS_e eClass, CfgDesIter& iter) {
    CfgDesList& list = GetList(eClass);
    iter.lpList = &list;
    iter.it = list.begin();
    return iter.it == list.end() ? nullptr : &*iter.it;
}

CfgDes_t* CXmlHelper::ScanNext(CfgDesIter& iter) {
    if (!iter.lpList || iter.it == iter.lpList->end()) return nullptr;
    ++iter.it;
    return iter.it == iter.lpList->end() ? nullptr : &*iter.it;
}

int32_t CXmlHelper::StoreElement(XMLElement* lpReg, CfgDesList& list, bool full) {
    if (!lpReg) return -1;
    CfgDes_t des;
    const char* name = lpReg->Attribute(XmlAttrName);
    if (!name) {
        LogMissing(XmlAttrName);
        return -1;
    }
    des.name = name;

    int64_t regnum = DefaultErrVal;
    if (lpReg->QueryInt64Attribute(XmlAttrRegnum, &regnum) != tinyxml2::XML_SUCCESS || regnum == DefaultErrVal) {
        LogMissing(XmlAttrRegnum);
        return -1;
    }
    if (regnum < 0) {
        LogRange(XmlAttrRegnum, lpReg->Attribute(XmlAttrRegnum));
        return -1;
    }
    int bitoffset = DefaultErrVal;
    if (lpReg->QueryIntAttribute(XmlAttrBitOffset, &bitoffset) != tinyxml2::XML_SUCCESS ||
        bitoffset == DefaultErrVal) {
        LogMissing(XmlAttrBitOffset);
        return -1;
    }
    if (bitoffset < 0 || bitoffset > 63) {
        LogRange(XmlAttrBitOffset, lpReg->Attribute(XmlAttrBitOffset));
        return -1;
    }
    int size = DefaultErrVal;
    if (lpReg->QueryIntAttribute(XmlAttrSize, &size) != tinyxml2::XML_SUCCESS || size == DefaultErrVal) {
        LogMissing(XmlAttrSize);
        return -1;
    }
    // A field lies inside one 64-bit register.
    if (size < 1 || size > 64 || bitoffset + size > 64) {
        LogRange(XmlAttrSize, lpReg->Attribute(XmlAttrSize));
        return -1;
    }
    des.tRegDes.byteOffset = static_cast<uint64_t>(regnum);
    des.tRegDes.bitOffset = static_cast<uint8_t>(bitoffset);
    des.tRegDes.bitWidth = static_cast<uint8_t>(size);

    const char* type = lpReg->Attribute(XmlAttrType);
    if (!type) {
        LogMissing(XmlAttrType);
        return -1;
    }
    if (!TypeFromText(type, des.eType)) {
        GT_LOGE(GT_TAG_FPGA, "Get reg info error, [%s] error type", type);
        return -1;
    }

    if (full) {
        uint64_t defval = 0;
        if (lpReg->QueryUnsigned64Attribute(XmlAttrDefVal, &defval) != tinyxml2::XML_SUCCESS) {
            int64_t sdef = 0;
            if (lpReg->QueryInt64Attribute(XmlAttrDefVal, &sdef) != tinyxml2::XML_SUCCESS) {
                LogMissing(XmlAttrDefVal);
                return -1;
            }
            defval = static_cast<uint64_t>(sdef);
        }
        const char* section = lpReg->Attribute(XmlAttrSection);
        if (!section) {
            LogMissing(XmlAttrSection);
            return -1;
        }
        des.nDefVal = defval;
        des.section = section;
    }
    list.push_back(std::move(des));
    return 0;
}

int32_t CXmlHelper::ScanElement(XMLElement* lpCore) {
    if (!lpCore) return -1;
    for (XMLElement* reg = lpCore->FirstChildElement(XmlLabelReg); reg; reg = reg->NextSiblingElement(XmlLabelReg)) {
        const char* cls = reg->Attribute(XmlAttrClass);
        if (!cls) {
            GT_LOGE(GT_TAG_FPGA, "Get reg info error, class attribute is missing");
            return -1;
        }
        CfgDesList* list = nullptr;
        bool full = false;
        if (strcmp(cls, XmlValClassCfg) == 0) {
            list = &m_listCfg;
        } else if (strcmp(cls, XmlValClassCfgFile) == 0) {
            list = &m_listCfgFile;
            full = true;
        } else if (strcmp(cls, XmlValClassMon) == 0) {
            list = &m_listMonitor;
        } else if (strcmp(cls, XmlValClassDebug) == 0) {
            list = &m_listDebug;
        } else if (strcmp(cls, XmlValClassTrafic) == 0) {
            list = &m_listTrafic;
        } else {
            GT_LOGE(GT_TAG_FPGA, "Get error class: %s", cls);
            continue;
        }
        if (StoreElement(reg, *list, full) != 0) {
            GT_LOGE(GT_TAG_FPGA, "Get reg info error, class [%s]", cls);
            return -1;
        }
    }
    return 0;
}

int32_t CXmlHelper::Parse(const char* xmlText, const std::string& coreName) {
    if (!xmlText) {
        GT_LOGE(GT_TAG_FPGA, "XML error: %s, coreName:%s,\n", "no text", coreName.c_str());
        return -1;
    }
    return Parse(xmlText, strlen(xmlText), coreName);
}

int32_t CXmlHelper::Parse(const char* xmlText, size_t len, const std::string& coreName) {
    if (!xmlText) {
        GT_LOGE(GT_TAG_FPGA, "XML error: %s, coreName:%s,\n", "no text", coreName.c_str());
        return -1;
    }
    XMLDocument doc(true, tinyxml2::PRESERVE_WHITESPACE);
    if (doc.Parse(xmlText, len) != tinyxml2::XML_SUCCESS) {
        GT_LOGE(GT_TAG_FPGA, "XML error: %s, coreName:%s,\n", doc.ErrorStr(), coreName.c_str());
        return -1;
    }
    ClearList();
    XMLElement* cores = doc.FirstChildElement(XmlLabelCores);
    if (!cores) {
        GT_LOGE(GT_TAG_FPGA, "XML error: %s, coreName:%s,\n", "no \"Cores\" element", coreName.c_str());
        return -1;
    }
    XMLElement* core = cores->FirstChildElement(XmlLabelCore);
    for (; core; core = core->NextSiblingElement(XmlLabelCore)) {
        const char* name = core->Attribute(XmlAttrName);
        if (name && coreName == name) break;
    }
    if (!core) return -1;
    if (ScanElement(core) != 0) {
        GT_LOGE(GT_TAG_FPGA, "Load register desc fail, please check your register xml!");
        return -1;
    }
    return 0;
}

int32_t CXmlHelper::LoadFromFile(const std::string& coreName, const uint8_t* key) {
    std::string path = g_sXmlDirect + "/bin";
    InputFile in;
    ReadResult rr = ReadWhole(path.c_str(), in, "cfg file read failed! required %d but get %d");
    if (rr == READ_OPEN_FAIL) {
        GT_LOGE(GT_TAG_FPGA, "bin file missing. Please cotact the technical support");
        return -1;
    }
    int32_t ret = -1;
    if (rr == READ_OK) {
        std::vector<uint8_t> out;
        if (AllocOut(out, in.size + 100)) {
            const char* text = nullptr;
            size_t textLen = 0;
            std::string err;
            if (key) {
                if (in.size % 16 != 0 || in.size <= 24) {
                    GT_LOGE(GT_TAG_FPGA,
                            "encrypted bin file %s is %zu bytes: needs whole 16-byte blocks and more than 24 bytes",
                            path.c_str(), in.size);
                } else if (!gtcodec::Sm4Ecb(key, in.buf.data(), out.data(), in.size, false, err)) {
                    GT_LOGE(GT_TAG_FPGA, "decrypt %s failed: %s", path.c_str(), err.c_str());
                } else {
                    text = reinterpret_cast<const char*>(out.data());
                    textLen = in.size - 24;
                }
            } else {
                std::vector<uint8_t> dec;
                if (!gtcodec::Decode(reinterpret_cast<const char*>(in.buf.data()), in.size, dec, err)) {
                    GT_LOGE(GT_TAG_FPGA, "decode %s failed: %s", path.c_str(), err.c_str());
                } else {
                    memcpy(out.data(), dec.data(), dec.size());  // dec.size() <= in.size
                    text = reinterpret_cast<const char*>(out.data());
                    textLen = dec.size();
                }
            }
            if (text) ret = Parse(text, textLen, coreName);
        }
    }
    if (ret != 0) {
        GT_LOGI(GT_TAG_FPGA, "Unable to Read register part:\"%s\" from cfg.xml !", coreName.c_str());
        return -1;
    }
    GT_LOGI(GT_TAG_FPGA, "Successly Read register part:\"%s\" from cfg.xml !", coreName.c_str());
    return 0;
}

int32_t CXmlHelper::EnDecodeFile(const char* inPath, const char* outPath, bool encode) {
    InputFile in;
    ReadResult rr = ReadWhole(inPath, in,
                              encode ? "cfg file read encode failed! required %d but get %d"
                                     : "cfg file read decode failed! required %d but get %d");
    if (rr == READ_OPEN_FAIL) {
        GT_LOGE(GT_TAG_FPGA, "open %s failed", inPath ? inPath : "(null)");
        return -1;
    }
    if (rr != READ_OK) return -1;
    if (!outPath) {
        GT_LOGE(GT_TAG_FPGA, "Open %s failed", "(null)");
        return -1;
    }
    int32_t ret;
    if (encode) {
        std::string text;
        try {
            text = gtcodec::Encode(in.buf.data(), in.size);
        } catch (const std::bad_alloc&) {
            GT_LOGE(GT_TAG_FPGA, "memory alloc De failed!");
            return -1;
        }
        ret = WriteWhole(outPath, reinterpret_cast<const uint8_t*>(text.data()), text.size());
    } else {
        std::vector<uint8_t> dec;
        std::string err;
        if (!gtcodec::Decode(reinterpret_cast<const char*>(in.buf.data()), in.size, dec, err)) {
            GT_LOGE(GT_TAG_FPGA, "decode %s failed: %s", inPath, err.c_str());
            return -1;
        }
        ret = WriteWhole(outPath, dec.data(), dec.size());
    }
    if (ret != 0) return -1;
    GT_LOGI(GT_TAG_FPGA, "EnDecode successful. en(1) or de(0):%d", encode ? 1 : 0);
    return 0;
}

int32_t CXmlHelper::EnDecryptFile(const uint8_t* key, const char* inPath, const char* outPath, bool encrypt) {
    if (!key) {
        GT_LOGE(GT_TAG_FPGA, "no SM4 key set: put 32 hexadecimal digits in %s; nothing %s",
                KeyFilePath().c_str(), encrypt ? "encrypted" : "decrypted");
        return -1;
    }
    InputFile in;
    ReadResult rr = ReadWhole(inPath, in, "cfg file read failed! required %d but get %d");
    if (rr == READ_OPEN_FAIL) {
        GT_LOGE(GT_TAG_FPGA, "open %s failed", inPath ? inPath : "(null)");
        return -1;
    }
    if (rr != READ_OK) return -1;
    if (!outPath) {
        GT_LOGE(GT_TAG_FPGA, "Open %s failed", "(null)");
        return -1;
    }
    if (in.size % 16 != 0) {
        GT_LOGE(GT_TAG_FPGA,
                "%s is %zu bytes, not a multiple of 16: SM4-ECB works on whole 16-byte blocks and adds no padding",
                inPath, in.size);
        return -1;
    }
    std::vector<uint8_t> out;
    if (!AllocOut(out, in.size + 100)) return -1;
    std::string err;
    if (!gtcodec::Sm4Ecb(key, in.buf.data(), out.data(), in.size, encrypt, err)) {
        GT_LOGE(GT_TAG_FPGA, "SM4 %s of %s failed: %s", encrypt ? "encryption" : "decryption", inPath, err.c_str());
        return -1;
    }
    if (WriteWhole(outPath, out.data(), in.size) != 0) return -1;
    GT_LOGI(GT_TAG_FPGA, "EnDecrypt successful. en(1) or de(0):%d", encrypt ? 1 : 0);
    return 0;
}

static int32_t Sm4Buffer(const uint8_t* key, const uint8_t* in, uint8_t* out, uint64_t length, bool encrypt) {
    std::string err;
    if (!gtcodec::Sm4Ecb(key, in, out, length, encrypt, err)) {
        GT_LOGE(GT_TAG_FPGA, "SM4 %s refused: %s", encrypt ? "encryption" : "decryption", err.c_str());
        return -1;
    }
    return 0;
}

int32_t CXmlHelper::Encrypt(const uint8_t* key, const uint8_t* in, uint8_t* out, uint64_t length) {
    return Sm4Buffer(key, in, out, length, true);
}

int32_t CXmlHelper::Decrypt(const uint8_t* key, const uint8_t* in, uint8_t* out, uint64_t length) {
    return Sm4Buffer(key, in, out, length, false);
}

const uint8_t* CXmlHelper::GetKey() {
    if (g_lpKey) return g_lpKey;
    std::string path = KeyFilePath();
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return nullptr;  // no key file: encoded form
    std::string text;
    FILE* fp = S_ISREG(st.st_mode) && st.st_size <= 4096 ? fopen(path.c_str(), "rb") : nullptr;
    if (fp) {
        char buf[4097];
        size_t n = fread(buf, 1, sizeof(buf) - 1, fp);
        fclose(fp);
        text.assign(buf, n);
    }
    if (!fp || !gtcodec::ParseHexKey(text, s_fileKey)) {
        GT_LOGE(GT_TAG_FPGA, "key file %s unusable: it must hold 32 hexadecimal digits", path.c_str());
        return nullptr;
    }
    g_lpKey = s_fileKey;
    GT_LOGI(GT_TAG_FPGA, "SM4 key taken from %s", path.c_str());
    return g_lpKey;
}

const uint8_t* GetKey() { return CXmlHelper::GetKey(); }
