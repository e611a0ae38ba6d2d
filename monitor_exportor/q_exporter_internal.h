// Library-internal state and metric blocks of libQxFPGAExporter.
#ifndef Q_EXPORTER_INTERNAL_H
#define Q_EXPORTER_INTERNAL_H

#include <prometheus/metric_family.h>
#include <prometheus/registry.h>

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "Q_Exporter.h"
#include "base_monitor/monitor_base.h"
#include "http/qc_http_server.h"

// One registered block.
struct Metrics_Param {
    METRICS_TYPE nType;
    void* f;  // Q_Cb_Gauge or Q_Cb_Counter
    std::string strDesc;
};

typedef std::map<std::string, Metrics_Param> Q_BlockMap;

// A block being filled during one scrape.
class Q_Base_Block {
public:
    typedef std::pair<std::map<std::string, std::string>, double> Record;

    virtual ~Q_Base_Block();
    // Adds the block's records to the scrape's registry; throws what the
    // registry throws for a family it refuses.
    virtual void Do_Register() = 0;

    const std::string& get_name() const { return m_strName; }
    void set_name(const std::string& name) { m_strName = name; }
    void set_desc(const std::string& desc) { m_strDesc = desc; }
    void set_registry(const std::shared_ptr<prometheus::Registry>& reg) { m_ptrRegistry = reg; }
    // Value of a record; false for a bad index.
    bool set_v(int index, double value);
    // Value of a record that a gauge keeps as given, 0 included.
    bool set_exact(int index, double value);
    bool is_exact(size_t index) const { return m_exact.count(index) != 0; }
    // Label of a record: -1 for a bad index or name, else 0 (a label already
    // present keeps its first value).
    int set_kv(int index, const char* name, const std::string& value);
    bool isIndexOk(int index) const;
    // Appends an empty record and returns its index.
    int addOneLine();
    const std::vector<Record>& records() const { return m_LabelValueLlist; }

    // Labels the registry will take: names it refuses are dropped (and
    // reported through 'dropped'), values are made valid UTF-8.
    prometheus::Labels clean_labels(const std::map<std::string, std::string>& in,
                                    std::vector<std::string>* dropped) const;

protected:
    std::string m_strName;
    std::string m_strDesc;
    std::vector<Record> m_LabelValueLlist;
    std::set<size_t> m_exact;  // indexes of records set with set_exact
    std::shared_ptr<prometheus::Registry> m_ptrRegistry;

public:
    // Label names the registry refused during Do_Register.
    std::vector<std::string> m_dropped;
};

class Q_Gauge_Block : public Q_Base_Block {
public:
    const std::string& GetName() const { return m_strName; }
    int AddKV(int index, const char* name, int value);
    int AddKV(int index, const char* name, int64_t value);
    int AddKV(int index, const char* name, const char* value);
    int AddKV(int index, const char* name, double value);
    void Do_Register() override;
};

class Q_Counter_Block : public Q_Base_Block {
public:
    const std::string& GetName() const { return m_strName; }
    bool SetValue(int index, double value) { return set_v(index, value); }
    int Add_Features(int index, const char* name, int value);
    int Add_Features(int index, const char* name, int64_t value);
    int Add_Features(int index, const char* name, const char* value);
    int Add_Features(int index, const char* name, double value);
    void Do_Register() override;
};

// Messages about blocks that a scrape had to skip or trim, printed once per
// block (again after the block is registered anew).
class Q_ScrapeReporter {
public:
    void report(const std::string& key, const std::string& text);
    void forget(const std::string& block);
    void clear();

private:
    std::mutex m_mutex;
    std::set<std::string> m_done;
};

class CExporter_GlobalInfo {
public:
    CExporter_GlobalInfo();
    ~CExporter_GlobalInfo();
    void clear();

    std::mutex m_Mutex;  // guards m_mapBlockCallBack
    Q_BlockMap m_mapBlockCallBack;
    QC_HttpServer m_HttpServer;
    std::shared_ptr<CMonitor_BaseInfo> m_BaseMonitor;
    std::shared_ptr<CMonitor_NetStatInfo> m_NetMonitor;
    Q_ScrapeReporter m_Reporter;
};

extern CExporter_GlobalInfo g_exporter;

// Name rule for block and label names: non-empty, not beginning with "__".
bool q_name_ok(const char* name);

// Replaces every byte that is not part of a valid UTF-8 sequence with U+FFFD.
std::string q_utf8_clean(const std::string& s);

// The scrape handler passed to the HTTP server.
void q_handle_metrics(QC_ConnectInfo& c);

// The families of one scrape: the process, TCP and UDP families from the
// given monitors, then every block of 'blocks' in name order, filled by its
// callback. reporter may be null (nothing is printed then).
std::vector<prometheus::MetricFamily> q_collect_families(const Q_BlockMap& blocks, CMonitor_BaseInfo& base,
                                                         CMonitor_NetStatInfo& net, Q_ScrapeReporter* reporter);

// The metrics text of one scrape with the library's own monitors.
std::string GetAllBackBuf(const Q_BlockMap& blocks);

#endif
