#ifndef GT_FPGA_CONFIG_H
#define GT_FPGA_CONFIG_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "drvCore.h"
#include "gt_config.h"

class CGtFpgaService;

// Firmware families, from the code in bits 12-15 of an old-layout version.
enum FPGA_FIRM_VERSION_e {
    FPGA_SZ_TCP_NET = 1,
    FPGA_SZ_MCAST_NET = 2,
    FPGA_SZ_MCAST_LOCAL = 3,
    FPGA_SH_TCP_NET = 4,
    FPGA_SZ_UDP_MDGW_BF = 5,
    FPGA_SZ_TCP_NET_POC = 8,
    FPGA_SZ_MCAST_NET_POC = 9,
    FPGA_SZ_MCAST_LOCAL_POC = 10,
    FPGA_SH_TCP_LOCAL_ENYX = 12,
};

// Addresses of the service's own registers (offsets for IDrv), fixed by
// bring-up for the detected firmware family.
extern uint32_t g_fpgaVerAddr;       // firmware version register
extern uint32_t g_fpgaHwVerAddr;     // hardware (board) version register
extern uint32_t g_fpgaFunAddr;       // function byte (bit 0 L1, bit 1 L2)
extern uint32_t g_fpgaDateAddr;      // build date, device report
extern uint32_t g_fpgaDateTrueAddr;  // build date, readouts
extern uint32_t g_fpgaCurDataAddr;   // current trading date
extern uint32_t g_fpgaResetAddr;     // reset register (bit 2 holds reset)
extern uint32_t g_fpgaTcpSrcIpAddr;  // TCP source address, cleared before reset
extern uint32_t g_fpgaTcpDstIpAddr;  // TCP destination address, cleared before reset
extern FPGA_FIRM_VERSION_e g_eFirmVersion;
extern bool g_bIsNewFpgaverRule;     // version register uses the 32-bit layout

// The process-wide register driver, created by FpgaDeviceinit.
extern IDrv* g_lpDrv;

// An address a firmware family leaves as it was.
#define FPGA_ADDR_KEEP 0xFFFFFFFFu

// What bring-up knows of one firmware family of the old version layout: the
// addresses it fixes (FPGA_ADDR_KEEP: left alone), the register part it
// loads and the part tried when that one is missing, and the name of the
// device report. Adding a family is adding a row to the table below.
struct FpgaFamily_t {
    uint32_t uiCode;              // bits 12-15 of the version register
    FPGA_FIRM_VERSION_e eFirm;    // becomes g_eFirmVersion
    const char* lpReportName;     // device report: "<name> with version %03x"
    uint32_t uiResetAddr;         // g_fpgaResetAddr
    uint32_t uiTcpSrcIpAddr;      // g_fpgaTcpSrcIpAddr
    uint32_t uiTcpDstIpAddr;      // g_fpgaTcpDstIpAddr
    uint32_t uiDateAddr;          // g_fpgaDateAddr
    uint32_t uiDateTrueAddr;      // g_fpgaDateTrueAddr
    uint32_t uiHwVerAddr;         // g_fpgaHwVerAddr
    uint32_t uiCurDataAddr;       // g_fpgaCurDataAddr
    const char* lpPart;           // register part; null: the report knows the code, bring-up refuses it
    const char* lpFallback;       // tried when lpPart is missing; null: none
};

// The family table bring-up and the device report consult, g_nFpgaFamilies
// rows long. It points at the built-in table; only a test points it at
// another (set before bring-up, read on the caller's thread).
extern const FpgaFamily_t* g_lpFpgaFamilies;
extern size_t g_nFpgaFamilies;
extern const FpgaFamily_t g_tBuiltInFpgaFamilies[];
extern const size_t g_nBuiltInFpgaFamilies;

// The row of an old-layout firmware code, or null.
const FpgaFamily_t* FindFpgaFamily(uint32_t uiCode);

// Creates the Enyx register driver of tDev's bus and core and, once it is
// open, points the version readout at the Enyx registers (version 28,
// hardware version and function byte 27). Logs nothing of its own: the
// callers word their messages. 0 with lpDrv set; else lpDrv is null and the
// result GT_ERR_CREATE when the object cannot be created, or the driver's
// Init result (-1).
int OpenEnyxRegDrv(const GT_CONFIG_DEVICE_INFO_t& tDev, IDrv*& lpDrv);

// Loads ./quay.ini into g_lpConfig, fills g_tDevInfo, opens the driver named
// there into g_lpDrv and initialises the service with both.
// 0, 600004 (no memory) or -1.
int FpgaDeviceinit(CGtFpgaService* lpService);

// Reads and decodes the firmware version, fixes the register addresses of the
// family, loads the matching register part into a new g_lpXmlHelper and hands
// it to the service. 0, 600004 (register part not found), 600005 (no service)
// or 600006 (unknown firmware).
int SetFpgaRunningInfo(CGtFpgaService* lpService);

// Decodes a version register value. code: the old-layout firmware code
// (value >> 12) or, for the new layout, the value with bits 0-15 cleared.
// section: the register part name of the new layout (unchanged for the old).
int GetFpgaVer(uint32_t uiValue, uint32_t& uiCode, std::string& strSection);

// Logs the board, firmware, functions and build date. 0 or 600006.
int ShowHwDeviceInfo(CGtFpgaService* lpService);

// Deletes the process-wide services in the order logger, configuration,
// driver, FPGA service, and clears their pointers (the register catalogue is
// left to the caller).
void ReleaseProcessServices();

// Puts every address and firmware fact back to its value before bring-up.
void ResetFpgaRunningInfoDefaults();

#endif
