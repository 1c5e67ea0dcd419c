// The local store: root and device directories, stored images and their settings.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "Helpers.h"
#include "Process.h"
#include "UpdaterStore.h"
#include "aDirectory.h"
#include "birdmake.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Caps the size of any file this process writes, for as long as it lives.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &saved_);
        previous_ = signal(SIGXFSZ, SIG_IGN);
        rlimit limit = saved_;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &saved_);
        signal(SIGXFSZ, previous_);
    }

private:
    rlimit saved_{};
    sighandler_t previous_;
};

class UpdaterStoreTest : public ::testing::Test {
protected:
    testsupport::TempDir dir;
    std::string root = dir.file("home/.tarvelin/updater");
};

TEST_F(UpdaterStoreTest, RootIsCreatedOrRejected)
{
    UpdaterStore store(root);
    EXPECT_TRUE(aDirectory_Exists(root.c_str()));
    EXPECT_EQ(root, UpdaterStore(root).BasePath());

    const std::string file = dir.file("plain");
    testsupport::WriteFile(file, "x");
    EXPECT_EQ("UpdaterStore: " + file + " exists and is a file", ErrorOf([&] { UpdaterStore s(file); }));
    EXPECT_EQ("UpdaterStore: Could not create directory " + file + "/updater error 12",
              ErrorOf([&] { UpdaterStore s(file + "/updater"); }));
}

TEST_F(UpdaterStoreTest, DeviceDirectoryGetsItsSettingsAtOnce)
{
    UpdaterStore store(root);
    UpdaterStoreItem item = store.AddDevice(0x1F);
    EXPECT_EQ(root, item.BasePath());
    EXPECT_EQ("0000001F", item.Name());
    EXPECT_EQ(STORE_ITEM_DIRECTORY, item.Kind());
    EXPECT_TRUE(item.IsValid());
    std::string settings = testsupport::ReadFile(root + "/0000001F/.settings");
    EXPECT_EQ(0u, settings.find("CREATED_TIME="));
    EXPECT_NE(std::string::npos, settings.find("\nUPDATED_TIME="));
    EXPECT_NE(nullptr, item.Settings()[KeyValueStore::KEY_CREATED_TIME]);

    testsupport::WriteFile(root + "/00000020", "");
    EXPECT_EQ("UpdaterStore: " + root + "/00000020 exists and is a file", ErrorOf([&] { store.AddDevice(0x20); }));
}

TEST_F(UpdaterStoreTest, DevicesAreFoundByEntryNameOnly)
{
    // A root whose own path holds the serial text must not make every entry match.
    UpdaterStore store(dir.file("0000001F/updater"));
    store.AddDevice(0x40F5849A);
    UpdaterStoreItem item;
    EXPECT_FALSE(store.FindDevice(0x1F, &item));
    EXPECT_FALSE(item.IsValid());

    store.AddDevice("0000001F5");
    ASSERT_TRUE(store.FindDevice(0x1F, &item));
    EXPECT_EQ("0000001F5", item.Name());
    EXPECT_EQ(store.BasePath(), item.BasePath());
    EXPECT_EQ(STORE_ITEM_DIRECTORY, item.Kind());

    ASSERT_TRUE(store.FindDevice(0x40F5849A, &item));
    EXPECT_EQ("40F5849A", item.Name());
    EXPECT_TRUE(item.FileExists(".settings"));
    EXPECT_FALSE(item.FileExists("1234.bird"));
    EXPECT_FALSE(item.FileExists("updater"));
}

