#ifndef XML_HELPER_H
#define XML_HELPER_H

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>

namespace tinyxml2 {
class XMLElement;
}

// Where a register lies.
struct RegDes_t {
    uint64_t byteOffset = 0;  // register offset for the register access interface
    uint8_t bitOffset = 0;    // lowest bit of the field
    uint8_t bitWidth = 0;     // width of the field in bits (1..64)
};

// Value type of a register (XML "type" attribute).
enum CFGDES_TYPE_e {
    CFGDES_TYPE_int = 0,              // "int"
    CFGDES_TYPE_mac = 1,              // "mac"
    CFGDES_TYPE_ipv4 = 2,             // "ipv4"
    CFGDES_TYPE_date = 3,             // "date"
    CFGDES_TYPE_mac_MCAST_DST = 4,    // "macDst"
    CFGDES_TYPE_ipv4_MCAST_DST = 5,   // "ipDst"
    CFGDES_TYPE_MUTI_INT = 6,         // "mutiInt"
    CFGDES_TYPE_TIME = 7,             // "time"
    CFGDES_TYPE_TIME_YYYYMMDD = 8,    // "time_yyyymmdd"
};

// Class of a register (XML "class" attribute).
enum CFG_CLASS_e {
    CFGCLASS_CFG = 0,       // "CFG": configuration read back for display
    CFGCLASS_CFGFILE = 1,   // "CFGFILE": written from quay.ini
    CFGCLASS_TRAFIC = 2,    // "TRAFIC"
    CFGCLASS_MON = 3,       // "MON"
    CFGCLASS_DEBUG = 4,     // "DEBUG"
};

// One register descriptor.
struct CfgDes_t {
    std::string section;      // quay.ini section (CFGFILE only, else empty)
    std::string name;         // register name; quay.ini key for CFGFILE
    RegDes_t tRegDes;
    CFGDES_TYPE_e eType = CFGDES_TYPE_int;
    uint64_t nDefVal = 0;     // CFGFILE default ("mutiInt": count of 32-bit registers)
};

// Descriptors of one class in document order. A std::list, so a descriptor's
// address stays valid until the list is cleared (maps key on it).
typedef std::list<CfgDes_t> CfgDesList;

// Walk position of ScanStart/ScanNext. It remembers its own list, so any
// number of walks (on any threads) may run at the same time.
struct CfgDesIter {
    CfgDesList::iterator it;
    CfgDesList* lpList = nullptr;
};

// The register description catalogue: one register part of cfg.xml, read
// from the data file "bin" (encoded or SM4-encrypted), in five lists.
// Messages use the tag "fpga". Results are 0 or -1.
class CXmlHelper {
public:
    static constexpr const char* XmlLabelCores = "Cores";
    static constexpr const char* XmlLabelCore = "Core";
    static constexpr const char* XmlLabelReg = "regValue";
    static constexpr const char* XmlAttrSection = "section";
    static constexpr const char* XmlAttrName = "name";
    static constexpr const char* XmlAttrClass = "class";
    static constexpr const char* XmlAttrBitOffset = "bitoffset";
    static constexpr const char* XmlAttrRegnum = "regnum";
    static constexpr const char* XmlAttrSize = "size";
    static constexpr const char* XmlAttrType = "type";
    static constexpr const char* XmlAttrDefVal = "defval";
    static constexpr const char* XmlValClassCfg = "CFG";
    static constexpr const char* XmlValClassCfgFile = "CFGFILE";
    static constexpr const char* XmlValClassMon = "MON";
    static constexpr const char* XmlValClassDebug = "DEBUG";
    static constexpr const char* XmlValClassTrafic = "TRAFIC";
    static constexpr const char* XmlValTypeInt = "int";
    static constexpr const char* XmlValTypeMac = "mac";
    static constexpr const char* XmlValTypeIpv4 = "ipv4";
    static constexpr const char* XmlValTypeDate = "date";
    static constexpr const char* XmlValTypeMacMcastDst = "macDst";
    static constexpr const char* XmlValTypeIpv4McastDst = "ipDst";
    static constexpr const char* XmlValTypeMutiInt = "mutiInt";
    static constexpr const char* XmlValTypeTime = "time";
    static constexpr const char* XmlValTypeTimeYYYYMMDD = "time_yyyymmdd";
    static constexpr int DefaultErrVal = -1;

    // Name of the key file looked for in the configuration directory by
    // GetKey: 32 hexadecimal digits (SM4 key), surrounding blanks ignored.
    static constexpr const char* KeyFileName = "quay.key";

    CXmlHelper();
    ~CXmlHelper();
    CXmlHelper(const CXmlHelper&) = delete;
    CXmlHelper& operator=(const CXmlHelper&) = delete;

    // Reads g_sXmlDirect + "/bin", decrypts it (key set) or decodes it (key
    // null), and loads the register part coreName.
    int32_t LoadFromFile(const std::string& coreName, const uint8_t* key);
    // Parses an XML text and loads the register part coreName.
    int32_t Parse(const char* xmlText, const std::string& coreName);
    int32_t Parse(const char* xmlText, size_t len, const std::string& coreName);
    // Loads the "regValue" children of one "Core" element.
    int32_t ScanElement(tinyxml2::XMLElement* lpCore);
    // Stores one "regValue" into list; full for class "CFGFILE".
    int32_t StoreElement(tinyxml2::XMLElement* lpReg, CfgDesList& list, bool full);

    // First descriptor of the class's list (unknown class: the "CFG" list),
    // or null when it is empty.
    CfgDes_t* ScanStart(CFG_CLASS_e eClass, CfgDesIter& iter);
    // Next descriptor of the same list, or null at its end.
    CfgDes_t* ScanNext(CfgDesIter& iter);
    // The list of a class (unknown class: the "CFG" list).
    CfgDesList& GetList(CFG_CLASS_e eClass);
    void ClearList();

    // Whole-file converters, for the tool and the build.
    // encode true: bytes -> text of our alphabet; false: the reverse.
    static int32_t EnDecodeFile(const char* inPath, const char* outPath, bool encode);
    // SM4-ECB over the whole file with the 16-byte key; refused without a
    // key and for lengths that are not a multiple of 16 (no padding).
    static int32_t EnDecryptFile(const uint8_t* key, const char* inPath, const char* outPath, bool encrypt);
    // SM4-ECB block functions; length must be a multiple of 16, key 16 bytes.
    // 0 or -1. in and out may be the same buffer.
    static int32_t Encrypt(const uint8_t* key, const uint8_t* in, uint8_t* out, uint64_t length);
    static int32_t Decrypt(const uint8_t* key, const uint8_t* in, uint8_t* out, uint64_t length);
    // The SM4 key: g_lpKey when set; otherwise, when g_sXmlDirect + "/quay.key"
    // holds a valid key, that key (g_lpKey then points to it); else null.
    static const uint8_t* GetKey();

    CfgDesList m_listCfg;       // "CFG"
    CfgDesList m_listCfgFile;   // "CFGFILE"
    CfgDesList m_listMonitor;   // "MON"
    CfgDesList m_listDebug;     // "DEBUG"
    CfgDesList m_listTrafic;    // "TRAFIC"
};

// Same as CXmlHelper::GetKey.
const uint8_t* GetKey();

// Process-wide objects: the catalogue (created by device bring-up), the
// configuration directory ("./" unless the client service sets another) and
// the SM4 key (16 bytes when set; null: the bin file is in encoded form).
extern CXmlHelper* g_lpXmlHelper;
extern std::string g_sXmlDirect;
extern uint8_t* g_lpKey;

#endif
