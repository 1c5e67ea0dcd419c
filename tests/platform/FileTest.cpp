// File services: modes, bounds, line reading and atomic replacement.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

#include "Process.h"
#include "aFile.h"

using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

// Names in dir, "." and ".." left out.
std::vector<std::string> ListDir(const std::string& dir)
{
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (!d)
        return names;
    while (dirent* entry = readdir(d))
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
            names.push_back(entry->d_name);
    closedir(d);
    return names;
}

mode_t ModeOf(const std::string& path)
{
    struct stat st {};
    EXPECT_EQ(0, stat(path.c_str(), &st));
    return st.st_mode & 07777;
}

}  // namespace

TEST(FileOpen, RefusesBadPathsAndModes)
{
    TempDir dir;
    EXPECT_EQ(nullptr, aFile_Open(nullptr, aFileModeReadOnly));
    EXPECT_EQ(nullptr, aFile_Open("", aFileModeWriteOnly));
    EXPECT_EQ(nullptr, aFile_Open(dir.file("x").c_str(), aFileModeUnknown));
    EXPECT_EQ(nullptr, aFile_Open(dir.file("missing").c_str(), aFileModeReadOnly));
    std::string longPath = dir.path() + "/" + std::string(aFILE_MAXPATH + 1 - dir.path().size() - 1, 'a');
    ASSERT_EQ(size_t(aFILE_MAXPATH + 1), longPath.size());
    EXPECT_EQ(nullptr, aFile_Open(longPath.c_str(), aFileModeWriteOnly));
}

TEST(FileOpen, ModesAllowOnlyTheirOperations)
{
    TempDir dir;
    std::string path = dir.file("data");
    aFile* file = aFile_Open(path.c_str(), aFileModeWriteOnly);
    ASSERT_NE(nullptr, file);
    char byte = 0;
    EXPECT_EQ(aErrMode, aFile_Read(file, &byte, 1, nullptr));
    EXPECT_EQ(aErrNone, aFile_Write(file, "abc", 3, nullptr));
    EXPECT_EQ(aErrNone, aFile_Close(&file));
    EXPECT_EQ(nullptr, file);

    file = aFile_Open(path.c_str(), aFileModeReadOnly);
    ASSERT_NE(nullptr, file);
    EXPECT_EQ(aErrMode, aFile_Write(file, "x", 1, nullptr));
    EXPECT_EQ(aErrMode, aFile_Printf(file, "x"));
    EXPECT_EQ(aErrMode, aFile_SetUnbuffered(file));
    EXPECT_EQ(aErrNone, aFile_Close(&file));

    // Append starts at the end and keeps what was there.
    file = aFile_Open(path.c_str(), aFileModeAppend);
    ASSERT_NE(nullptr, file);
    size_t position = 99;
    EXPECT_EQ(aErrNone, aFile_GetPosition(file, &position));
    EXPECT_EQ(3u, position);
    EXPECT_EQ(aErrNone, aFile_Printf(file, "%d", 42));
    EXPECT_EQ(aErrNone, aFile_Close(&file));
    EXPECT_EQ("abc42", ReadFile(path));
}

TEST(FileRead, CountsAndEndOfFile)
{
    TempDir dir;
    WriteFile(dir.file("data"), "hello");
    aFile* file = aFile_Open(dir.file("data").c_str(), aFileModeReadOnly);
    ASSERT_NE(nullptr, file);
    char buffer[16] = {};
    size_t count = 0;
    EXPECT_EQ(aErrNone, aFile_Read(file, buffer, sizeof buffer, &count));
    EXPECT_EQ(5u, count);
    EXPECT_EQ(aErrEOF, aFile_Read(file, buffer, sizeof buffer, &count));
    EXPECT_EQ(0u, count);
    aFile_Close(&file);
}

