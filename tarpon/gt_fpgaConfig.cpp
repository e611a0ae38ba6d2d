#include "gt_fpgaConfig.h"

#include <new>
#include <string>

#include "drvEnyx.h"
#include "drvXdma.h"
#include "drvXdmaPio.h"
#include "gt_config.h"
#include "gt_fpgaService.h"
#include "gt_logger.h"
#include "gt_result.h"
#include "xmlHelper.h"

uint32_t g_fpgaVerAddr = 6;
uint32_t g_fpgaHwVerAddr = 8;
uint32_t g_fpgaFunAddr = 10;
uint32_t g_fpgaDateAddr = 0;
uint32_t g_fpgaDateTrueAddr = 32;
uint32_t g_fpgaCurDataAddr = 19;
uint32_t g_fpgaResetAddr = 0;
uint32_t g_fpgaTcpSrcIpAddr = 0;
uint32_t g_fpgaTcpDstIpAddr = 0;
FPGA_FIRM_VERSION_e g_eFirmVersion = FPGA_SZ_UDP_MDGW_BF;
bool g_bIsNewFpgaverRule = false;

IDrv* g_lpDrv = nullptr;

void ResetFpgaRunningInfoDefaults() {
    g_fpgaVerAddr = 6;
    g_fpgaHwVerAddr = 8;
    g_fpgaFunAddr = 10;
    g_fpgaDateAddr = 0;
    g_fpgaDateTrueAddr = 32;
    g_fpgaCurDataAddr = 19;
    g_fpgaResetAddr = 0;
    g_fpgaTcpSrcIpAddr = 0;
    g_fpgaTcpDstIpAddr = 0;
    g_eFirmVersion = FPGA_SZ_UDP_MDGW_BF;
    g_bIsNewFpgaverRule = false;
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
        case GT_DRV_TYPE_ENYX: {
            CDrvEnyxReg* drv = new (std::nothrow) CDrvEnyxReg();
            if (!drv) {
                GT_LOGW(GT_TAG_FPGA, "lack of memory!");
                return GT_ERR_CREATE;
            }
            DrvRegInfo_t info;
            info.nBusId = g_tDevInfo.nBusId;
            info.nCoreId = g_tDevInfo.nCoreId;
            ret = drv->Init(&info);
            if (ret != 0) {
                GT_LOGW(GT_TAG_FPGA, "Init New drive failed! ret:%d", ret);
                delete drv;
                return -1;
            }
            g_fpgaVerAddr = 28;
            g_fpgaHwVerAddr = 27;
            g_fpgaFunAddr = 27;
            GT_LOGI(GT_TAG_FPGA, "Inited HPF!");
            lpDrv = drv;
            break;
        }
        case GT_DRV_TYPE_PIO: {
            CDrvXdmaPio* drv = new (std::nothrow) CDrvXdmaPio();
            if (!drv) {
                GT_LOGW(GT_TAG_FPGA, "lack of memory!");
                return GT_ERR_CREATE;
            }
            ret = drv->Init((void*)g_tDevInfo.strDevicePathWrite.c_str());
            if (ret != 0) {
                GT_LOGW(GT_TAG_FPGA, "Init PIO DMA failed! ret:%d", ret);
                delete drv;
                return -1;
            }
            GT_LOGI(GT_TAG_FPGA, "Inited XDMA!");
            lpDrv = drv;
            break;
        }
        case GT_DRV_TYPE_XDMA:
        default: {
            CDrvXdma* drv = new (std::nothrow) CDrvXdma();
            if (!drv) {
                GT_LOGW(GT_TAG_FPGA, "lack of memory!");
                return GT_ERR_CREATE;
            }
            XDMA_PARAM_t param;
            param.lpStrWriteDev =
                g_tDevInfo.strDevicePathWrite.empty() ? nullptr : g_tDevInfo.strDevicePathWrite.c_str();
            param.lpStrReadDev = g_tDevInfo.strDevicePathRead.empty() ? nullptr : g_tDevInfo.strDevicePathRead.c_str();
            param.nPageSizeWrite = 32768;
            param.nPageSizeRead = 32768;
            param.nPcieMode = 0;
            ret = drv->Init(&param);
            if (ret != 0) {
                GT_LOGW(GT_TAG_FPGA, "Init XDMA failed! ret:%d", ret);
                delete drv;
                return -1;
            }
            GT_LOGI(GT_TAG_FPGA, "Inited XDMA!");
            lpDrv = drv;
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
    switch ((uiValue >> 28) & 0xF) {
        case 1: part += "sz_"; desc += "ShenZhen Mdgw. "; break;
        case 2: part += "sh_"; desc += "ShangHai Mdgw."; break;
        default: break;
    }
    switch ((uiValue >> 24) & 0xF) {
        case 1: part += "tcp_"; desc += "Behind Mdgw TCP. "; break;
        case 2: part += "udp_"; desc += "Behind Mdgw MULTICAST. "; break;
        case 3: part += "bftcp_"; desc += "BF Mdgw TCP. "; break;
        case 4: part += "bfudp_"; desc += "BF Mdgw MULTICAST. "; break;
        default: break;
    }
    switch ((uiValue >> 20) & 0xF) {
        case 1: part += "l1_"; desc += "L1 "; break;
        case 2: part += "l2_"; desc += "L2 "; break;
        case 3: part += "l1l2_"; desc += "L1+L2 "; break;
        case 4: part += "t2s_"; desc += "t2s "; break;
        default: break;
    }
    switch ((uiValue >> 16) & 0xF) {
        case 1: part += "net"; desc += "Network version. "; break;
        case 2: part += "local"; desc += "Local version. "; break;
        default: break;
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

    std::string strFallback;
    if (uiVer > 0xFFFF) {
        g_fpgaResetAddr = 21;
        g_fpgaDateAddr = 0;
        g_fpgaDateTrueAddr = 32;
    } else {
        g_bIsNewFpgaverRule = false;
        switch (uiCode) {
            case 1:
                g_eFirmVersion = FPGA_SZ_TCP_NET;
                g_fpgaResetAddr = 256;
                g_fpgaTcpSrcIpAddr = 8240;
                g_fpgaTcpDstIpAddr = 8224;
                g_fpgaDateAddr = 0;
                g_fpgaDateTrueAddr = 32;
                strPart = "sz_tcp_net_x";
                strFallback = "sz_tcp_net";
                break;
            case 2:
            case 3:
                g_eFirmVersion = FPGA_SZ_MCAST_LOCAL;
                g_fpgaResetAddr = 21;
                g_fpgaTcpSrcIpAddr = 8240;
                g_fpgaTcpDstIpAddr = 8224;
                g_fpgaDateAddr = 29;
                g_fpgaDateTrueAddr = 29;
                g_fpgaHwVerAddr = 26;
                g_fpgaCurDataAddr = 19;
                strPart = "sz_udp_all_e";
                strFallback = "sz_udp_net";
                break;
            case 4:
                g_eFirmVersion = FPGA_SH_TCP_NET;
                g_fpgaResetAddr = 4096;
                g_fpgaTcpSrcIpAddr = 4116;
                g_fpgaTcpDstIpAddr = 4120;
                g_fpgaDateAddr = 29;
                g_fpgaDateTrueAddr = 29;
                strPart = "sh_tcp_net_pio";
                break;
            case 5:
                g_eFirmVersion = FPGA_SZ_UDP_MDGW_BF;
                g_fpgaResetAddr = 21;
                g_fpgaTcpSrcIpAddr = 8240;
                g_fpgaTcpDstIpAddr = 8224;
                g_fpgaDateAddr = 29;
                g_fpgaDateTrueAddr = 29;
                g_fpgaHwVerAddr = 26;
                strPart = "sz_bfmdgw_e";
                break;
            case 8:
                g_eFirmVersion = FPGA_SZ_TCP_NET_POC;
                g_fpgaResetAddr = 21;
                g_fpgaTcpSrcIpAddr = 8240;
                g_fpgaTcpDstIpAddr = 8224;
                g_fpgaDateAddr = 0;
                g_fpgaDateTrueAddr = 32;
                strPart = "sz_tcp_net_e_p";
                strFallback = "sz_tcp_net_p";
                break;
            case 9:
                g_eFirmVersion = FPGA_SZ_MCAST_NET_POC;
                strPart = "sz_udp_net_p";
                break;
            case 12:
                g_eFirmVersion = FPGA_SH_TCP_LOCAL_ENYX;
                g_fpgaResetAddr = 21;
                g_fpgaDateAddr = 29;
                g_fpgaDateTrueAddr = 29;
                g_fpgaHwVerAddr = 26;
                strPart = "sh_tcp_all_e";
                strFallback = "sh_tcp_local";
                break;
            default:
                GT_LOGI(GT_TAG_FPGA, "Unknow FPGA version 0x%x\n", uiVer);
                return GT_ERR_UNKNOWN_HW;
        }
    }

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

    const uint32_t vendor = (usHw >> 12) & 0xF;
    const uint32_t board = (usHw >> 8) & 0xF;
    const uint32_t rev = usHw & 0xFF;
    if (vendor == 1) {
        switch (board) {
            case 1: GT_LOGI(GT_TAG_FPGA, "X U200 with version %02x", rev); break;
            case 2: GT_LOGI(GT_TAG_FPGA, "X U280 with version %02x", rev); break;
            case 3: GT_LOGI(GT_TAG_FPGA, "X U50 with version %02x", rev); break;
            default: break;
        }
    } else if (vendor != 2) {
        GT_LOGI(GT_TAG_FPGA, "Unknow HW, value:0x%x", vendor);
        return GT_ERR_UNKNOWN_HW;
    }

    const uint32_t code = (usVer >> 12) & 0xF;
    const uint32_t ver = usVer & 0xFFF;
    switch (code) {
        case 1: GT_LOGI(GT_TAG_FPGA, "SZ_TCP_NET with version %03x", ver); break;
        case 2: GT_LOGI(GT_TAG_FPGA, "SZ_MCAST_NET with version %03x", ver); break;
        case 3: GT_LOGI(GT_TAG_FPGA, "SZ_MCAST_LOCAL with version %03x", ver); break;
        case 4: GT_LOGI(GT_TAG_FPGA, "SH_TCP_NET with version %03x", ver); break;
        case 5: GT_LOGI(GT_TAG_FPGA, "SZ_UDP_MDGW_BF with version %03x", ver); break;
        case 8: GT_LOGI(GT_TAG_FPGA, "SZ_TCP_NET_P with version %03x", ver); break;
        case 9: GT_LOGI(GT_TAG_FPGA, "SZ_MCAST_NET_P with version %03x", ver); break;
        case 10: GT_LOGI(GT_TAG_FPGA, "SZ_MCAST_LOCAL_P with version %03x", ver); break;
        case 12: GT_LOGI(GT_TAG_FPGA, "SH_TCP_LOCAL_E with version %03x", ver); break;
        default:
            GT_LOGI(GT_TAG_FPGA, "Unknow FPGA version, 0x%x", code);
            return GT_ERR_UNKNOWN_HW;
    }

    if (ucFun & 0x1) GT_LOGI(GT_TAG_FPGA, "Support L1 ");
    if (ucFun & 0x2) GT_LOGI(GT_TAG_FPGA, "Support L2 ");

    const uint32_t d = (uint32_t)(ulDate & 0x7FFFFFFF);
    GT_LOGI(GT_TAG_FPGA, "version date: 20%02d.%02d.%02d.%02d:%02d\n", (int)((d >> 25) & 0x3F), (int)((d >> 21) & 0xF),
            (int)((d >> 16) & 0x1F), (int)((d >> 6) & 0x1F), (int)(d & 0x3F));
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
