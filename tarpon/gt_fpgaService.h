#ifndef GT_FPGA_SERVICE_H
#define GT_FPGA_SERVICE_H

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "drvCore.h"
#include "gt_config.h"
#include "gt_result.h"
#include "thread_mutex.h"
#include "xmlHelper.h"

// Last value and text of a register, kept for the monitor server.
struct PARAM_VALUE_t {
    uint64_t value = 0;
    std::string str;  // text form of an address or date; empty for plain numbers
};

typedef std::map<const CfgDes_t*, PARAM_VALUE_t> MONITOR_MAP;

enum OUTPUT_TYPE_e {
    OUTPUT_LOGFILE = 0,       // each line to the log
    OUTPUT_BUFFER = 1,        // detailed lines into a buffer
    OUTPUT_BUFFER_CLEAN = 2,  // plain lines into a buffer
};

// Readout modes: RECORD logs a block only when it changed; anything else prints.
#define READ_MODE_PRINT 0
#define READ_MODE_RECORD 1

#define FPGA_READOUT_BLOCK_SIZE 102400
#define FPGA_RESET_LOG_FILE "./.reset_log"
#define FPGA_MUTI_INT_MAX_TEXT 1024
#define FPGA_MUTI_INT_MAX_REGS 1024

// Set by the client service on an Enyx card: bit fields are written by a
// 32-bit read-modify-write instead of a 64-bit one.
extern bool bIsUseRegRWMode;

// True in quay_tool (set from the program name at start, or by the program):
// a configured non-zero "time"/"time_yyyymmdd" value replaces today's date.
extern bool g_bIsQuayTool;

// Seconds the reset bit is held by ResetFpga (1).
extern unsigned int g_uiResetHoldSeconds;

// The FPGA service: register configuration, reset and readouts over the
// driver, configuration and register catalogue it is given (none owned).
// Messages use the tag "Srv". Results: 0 or the GT_ERR_* codes.
class CGtFpgaService {
public:
    CGtFpgaService();
    virtual ~CGtFpgaService();
    CGtFpgaService(const CGtFpgaService&) = delete;
    CGtFpgaService& operator=(const CGtFpgaService&) = delete;

    // Attaches driver and configuration and copies the device record.
    // 0, 600005 (null argument), 600004 (device record not readable).
    int Init(IDrv* lpDrv, CGtConfig* lpConfig);
    // Attaches the register catalogue. A different catalogue empties the
    // monitor maps (their keys belong to the old one).
    void SetParamInfo(CXmlHelper* lpXml);
    CXmlHelper* GetParamInfo();
    GT_DRV_TYPE_e GetDeviceDrvType();
    bool IsInited() const { return m_bInited; }
    IDrv* GetDrv() const { return m_lpDrv; }

    // ---- configuration and reset ----
    // Reloads g_sXmlDirect + "/quay.ini" and writes every "CFGFILE" register.
    // 0, or 600002 when not initialised or without catalogue.
    int ConfigFpga();
    // Zeroes the TCP source and destination address registers. 0 or 600002.
    int ClearFpgaConfig();
    // Clear, pulse the reset bit, configure, record (mark), program the
    // subscription tables. 0 or -1.
    int ResetFpga(const char* who, bool mark);
    // Clear and hold the reset bit set. 0 or -1.
    int HaultResetFpga();
    // Release the reset bit and configure. 0 or -1.
    int ResumeHaultResetFpga();
    // Writes "./.reset_log": date, time and who. Null who: nothing.
    void MarkReset(const char* who);
    // Programs the subscription tables when the list is not empty.
    void PrivateSetting();
    void OutPut(OUTPUT_TYPE_e eType, char* lpBuf, uint32_t uiSize, const char* lpText);

