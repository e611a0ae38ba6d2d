#include <inttypes.h>
#include <prometheus/check_names.h>
#include <prometheus/counter.h>
#include <prometheus/family.h>
#include <prometheus/gauge.h>
#include <prometheus/text_serializer.h>

#include <cstdio>
#include <cstring>
#include <exception>

#include "q_exporter_internal.h"

namespace {

const char kProcessFamily[] = "process_base_info_guage";
const char kProcessHelp[] = "the base_info of application";
const char kTcpFamily[] = "net_tcp_state_guage";
const char kTcpHelp[] = "the net_tcp_state of application";
const char kUdpFamily[] = "net_udp_state_guage";
const char kUdpHelp[] = "the net_udp_state of application";

std::string fmt_int(int v) {
    char b[32];
    snprintf(b, sizeof(b), "%d", v);
    return b;
}
std::string fmt_int64(int64_t v) {
    char b[32];
    snprintf(b, sizeof(b), "%" PRId64, v);
    return b;
}
std::string fmt_double(double v) {
    char b[512];
    snprintf(b, sizeof(b), "%f", v);
    return b;
}

bool is_builtin_family(const std::string& name) {
    return name == kProcessFamily || name == kTcpFamily || name == kUdpFamily;
}

// The block behind a handle, or null for a null handle, a type other than
// gauge or counter, or (want >= 0) a type other than want.
Q_Base_Block* block_of(Q_Exporter_LPHandle h, int want) {
    if (!h || !h->_handle) return nullptr;
    if (h->_type != METRICS_TYPE_GAUGE && h->_type != METRICS_TYPE_COUNTER) return nullptr;
    if (want >= 0 && h->_type != want) return nullptr;
    return static_cast<Q_Base_Block*>(h->_handle);
}

Q_Gauge_Block* gauge_of(Q_Exporter_LPHandle h) {
    return static_cast<Q_Gauge_Block*>(block_of(h, METRICS_TYPE_GAUGE));
}
Q_Counter_Block* counter_of(Q_Exporter_LPHandle h) {
    return static_cast<Q_Counter_Block*>(block_of(h, METRICS_TYPE_COUNTER));
}

}  // namespace

// ---------------------------------------------------------------------------

bool q_name_ok(const char* name) { return name && name[0] != '\0' && strncmp(name, "__", 2) != 0; }

std::string q_utf8_clean(const std::string& s) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(s.data());
    size_t n = s.size();
    size_t i = 0;
    while (i < n && p[i] < 0x80) ++i;
    if (i == n) return s;  // plain ASCII

    std::string out(s, 0, i);
    while (i < n) {
        unsigned char c = p[i];
        size_t len = 0;
        uint32_t cp = 0;
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
            ++i;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            cp = c & 0x07;
        }
        bool ok = len > 0 && i + len <= n;
        for (size_t k = 1; ok && k < len; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) ok = false;
            else cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        if (ok) {
            // Overlong forms, surrogates and values past U+10FFFF are invalid.
            if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
                (cp >= 0xD800 && cp <= 0xDFFF))
                ok = false;
        }
        if (ok) {
            out.append(s, i, len);
            i += len;
        } else {
            out.append("\xEF\xBF\xBD");
            ++i;
        }
    }
    return out;
}

// ---------------------------------------------------------------------------

Q_Base_Block::~Q_Base_Block() {}

bool Q_Base_Block::isIndexOk(int index) const {
    return index >= 0 && static_cast<size_t>(index) < m_LabelValueLlist.size();
}

int Q_Base_Block::addOneLine() {
    m_LabelValueLlist.emplace_back();
    m_LabelValueLlist.back().second = 0.0;
    return static_cast<int>(m_LabelValueLlist.size()) - 1;
}

bool Q_Base_Block::set_v(int index, double value) {
    if (!isIndexOk(index)) return false;
    m_LabelValueLlist[static_cast<size_t>(index)].second = value;
    return true;
}

bool Q_Base_Block::set_exact(int index, double value) {
    if (!set_v(index, value)) return false;
    m_exact.insert(static_cast<size_t>(index));
    return true;
}

int Q_Base_Block::set_kv(int index, const char* name, const std::string& value) {
    if (!isIndexOk(index) || !q_name_ok(name)) return -1;
    m_LabelValueLlist[static_cast<size_t>(index)].first.emplace(name, value);  // the first value stays
    return 0;
}