TEST(FileSeek, BoundsAreTheFileItself)
{
    TempDir dir;
    WriteFile(dir.file("data"), "0123456789");
    aFile* file = aFile_Open(dir.file("data").c_str(), aFileModeReadOnly);
    ASSERT_NE(nullptr, file);
    size_t size = 0;
    EXPECT_EQ(aErrNone, aFile_GetSize(file, &size));
    EXPECT_EQ(10u, size);

    EXPECT_EQ(aErrNone, aFile_Seek(file, 10, 0));
    EXPECT_EQ(aErrRange, aFile_Seek(file, 11, 0));
    EXPECT_EQ(aErrRange, aFile_Seek(file, -1, 0));
    EXPECT_EQ(aErrNone, aFile_Seek(file, -10, 2));
    EXPECT_EQ(aErrRange, aFile_Seek(file, -11, 2));
    EXPECT_EQ(aErrRange, aFile_Seek(file, 1, 2));
    EXPECT_EQ(aErrNone, aFile_Seek(file, 4, 0));
    EXPECT_EQ(aErrNone, aFile_Seek(file, 2, 1));
    EXPECT_EQ(aErrRange, aFile_Seek(file, 5, 1));
    EXPECT_EQ(aErrRange, aFile_Seek(file, LONG_MIN, 1));
    EXPECT_EQ(aErrRange, aFile_Seek(file, LONG_MAX, 1));
    EXPECT_EQ(aErrParam, aFile_Seek(file, 0, 3));

    // A refused seek leaves the position alone.
    size_t position = 0;
    EXPECT_EQ(aErrNone, aFile_GetPosition(file, &position));
    EXPECT_EQ(6u, position);
    EXPECT_EQ(aErrNone, aFile_Seek(file, 0, 0));
    position = 77;
    EXPECT_EQ(aErrNone, aFile_GetPosition(file, &position));
    EXPECT_EQ(0u, position) << "position 0 must be reported, not left as it was";
    aFile_Close(&file);
}

TEST(FileReadLine, LinesOverrunAndEnd)
{
    TempDir dir;
    WriteFile(dir.file("lines"), "abcdefg\nhi\nlast");
    aFile* file = aFile_Open(dir.file("lines").c_str(), aFileModeReadOnly);
    ASSERT_NE(nullptr, file);
    char small[5];
    size_t length = 0;
    EXPECT_EQ(aErrOverrun, aFile_ReadLine(file, small, sizeof small, &length));
    EXPECT_STREQ("abcd", small);
    EXPECT_EQ(4u, length);

    char buffer[32];
    EXPECT_EQ(aErrNone, aFile_ReadLine(file, buffer, sizeof buffer, &length));
    EXPECT_STREQ("efg\n", buffer) << "the rest of an overrun line stays readable";
    EXPECT_EQ(aErrNone, aFile_ReadLine(file, buffer, sizeof buffer, &length));
    EXPECT_STREQ("hi\n", buffer);
    EXPECT_EQ(aErrNone, aFile_ReadLine(file, buffer, sizeof buffer, &length));
    EXPECT_STREQ("last", buffer);
    EXPECT_EQ(aErrEOF, aFile_ReadLine(file, buffer, sizeof buffer, &length));
    EXPECT_EQ(0u, length);
    aFile_Close(&file);
}

TEST(FileReadLine, NewlineThatDoesNotFitIsAnOverrun)
{
    TempDir dir;
    WriteFile(dir.file("lines"), "abcd\n");
    aFile* file = aFile_Open(dir.file("lines").c_str(), aFileModeReadOnly);
    ASSERT_NE(nullptr, file);
    char small[5];
    EXPECT_EQ(aErrOverrun, aFile_ReadLine(file, small, sizeof small, nullptr));
    EXPECT_STREQ("abcd", small);
    aFile_Close(&file);
}

TEST(FileHelpers, ExistsAndDelete)
{
    TempDir dir;
    WriteFile(dir.file("f"), "x");
    EXPECT_TRUE(aFile_Exists(dir.file("f").c_str()));
    EXPECT_FALSE(aFile_Exists(dir.path().c_str())) << "a directory is not a file";
    EXPECT_FALSE(aFile_Exists(nullptr));
    EXPECT_EQ(aErrNone, aFile_Delete(dir.file("f").c_str()));
    EXPECT_FALSE(aFile_Exists(dir.file("f").c_str()));
    EXPECT_EQ(aErrNotFound, aFile_Delete(dir.file("f").c_str()));
}

TEST(FileRecord, ForeignRecordsAreRejected)
{
    aFile* file = nullptr;
    EXPECT_EQ(aErrParam, aFile_Close(&file));
    EXPECT_EQ(aErrParam, aFile_Close(nullptr));
    alignas(8) unsigned char junk[64] = {};
    aFile* foreign = reinterpret_cast<aFile*>(junk);
    size_t size;
    EXPECT_EQ(aErrParam, aFile_GetSize(foreign, &size));
    EXPECT_EQ(aErrParam, aFile_Close(&foreign));
    EXPECT_EQ(nullptr, foreign);
}

