// The settings file: its line syntax, typed access, saving and replacement.
#include <gtest/gtest.h>

#include <map>
#include <cctype>
#include <set>
#include <string>
#include <vector>

#include <unistd.h>

#include "Helpers.h"
#include "KeyValueStore.h"
#include "Process.h"

namespace {

// The 24-character ctime form, e.g. "Tue Dec  8 07:53:03 2026".
bool IsTimeText(const std::string& text)
{
    const std::string form = "Aaa Aaa _9 99:99:99 9999";
    if (text.size() != form.size())
        return false;
    for (size_t i = 0; i < form.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        bool ok = form[i] == 'A' ? isupper(c) : form[i] == 'a' ? islower(c) : form[i] == '9' ? isdigit(c)
                : form[i] == '_' ? (c == ' ' || isdigit(c)) : c == static_cast<unsigned char>(form[i]);
        if (!ok)
            return false;
    }
    return true;
}

class KeyValueStoreTest : public ::testing::Test {
protected:
    testsupport::TempDir dir;
    std::string path = dir.file(".settings");
};

TEST_F(KeyValueStoreTest, LinesAreReadUnderTheFileSyntax)
{
    // "a\n" is under three characters with its line end, so it does not reset a.
    testsupport::WriteFile(path, "  name = some value  \na=b=c\n#x=1\n #x=2\nx=\na\nlonely\n= v\n"
                                 "dup=1\ndup=2\r\ntail=end");
    KeyValueStore store;
    EXPECT_EQ(aErrNone, store.Load(path.c_str()));
    const std::map<std::string, std::string> expected{{"name", "some value"}, {"a", "b=c"}, {"#x", "2"},
                                                      {"x", ""},            {"lonely", ""}, {"", "v"},
                                                      {"dup", "2"},         {"tail", "end"}};
    EXPECT_EQ(expected, store.Entries());
    EXPECT_FALSE(store.IsModified());
}

TEST_F(KeyValueStoreTest, TypedValuesAndTheModifiedFlag)
{
    KeyValueStore store;
    store.Add("x", "");
    EXPECT_FALSE(store.IsModified());
    store.Add("t", "true");
    store.Add("two", 2);
    store.AddHex("h", 255);
    store.Add("LATEST_DOWNLOAD", "1234.bird");
    EXPECT_TRUE(store.IsModified());
    EXPECT_STREQ("0x000000FF", store["h"]);
    EXPECT_EQ(255u, store.GetHex("h", 0));
    EXPECT_EQ(7, store.GetInt("x", 7));
    EXPECT_FALSE(store.GetBOOL("t", true));
    EXPECT_TRUE(store.GetBOOL("two", false));
    EXPECT_EQ(1234, store.GetInt("LATEST_DOWNLOAD", 0));
    EXPECT_EQ(nullptr, store["missing"]);
    EXPECT_EQ(9, store.GetInt("missing", 9));
    EXPECT_STREQ("", store["missing"]);  // the numeric getters leave the key behind
}

TEST_F(KeyValueStoreTest, MissingFileIsCreatedWithItsTwoTimeKeys)
{
    KeyValueStore store;
    EXPECT_NE(aErrNone, store.Load(path.c_str()));
    const std::string text = testsupport::ReadFile(path);
    ASSERT_EQ(2 * (13 + 24 + 1), text.size()) << text;
    EXPECT_EQ("CREATED_TIME=", text.substr(0, 13));
    EXPECT_TRUE(IsTimeText(text.substr(13, 24))) << text;
    EXPECT_EQ("\nUPDATED_TIME=", text.substr(37, 14));
    EXPECT_TRUE(IsTimeText(text.substr(51, 24))) << text;
    EXPECT_EQ('\n', text.back());
    EXPECT_FALSE(store.IsModified());
    EXPECT_EQ(path, store.Path());
}

TEST_F(KeyValueStoreTest, SaveStampsOnlyChangedStoresAndLeavesNoTemporaryFile)
{
    testsupport::WriteFile(path, "UPDATED_TIME=then\nLATEST_DOWNLOAD=1234.bird\n");
    KeyValueStore store(path.c_str());
    store.Add("LATEST_DOWNLOAD", "1234.bird");
    EXPECT_FALSE(store.IsModified());
    store.Save(nullptr);
    EXPECT_EQ("LATEST_DOWNLOAD=1234.bird\nUPDATED_TIME=then\n", testsupport::ReadFile(path));

    store.Add("LATEST_TRANSFER", "1240.bird");
    store.Save(nullptr);
    EXPECT_FALSE(store.IsModified());
    EXPECT_NE("then", store.GetString(KeyValueStore::KEY_UPDATED_TIME, nullptr));
    KeyValueStore reread(path.c_str());
    EXPECT_EQ(store.Entries(), reread.Entries());
    EXPECT_EQ(std::set<std::string>{".settings"}, Names(dir.path()));
}

TEST_F(KeyValueStoreTest, LinesOfAnyLengthAreReadAndSurviveASave)
{
    // Around the 2048-byte read buffer: lines of 2047, 2048 and 2049 bytes with
    // their line feed, then one far longer, each followed by ordinary entries.
    std::map<std::string, std::string> expected{{"first", "1"}, {"last", "z"}};
    std::string text = "first=1\n";
    for (size_t length : {2047u, 2048u, 2049u, 9000u}) {
        std::string key = "k" + std::to_string(length);
        std::string value(length - key.size() - 2, 'v');
        value.back() = '!';
        expected[key] = value;
        expected["after" + std::to_string(length)] = "x";
        text += key + "=" + value + "\nafter" + std::to_string(length) + "=x\n";
    }
    testsupport::WriteFile(path, text + "last=z\n");
    KeyValueStore store(path.c_str());
    EXPECT_EQ(expected, store.Entries());

    store.Save(nullptr);
    EXPECT_EQ(expected, KeyValueStore(path.c_str()).Entries());
}

TEST_F(KeyValueStoreTest, FailedSaveKeepsThePreviousFile)
{
    // One name short of the file-name limit: the temporary file beside it
    // cannot be made, while the file itself can be read.
    const std::string target = dir.file(std::string(250, 's'));
    testsupport::WriteFile(target, "keep=1\n");
    KeyValueStore store(target.c_str());
    store.Add("keep", 2);
    {
        LogCapture log(DEBUG_Attributes);
        store.Save(nullptr);
        EXPECT_TRUE(log.Has("Attibutes: Error - cannot open attributes file for writting: '" + target + "'"));
    }
    EXPECT_EQ("keep=1\n", testsupport::ReadFile(target));
    EXPECT_TRUE(store.IsModified());
    EXPECT_STREQ("2", store["keep"]);
    EXPECT_EQ(1u, Names(dir.path()).size());

    store.Save(path.c_str());
    EXPECT_FALSE(store.IsModified());
    EXPECT_EQ("2", KeyValueStore(path.c_str()).GetString("keep", nullptr));
}

// Only a settings file that is not there is made anew. One that exists but
// cannot be opened (a symbolic link loop, no file descriptor left) is
// reported and kept, and no later save replaces it until a load succeeds.
TEST_F(KeyValueStoreTest, FileThatCannotBeOpenedIsKept)
{
    ASSERT_EQ(0, symlink(".settings", path.c_str()));
    {
        KeyValueStore store;
        EXPECT_EQ(aErrIO, store.Load(path.c_str()));
        EXPECT_TRUE(store.IsUnreadable());
        EXPECT_TRUE(store.Entries().empty());
        store.Add("LATEST_DOWNLOAD", "1017.bird");
        store.Save(nullptr);
        EXPECT_TRUE(store.IsModified());
    }
    char target[64] = {0};
    EXPECT_EQ(9, readlink(path.c_str(), target, sizeof target - 1));
    EXPECT_STREQ(".settings", target);
    ASSERT_EQ(0, unlink(path.c_str()));

    testsupport::WriteFile(path, "CREATED_TIME=then\nLATEST_TRANSFER=1000.bird\n");
    KeyValueStore store;
    std::vector<int> held;
    for (int fd; (fd = dup(0)) >= 0;)
        held.push_back(fd);
    const aErr loaded = store.Load(path.c_str());
    for (int fd : held)
        close(fd);
    EXPECT_EQ(aErrIO, loaded);
    store.Add("LATEST_DOWNLOAD", "1017.bird");
    store.Save(nullptr);
    EXPECT_EQ("CREATED_TIME=then\nLATEST_TRANSFER=1000.bird\n", testsupport::ReadFile(path));
    // Once the file loads, saving goes on as usual.
    EXPECT_EQ(aErrNone, store.Load(path.c_str()));
    store.Save(nullptr);
    EXPECT_EQ("1017.bird", KeyValueStore(path.c_str()).GetString("LATEST_DOWNLOAD", nullptr));
}

// A file that opens but fails while it is read (here one whose reads end in
// an I/O error) is no more whole than one that cannot be opened: saving the
// entries read before the error would replace the rest.
TEST_F(KeyValueStoreTest, FileThatFailsWhileReadIsKept)
{
    ASSERT_EQ(0, symlink("/proc/self/mem", path.c_str()));
    KeyValueStore store;
    EXPECT_EQ(aErrIO, store.Load(path.c_str()));
    EXPECT_TRUE(store.IsUnreadable());
    store.Add("LATEST_DOWNLOAD", "1017.bird");
    store.Save(nullptr);
    EXPECT_TRUE(store.IsModified());
    char target[64] = {0};
    EXPECT_EQ(14, readlink(path.c_str(), target, sizeof target - 1)) << "the file was replaced";
}

// A NUL byte read into a key or value is written back whole (the fuzzer's
// regression-nul-in-key): printed as a C string, the key was cut to nothing
// and the entry lost.
TEST_F(KeyValueStoreTest, BytesAfterANulSurviveASave)
{
    testsupport::WriteFile(path, std::string("\0" "9\nk=a\0b\n", 8));
    KeyValueStore store(path.c_str());
    const std::map<std::string, std::string> expected{{std::string("\0" "9", 2), ""}, {"k", std::string("a\0b", 3)}};
    EXPECT_EQ(expected, store.Entries());
    store.Save(nullptr);
    EXPECT_EQ(expected, KeyValueStore(path.c_str()).Entries());
}

}  // namespace
