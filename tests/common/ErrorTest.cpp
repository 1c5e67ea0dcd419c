// The error table's ends and the model-name table.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "aDefs.h"
#include "aError.h"

TEST(ErrorTable, EndsAndOutsideCodes)
{
    EXPECT_STREQ("aErrNone", aError_GetErrorText(aErrNone));
    EXPECT_STREQ("Success, no error", aError_GetErrorDescription(aErrNone));
    EXPECT_STREQ("aErrTimeout", aError_GetErrorText(aErrTimeout));
    EXPECT_STREQ("Stream value is stale", aError_GetErrorDescription(aErrStreamStale));
    EXPECT_STREQ("aErrUnknown", aError_GetErrorText(aErrUnknown));
    for (int code : {35, 36, 1000, -1, -2147483647 - 1}) {
        EXPECT_STREQ("aErrUnknown", aError_GetErrorText(static_cast<aErr>(code))) << code;
        EXPECT_STREQ("Unknown error", aError_GetErrorDescription(static_cast<aErr>(code))) << code;
    }
}

TEST(ErrorTable, EveryCodeHasItsOwnName)
{
    std::set<std::string> names;
    for (int code = aErrNone; code <= aErrUnknown; code++)
        names.insert(aError_GetErrorText(static_cast<aErr>(code)));
    EXPECT_EQ(size_t(aErrUnknown + 1), names.size());
}

TEST(ModelNames, KnownCodesOnly)
{
    std::set<std::string> names;
    for (int code = 0; code < 256; code++) {
        std::string name = aDefs_GetModelName(uint8_t(code));
        bool known = code == 4 || code == 5 || (code >= 13 && code <= 27);
        EXPECT_EQ(known, name != "Unknown") << code;
        if (known)
            names.insert(name);
    }
    EXPECT_EQ(17u, names.size()) << "one distinct name per model";
}