TEST(FileReplacement, OldFileStaysUntilCommit)
{
    TempDir dir;
    std::string path = dir.file("settings");
    WriteFile(path, "old");
    ASSERT_EQ(0, chmod(path.c_str(), 0640));

    aFile* file = aFile_OpenReplacement(path.c_str());
    ASSERT_NE(nullptr, file);
    EXPECT_EQ(aErrNone, aFile_Printf(file, "new contents"));
    EXPECT_EQ("old", ReadFile(path));
    EXPECT_EQ(2u, ListDir(dir.path()).size());

    EXPECT_EQ(aErrNone, aFile_CommitReplacement(&file));
    EXPECT_EQ(nullptr, file);
    EXPECT_EQ("new contents", ReadFile(path));
    EXPECT_EQ(std::vector<std::string>{"settings"}, ListDir(dir.path()));
    EXPECT_EQ(mode_t(0640), ModeOf(path)) << "a replacement keeps the replaced file's mode";

    // Without waiting for the disk, readers still see only whole files.
    file = aFile_OpenReplacement(path.c_str());
    ASSERT_NE(nullptr, file);
    EXPECT_EQ(aErrNone, aFile_Printf(file, "newer"));
    EXPECT_EQ("new contents", ReadFile(path));
    EXPECT_EQ(aErrNone, aFile_CommitReplacementUnflushed(&file));
    EXPECT_EQ(nullptr, file);
    EXPECT_EQ("newer", ReadFile(path));
    EXPECT_EQ(std::vector<std::string>{"settings"}, ListDir(dir.path()));
}

TEST(FileReplacement, AbandonLeavesNothingBehind)
{
    TempDir dir;
    std::string path = dir.file("settings");
    WriteFile(path, "old");
    aFile* file = aFile_OpenReplacement(path.c_str());
    ASSERT_NE(nullptr, file);
    EXPECT_EQ(aErrNone, aFile_Write(file, "junk", 4, nullptr));
    EXPECT_EQ(aErrNone, aFile_AbandonReplacement(&file));
    EXPECT_EQ(nullptr, file);
    EXPECT_EQ("old", ReadFile(path));
    EXPECT_EQ(std::vector<std::string>{"settings"}, ListDir(dir.path()));

    // Closing a replacement without committing is abandoning it, also one
    // large enough to be flushed to disk while it is written.
    for (size_t size : {size_t(0), size_t(5u << 20)}) {
        file = aFile_OpenReplacement(path.c_str());
        ASSERT_NE(nullptr, file);
        const std::string part(64 * 1024, 'p');
        for (size_t at = 0; at < size; at += part.size())
            ASSERT_EQ(aErrNone, aFile_Write(file, part.data(), part.size(), nullptr));
        EXPECT_EQ(aErrNone, aFile_Close(&file));
        EXPECT_EQ("old", ReadFile(path));
        EXPECT_EQ(std::vector<std::string>{"settings"}, ListDir(dir.path()));
    }
}

TEST(FileReplacement, NewFileGetsTheUsualMode)
{
    TempDir dir;
    std::string path = dir.file("fresh");
    mode_t old = umask(027);
    aFile* file = aFile_OpenReplacement(path.c_str());
    umask(old);
    ASSERT_NE(nullptr, file);
    EXPECT_EQ(aErrNone, aFile_CommitReplacement(&file));
    EXPECT_EQ(mode_t(0640), ModeOf(path));
    EXPECT_EQ("", ReadFile(path));
}

TEST(FileReplacement, RefusesWhatItCannotReplace)
{
    TempDir dir;
    EXPECT_EQ(nullptr, aFile_OpenReplacement(dir.path().c_str()));
    EXPECT_EQ(nullptr, aFile_OpenReplacement(dir.file("no/such/dir").c_str()));
    aFile* plain = aFile_Open(dir.file("plain").c_str(), aFileModeWriteOnly);
    ASSERT_NE(nullptr, plain);
    EXPECT_EQ(aErrParam, aFile_CommitReplacement(&plain));
    EXPECT_EQ(aErrParam, aFile_AbandonReplacement(&plain));
    EXPECT_NE(nullptr, plain) << "a plain file is not consumed by the replacement calls";
    aFile_Close(&plain);
}

