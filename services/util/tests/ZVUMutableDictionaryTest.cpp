#include "services/util/ZVUMutableDictionary.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <utility>
#include <vector>

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

// Keys are found through an index: removing from the middle, replacing and
// adding in bulk keep every key's value and the insertion order.
TEST(ZVUMutableDictionaryTest, RemovalsAndBulkWritesKeepOrderAndLookUps) {
    ZVUMutableDictionary map;
    for (int i = 0; i < 6; ++i) map.setObject(i, "k" + std::to_string(i));
    map.removeObjectForKey("k1");
    map.setObjectForKeyedSubscript(nullptr, "k3");
    map.removeObjectForKey("absent");
    map.setObject(40, "k4");
    map.addEntries({{"k0", PRMValue(10)}, {"k6", PRMValue(6)}, {"k7", PRMValue()}, {"k6", 66}});
    const std::vector<std::pair<std::string, PRMValue>> expected = {
        {"k0", 10}, {"k2", 2}, {"k4", 40}, {"k5", 5}, {"k6", 66}};
    EXPECT_EQ(map.dictionary(), expected);
    for (const auto& [key, value] : expected) EXPECT_EQ(map.objectForKey(key), value) << key;
    for (const char* gone : {"k1", "k3", "k7"}) EXPECT_TRUE(map.objectForKey(gone).isNil());
    map.removeAllObjects();
    EXPECT_TRUE(map.objectForKey("k0").isNil());
    map.setObject(1, "k0");
    EXPECT_EQ(map.count(), 1u);
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