TEST_F(UpdaterStoreTest, ImagesAreStoredListedAndReadBack)
{
    UpdaterStore store(root);
    UpdaterStoreItem device = store.AddDevice(0x40F5849A);
    birdmake::SampleOptions options;
    options.firmwareBlockSize = 4096;
    for (const char* build : {"1234", "1240"}) {
        options.build = build;
        Bytes image = birdmake::MakeFile(birdmake::SampleImage(options));
        ASSERT_EQ(aErrNone, device.WriteFile(std::string(build) + ".bird", image.data(), image.size()));
    }
    device.Settings().Add("LATEST_DOWNLOAD", "1240.bird");
    device.Settings().Add("LAST_DOWNLOAD_DATE", KeyValueStore_TimeText());
    device.Settings().Save(nullptr);

    std::vector<UpdaterStoreItem> items;
    EXPECT_TRUE(store.FindLocalBuilds(0x40F5849A, items));
    ASSERT_EQ(2u, items.size());
    std::vector<std::string> names{items[0].Name(), items[1].Name()};
    std::sort(names.begin(), names.end());
    EXPECT_EQ((std::vector<std::string>{"1234.bird", "1240.bird"}), names);
    for (const auto& item : items) {
        EXPECT_EQ(root + "/40F5849A", item.BasePath());
        EXPECT_EQ(STORE_ITEM_FILE, item.Kind());
    }
    EXPECT_EQ((std::set<std::string>{".settings", "1234.bird", "1240.bird"}), Names(root + "/40F5849A"));

    UpdaterStoreItem found;
    ASSERT_TRUE(store.FindDevice(0x40F5849A, &found));
    int latest = found.Settings().GetInt("LATEST_DOWNLOAD", 0);
    EXPECT_EQ(1240, latest);
    BirdFile bird = found.ReadBirdFile(std::to_string(latest) + ".bird");
    EXPECT_EQ(1240u, bird.GetBuild());
    EXPECT_EQ(4096u + 4, bird.FindBlocks(BirdFile::BLOCK_FIRMWARE).at(0).length);

    std::vector<UpdaterStoreItem> none;
    EXPECT_TRUE(store.FindLocalBuilds(0x1, none));
    EXPECT_TRUE(none.empty());
}

TEST_F(UpdaterStoreTest, UnreadableImagesThrow)
{
    UpdaterStore store(root);
    UpdaterStoreItem device = store.AddDevice(7);
    const std::string prefix = root + "/00000007/";
    ASSERT_EQ(aErrNone, device.WriteFile("bad.bird", "nonsense", 8));
    ASSERT_EQ(aErrNone, device.WriteFile("broken.bird", "bird\x01\x01garbage", 13));
    EXPECT_EQ("Invalid bird " + prefix + "bad.bird", ErrorOf([&] { device.ReadBirdFile("bad.bird"); }));
    EXPECT_EQ("Invalid bird " + prefix + "none.bird", ErrorOf([&] { device.ReadBirdFile("none.bird"); }));
    EXPECT_EQ("Failed to load bird data", ErrorOf([&] { device.ReadBirdFile("broken.bird"); }));
}

TEST_F(UpdaterStoreTest, FailedImageWriteKeepsThePreviousImage)
{
    UpdaterStore store(root);
    UpdaterStoreItem device = store.AddDevice(1);
    const std::string old(1000, 'o');
    ASSERT_EQ(aErrNone, device.WriteFile("1.bird", old.data(), old.size()));
    const std::string big(256 * 1024, 'n');
    {
        FileSizeLimit limit(64 * 1024);
        EXPECT_NE(aErrNone, device.WriteFile("1.bird", big.data(), big.size()));
    }
    EXPECT_EQ(old, testsupport::ReadFile(root + "/00000001/1.bird"));
    EXPECT_EQ((std::set<std::string>{".settings", "1.bird"}), Names(root + "/00000001"));

    EXPECT_EQ(aErrNotFound, device.WriteFile("2.bird", nullptr, 4));
    EXPECT_EQ(aErrNotFound, UpdaterStoreItem(root, "missing", STORE_ITEM_DIRECTORY).WriteFile("1.bird", "x", 1));
    EXPECT_EQ(aErrNone, device.WriteFile("1.bird", big.data(), big.size()));
    EXPECT_EQ(big, testsupport::ReadFile(root + "/00000001/1.bird"));
}

}  // namespace
