#include "gt_fpgaConfig.h"

#include <new>
#include <string>

#include "common.h"
#include "drvEnyx.h"
#include "drvXdma.h"
#include "drvXdmaPio.h"
#include "gt_config.h"
#include "gt_fpgaService.h"
#include "gt_logger.h"
#include "gt_result.h"
#include "xmlHelper.h"

namespace {

// The addresses and firmware facts before bring-up changes them.
constexpr struct {
    uint32_t ver = 6, hwVer = 8, fun = 10, date = 0, dateTrue = 32, curData = 19, reset = 0, tcpSrc = 0, tcpDst = 0;
    FPGA_FIRM_VERSION_e firm = FPGA_SZ_UDP_MDGW_BF;
} kBefore{};

// The version readout of an Enyx card.
constexpr uint32_t kEnyxVerAddr = 28, kEnyxHwVerAddr = 27, kEnyxFunAddr = 27;

constexpr uint32_t K = FPGA_ADDR_KEEP;

// The new (32-bit) version layout: the part name is built from the value,
// with no fallback, and the family stays as it was.
constexpr FpgaFamily_t kNewLayout = {0, FPGA_SZ_UDP_MDGW_BF, nullptr, 21, K, K, 0, 32, K, K, nullptr, nullptr};

// One field of the new version layout, in the order the part name is built:
// the values 1 to 4 give a piece of the part name and of the description.
struct VersionField_t {
    uint32_t uiShift;
    const char* lpPart[4];
    const char* lpDesc[4];
};
const VersionField_t kVersionFields[] = {
    {28, {"sz_", "sh_", nullptr, nullptr}, {"ShenZhen Mdgw. ", "ShangHai Mdgw.", nullptr, nullptr}},
    {24,
     {"tcp_", "udp_", "bftcp_", "bfudp_"},
     {"Behind Mdgw TCP. ", "Behind Mdgw MULTICAST. ", "BF Mdgw TCP. ", "BF Mdgw MULTICAST. "}},
    {20, {"l1_", "l2_", "l1l2_", "t2s_"}, {"L1 ", "L2 ", "L1+L2 ", "t2s "}},
    {16, {"net", "local", nullptr, nullptr}, {"Network version. ", "Local version. ", nullptr, nullptr}},
};

void SetAddr(uint32_t& uiAddr, uint32_t uiValue) {
    if (uiValue != FPGA_ADDR_KEEP) uiAddr = uiValue;
}

void ApplyFamilyAddrs(const FpgaFamily_t& f) {
    SetAddr(g_fpgaResetAddr, f.uiResetAddr);
    SetAddr(g_fpgaTcpSrcIpAddr, f.uiTcpSrcIpAddr);
    SetAddr(g_fpgaTcpDstIpAddr, f.uiTcpDstIpAddr);
    SetAddr(g_fpgaDateAddr, f.uiDateAddr);
    SetAddr(g_fpgaDateTrueAddr, f.uiDateTrueAddr);
    SetAddr(g_fpgaHwVerAddr, f.uiHwVerAddr);
    SetAddr(g_fpgaCurDataAddr, f.uiCurDataAddr);
}

// Creates and opens a PCIe register driver, logging as bring-up does:
// 0 with lpDrv set, GT_ERR_CREATE without memory, -1 when it does not open.
template <class DRV>
int OpenPcieDrv(void* lpParam, const char* lpWhat, IDrv*& lpDrv) {
    DRV* drv = new (std::nothrow) DRV();
    if (!drv) {
        GT_LOGW(GT_TAG_FPGA, "lack of memory!");
        return GT_ERR_CREATE;
    }
    int ret = drv->Init(lpParam);
    if (ret != 0) {
        GT_LOGW(GT_TAG_FPGA, "Init %s failed! ret:%d", lpWhat, ret);
        delete drv;
        return -1;
    }
    GT_LOGI(GT_TAG_FPGA, "Inited XDMA!");
    lpDrv = drv;
    return 0;
}

}  // namespace

uint32_t g_fpgaVerAddr = kBefore.ver;
uint32_t g_fpgaHwVerAddr = kBefore.hwVer;
uint32_t g_fpgaFunAddr = kBefore.fun;
uint32_t g_fpgaDateAddr = kBefore.date;
uint32_t g_fpgaDateTrueAddr = kBefore.dateTrue;
uint32_t g_fpgaCurDataAddr = kBefore.curData;
uint32_t g_fpgaResetAddr = kBefore.reset;
uint32_t g_fpgaTcpSrcIpAddr = kBefore.tcpSrc;
uint32_t g_fpgaTcpDstIpAddr = kBefore.tcpDst;
FPGA_FIRM_VERSION_e g_eFirmVersion = kBefore.firm;
bool g_bIsNewFpgaverRule = false;

