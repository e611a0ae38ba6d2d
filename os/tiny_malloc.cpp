#include "tiny_malloc.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <new>
#include <vector>

#include "thread_mutex.h"

namespace OSKIT2 {

namespace {

const size_t ALIGN_SIZE = 8;
const uint32_t NODES = 65535;      // node 65535 of the 65536 flag bits is never used
const uint32_t FLAG_WORDS = 2048;
const uint16_t NONE = 0xFFFF;

// One slab: NODES nodes of (size + 8) bytes and a bit per node, 1 = free.
class CTinyMallocUint {
public:
    explicit CTinyMallocUint(uint8_t size)
        : m_lpSpace(nullptr), m_wFreeNodes(0), m_wCurrNode(0), m_bySize(size), m_lpNext(nullptr) {
        m_lpSpace = static_cast<uint8_t*>(malloc(NODES * Stride()));
        memset(m_dwUseFlag, 0xFF, sizeof(m_dwUseFlag));
        m_dwUseFlag[FLAG_WORDS - 1] &= ~(1u << 31);
        m_wFreeNodes = static_cast<uint16_t>(NODES);
    }
    ~CTinyMallocUint() { free(m_lpSpace); }
    bool Valid() const { return m_lpSpace != nullptr; }
    size_t Stride() const { return m_bySize + ALIGN_SIZE; }
    uint16_t FreeNodes() const { return m_wFreeNodes; }
    uint8_t* Begin() const { return m_lpSpace; }
    uint8_t* End() const { return m_lpSpace + NODES * Stride(); }

    // Address of a free node, null when full.
    uint8_t* unitmalloc() {
        if (m_wFreeNodes == 0) return nullptr;
        uint32_t w = m_wCurrNode;
        for (uint32_t i = 0; i < FLAG_WORDS && m_dwUseFlag[w] == 0; ++i) w = (w + 1) % FLAG_WORDS;
        if (m_dwUseFlag[w] == 0) return nullptr;
        uint32_t bit = static_cast<uint32_t>(__builtin_ctz(m_dwUseFlag[w]));
        m_dwUseFlag[w] &= ~(1u << bit);
        --m_wFreeNodes;
        m_wCurrNode = static_cast<uint16_t>(w);
        return m_lpSpace + (w * 32 + bit) * Stride();
    }

    // 0 when returned, 1 for a pointer outside the slab, 2 when already free.
    int unitfree(uint8_t* node) {
        if (node < Begin() || node >= End()) return 1;
        size_t off = static_cast<size_t>(node - m_lpSpace);
        if (off % Stride() != 0) return 1;
        uint32_t idx = static_cast<uint32_t>(off / Stride());
        uint32_t w = idx / 32, bit = idx % 32;
        if (m_dwUseFlag[w] & (1u << bit)) {
            printf("double free\n");
            return 2;
        }
        m_dwUseFlag[w] |= 1u << bit;
        ++m_wFreeNodes;
        m_wCurrNode = static_cast<uint16_t>(w);
        return 0;
    }

private:
    uint8_t* m_lpSpace;
    uint32_t m_dwUseFlag[FLAG_WORDS];
    uint16_t m_wFreeNodes;
    uint16_t m_wCurrNode;
    uint8_t m_bySize;
    CTinyMallocUint* m_lpNext;
};

// One size class: an array of slabs growing by 4.
class CTinyMalloc {
public:
    explicit CTinyMalloc(uint8_t size)
        : m_lppUnits(nullptr), m_wUnitSize(0), m_wUnitCount(0), m_dwUsedNodes(0), m_wCurrentUnit(NONE),
          m_wNextUnit(NONE), m_bySize(size) {}
    ~CTinyMalloc() {
        for (uint16_t i = 0; i < m_wUnitCount; ++i) delete m_lppUnits[i];
        free(m_lppUnits);
    }

