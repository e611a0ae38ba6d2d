#ifndef QUAY_POOL_FIXTURE_H
#define QUAY_POOL_FIXTURE_H

// Fixtures of the pool tests. PoolKeys holds the fixed IPC keys for the
// whole test and leaves no segment or semaphore set before or after it (see
// ipc_key_test.h), for tests that make their pools themselves. PoolFixture adds the producer of
// the shared segment in the test's process and a log directory for its
// peers (pool_peer, possibly as another user).
//
//   class MyPool : public pooltest::PoolFixture {
//   protected:
//       MyPool() : PoolFixture("mypool") {}
//   };
//   TEST_F(MyPool, X) { StartProducer(MKRX_RAW_FPGA_DATA); ... m_head ... }

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <memory>

#include "drvRingBufPool.h"
#include "ipc_key_test.h"
#include "test_util.h"

namespace pooltest {

// Base: ::testing::Test, or TestWithParam<T> for a parameterised suite.
template <class Base = ::testing::Test>
class PoolKeys : public qtest::IpcKeyTest<Base> {
protected:
    // This process's mapping of the segment, if any, goes before the keys.
    void TearDown() override {
        DetachShareMem();
        qtest::IpcKeyTest<Base>::TearDown();
    }
};

class PoolFixture : public PoolKeys<> {
protected:
    // logPrefix: name of the peers' log directory under TMPDIR.
    explicit PoolFixture(const char* logPrefix) : m_logs(logPrefix) {}

    void SetUp() override {
        PoolKeys::SetUp();
        chmod(m_logs.path().c_str(), 0777);
    }
    // A derived fixture lets go of its consumers first, then calls this.
    void TearDown() override {
        m_pool.reset();
        PoolKeys::TearDown();
    }
    // The producer in this process: a shared ring of mib MiB, framing type.
    void StartProducer(int type, uint32_t mib = 1) {
        _DMaInitParam_t p;
        p.uiPoolSize = mib;
        p.eDataType = (MkrxDataType_e)type;
        p.eRunMode = MKRX_MULTI_SDK_PRODUCE_MODE;
        m_type = type;
        m_pool.reset(new CDrvRingBufPool);
        ASSERT_EQ(0, m_pool->Init(&p));
        m_head = static_cast<MkrxShareMemInfo_t*>(GetShareMemBase());
    }

    qtest::TempDir m_logs;
    std::unique_ptr<CDrvRingBufPool> m_pool;
    MkrxShareMemInfo_t* m_head = nullptr;  // the segment, once the producer runs
    int m_type = 0;                        // the producer's framing
};

}  // namespace pooltest

#endif
