#ifndef GT_MONITOR_SERVER_H
#define GT_MONITOR_SERVER_H

// The monitor server: publishes the card's configuration and monitor
// readouts as two Prometheus gauge blocks through libQxFPGAExporter.
//
//   GT_MONITOR_PARAM_t p{g_lpConfig, g_lpFpgaService};
//   CGtMonitorServer* srv = CGtMonitorServer::GetInstance();
//   if (srv->Init(&p) == 0 && srv->Start() == 0) period = srv->GetRecordTimeLen();
//
// Threads: GetInstance and Init may be called from any thread (class mutex).
// Start also registers the numeric families (card registers and state, last
// reset, shared pool health); their callbacks, like the two gauges', run on
// the exporter's HTTP thread and keep what they remember in statics that
// only that thread touches. The pool is read from a read-only attachment of
// its segment, without its locks.
// Start, Stop and GetRecordTimeLen belong to the thread that owns the server
// (the daemon's main thread). The two block callbacks run on the exporter's
// HTTP thread; they read the FPGA service only through its monitor-map
// look-ups, which take the service's mutex, and the register catalogue, which
// nobody changes after bring-up. m_strLastResetTime is touched only by the
// status callback.

#include <atomic>
#include <cstdint>
#include <string>

#include "Q_Exporter.h"
#include "gt_config.h"
#include "thread_mutex.h"

class CGtFpgaService;

class IMonitor {
public:
    virtual ~IMonitor() {}
    virtual int32_t Init(void* param) = 0;
    virtual int32_t Start() = 0;
    virtual int32_t Stop() = 0;
};

// Argument of CGtMonitorServer::Init. Neither object is owned by the server;
// the record itself may be released right after the call.
struct GT_MONITOR_PARAM_t {
    IConfig* lpCfgObject = nullptr;          // a CGtConfig
    CGtFpgaService* lpFpgaService = nullptr;
};

// Value of last_reset until a valid reset log has been read.
#define GT_MONITOR_NO_RESET "00000000 00:00:00"
// Label and text published instead of the card when there is no FPGA service.
#define GT_MONITOR_NOT_READY_LABEL "config"
#define GT_MONITOR_NOT_READY_TEXT "The system service is not ready! Please check!"

class CGtMonitorServer : public IMonitor {
public:
    // The process-wide instance, created on first use; never destroyed.
    static CGtMonitorServer* GetInstance();

    // 0; 600001 already initialised; 600005 no configuration object or bad
    // settings (port outside 1..65536, address shorter than 7 characters);
    // the code of CGtConfig::GetMonitorConfig when the settings are missing.
    // The FPGA service is stored first, also when the call fails.
    int32_t Init(void* param) override;
    // Starts the exporter and registers the configuration and status blocks,
    // then the numeric families.
    // 0; 600002 not initialised; 600006 exporter start or registration failed
    // (the exporter is left as far as it got).
    int32_t Start() override;
    // Stops the exporter: its result.
    int32_t Stop() override;

    // Record period in seconds, or -1 (logged) when not initialised.
    int32_t GetRecordTimeLen();
    CGtFpgaService* GetFpgaService() { return m_lpFpgaService.load(std::memory_order_acquire); }

    // Reads "./.reset_log" into buf (len bytes, cleared first). True only for
    // a reset made by the daemon or the tool: "YYYYMMDD hh:mm:ss quay" or
    // "... quay_tool". A missing file gives false silently; an empty or
    // malformed one is logged.
    bool GetLastResetTime(char* buf, int len);
    // The same check; bLog false reads without logging what it refuses. A
    // reset log that is not a regular file (a FIFO, a link, a device) is
    // refused without waiting.
    static bool ReadResetLog(char* buf, int len, bool bLog);

    // Port and address rule of the settings: 0 or 600005 (logged).
    static int32_t CheckConfig(GT_CONFIG_MONITOR_t& tConfig);

    // The two block callbacks (exporter HTTP thread). Each adds one record
    // whose labels carry the values; the value is left to the exporter.
    static void QCbGaugeConfigCallback(Q_Exporter_LPHandle handle);
    static void QCbGaugeStatusCallback(Q_Exporter_LPHandle handle);

    CGtMonitorServer(const CGtMonitorServer&) = delete;
    CGtMonitorServer& operator=(const CGtMonitorServer&) = delete;

private:
    CGtMonitorServer();
    ~CGtMonitorServer() override {}
    // Registers the numeric families: 0 or 600006 (logged).
    static int32_t RegistNumericFamilies();

    std::string m_strLastResetTime;
    bool m_bInited;
    GT_CONFIG_MONITOR_t m_tMonitorConfig;
    CGtConfig* m_lpConfigObj;
    // Read by the callbacks while a later Init may store it again.
    std::atomic<CGtFpgaService*> m_lpFpgaService;

    // Tested once without the lock and again under it: atomic, so the
    // unlocked test is well defined while another thread creates it.
    static std::atomic<CGtMonitorServer*> pInstance;
    static OSKIT2::CThreadMutex m_mutex;
};

#endif