    // index receives the slab the node came from; addslab reports a new slab.
    uint8_t* tmalloc(CTinyMallocUint** added) {
        *added = nullptr;
        uint16_t u = m_wCurrentUnit;
        if (u == NONE && m_wNextUnit != NONE) {
            u = m_wNextUnit;
            m_wNextUnit = NONE;
        }
        if (u == NONE && m_dwUsedNodes < static_cast<uint32_t>(m_wUnitCount) * NODES) {
            uint16_t best = NONE;
            for (uint16_t i = 0; i < m_wUnitCount; ++i)
                if (best == NONE || m_lppUnits[i]->FreeNodes() > m_lppUnits[best]->FreeNodes()) best = i;
            u = best;
        }
        if (u == NONE) {
            if (m_wUnitCount >= NONE - 1) return nullptr;
            if (m_wUnitCount == m_wUnitSize) {
                uint16_t cap = static_cast<uint16_t>(m_wUnitSize + 4);
                void* grown = realloc(m_lppUnits, cap * sizeof(CTinyMallocUint*));
                if (!grown) return nullptr;
                m_lppUnits = static_cast<CTinyMallocUint**>(grown);
                m_wUnitSize = cap;
            }
            CTinyMallocUint* slab = new (std::nothrow) CTinyMallocUint(m_bySize);
            if (!slab || !slab->Valid()) {
                delete slab;
                return nullptr;
            }
            u = m_wUnitCount++;
            m_lppUnits[u] = slab;
            *added = slab;
        }
        m_wCurrentUnit = u;
        CTinyMallocUint* slab = m_lppUnits[u];
        uint8_t* node = slab->unitmalloc();
        if (!node) return nullptr;
        ++m_dwUsedNodes;
        node[0] = static_cast<uint8_t>(u & 0xFF);
        node[1] = static_cast<uint8_t>(u >> 8);
        node[2] = m_bySize;
        node[3] = 0xFF;
        if (slab->FreeNodes() == 0) m_wCurrentUnit = NONE;
        return node;
    }

    // 0 when the block went back, 1 when its header names no slab of this
    // class or the slab does not hold it, 2 when it was already free.
    int tfree(uint8_t* node) {
        uint16_t u = static_cast<uint16_t>(node[0] | (node[1] << 8));
        if (u >= m_wUnitCount) return 1;
        CTinyMallocUint* slab = m_lppUnits[u];
        int rc = slab->unitfree(node);
        if (rc != 0) return rc;
        node[2] = 0;
        --m_dwUsedNodes;
        if (u != m_wCurrentUnit &&
            (m_wNextUnit == NONE || slab->FreeNodes() > m_lppUnits[m_wNextUnit]->FreeNodes()))
            m_wNextUnit = u;
        return 0;
    }

    uint8_t Size() const { return m_bySize; }
    uint32_t UsedNodes() const { return m_dwUsedNodes; }
    uint16_t UnitCount() const { return m_wUnitCount; }
    uint16_t UnitCapacity() const { return m_wUnitSize; }
    int64_t TotalMem() const {
        return static_cast<int64_t>(m_wUnitCount) *
                   (static_cast<int64_t>(m_bySize + ALIGN_SIZE) * NODES + sizeof(CTinyMallocUint)) +
               static_cast<int64_t>(m_wUnitSize) * 8 + 24;
    }

private:
    CTinyMallocUint** m_lppUnits;
    uint16_t m_wUnitSize;
    uint16_t m_wUnitCount;
    uint32_t m_dwUsedNodes;
    uint16_t m_wCurrentUnit;
    uint16_t m_wNextUnit;
    uint8_t m_bySize;
};

struct TinyState {
    CThreadMutex lock;
    int users = 0;
    CTinyMalloc* classes[256] = {};
    // Every slab with its class, sorted by start address: tiny_free looks a
    // pointer up here before it reads the header in front of it.
    struct SlabRef {
        const uint8_t* begin;
        CTinyMallocUint* slab;
        CTinyMalloc* owner;
    };
    std::vector<SlabRef> slabs;
};

TinyState& State() {
    static TinyState* s = new TinyState;  // lives until exit; blocks may be freed late
    return *s;
}

void ReleaseAll(TinyState& s) {
    for (auto& c : s.classes) {
        delete c;
        c = nullptr;
    }
    s.slabs.clear();
}

}  // namespace

}  // namespace OSKIT2

