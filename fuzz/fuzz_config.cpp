// quay.ini and device.ini through the configuration service. The first byte
// chooses the file: even, the input is quay.ini and goes through the device,
// metrics and register-value look-ups the programs make; odd, it is a
// client's device.ini read by the client service.

#include <cstring>
#include <string>

#include "fuzz_util.h"
#include "gt_config.h"
#include "mkrxServiceEnyxImpl.h"
#include "nc_hash.h"

namespace {

// Register keys of the sample quay.ini, read the way the register
// configuration reads them: numbers, MAC and IPv4 texts.
const char* const kNumberKeys[] = {"link:vlan_id", "session:server_port", "session:partition_mask",
                                   "session:logon_user_tag", "market:trade_date", "market:level_select"};
const char* const kTextKeys[] = {"link:local_ip", "link:local_mac", "link:gateway_mac", "session:server_ip",
                                 "mcast:group0_ip", "mcast:source_ip", "market:channel_list"};

template <size_t N>
bool Terminated(const char (&field)[N])
{
    return memchr(field, '\0', N) != nullptr;
}

void QuayIni(const std::string& path)
{
    CGtConfig cfg;
    if (cfg.Init(path.c_str()) != 0) return;
    GT_CONFIG_DEVICE_INFO_t dev;
    if (cfg.GetCfgInfo(dev) == 0) {
        QFUZZ_CHECK(dev.ram_width <= 16);
        Subscribed_t* subs = new Subscribed_t();
        parse_stock(dev.subsstockid, subs);
        QFUZZ_CHECK(subs->stockid_cnt <= SUBS_MAX_STOCK_NUM && subs->stockclass_cnt <= SUBS_MAX_CLASS_NUM);
        delete subs;
    }
    GT_CONFIG_MONITOR_t mon;
    if (cfg.GetMonitorConfig(mon) == 0) {
        QFUZZ_CHECK(Terminated(mon.strIp) && Terminated(mon.strVer));
        QFUZZ_CHECK(Terminated(mon.strGaugeStuName) && Terminated(mon.strGaugeCfgName));
    }
    for (const char* key : kNumberKeys) {
        QFUZZ_CHECK(cfg.GetConfigLongInt(key, 7) == 7 || cfg.HasConfigItem(key));
        cfg.GetConfigInt(key, 0);
    }
    for (const char* key : kTextKeys) {
        std::string text = cfg.GetConfigString(key, "0.0.0.0");
        uint8_t bytes[6];
        CGtConfig::HexStr2Mac(text.c_str(), bytes);
        CGtConfig::DesStr2IpV4(text.c_str(), bytes);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    qfuzz::Reader in(data, size);
    const bool deviceIni = in.Byte() & 1;
    const std::string& dir = qfuzz::ScratchDir();
    const std::string path = dir + (deviceIni ? "/device.ini" : "/quay.ini");
    qfuzz::WriteFile(path, in.Rest(), in.Left());
    if (!deviceIni) {
        QuayIni(path);
        return 0;
    }
    std::string quayIni;
    g_tDevInfo = GT_CONFIG_DEVICE_INFO_t();
    if (ParseRingbufCfg(dir, quayIni) == 0) QFUZZ_CHECK(!quayIni.empty());
    return 0;
}
