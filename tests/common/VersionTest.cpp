// Packed versions: both layouts, the boundary between them, comparison, features.
#include <gtest/gtest.h>

#include <string>

#include "aVersion.h"

namespace {
std::string Text(uint32_t version)
{
    char buffer[32];
    int length = aVersion_ParseString(version, buffer, sizeof buffer);
    EXPECT_EQ(size_t(length), std::string(buffer).size());
    return buffer;
}
}  // namespace

TEST(VersionPack, LayoutBoundary)
{
    EXPECT_EQ(0x2E000005u, aVersion_Pack(2, 14, 5));
    EXPECT_TRUE(aVersion_IsLegacyFormat(0x2E000005u));
    EXPECT_EQ(0x2F020F05u, aVersion_Pack(2, 15, 5));
    EXPECT_FALSE(aVersion_IsLegacyFormat(0x2F020F05u));
    EXPECT_EQ("2.15.5", Text(0x2F020F05u));
    EXPECT_EQ(0x2F030000u, aVersion_Pack(3, 0, 0));
    EXPECT_EQ("3.0.0", Text(aVersion_Pack(3, 0, 0)));
    EXPECT_EQ("2.14.5", Text(aVersion_Pack(2, 14, 5)));
    EXPECT_EQ("255.255.255", Text(aVersion_Pack(255, 255, 255)));
}

TEST(VersionParse, LegacyPatchHas24Bits)
{
    EXPECT_EQ("1.3.70000", Text(0x13011170u));
    EXPECT_EQ(70000u, aVersion_ParsePatch(0x13011170u));
    EXPECT_EQ(1, aVersion_ParseMajor(0x13011170u));
    EXPECT_EQ(3, aVersion_ParseMinor(0x13011170u));
    char small[4];
    EXPECT_EQ(9, aVersion_ParseString(0x13011170u, small, sizeof small));
    EXPECT_STREQ("1.3", small);
}

TEST(VersionLibrary, TextAndComparison)
{
    EXPECT_STREQ("2.12.0", aVersion_GetString());
    EXPECT_TRUE(aVersion_IsAtLeast(2, 12, 0));
    EXPECT_FALSE(aVersion_IsAtLeast(2, 12, 1));
    EXPECT_TRUE(aVersion_IsAtLeast(2, 11, 255));
    EXPECT_TRUE(aVersion_IsAtLeast(1, 200, 200));
    EXPECT_FALSE(aVersion_IsAtLeast(3, 0, 0));
    EXPECT_FALSE(aVersion_IsAtLeastCompare(1, 9, 9, 2, 0, 0));
    EXPECT_TRUE(aVersion_IsAtLeastCompare(2, 1, 0, 2, 0, 9));
}

TEST(VersionFeatures, ListAndLookup)
{
    EXPECT_TRUE(aVersion_HasFeature("VERSION"));
    EXPECT_FALSE(aVersion_HasFeature("version"));
    EXPECT_FALSE(aVersion_HasFeature(nullptr));
    char* list = aVersion_GetFeatureList();
    ASSERT_NE(nullptr, list);
    EXPECT_STREQ("VERSION - Version Query API", list);
    aVersion_DestroyFeatureList(&list);
    EXPECT_EQ(nullptr, list);
    aVersion_DestroyFeatureList(nullptr);
}
