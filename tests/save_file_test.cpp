#include "image/save_file.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tests/test_bitmaps.h"

namespace {

namespace fs = std::filesystem;
using testing_support::readFileBytes;
using testing_support::TempDir;
using testing_support::writeFileBytes;

const std::vector<std::uint8_t> kOldBytes{'o', 'l', 'd', ' ', 'c', 'o', 'n', 't', 'e', 'n', 't'};

std::unique_ptr<dib24> testImage() {
    return testing_support::randomImage(37, 21, 7);
}

// The bytes saveToFile writes for the test image, to compare saved files with.
std::vector<std::uint8_t> expectedBytes(const dib24& image) {
    TempDir dir;
    EXPECT_TRUE(testing_support::saveBitmap(image, dir / "plain.bmp"));
    return readFileBytes(dir / "plain.bmp");
}

std::set<std::string> namesIn(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.insert(entry.path().filename().string());
    return names;
}

mode_t modeOf(const fs::path& path) {
    struct stat info;
    EXPECT_EQ(stat(path.c_str(), &info), 0);
    return info.st_mode & 07777;
}

ino_t inodeOf(const fs::path& path) {
    struct stat info;
    EXPECT_EQ(stat(path.c_str(), &info), 0);
    return info.st_ino;
}

// Sets the umask for the life of the object.
class UmaskScope {
public:
    explicit UmaskScope(mode_t mask) : previous_(umask(mask)) {}
    ~UmaskScope() { umask(previous_); }

private:
    mode_t previous_;
};

// Limits the size of files this process may write, so that writing fails with EFBIG
// for root too. SIGXFSZ would end the process; it is ignored meanwhile.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &previous_);
        previousHandler_ = signal(SIGXFSZ, SIG_IGN);
        rlimit limit = previous_;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &previous_);
        signal(SIGXFSZ, previousHandler_);
    }

private:
    rlimit previous_{};
    sighandler_t previousHandler_;
};

TEST(SaveImageFile, NewFileGetsItsBytesAndTheUmaskMode) {
    TempDir dir;
    auto image = testImage();
    for (mode_t mask : {mode_t(022), mode_t(027), mode_t(0)}) {
        UmaskScope scope(mask);
        const fs::path path = dir / ("new" + std::to_string(mask) + ".bmp");
        std::string why;
        ASSERT_TRUE(saveImageFile(*image, path.string(), &why)) << why;
        EXPECT_EQ(readFileBytes(path), expectedBytes(*image));
        EXPECT_EQ(modeOf(path), 0666 & ~mask) << "umask " << mask;
    }
    EXPECT_EQ(namesIn(dir.path()).size(), 3u);  // no temporary file left
}

TEST(SaveImageFile, ExistingFileIsReplacedWithItsMode) {
    TempDir dir;
    const fs::path path = dir / "out.bmp";
    writeFileBytes(path, kOldBytes);
    ASSERT_EQ(chmod(path.c_str(), 0604), 0);
    const ino_t oldInode = inodeOf(path);
    UmaskScope scope(077);  // must not matter for a file that exists

    auto image = testImage();
    ASSERT_TRUE(saveImageFile(*image, path.string()));
    EXPECT_EQ(readFileBytes(path), expectedBytes(*image));
    EXPECT_EQ(modeOf(path), 0604u);
    EXPECT_NE(inodeOf(path), oldInode);  // a new file was renamed over it
    EXPECT_EQ(namesIn(dir.path()), std::set<std::string>{"out.bmp"});
}

TEST(SaveImageFile, SymbolicLinksAreFollowedAndStayLinks) {
    TempDir dir;
    fs::create_directory(dir / "real");
    writeFileBytes(dir / "real" / "target.bmp", kOldBytes);
    ASSERT_EQ(chmod((dir / "real" / "target.bmp").c_str(), 0640), 0);
    // A chain: first -> second -> real/target.bmp, with relative links.
    fs::create_symlink("real/target.bmp", dir / "second");
    fs::create_symlink("second", dir / "first");
    // A dangling link creates its target.
    fs::create_symlink("real/future.bmp", dir / "dangling");

    auto image = testImage();
    std::string why;
    ASSERT_TRUE(saveImageFile(*image, (dir / "first").string(), &why)) << why;
    EXPECT_TRUE(fs::is_symlink(dir / "first"));
    EXPECT_TRUE(fs::is_symlink(dir / "second"));
    EXPECT_EQ(fs::read_symlink(dir / "first"), "second");
    EXPECT_EQ(readFileBytes(dir / "real" / "target.bmp"), expectedBytes(*image));
    EXPECT_EQ(modeOf(dir / "real" / "target.bmp"), 0640u);

    ASSERT_TRUE(saveImageFile(*image, (dir / "dangling").string(), &why)) << why;
    EXPECT_TRUE(fs::is_symlink(dir / "dangling"));
    EXPECT_EQ(readFileBytes(dir / "real" / "future.bmp"), expectedBytes(*image));

    EXPECT_EQ(namesIn(dir.path()), (std::set<std::string>{"real", "first", "second", "dangling"}));
    EXPECT_EQ(namesIn(dir / "real"), (std::set<std::string>{"target.bmp", "future.bmp"}));
}

