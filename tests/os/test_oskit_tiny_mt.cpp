// The block allocator shared by several threads: no block is handed to two
// owners at once.
#include <gtest/gtest.h>

#include <string.h>

#include <thread>
#include <vector>

#include "tiny_malloc.h"

TEST(OskitTinyThreads, ConcurrentOwnersNeverShareABlock) {
    auto worker = [](unsigned char tag, bool* ok) {
        std::vector<unsigned char*> mine;
        for (int round = 0; round < 20000; ++round) {
            size_t size = 8 + static_cast<size_t>(round % 4) * 8;
            auto* p = static_cast<unsigned char*>(tiny_malloc(size));
            if (!p) {
                *ok = false;
                return;
            }
            memset(p, tag, size);
            mine.push_back(p);
            if (mine.size() > 64) {
                unsigned char* q = mine.front();
                mine.erase(mine.begin());
                for (size_t i = 0; i < 8; ++i)
                    if (q[i] != tag) *ok = false;
                tiny_free(q);
            }
        }
        for (unsigned char* q : mine) tiny_free(q);
    };
    bool ok1 = true, ok2 = true;
    std::thread a(worker, 0x11, &ok1), b(worker, 0x22, &ok2);
    a.join();
    b.join();
    EXPECT_TRUE(ok1);
    EXPECT_TRUE(ok2);
}