IDrv* g_lpDrv = nullptr;

// code, family, report name, reset, TCP source, TCP destination, date, date
// of the readouts, hardware version, current date, part, fallback part.
const FpgaFamily_t g_tBuiltInFpgaFamilies[] = {
    {1, FPGA_SZ_TCP_NET, "SZ_TCP_NET", 256, 8240, 8224, 0, 32, K, K, "sz_tcp_net_x", "sz_tcp_net"},
    {2, FPGA_SZ_MCAST_LOCAL, "SZ_MCAST_NET", 21, 8240, 8224, 29, 29, 26, 19, "sz_udp_all_e", "sz_udp_net"},
    {3, FPGA_SZ_MCAST_LOCAL, "SZ_MCAST_LOCAL", 21, 8240, 8224, 29, 29, 26, 19, "sz_udp_all_e", "sz_udp_net"},
    {4, FPGA_SH_TCP_NET, "SH_TCP_NET", 4096, 4116, 4120, 29, 29, K, K, "sh_tcp_net_pio", nullptr},
    {5, FPGA_SZ_UDP_MDGW_BF, "SZ_UDP_MDGW_BF", 21, 8240, 8224, 29, 29, 26, K, "sz_bfmdgw_e", nullptr},
    {8, FPGA_SZ_TCP_NET_POC, "SZ_TCP_NET_P", 21, 8240, 8224, 0, 32, K, K, "sz_tcp_net_e_p", "sz_tcp_net_p"},
    {9, FPGA_SZ_MCAST_NET_POC, "SZ_MCAST_NET_P", K, K, K, K, K, K, K, "sz_udp_net_p", nullptr},
    {10, FPGA_SZ_MCAST_LOCAL_POC, "SZ_MCAST_LOCAL_P", K, K, K, K, K, K, K, nullptr, nullptr},
    {12, FPGA_SH_TCP_LOCAL_ENYX, "SH_TCP_LOCAL_E", 21, K, K, 29, 29, 26, K, "sh_tcp_all_e", "sh_tcp_local"},
};
const size_t g_nBuiltInFpgaFamilies = sizeof(g_tBuiltInFpgaFamilies) / sizeof(g_tBuiltInFpgaFamilies[0]);

const FpgaFamily_t* g_lpFpgaFamilies = g_tBuiltInFpgaFamilies;
size_t g_nFpgaFamilies = g_nBuiltInFpgaFamilies;

const FpgaFamily_t* FindFpgaFamily(uint32_t uiCode) {
    for (size_t i = 0; i < g_nFpgaFamilies; i++)
        if (g_lpFpgaFamilies[i].uiCode == uiCode) return &g_lpFpgaFamilies[i];
    return nullptr;
}

void ResetFpgaRunningInfoDefaults() {
    g_fpgaVerAddr = kBefore.ver;
    g_fpgaHwVerAddr = kBefore.hwVer;
    g_fpgaFunAddr = kBefore.fun;
    g_fpgaDateAddr = kBefore.date;
    g_fpgaDateTrueAddr = kBefore.dateTrue;
    g_fpgaCurDataAddr = kBefore.curData;
    g_fpgaResetAddr = kBefore.reset;
    g_fpgaTcpSrcIpAddr = kBefore.tcpSrc;
    g_fpgaTcpDstIpAddr = kBefore.tcpDst;
    g_eFirmVersion = kBefore.firm;
    g_bIsNewFpgaverRule = false;
}

int OpenEnyxRegDrv(const GT_CONFIG_DEVICE_INFO_t& tDev, IDrv*& lpDrv) {
    lpDrv = nullptr;
    CDrvEnyxReg* drv = new (std::nothrow) CDrvEnyxReg();
    if (!drv) return GT_ERR_CREATE;
    DrvRegInfo_t info;
    info.nBusId = tDev.nBusId;
    info.nCoreId = tDev.nCoreId;
    int ret = drv->Init(&info);
    if (ret != 0) {
        delete drv;
        return ret;
    }
    g_fpgaVerAddr = kEnyxVerAddr;
    g_fpgaHwVerAddr = kEnyxHwVerAddr;
    g_fpgaFunAddr = kEnyxFunAddr;
    lpDrv = drv;
    return 0;
}

