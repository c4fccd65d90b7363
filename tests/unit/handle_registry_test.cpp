#include "kestrova/handle_registry.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

namespace kestrova {
namespace {

TEST(HandleRegistry, HandlesCountFromOneAndATakenOneIsNeverGivenAgain) {
    HandleRegistry<std::string> registry;
    EXPECT_EQ(registry.add("a"), 1U);
    EXPECT_EQ(registry.add("b"), 2U);
    EXPECT_EQ(registry.take(2), "b");
    EXPECT_EQ(registry.add("c"), 3U) << "the number of a taken handle stays spent";
    EXPECT_EQ(registry.find(1), "a") << "finding leaves the value where it is";
    EXPECT_EQ(registry.take(1), "a");
}

TEST(HandleRegistry, NoneUnknownOrSpentHandleFindsAnything) {
    HandleRegistry<std::string> registry;
    const auto spent = registry.add("spent");
    ASSERT_TRUE(registry.take(spent));
    const auto kept = registry.add("kept");
    for (const std::uint64_t id : {std::uint64_t{0}, spent, kept + 1}) {
        EXPECT_FALSE(registry.find(id)) << id;
        EXPECT_FALSE(registry.take(id)) << id;
        EXPECT_FALSE(registry.update(id, [](std::string& value) { value = "changed"; })) << id;
    }
    EXPECT_TRUE(registry.update(kept, [](std::string& value) { value += " and changed"; }));
    EXPECT_EQ(registry.find(kept), "kept and changed");
}

TEST(HandleRegistry, HandlesAddedFromManyThreadsAreDistinctAndAllFound) {
    constexpr int threads = 4;
    constexpr int per_thread = 500;
    HandleRegistry<int> registry;
    std::vector<std::vector<std::uint64_t>> given(threads);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&registry, &given, t] {
            for (int i = 0; i < per_thread; ++i) given[t].push_back(registry.add(t));
        });
    for (auto& worker : workers) worker.join();
    std::set<std::uint64_t> all;
    for (int t = 0; t < threads; ++t)
        for (const auto id : given[t]) {
            all.insert(id);
            EXPECT_EQ(registry.find(id), t);
        }
    EXPECT_EQ(all.size(), std::size_t{threads * per_thread});
    EXPECT_EQ(*all.rbegin(), std::uint64_t{threads * per_thread});
}

}  // namespace
}  // namespace kestrova
