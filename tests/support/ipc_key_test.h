#ifndef QUAY_TEST_IPC_KEY_TEST_H
#define QUAY_TEST_IPC_KEY_TEST_H

// Fixture of a test on the shared pool's fixed SysV keys: the key lock (see
// ipc_key_lock.h) is held from before set-up to after tear-down, and the
// pool's segment and semaphore sets are removed before and after the test.
// A derived fixture that overrides SetUp or TearDown calls this one's too,
// TearDown after letting go of its own processes and pools.
//
//   class MyTest : public qtest::IpcKeyTest<> { ... };
//   class MyParamTest : public qtest::IpcKeyTest<::testing::TestWithParam<int>> { ... };

#include <gtest/gtest.h>

#include "ipc_key_lock.h"

namespace qtest {

template <class Base = ::testing::Test>
class IpcKeyTest : public Base {
protected:
    IpcKeyLock m_keys;  // first: held before set-up, released after tear-down
    void SetUp() override { RemovePoolIpc(); }
    void TearDown() override { RemovePoolIpc(); }
};

}  // namespace qtest

#endif
