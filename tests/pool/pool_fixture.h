#ifndef QUAY_POOL_FIXTURE_H
#define QUAY_POOL_FIXTURE_H

// Fixture of the pool tests whose process is the producer of the shared
// segment and whose peers (pool_peer, possibly as another user) log into a
// directory of the test's own. The fixed IPC keys are held for the whole
// test, and no segment or semaphore set is left before or after it.
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
#include "ipc_key_lock.h"
#include "test_util.h"

namespace pooltest {

class PoolFixture : public ::testing::Test {
protected:
    // logPrefix: name of the peers' log directory under TMPDIR.
    explicit PoolFixture(const char* logPrefix) : m_logs(logPrefix) {}

    qtest::IpcKeyLock m_keys;  // first: held before set-up, released after tear-down
    void SetUp() override {
        qtest::RemovePoolIpc();
        chmod(m_logs.path().c_str(), 0777);
    }
    // A derived fixture lets go of its consumers first, then calls this.
    void TearDown() override {
        m_pool.reset();
        DetachShareMem();
        qtest::RemovePoolIpc();
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