int FpgaDeviceinit(CGtFpgaService* lpService) {
    if (!lpService) {
        GT_LOGW(GT_TAG_FPGA, "Init Drvier service failed! ret:%d", GT_ERR_BAD_ARG);
        return -1;
    }
    if (!g_lpConfig) {
        g_lpConfig = new (std::nothrow) CGtConfig();
        if (!g_lpConfig) {
            GT_LOGW(GT_TAG_FPGA, "lack of memory!");
            return GT_ERR_CREATE;
        }
    }
    int ret = g_lpConfig->Init("./quay.ini");
    if (ret != 0) {
        GT_LOGW(GT_TAG_FPGA, "config init failed! ret:%d", ret);
        return -1;
    }
    GT_LOGI(GT_TAG_FPGA, "Inited config!");

    ret = g_lpConfig->GetCfgInfo(g_tDevInfo);
    if (ret != 0) {
        GT_LOGW(GT_TAG_FPGA, "Get device infomation failed! ret:%d", ret);
        return -1;
    }

    IDrv* lpDrv = nullptr;
    switch (g_tDevInfo.eDrvType) {
        case GT_DRV_TYPE_ENYX:
            ret = OpenEnyxRegDrv(g_tDevInfo, lpDrv);
            if (ret == GT_ERR_CREATE) {
                GT_LOGW(GT_TAG_FPGA, "lack of memory!");
                return GT_ERR_CREATE;
            }
            if (ret != 0) {
                GT_LOGW(GT_TAG_FPGA, "Init New drive failed! ret:%d", ret);
                return -1;
            }
            GT_LOGI(GT_TAG_FPGA, "Inited HPF!");
            break;
        case GT_DRV_TYPE_PIO:
            ret = OpenPcieDrv<CDrvXdmaPio>((void*)g_tDevInfo.strDevicePathWrite.c_str(), "PIO DMA", lpDrv);
            if (ret != 0) return ret;
            break;
        case GT_DRV_TYPE_XDMA:
        default: {
            XDMA_PARAM_t param;
            param.lpStrWriteDev =
                g_tDevInfo.strDevicePathWrite.empty() ? nullptr : g_tDevInfo.strDevicePathWrite.c_str();
            param.lpStrReadDev = g_tDevInfo.strDevicePathRead.empty() ? nullptr : g_tDevInfo.strDevicePathRead.c_str();
            param.nPageSizeWrite = 32768;
            param.nPageSizeRead = 32768;
            param.nPcieMode = 0;
            ret = OpenPcieDrv<CDrvXdma>(&param, "XDMA", lpDrv);
            if (ret != 0) return ret;
            break;
        }
    }

    ret = lpService->Init(lpDrv, g_lpConfig);
    if (ret != 0) {
        GT_LOGW(GT_TAG_FPGA, "Init Drvier service failed! ret:%d", ret);
        delete lpDrv;
        return -1;
    }
    // A second bring-up in the same process replaces the driver.
    if (g_lpDrv && g_lpDrv != lpDrv) delete g_lpDrv;
    g_lpDrv = lpDrv;
    GT_LOGI(GT_TAG_FPGA, "Fpga device init success.");
    return 0;
}

int GetFpgaVer(uint32_t uiValue, uint32_t& uiCode, std::string& strSection) {
    if (uiValue <= 0xFFFF) {
        uiCode = uiValue >> 12;
        GT_LOGI(GT_TAG_FPGA, "Old Fpga version rule. Fpga version val 0x%x", uiValue);
        return 0;
    }
    g_bIsNewFpgaverRule = true;
    uiCode = uiValue & 0xFFFF0000u;

    std::string part;
    std::string desc;
    for (const VersionField_t& f : kVersionFields) {
        const uint32_t v = (uiValue >> f.uiShift) & 0xF;
        if (v < 1 || v > 4 || !f.lpPart[v - 1]) continue;
        part += f.lpPart[v - 1];
        desc += f.lpDesc[v - 1];
    }
    char ver[64];
    snprintf(ver, sizeof(ver), "Firmware version: %d.%02d ", (int)((uiValue >> 8) & 0xF), (int)(uiValue & 0xFF));
    desc += ver;
    GT_LOGI(GT_TAG_FPGA, "Fpga version 0x%x, Info:%s, Will search register section:\"%s\"", uiValue, desc.c_str(),
            part.c_str());
    strSection = part;
    return 0;
}

