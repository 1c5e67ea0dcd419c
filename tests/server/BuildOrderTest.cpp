#include "UpdateServerRequest.h"

#include <gtest/gtest.h>

using Entries = std::vector<std::pair<std::string, std::string>>;

TEST(SplitTessalumaVersion, ExactlyThreeParts)
{
    EXPECT_EQ(UpdateServerRequest::SplitTessalumaVersion("2.1.0"), (std::vector<std::string>{"2", "1", "0"}));
    EXPECT_EQ(UpdateServerRequest::SplitTessalumaVersion("2..x"), (std::vector<std::string>{"2", "", "x"}));
    for (const char* text : {"2.1", "2.1.0.4", "", "210"})
        EXPECT_TRUE(UpdateServerRequest::SplitTessalumaVersion(text).empty()) << text;
}

TEST(SortBuildsByVersion, NewestFirstNumericallyPerComponent)
{
    Entries sorted = UpdateServerRequest::SortBuildsByVersion(
        {{"1000", "2.1.0"}, {"1001", "2.10.0"}, {"1004", "2.9.12"}, {"1005", "10.0.0"}, {"1006", "2.1.1"}});
    EXPECT_EQ(sorted, (Entries{{"1005", "10.0.0"}, {"1001", "2.10.0"}, {"1004", "2.9.12"}, {"1006", "2.1.1"},
                          {"1000", "2.1.0"}}));
    EXPECT_TRUE(UpdateServerRequest::SortBuildsByVersion({}).empty());
}

TEST(SortBuildsByVersion, ComponentsWrapAtEightBits)
{
    // 2.256.0 is 2.0.0, so 2.1.0 is newer.
    Entries sorted = UpdateServerRequest::SortBuildsByVersion({{"1", "2.256.0"}, {"2", "2.1.0"}});
    EXPECT_EQ(sorted.front().first, "2");
}

TEST(SortBuildsByVersion, UnreadableVersionsGoLastInBuildOrder)
{
    // Enough entries that std::sort would leave insertion sort behind.
    std::map<std::string, std::string> builds{
        {"1000", "2.1.0"}, {"1001", "2.10.0"}, {"1002", ""}, {"0999", "x.y.z"}, {"1003", "3.0"}};
    for (int i = 0; i < 40; ++i)
        builds.emplace(std::to_string(2000 + i), i % 3 ? "1." + std::to_string(i % 7) + ".0" : "bad");
    Entries sorted = UpdateServerRequest::SortBuildsByVersion(builds);
    ASSERT_EQ(sorted.size(), builds.size());

    auto readable = [](const std::string& v) {
        return !UpdateServerRequest::SplitTessalumaVersion(v).empty() && v != "x.y.z";
    };
    size_t firstBad = 0;
    while (firstBad < sorted.size() && readable(sorted[firstBad].second))
        ++firstBad;
    EXPECT_EQ(sorted[0].first, "1001");
    EXPECT_EQ(sorted[1].first, "1000");
    for (size_t i = 2; i < firstBad; ++i)
        EXPECT_GE(sorted[i - 1].second, sorted[i].second) << i; // single digits compare as text
    for (size_t i = firstBad; i < sorted.size(); ++i) {
        EXPECT_FALSE(readable(sorted[i].second)) << sorted[i].first;
        if (i > firstBad) {
            EXPECT_LT(sorted[i - 1].first, sorted[i].first);
        }
    }
    EXPECT_EQ(sorted.size() - firstBad, 3u + 14u);
}

TEST(SortBuildsByVersion, MixedListingOrder)
{
    auto order = UpdateServerRequest::SortBuildsByVersion(
        {{"1", "2.256.0"}, {"2", "2.1"}, {"3", "2.0.1"}, {"4", ""}, {"5", "2.0.0"}, {"6", "x.1.2"}});
    std::vector<std::string> builds;
    for (auto& e : order)
        builds.push_back(e.first);
    // 2.256.0 equals 2.0.0, and equal versions keep build-text order.
    EXPECT_EQ(builds, (std::vector<std::string>{"3", "1", "5", "2", "4", "6"}));
}