prometheus::Labels Q_Base_Block::clean_labels(const std::map<std::string, std::string>& in,
                                              std::vector<std::string>* dropped) const {
    prometheus::Labels out;
    for (const auto& kv : in) {
        if (!prometheus::CheckLabelName(kv.first)) {
            if (dropped) dropped->push_back(kv.first);
            continue;
        }
        out.emplace(kv.first, q_utf8_clean(kv.second));
    }
    return out;
}

int Q_Gauge_Block::AddKV(int index, const char* name, int value) { return set_kv(index, name, fmt_int(value)); }
int Q_Gauge_Block::AddKV(int index, const char* name, int64_t value) {
    return set_kv(index, name, fmt_int64(value));
}
int Q_Gauge_Block::AddKV(int index, const char* name, const char* value) {
    if (!value) return -1;
    return set_kv(index, name, value);
}
int Q_Gauge_Block::AddKV(int index, const char* name, double value) {
    return set_kv(index, name, fmt_double(value));
}

void Q_Gauge_Block::Do_Register() {
    if (m_LabelValueLlist.empty() || !m_ptrRegistry) return;
    auto& family =
        prometheus::BuildGauge().Name(m_strName).Help(q_utf8_clean(m_strDesc)).Register(*m_ptrRegistry);
    for (size_t i = 0; i < m_LabelValueLlist.size(); ++i) {
        const Record& rec = m_LabelValueLlist[i];
        prometheus::Gauge& g = family.Add(clean_labels(rec.first, &m_dropped));
        if (!is_exact(i) && rec.second > -1e-6 && rec.second < 1e-6)
            g.SetToCurrentTime();
        else
            g.Set(rec.second);
    }
}

int Q_Counter_Block::Add_Features(int index, const char* name, int value) {
    return set_kv(index, name, fmt_int(value));
}
int Q_Counter_Block::Add_Features(int index, const char* name, int64_t value) {
    return set_kv(index, name, fmt_int64(value));
}
int Q_Counter_Block::Add_Features(int index, const char* name, const char* value) {
    if (!value) return -1;
    return set_kv(index, name, value);
}
int Q_Counter_Block::Add_Features(int index, const char* name, double value) {
    return set_kv(index, name, fmt_double(value));
}

void Q_Counter_Block::Do_Register() {
    if (m_LabelValueLlist.empty() || !m_ptrRegistry) return;
    auto& family =
        prometheus::BuildCounter().Name(m_strName).Help(q_utf8_clean(m_strDesc)).Register(*m_ptrRegistry);
    for (const Record& rec : m_LabelValueLlist) {
        prometheus::Counter& c = family.Add(clean_labels(rec.first, &m_dropped));
        c.Increment(rec.second);  // a negative value leaves the counter alone
    }
}

// ---------------------------------------------------------------------------

void Q_ScrapeReporter::report(const std::string& key, const std::string& text) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_done.insert(key).second) return;
    }
    fprintf(stderr, "%s\n", text.c_str());
}

void Q_ScrapeReporter::forget(const std::string& block) {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string prefix = block + '\n';
    for (auto it = m_done.lower_bound(prefix); it != m_done.end() && it->compare(0, prefix.size(), prefix) == 0;)
        it = m_done.erase(it);
}

void Q_ScrapeReporter::clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_done.clear();
}

// ---------------------------------------------------------------------------

CExporter_GlobalInfo g_exporter;

CExporter_GlobalInfo::CExporter_GlobalInfo()
    : m_BaseMonitor(std::make_shared<CBaseMonitor_linux>()),
      m_NetMonitor(std::make_shared<CMonitor_NetStatInfo_Linux>()) {}

CExporter_GlobalInfo::~CExporter_GlobalInfo() {
    // The poll thread uses the monitors and the block map: stop it first.
    m_HttpServer.stop();
}

void CExporter_GlobalInfo::clear() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_mapBlockCallBack.clear();
}

