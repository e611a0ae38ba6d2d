#ifndef GT_CONFIG_H
#define GT_CONFIG_H

#include <cstdint>
#include <string>

#include "drvCore.h"
#include "gt_result.h"

// iniparser's dictionary (typedef'd to `dictionary` in <dictionary.h>).
struct _dictionary_;

// Device settings. One process-wide record g_tDevInfo, plus the copy held
// by the FPGA service. Defaults are the values before quay.ini is read.
struct GT_CONFIG_DEVICE_INFO_t {
    int32_t nPageSize = 0x8000;        // not read from quay.ini
    std::string strDevicePathWrite;    // device:dev_write
    std::string strDevicePathRead;     // device:dev_read
    int16_t nCoreId = 0;               // device:core_id
    int16_t nBusId = 0;                // device:bus_id
    uint32_t uiCpyCore = 4;            // client service (device.ini)
    int32_t eDataType = 0;             // an MkrxDataType_e value; 0 = raw card data
    uint32_t uiPoolSize = 256;         // client service (device.ini)
    std::string strDevDma0Name;        // device:dma0name
    std::string strDevDma1Name;        // device:dma1name
    GT_DRV_TYPE_e eDrvType = GT_DRV_TYPE_ENYX;  // derived by GetCfgInfo
    std::string subsstockid;           // Others:stocks
    uint32_t ram_num = 0;              // Others:stock_ram_num
    uint32_t ram_width = 0;            // Others:stock_ram_width
};

// Metrics endpoint settings, filled by CGtConfig::GetMonitorConfig.
// The fixed character fields always hold a terminated (possibly cut) text.
struct GT_CONFIG_MONITOR_t {
    int32_t nPort = 0;
    char strIp[32] = {};
    char strVer[20] = {};
    int recordTimeLen = 30;            // seconds; 0 = no periodic reading
    std::string strUrl;
    char strGaugeStuName[64] = {};
    std::string strGaugeStuDes;
    char strGaugeCfgName[64] = {};
    std::string strGaugeCfgDes;
};

class IConfig {
public:
    virtual ~IConfig() {}
    virtual int32_t Init(const char* configPath) = 0;
};

// The configuration service over quay.ini (iniparser). Results are 0 or the
// shared GT_ERR_* codes of gt_result.h. Messages use the tag "fpga".
class CGtConfig : public IConfig {
public:
    CGtConfig();
    ~CGtConfig() override;
    CGtConfig(const CGtConfig&) = delete;
    CGtConfig& operator=(const CGtConfig&) = delete;

    // Loads configPath once. Same path again: 0. Another path: 600005,
    // the first file stays. Load failure: 600004.
    int32_t Init(const char* configPath) override;
    // Drops the loaded dictionary (if any) and loads configPath: 0 or 600004.
    int32_t ReloadFile(const char* configPath);

    // Fills the device record and chooses the driver: 0, 600002, 600007.
    int32_t GetCfgInfo(GT_CONFIG_DEVICE_INFO_t& tDevInfo);
    // Fills the metrics endpoint record: 0, 600002, 600007.
    int32_t GetMonitorConfig(GT_CONFIG_MONITOR_t& tMonitor);

    // Direct look-ups of "section:key" with a default; no dictionary loaded
    // gives the default. Integers use base detection (10, 0x.., 0..); a
    // present value that is not a number reads as 0.
    std::string GetConfigString(const char* item, const char* defStr);
    int32_t GetConfigInt(const char* item, int32_t defInt);
    // 64-bit look-up; values up to 0xFFFFFFFFFFFFFFFF are returned as their
    // bit pattern (negative values as written).
    int64_t GetConfigLongInt(const char* item, int64_t defInt);
    // True when "section:key" is present in the loaded file.
    bool HasConfigItem(const char* item);

    // "01:02:03:04:05:06" (any single non-hex separator) into 6 bytes.
    // 0; 600005 for a text of the wrong length; 600007 for anything else
    // malformed (fewer or more than six numbers, a number above 0xff).
    static int32_t HexStr2Mac(const char* src, uint8_t* dst);
    // "192.168.1.10" (any single non-digit separator) into 4 bytes.
    // 0; 600005 wrong length; 600007 fewer or more than four numbers, or a
    // number above 255.
    static int32_t DesStr2IpV4(const char* src, uint8_t* dst);

    bool IsInited() const { return m_bInited; }
    const std::string& GetConfigPath() const { return m_configPath; }

private:
    int32_t LoadFile(const char* configPath);
    void FreeHandle();
    // Reads an integer key; warns when a present value is not a number.
    int64_t GetCheckedInt(const char* item, int64_t defVal);

    bool m_bInited;
    std::string m_configPath;
    _dictionary_* m_handle;
};

// Process-wide objects: the configuration service (created by device
// bring-up or the client service) and the device record.
extern CGtConfig* g_lpConfig;
extern GT_CONFIG_DEVICE_INFO_t g_tDevInfo;

#endif