    // ---- register accessors: 0, 600002 (not initialised), 600005 (read
    // failed), 600006 (short transfer or failed write) ----
    int GetReg8WithAddr(uint64_t ulAddr, uint8_t& ucValue);
    int GetReg16WithAddr(uint64_t ulAddr, uint16_t& usValue);
    int GetReg32WithAddr(uint64_t ulAddr, uint32_t& uiValue);
    // The 64-bit register shifted right by bitOffset, low bitWidth bits kept.
    int GetRegBitsWithAddr(uint64_t ulAddr, uint64_t& ulValue, uint32_t uiBitOffset, uint32_t uiBitWidth);
    // Bytes in the order ReadLess128Bytes gives them (highest address first).
    int GetRegWithBytes(uint64_t ulAddr, uint64_t ulLen, uint8_t* lpBuf);
    int SetReg16WithAddr(uint64_t ulAddr, uint16_t usValue);
    int SetRegBytes(uint64_t ulAddr, const uint8_t* lpBuf, uint64_t ulLen);

    // ---- readouts (mode READ_MODE_RECORD records, anything else prints) ----
    // Fills the monitor maps from the catalogue. 0 or 600002.
    int InitMonitor();
    // "CFG" then "CFGFILE", plain lines.
    int ReadFpgaConfiguration(int mode);
    // "DEBUG", detailed lines.
    int ReadStatistics(int mode);
    // "TRAFIC", plain lines.
    int ReadTraffic(int mode);
    // "MON", plain lines.
    int ReadMonitor(int mode);
    // Reads one register, formats its line (log or buf) and updates the maps.
    int ReadAndPrintParam(const CfgDes_t* lpDes, OUTPUT_TYPE_e eType, char* lpBuf, uint32_t uiSize);
    // Monitor map look-ups for the monitor server's threads. kind: 1 number,
    // 2 text, 0 not published (or not found).
    int ReadMonitorConfiguration(const CfgDes_t* lpDes, uint8_t& ucKind, uint64_t& ulValue, std::string& strText);
    int ReadMonitorStat(const CfgDes_t* lpDes, uint8_t& ucKind, uint64_t& ulValue, std::string& strText);

private:
    enum { READOUT_CFG = 0, READOUT_STAT, READOUT_TRAFFIC, READOUT_MONITOR, READOUT_NUM };

    // True when Init has run and bReady holds; otherwise logs lpMsg (WARN)
    // and the caller returns its refusal.
    bool RequireInited(bool bReady, const char* lpMsg) const;
    int WriteCfgFileReg(const CfgDes_t* lpDes, bool& bDstSeen, uint8_t* lpDstIp);
    int WriteIntReg(const CfgDes_t* lpDes, const char* lpKey);
    int WriteMutiIntReg(const CfgDes_t* lpDes, const char* lpKey);
    int ReadBlock(int nReadout, const CFG_CLASS_e* lpClasses, int nClassNum, OUTPUT_TYPE_e eType,
                  const char* lpHeader, int mode);
    // Clears the TCP address registers and sets the reset bit (bit 2) of the
    // reset register; mode receives the register as read (4 when the read
    // leaves it unset), logged when bLogMode. Logs a failure. 0 or -1.
    int HoldReset(uint16_t& mode, bool bLogMode);
    // Stores a register's last value and text in the map that holds it.
    void KeepMonitorValue(const CfgDes_t* lpDes, uint64_t ulValue, const std::string& strText);
    int LookupMonitor(MONITOR_MAP& map, const CfgDes_t* lpDes, uint8_t& ucKind, uint64_t& ulValue,
                      std::string& strText);

    OSKIT2::CThreadMutex m_mutex;
    bool m_bInited;
    IDrv* m_lpDrv;
    CGtConfig* m_lpConfig;
    GT_CONFIG_DEVICE_INFO_t m_tDevInfo;
    CXmlHelper* m_lpXml;
    MONITOR_MAP m_monitorMapConfig;
    MONITOR_MAP m_monitorMapStat;
    uint32_t m_incrPath0;
    uint32_t m_incrPath1;

    // Work block of a readout and the last block recorded by each readout.
    std::unique_ptr<char[]> m_lpBlock;
    std::unique_ptr<char[]> m_lpRemembered[READOUT_NUM];
};

// The process-wide FPGA service, created by the program.
extern CGtFpgaService* g_lpFpgaService;

// ResumeHaultResetFpga on g_lpFpgaService. 0 or -1.
int ResumeFpgaSignal();

#endif