std::vector<prometheus::MetricFamily> q_collect_families(const Q_BlockMap& blocks, CMonitor_BaseInfo& base,
                                                         CMonitor_NetStatInfo& net, Q_ScrapeReporter* reporter) {
    auto registry = std::make_shared<prometheus::Registry>(prometheus::Registry::InsertBehavior::Merge);

    prometheus::Labels proc;
    for (const auto& kv : base.GetProcessInfo()) proc.emplace(kv.first, q_utf8_clean(kv.second));
    prometheus::BuildGauge().Name(kProcessFamily).Help(kProcessHelp).Register(*registry).Add(proc).SetToCurrentTime();

    Q_NetStat_List tcp;
    net.GetNetstatInfo_TCP(tcp);
    if (!tcp.empty()) {
        auto& fam = prometheus::BuildGauge().Name(kTcpFamily).Help(kTcpHelp).Register(*registry);
        for (const auto& labels : tcp) {
            if (!labels.empty()) fam.Add(prometheus::Labels(labels.begin(), labels.end()));
        }
    }
    Q_NetStat_List udp;
    net.GetNetstatInfo_UDP(udp);
    if (!udp.empty()) {
        auto& fam = prometheus::BuildGauge().Name(kUdpFamily).Help(kUdpHelp).Register(*registry);
        for (const auto& labels : udp) {
            if (!labels.empty()) fam.Add(prometheus::Labels(labels.begin(), labels.end()));
        }
    }

    for (const auto& entry : blocks) {
        const std::string& name = entry.first;
        const Metrics_Param& param = entry.second;
        if (param.nType != METRICS_TYPE_GAUGE && param.nType != METRICS_TYPE_COUNTER) continue;
        if (!param.f) continue;
        if (is_builtin_family(name)) {
            if (reporter)
                reporter->report(name + "\nbuiltin",
                                 "metric block " + name + " skipped: the name belongs to a built-in family");
            continue;
        }
        std::unique_ptr<Q_Base_Block> block;
        if (param.nType == METRICS_TYPE_COUNTER)
            block.reset(new Q_Counter_Block());
        else
            block.reset(new Q_Gauge_Block());
        block->set_name(name);
        block->set_desc(param.strDesc);
        block->set_registry(registry);
        Q_Exporter_Handle handle = {block.get(), static_cast<int>(param.nType)};
        try {
            reinterpret_cast<Q_Cb_Gauge>(param.f)(&handle);
            block->Do_Register();
        } catch (const std::exception& e) {
            if (reporter)
                reporter->report(name + "\nerror", "metric block " + name + " skipped: " + e.what());
            continue;
        } catch (...) {
            if (reporter) reporter->report(name + "\nerror", "metric block " + name + " skipped: unknown error");
            continue;
        }
        if (reporter) {
            for (const auto& label : block->m_dropped)
                reporter->report(name + "\nlabel:" + label,
                                 "metric block " + name + ": label " + label + " dropped, invalid label name");
        }
    }
    return registry->Collect();
}

std::string GetAllBackBuf(const Q_BlockMap& blocks) {
    auto families =
        q_collect_families(blocks, *g_exporter.m_BaseMonitor, *g_exporter.m_NetMonitor, &g_exporter.m_Reporter);
    return prometheus::TextSerializer().Serialize(families);
}

void q_handle_metrics(QC_ConnectInfo& c) {
    Q_BlockMap blocks;
    {
        std::lock_guard<std::mutex> lock(g_exporter.m_Mutex);
        blocks = g_exporter.m_mapBlockCallBack;
    }
    c.strSend += GetAllBackBuf(blocks);
}

// ---------------------------------------------------------------------------
// C interface

namespace {

int regist(const char* name, const char* desc, void* f, METRICS_TYPE type, const char* failure) {
    if (!q_name_ok(name) || !desc || !f) {
        fprintf(stderr, "%s\n", failure);
        return -1;
    }
    std::string key(name);
    {
        std::lock_guard<std::mutex> lock(g_exporter.m_Mutex);
        Metrics_Param& p = g_exporter.m_mapBlockCallBack[key];
        p.nType = type;
        p.f = f;
        p.strDesc = desc;
    }
    g_exporter.m_Reporter.forget(key);
    return 0;
}

}  // namespace