using namespace OSKIT2;

extern "C" {

void tiny_malloc_init(void) {
    TinyState& s = State();
    CAutoMutex l(s.lock);
    ++s.users;
}

void tiny_malloc_uninit(void) {
    TinyState& s = State();
    CAutoMutex l(s.lock);
    if (s.users <= 0) return;
    if (--s.users == 0) ReleaseAll(s);
}

void* tiny_malloc(size_t size) {
    if (size == 0 || size > 255) return nullptr;
    TinyState& s = State();
    CAutoMutex l(s.lock);
    CTinyMalloc*& cls = s.classes[size];
    if (!cls) {
        cls = new (std::nothrow) CTinyMalloc(static_cast<uint8_t>(size));
        if (!cls) return nullptr;
    }
    CTinyMallocUint* added = nullptr;
    uint8_t* node = cls->tmalloc(&added);
    if (added) {
        TinyState::SlabRef ref = {added->Begin(), added, cls};
        auto at = std::upper_bound(s.slabs.begin(), s.slabs.end(), ref.begin,
                                   [](const uint8_t* a, const TinyState::SlabRef& r) { return a < r.begin; });
        s.slabs.insert(at, ref);
    }
    return node ? node + ALIGN_SIZE : nullptr;
}

int tiny_free(void* p) {
    if (!p) return 0;
    TinyState& s = State();
    CAutoMutex l(s.lock);
    uint8_t* node = static_cast<uint8_t*>(p) - ALIGN_SIZE;
    auto it = std::upper_bound(s.slabs.begin(), s.slabs.end(), static_cast<const uint8_t*>(node),
                               [](const uint8_t* a, const TinyState::SlabRef& r) { return a < r.begin; });
    if (it == s.slabs.begin()) return 0;
    --it;
    CTinyMallocUint* slab = it->slab;
    if (node >= slab->End() || static_cast<size_t>(node - slab->Begin()) % slab->Stride() != 0) return 0;
    // The header is one of ours from here on.
    if (node[2] == 0) return 0;
    CTinyMalloc* cls = s.classes[node[2]];
    if (!cls) return -1;
    if (cls != it->owner) return 0;
    cls->tfree(node);
    return 0;
}

void tiny_print_malloc_info(void) {
    TinyState& s = State();
    CAutoMutex l(s.lock);
    printf("%s   %s    %s   %s      %s\n", "pool_size", "malloc_nodes", "malloc_units", "malloc_unit_size",
           "total_mem");
    for (auto* c : s.classes) {
        if (!c) continue;
        printf("   %4d     %10d       %4d            %4d             %12lld   \n", c->Size(),
               static_cast<int>(c->UsedNodes()), c->UnitCount(), c->UnitCapacity(),
               static_cast<long long>(c->TotalMem()));
    }
}

int tiny_get_malloc_info(const TinyInfoWriter* w) {
    if (!w || !w->add_column || !w->add_row) return -1;
    TinyState& s = State();
    CAutoMutex l(s.lock);
    static const char* const cols[5] = {"pool_size", "malloc_nodes", "malloc_units", "malloc_unit_size",
                                        "total_mem"};
    for (const char* c : cols) w->add_column(w->ctx, c, "text", 255, 4);
    int rows = 0;
    for (auto* c : s.classes) {
        if (!c) continue;
        int64_t v[5] = {c->Size(), c->UsedNodes(), c->UnitCount(), c->UnitCapacity(), c->TotalMem()};
        w->add_row(w->ctx, v);
        ++rows;
    }
    return rows;
}

}  // extern "C"