TEST(SaveImageFile, LinkLoopIsRefused) {
    TempDir dir;
    fs::create_symlink("b", dir / "a");
    fs::create_symlink("a", dir / "b");
    std::string why;
    EXPECT_FALSE(saveImageFile(*testImage(), (dir / "a").string(), &why));
    EXPECT_EQ(why, "cannot write " + (dir / "a").string() + ": Too many levels of symbolic links");
    EXPECT_EQ(namesIn(dir.path()), (std::set<std::string>{"a", "b"}));
}

TEST(SaveImageFile, FailuresLeaveNothingBehind) {
    TempDir dir;
    auto image = testImage();
    std::string why;

    fs::create_directory(dir / "folder");
    EXPECT_FALSE(saveImageFile(*image, (dir / "folder").string(), &why));
    EXPECT_EQ(why, "cannot write " + (dir / "folder").string() + ": Is a directory");
    EXPECT_TRUE(fs::is_directory(dir / "folder"));

    const fs::path nowhere = dir / "missing" / "out.bmp";
    EXPECT_FALSE(saveImageFile(*image, nowhere.string(), &why));
    EXPECT_EQ(why, "cannot create a temporary file in " + (dir / "missing").string() +
                       ": No such file or directory");

    EXPECT_FALSE(saveImageFile(*image, "", &why));
    EXPECT_EQ(why, "cannot write a file without a name");

    EXPECT_EQ(namesIn(dir.path()), std::set<std::string>{"folder"});
    EXPECT_TRUE(namesIn(dir / "folder").empty());
}

TEST(SaveImageFile, FailedWriteKeepsTheOldFile) {
    TempDir dir;
    const fs::path path = dir / "out.bmp";
    writeFileBytes(path, kOldBytes);
    auto image = testImage();
    std::string why;
    {
        FileSizeLimit limit(100);  // the image needs 54 + 21 x 112 bytes
        EXPECT_FALSE(saveImageFile(*image, path.string(), &why));
    }
    EXPECT_EQ(why, "cannot write " + path.string() + ": File too large");
    EXPECT_EQ(readFileBytes(path), kOldBytes);
    EXPECT_EQ(namesIn(dir.path()), std::set<std::string>{"out.bmp"});
}

TEST(SaveImageFile, DevicesAreWrittenInPlaceNotReplaced) {
    TempDir dir;
    const fs::path null = dir / "null";
    const fs::path full = dir / "full";
    if (mknod(null.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0 ||
        mknod(full.c_str(), S_IFCHR | 0666, makedev(1, 7)) != 0)
        GTEST_SKIP() << "device nodes cannot be made here (needs root outside a restricted "
                        "container)";
    auto image = testImage();
    std::string why;
    EXPECT_TRUE(saveImageFile(*image, null.string(), &why)) << why;
    EXPECT_FALSE(saveImageFile(*image, full.string(), &why));
    EXPECT_EQ(why, "cannot write " + full.string() + ": No space left on device");

    // Both are still the devices they were, and nothing else appeared.
    struct stat info;
    ASSERT_EQ(stat(null.c_str(), &info), 0);
    EXPECT_TRUE(S_ISCHR(info.st_mode));
    ASSERT_EQ(stat(full.c_str(), &info), 0);
    EXPECT_TRUE(S_ISCHR(info.st_mode));
    EXPECT_EQ(namesIn(dir.path()), (std::set<std::string>{"null", "full"}));
}

// Runs saveImageFile in a child process without root's privileges, so that folder
// permissions apply even when the tests run as root. Returns the result and the reason,
// or nothing when the child could not give up root's privileges.
struct ChildResult {
    bool saved = false;
    std::string why;
};

constexpr int kCannotDropPrivileges = 3;

std::optional<ChildResult> saveAsUnprivileged(const dib24& image, const fs::path& path,
                                              rlim_t sizeLimit = 0) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return std::nullopt;
    const pid_t child = fork();
    if (child == 0) {
        close(pipeFds[0]);
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(kCannotDropPrivileges);
        if (sizeLimit != 0) {
            signal(SIGXFSZ, SIG_IGN);
            rlimit limit{sizeLimit, sizeLimit};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        std::string why;
        const bool saved = saveImageFile(image, path.string(), &why);
        if (write(pipeFds[1], why.data(), why.size()) < 0) _exit(4);
        _exit(saved ? 0 : 1);
    }
    close(pipeFds[1]);
    ChildResult result;
    char buffer[512];
    ssize_t got;
    while ((got = read(pipeFds[0], buffer, sizeof buffer)) > 0) result.why.append(buffer, got);
    close(pipeFds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) == kCannotDropPrivileges) return std::nullopt;
    result.saved = WEXITSTATUS(status) == 0;
    return result;
}