// A large replacement reaches the disk while it is written; what the
// acceptance check reads and what takes the target's place are still every
// byte written, in order, however the pieces fell.
TEST(FileReplacement, LargeContentsArriveWholeThroughTheCheck)
{
    TempDir dir;
    std::string path = dir.file("image");
    WriteFile(path, "old");
    std::string contents;
    for (size_t i = 0; contents.size() < 3 * 1024 * 1024 + 77; ++i)
        contents.push_back(static_cast<char>((i * 2654435761u) >> 13));
    aFile* file = aFile_OpenReplacement(path.c_str());
    ASSERT_NE(nullptr, file);
    for (size_t at = 0, piece = 1; at < contents.size(); at += piece, piece = piece * 3 % 70001 + 1) {
        const size_t length = std::min(piece, contents.size() - at);
        ASSERT_EQ(aErrNone, aFile_Write(file, contents.data() + at, length, nullptr));
    }
    struct Seen {
        const std::string* expected;
        bool same;
    } seen{&contents, false};
    EXPECT_EQ(aErrNone, aFile_CommitReplacementIf(
                            &file,
                            [](const char* temp, void* reference) {
                                auto* s = static_cast<Seen*>(reference);
                                s->same = ReadFile(temp) == *s->expected;
                                return s->same;
                            },
                            &seen));
    EXPECT_TRUE(seen.same);
    EXPECT_TRUE(ReadFile(path) == contents);
    EXPECT_EQ(std::vector<std::string>{"image"}, ListDir(dir.path()));
}

// A file system that refuses part of the contents: the stream drops what it
// could not write, so a caller that writes on past the refusal and then
// commits must still get the failure, not a shortened file in the target's
// place, whether or not the commit waits for the disk. The file size limit
// stands in for a full disk.
TEST(FileReplacement, CommitAfterARefusedWriteFails)
{
    TempDir dir;
    std::string path = dir.file("image");
    const std::string chunk(4000, 'x');
    for (auto commit : {aFile_CommitReplacement, aFile_CommitReplacementUnflushed})
        for (size_t piece : {chunk.size(), size_t(3u << 20)}) {
            WriteFile(path, "old");
            aFile* file = aFile_OpenReplacement(path.c_str());
            ASSERT_NE(nullptr, file);
            struct rlimit saved {};
            ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &saved));
            struct rlimit small = saved;
            small.rlim_cur = (3u << 20) / 2;
            void (*oldHandler)(int) = signal(SIGXFSZ, SIG_IGN);
            ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &small));
            const std::string whole = piece == chunk.size() ? chunk : std::string(piece, 'y');
            size_t refused = 0;
            for (size_t at = 0; at < (3u << 20); at += whole.size())
                refused += aFile_Write(file, whole.data(), whole.size(), nullptr) != aErrNone;
            const aErr committed = commit(&file);
            setrlimit(RLIMIT_FSIZE, &saved);
            signal(SIGXFSZ, oldHandler);
            EXPECT_GT(refused, 0u) << piece;
            EXPECT_EQ(aErrWrite, committed) << piece;
            EXPECT_TRUE(ReadFile(path) == "old") << piece;
            EXPECT_EQ(std::vector<std::string>{"image"}, ListDir(dir.path())) << piece;
        }
}

// The flushes made while a replacement is written may be the only ones to
// see a write error: the system reports it once. This test binary's own
// fdatasync (only those flushes call it) fails once on request.
static std::atomic<int> gFailFlushes{0};
extern "C" int fdatasync(int fd)
{
    if (gFailFlushes.fetch_sub(1) > 0) {
        errno = EIO;
        return -1;
    }
    return static_cast<int>(syscall(SYS_fdatasync, fd));
}

TEST(FileReplacement, AFlushFailedWhileWritingFailsTheCommit)
{
    TempDir dir;
    std::string path = dir.file("image");
    WriteFile(path, "old");
    aFile* file = aFile_OpenReplacement(path.c_str());
    ASSERT_NE(nullptr, file);
    const std::string part(1u << 20, 'z');
    gFailFlushes = 1;
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(aErrNone, aFile_Write(file, part.data(), part.size(), nullptr));
    // The failed flush must have happened: one still asked for at the
    // commit is left to the final flush, which the system tells itself.
    for (int waited = 0; gFailFlushes > 0 && waited < 5000; ++waited)
        usleep(1000);
    ASSERT_LE(gFailFlushes, 0);
    EXPECT_EQ(aErrWrite, aFile_CommitReplacementIf(&file, [](const char*, void*) { return true; }, nullptr));
    gFailFlushes = 0;
    EXPECT_TRUE(ReadFile(path) == "old");
    EXPECT_EQ(std::vector<std::string>{"image"}, ListDir(dir.path()));
}