int SetFpgaRunningInfo(CGtFpgaService* lpService) {
    if (!lpService) return GT_ERR_BAD_ARG;

    // A failed read leaves 0, which decodes as an unknown firmware.
    uint32_t uiVer = 0;
    if (lpService->GetReg32WithAddr(g_fpgaVerAddr, uiVer) != 0) {
        GT_LOGW(GT_TAG_FPGA, "Read fpga version register 0x%x failed.", g_fpgaVerAddr);
        uiVer = 0;
    }

    uint32_t uiCode = 0;
    std::string strPart;
    GetFpgaVer(uiVer, uiCode, strPart);

    const FpgaFamily_t* lpFamily = &kNewLayout;
    if (uiVer <= 0xFFFF) {
        g_bIsNewFpgaverRule = false;
        lpFamily = FindFpgaFamily(uiCode);
        if (!lpFamily || !lpFamily->lpPart) {
            GT_LOGI(GT_TAG_FPGA, "Unknow FPGA version 0x%x\n", uiVer);
            return GT_ERR_UNKNOWN_HW;
        }
        g_eFirmVersion = lpFamily->eFirm;
        strPart = lpFamily->lpPart;
    }
    ApplyFamilyAddrs(*lpFamily);
    const std::string strFallback = lpFamily->lpFallback ? lpFamily->lpFallback : "";

    CXmlHelper* lpXml = new (std::nothrow) CXmlHelper();
    if (!lpXml) {
        GT_LOGW(GT_TAG_FPGA, "lack of memory!");
        return GT_ERR_CREATE;
    }
    if (lpXml->LoadFromFile(strPart, GetKey()) != 0) {
        if (!strFallback.empty()) {
            if (lpXml->LoadFromFile(strFallback, GetKey()) != 0) {
                GT_LOGE(GT_TAG_FPGA,
                        "Load xml file fail, register part name %s and %s not found. The bin file may not match.",
                        strPart.c_str(), strFallback.c_str());
                delete lpXml;
                return GT_ERR_CREATE;
            }
        } else {
            GT_LOGW(GT_TAG_FPGA, "Register part \"%s\" not loaded, going on with an empty register catalogue.",
                    strPart.c_str());
        }
    }

    // The service drops map entries of the old catalogue before it goes.
    CXmlHelper* lpOld = g_lpXmlHelper;
    g_lpXmlHelper = lpXml;
    lpService->SetParamInfo(g_lpXmlHelper);
    if (lpOld && lpOld != lpXml) delete lpOld;
    return 0;
}

int ShowHwDeviceInfo(CGtFpgaService* lpService) {
    if (!lpService) return GT_ERR_UNKNOWN_HW;
    uint16_t usHw = 0;
    uint16_t usVer = 0;
    uint64_t ulDate = 0;
    uint8_t ucFun = 0;
    if (lpService->GetReg16WithAddr(g_fpgaHwVerAddr, usHw) != 0 ||
        lpService->GetReg16WithAddr(g_fpgaVerAddr, usVer) != 0 ||
        lpService->GetRegBitsWithAddr(g_fpgaDateAddr, ulDate, 0, 48) != 0 ||
        lpService->GetReg8WithAddr(g_fpgaFunAddr, ucFun) != 0) {
        GT_LOGW(GT_TAG_FPGA, "Read device information registers failed.");
        return GT_ERR_UNKNOWN_HW;
    }

    static const char* const kBoards[] = {"X U200", "X U280", "X U50"};
    const uint32_t vendor = (usHw >> 12) & 0xF;
    const uint32_t board = (usHw >> 8) & 0xF;
    const uint32_t rev = usHw & 0xFF;
    if (vendor == 1) {
        if (board >= 1 && board <= 3) GT_LOGI(GT_TAG_FPGA, "%s with version %02x", kBoards[board - 1], rev);
    } else if (vendor != 2) {
        GT_LOGI(GT_TAG_FPGA, "Unknow HW, value:0x%x", vendor);
        return GT_ERR_UNKNOWN_HW;
    }

    const uint32_t code = (usVer >> 12) & 0xF;
    const FpgaFamily_t* lpFamily = FindFpgaFamily(code);
    if (!lpFamily) {
        GT_LOGI(GT_TAG_FPGA, "Unknow FPGA version, 0x%x", code);
        return GT_ERR_UNKNOWN_HW;
    }
    GT_LOGI(GT_TAG_FPGA, "%s with version %03x", lpFamily->lpReportName, usVer & 0xFFF);

    if (ucFun & 0x1) GT_LOGI(GT_TAG_FPGA, "Support L1 ");
    if (ucFun & 0x2) GT_LOGI(GT_TAG_FPGA, "Support L2 ");

    GT_LOGI(GT_TAG_FPGA, "version date: %s\n", Uti_FormatCardDate(ulDate & 0x7FFFFFFF, '.').c_str());
    return 0;
}

void ReleaseProcessServices() {
    delete g_lpLogger;
    g_lpLogger = nullptr;
    delete g_lpConfig;
    g_lpConfig = nullptr;
    delete g_lpDrv;
    g_lpDrv = nullptr;
    delete g_lpFpgaService;
    g_lpFpgaService = nullptr;
}