constexpr const char* kNoUnprivilegedChild =
    "running as root and unable to switch a child process to user nobody, so folder "
    "permissions cannot be put to the test";

// A folder that the unprivileged child may enter but not change.
void lockFolder(const TempDir& dir) {
    ASSERT_EQ(chmod(dir.path().c_str(), 0555), 0);
}

TEST(SaveImageFile, LockedFolderWithWritableFileIsWrittenInPlace) {
    TempDir dir;
    const fs::path path = dir / "out.bmp";
    writeFileBytes(path, kOldBytes);
    ASSERT_EQ(chmod(path.c_str(), 0666), 0);
    const ino_t oldInode = inodeOf(path);
    lockFolder(dir);

    auto image = testImage();
    const auto result = saveAsUnprivileged(*image, path);
    if (!result) GTEST_SKIP() << kNoUnprivilegedChild;
    EXPECT_TRUE(result->saved) << result->why;
    EXPECT_EQ(readFileBytes(path), expectedBytes(*image));
    EXPECT_EQ(inodeOf(path), oldInode);
    EXPECT_EQ(modeOf(path), 0666u);
    chmod(dir.path().c_str(), 0700);
    EXPECT_EQ(namesIn(dir.path()), std::set<std::string>{"out.bmp"});
}

TEST(SaveImageFile, LockedFolderReportsFailedInPlaceWrites) {
    TempDir dir;
    const fs::path path = dir / "out.bmp";
    writeFileBytes(path, kOldBytes);
    ASSERT_EQ(chmod(path.c_str(), 0666), 0);
    lockFolder(dir);

    const auto result = saveAsUnprivileged(*testImage(), path, 100);
    if (!result) GTEST_SKIP() << kNoUnprivilegedChild;
    EXPECT_FALSE(result->saved);
    EXPECT_EQ(result->why, "cannot write " + path.string() + ": File too large");
    chmod(dir.path().c_str(), 0700);
}

// An old file larger than the size limit cannot be written back past the limit, but
// neither could the new bytes: the file keeps its old content and the message says so.
TEST(SaveImageFile, LockedFolderSaysTheFileIsUnchangedWhenItIs) {
    TempDir dir;
    const fs::path path = dir / "out.bmp";
    const std::vector<std::uint8_t> old(5000, 0x5a);
    writeFileBytes(path, old);
    ASSERT_EQ(chmod(path.c_str(), 0666), 0);
    lockFolder(dir);

    const auto result = saveAsUnprivileged(*testImage(), path, 100);
    if (!result) GTEST_SKIP() << kNoUnprivilegedChild;
    EXPECT_FALSE(result->saved);
    EXPECT_EQ(result->why,
              "cannot write " + path.string() + ": File too large; the file is unchanged");
    EXPECT_EQ(readFileBytes(path), old);
    chmod(dir.path().c_str(), 0700);
}

TEST(SaveImageFile, LockedFolderAndReadOnlyFileChangeNothing) {
    TempDir dir;
    const fs::path path = dir / "out.bmp";
    writeFileBytes(path, kOldBytes);
    ASSERT_EQ(chmod(path.c_str(), 0444), 0);
    lockFolder(dir);

    const auto result = saveAsUnprivileged(*testImage(), path);
    if (!result) GTEST_SKIP() << kNoUnprivilegedChild;
    EXPECT_FALSE(result->saved);
    EXPECT_EQ(result->why,
              "cannot create a temporary file in " + dir.path().string() + ": Permission denied");
    EXPECT_EQ(readFileBytes(path), kOldBytes);

    // A new file in that folder fails the same way.
    const auto fresh = saveAsUnprivileged(*testImage(), dir / "new.bmp");
    ASSERT_TRUE(fresh);
    EXPECT_FALSE(fresh->saved);
    EXPECT_EQ(fresh->why,
              "cannot create a temporary file in " + dir.path().string() + ": Permission denied");
    chmod(dir.path().c_str(), 0700);
    EXPECT_EQ(namesIn(dir.path()), std::set<std::string>{"out.bmp"});
}

}  // namespace
