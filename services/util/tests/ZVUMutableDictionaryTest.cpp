#include "services/util/ZVUMutableDictionary.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

TEST(ZVUMutableDictionaryTest, ReadsSeeEarlierWritesAndSnapshotsStayPut) {
    ZVUMutableDictionary map;
    map.setObject("v", "k");
    EXPECT_EQ(map.objectForKey("k"), PRMValue("v"));
    auto snapshot = map.dictionary();
    map.setObjectForKeyedSubscript(2, "other");
    EXPECT_EQ(snapshot.size(), 1u);
    EXPECT_EQ(map.count(), 2u);
    map.setObjectForKeyedSubscript(nullptr, "k");
    map.setObject(nullptr, "other");  // ignored
    EXPECT_EQ(map.count(), 1u);
    EXPECT_TRUE(map.objectForKeyedSubscript("k").isNil());
    map.removeAllObjects();
    EXPECT_EQ(map.count(), 0u);
}

TEST(ZVUMutableDictionaryTest, ConcurrentWritersLoseNothing) {
    auto map = std::make_shared<ZVUMutableDictionary>();
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([map, t] {
            for (int i = 0; i < 100; ++i)
                map->setObject(i, std::to_string(t) + ":" + std::to_string(i));
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(map->count(), 800u);
}

}  // namespace