extern "C" {

int Q_Exporter_Init(int nPort, const char* strIp, const char* strVersion, const char* strPath) {
    if (static_cast<unsigned>(nPort) > 0xFFFFu) {
        fprintf(stderr, "Invalid port\n");
        return -1;
    }
    if (!strIp || !strPath) {
        fprintf(stderr, "Q_Exporter_Init: address and path must not be null\n");
        return -1;
    }
    if (g_exporter.m_HttpServer.started()) {
        fprintf(stderr, "QC_http_server_socket::init has already started.\n");
        return -1;
    }
    if (strVersion && strVersion[0] != '\0') g_exporter.m_BaseMonitor->SetVerision(strVersion);
    QC_Http_CallBack cb = q_handle_metrics;
    if (g_exporter.m_HttpServer.init(cb, nPort, strIp, strPath) != 0) return -1;
    return g_exporter.m_HttpServer.start();
}

int Q_Exporter_Regist_Gauge(const char* strBlockName, const char* strBlockDesc, Q_Cb_Gauge f_c) {
    return regist(strBlockName, strBlockDesc, reinterpret_cast<void*>(f_c), METRICS_TYPE_GAUGE,
                  "Regist_Gauge failed. Please check the parameter.");
}

int Q_Exporter_Regist_Counter(const char* strBlockName, const char* strBlockDesc, Q_Cb_Counter f_c) {
    return regist(strBlockName, strBlockDesc, reinterpret_cast<void*>(f_c), METRICS_TYPE_COUNTER,
                  "Regist_Counter failed. Please check the parameter.");
}

int Q_Exporter_CreatRecord(Q_Exporter_LPHandle handle) {
    Q_Base_Block* b = block_of(handle, -1);
    return b ? b->addOneLine() : -1;
}

void Q_Exporter_SetValue(Q_Exporter_LPHandle handle, Q_Exporter_Line_Index index, double fValue) {
    Q_Base_Block* b = block_of(handle, -1);
    if (b) b->set_v(index, fValue);
}

void Q_Exporter_SetValueExact(Q_Exporter_LPHandle handle, Q_Exporter_Line_Index index, double fValue) {
    Q_Base_Block* b = block_of(handle, -1);
    if (b) b->set_exact(index, fValue);
}

int Q_Exporter_Gauge_Add_int(Q_Exporter_LPHandle handle, Q_Exporter_Line_Index index, const char* strName,
                             int value) {
    Q_Gauge_Block* b = gauge_of(handle);
    return b ? b->AddKV(index, strName, value) : -1;
}

int Q_Exporter_Gauge_Add_int64(Q_Exporter_LPHandle handle, Q_Exporter_Line_Index index, const char* strName,
                               int64_t value) {
    Q_Gauge_Block* b = gauge_of(handle);
    return b ? b->AddKV(index, strName, value) : -1;
}

int Q_Exporter_Gauge_Add_str(Q_Exporter_LPHandle handle, Q_Exporter_Line_Index index, const char* strName,
                             const char* value) {
    Q_Gauge_Block* b = gauge_of(handle);
    return b ? b->AddKV(index, strName, value) : -1;
}

int Q_Exporter_Gauge_Add_double(Q_Exporter_LPHandle handle, Q_Exporter_Line_Index index, const char* strName,
                                double value) {
    Q_Gauge_Block* b = gauge_of(handle);
    return b ? b->AddKV(index, strName, value) : -1;
}

int Q_Exporter_Counter_Add_Features_int(Q_Exporter_LPHandle handle, Q_Exporter_Line_Index index,
                                        const char* strName, int value) {
    Q_Counter_Block* b = counter_of(handle);
    return b ? b->Add_Features(index, strName, value) : -1;
}

int Q_Exporter_Counter_Add_Features_int64(Q_Exporter_LPHandle handle, Q_Exporter_Line_Index index,
                                          const char* strName, int64_t value) {
    Q_Counter_Block* b = counter_of(handle);
    return b ? b->Add_Features(index, strName, value) : -1;
}

int Q_Exporter_Counter_Add_Features_str(Q_Exporter_LPHandle handle, Q_Exporter_Line_Index index,
                                        const char* strName, const char* value) {
    Q_Counter_Block* b = counter_of(handle);
    return b ? b->Add_Features(index, strName, value) : -1;
}

int Q_Exporter_Counter_Add_Features_double(Q_Exporter_LPHandle handle, Q_Exporter_Line_Index index,
                                           const char* strName, double value) {
    Q_Counter_Block* b = counter_of(handle);
    return b ? b->Add_Features(index, strName, value) : -1;
}

const char* Q_Exporter_GetName(Q_Exporter_LPHandle handle) {
    Q_Base_Block* b = block_of(handle, -1);
    return b ? b->get_name().c_str() : nullptr;
}

int Q_Exporter_Fini(void) {
    if (g_exporter.m_HttpServer.on_poll_thread()) {
        fprintf(stderr, "Q_Exporter_Fini: not allowed inside a metric callback\n");
        return -1;
    }
    g_exporter.m_HttpServer.stop();
    g_exporter.clear();
    g_exporter.m_Reporter.clear();
    return 0;
}

}  // extern "C"
