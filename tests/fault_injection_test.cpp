// The fault-injection suite: bokavo-render, and the windows' save path (saveImageFile
// under the signal guard, as Save as calls it), run in child processes under full disks,
// signals, address-space limits and unusual outputs. One test per fault family; what a
// family cannot do here (no root, no mount, no user to switch to) it skips, saying why.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "image/save_file.h"
#include "tests/test_bitmaps.h"

namespace {

namespace fs = std::filesystem;
using namespace testing_support;

constexpr uid_t kNobody = 65534;
constexpr int kNoNobody = 125;  // the child could not become user nobody
constexpr const char* kNoNobodyWhy =
    "cannot switch a child to user nobody (needs root), so folder permissions do not apply";
const std::vector<std::uint8_t> kOld{'o', 'l', 'd'};

// How a child runs: its limits, its user, its standard output, the save hold's fifo.
struct Child {
    rlim_t addressSpace = RLIM_INFINITY;
    rlim_t fileSize = RLIM_INFINITY;
    bool asNobody = false;
    int out = -1, err = -1;  // -1: standard output unchanged, standard error read back
    std::string hold;
};

struct Ended {
    int status = -1;  // as a shell shows it: 128 + N after signal N
    std::string err;
};

// Runs `body` in a child set up as `how` says, and `meanwhile` here while it runs.
Ended runChild(const Child& how, const std::function<int()>& body,
               const std::function<void(pid_t)>& meanwhile = {}) {
    TempDir capture;
    const fs::path errPath = capture / "err";
    const pid_t child = fork();
    if (child == 0) {
        for (const int s : {SIGINT, SIGTERM, SIGHUP}) signal(s, SIG_DFL);  // not what we inherit
        dup2(how.err >= 0 ? how.err : open(errPath.c_str(), O_WRONLY | O_CREAT, 0600), 2);
        if (how.out >= 0) dup2(how.out, 1);
        if (!how.hold.empty()) setenv("BOKAVO_TEST_HOLD_SAVE", how.hold.c_str(), 1);
        const rlimit space{how.addressSpace, how.addressSpace}, size{how.fileSize, how.fileSize};
        if (how.asNobody && (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 ||
                             setuid(kNobody) != 0 || geteuid() == 0))
            _exit(kNoNobody);
        setrlimit(RLIMIT_AS, &space);
        setrlimit(RLIMIT_FSIZE, &size);
        _exit(body());
    }
    if (meanwhile) meanwhile(child);
    int status = 0;
    waitpid(child, &status, 0);
    Ended ended;
    ended.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    const auto err = fs::exists(errPath) ? readFileBytes(errPath) : std::vector<std::uint8_t>{};
    ended.err.assign(err.begin(), err.end());
    return ended;
}

// A copy of bokavo-render that every user may run. A clone in a private folder (made by
// mktemp -d, or under /root) keeps user nobody out of the build tree, so the children run
// this copy, made once per test process in a temporary folder of its own.
const std::string& renderProgram() {
    static const TempDir folder;
    static const std::string copy = [] {
        const fs::path program = folder / "bokavo-render";
        fs::copy_file(BOKAVO_RENDER_PATH, program);
        if (chmod(folder.path().c_str(), 0755) != 0 || chmod(program.c_str(), 0755) != 0)
            throw std::runtime_error("cannot open a copy of bokavo-render to every user");
        return program.string();
    }();
    return copy;
}

std::function<int()> render(const std::vector<std::string>& args) {
    return [program = renderProgram(), args] {
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        return 127;
    };
}

// Save as's path: the message box would say "Cannot save file"; the reason goes to stderr.
std::function<int()> saveAs(const dib24& image, const fs::path& path) {
    return [&image, path] {
        const SaveSignalGuard undoOnSignal;
        std::string why;
        if (saveImageFile(image, path.string(), &why)) return 0;
        std::fprintf(stderr, "%s\n", why.c_str());
        return 1;
    };
}

// Polls until `ready` holds; false when the child ends first or 20 seconds pass.
bool waitFor(pid_t child, const std::function<bool()>& ready) {
    for (int i = 0; i < 20000; ++i, usleep(1000)) {
        if (ready()) return true;
        siginfo_t info{};
        if (waitid(P_PID, child, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == child)
            return false;
    }
    return false;
}

std::set<std::string> namesIn(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename());
    return names;
}

class Faults : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);  // user nobody reads the inputs
        fs::create_directory(folder());
        image_ = randomImage(60, 40, 5);  // 7,254 bytes as a file: two pages
        ASSERT_TRUE(saveBitmap(*image_, dir_ / "in.bmp"));
        ASSERT_TRUE(saveBitmap(*makeImage(5, 5, [](int, int, int) { return 200; }), shape()));
    }
    fs::path shape() const { return dir_ / "shape.bmp"; }
    fs::path folder() const { return dir_ / "out"; }
    fs::path out() const { return folder() / "out.bmp"; }
    std::vector<std::string> args(const fs::path& in, const std::string& output) const {
        return {"--diaphragm", shape().string(), in.string(), output};
    }
    // The old output in an output folder that allows new files or, for user nobody, not.
    void putOld(bool locked) {
        writeFileBytes(out(), kOld);
        chmod(out().c_str(), 0666);
        chmod(folder().c_str(), locked ? 0555 : 0755);
    }
    void expectOldKept(const Ended& ended, int status) {
        EXPECT_EQ(ended.status, status) << ended.err;
        EXPECT_EQ(readFileBytes(out()), kOld);
        EXPECT_EQ(namesIn(folder()), std::set<std::string>{"out.bmp"});
    }
    TempDir dir_;
    std::unique_ptr<dib24> image_;
    // Why some rows could not run here; the test then ends as skipped, saying so.
    void skipRow(const std::string& why) { skipped_.insert(why); }
    void skipIfAny() {
        std::string why;
        for (const auto& reason : skipped_) why += (why.empty() ? "" : "; ") + reason;
        if (!why.empty()) GTEST_SKIP() << "some cases did not run: " << why;
    }
    std::set<std::string> skipped_;
};

// A 64 KiB tmpfs over `folder`, in a mount namespace of this test's own.
bool mountSmallDisk(const fs::path& folder) {
    static const bool own =
        unshare(CLONE_NEWNS) == 0 && mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    return own && mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=64k,mode=0755") == 0;
}

TEST_F(Faults, FullDiskKeepsTheOldFile) {
    for (const bool tmpfs : {true, false}) {
        for (const bool locked : {false, true}) {
            for (const bool windows : {false, true}) {
                SCOPED_TRACE(std::string(tmpfs ? "full tmpfs" : "file size limit") +
                             (locked ? ", folder forbids new files" : "") +
                             (windows ? ", Save as" : ", bokavo-render"));
                if (tmpfs && !mountSmallDisk(folder())) {
                    skipRow("cannot mount a tmpfs in a private mount namespace (needs root)");
                    continue;
                }
                putOld(locked);
                if (tmpfs) {  // fill what the old file leaves free
                    std::ofstream fill(folder() / "fill");
                    const std::string page(4096, 'x');
                    while (fill.write(page.data(), 4096) && fill.flush()) {
                    }
                }
                Child how;
                how.asNobody = locked;
                how.fileSize = tmpfs ? RLIM_INFINITY : 4096;
                const Ended ended = runChild(
                    how, windows ? saveAs(*image_, out()) : render(args(dir_ / "in.bmp", out())));
                if (tmpfs) fs::remove(folder() / "fill");
                if (ended.status == kNoNobody) {
                    skipRow(kNoNobodyWhy);
                } else {
                    expectOldKept(ended, 1);
                    EXPECT_EQ(ended.err,
                              (windows ? "" : "bokavo-render: ") +
                                  ("cannot write " + out().string()) +
                                  (tmpfs ? ": No space left on device\n" : ": File too large\n"));
                }
                chmod(folder().c_str(), 0755);
                if (tmpfs) umount2(folder().c_str(), MNT_DETACH);
            }
        }
    }
    skipIfAny();
}

TEST_F(Faults, SignalsLeaveTheOldFileAndNoTemporaryFile) {
    const fs::path fifo = dir_ / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
    const std::string write = std::to_string(SYS_write) + " 0x2 ";
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        for (const char* moment : {"reading", "rendering", "writing", "writing in place"}) {
            SCOPED_TRACE(std::string(moment) + ", signal " + std::to_string(signal));
            const bool inPlace = moment == std::string("writing in place");
            putOld(inPlace);
            // Rendering: the progress bar's first line waits on a stopped terminal.
            const int master = posix_openpt(O_RDWR | O_NOCTTY);
            const int terminal = grantpt(master) == 0 && unlockpt(master) == 0
                                     ? open(ptsname(master), O_RDWR | O_NOCTTY)
                                     : -1;
            ASSERT_GE(terminal, 0);
            ASSERT_EQ(tcflow(terminal, TCOOFF), 0);
            Child how;
            how.asNobody = inPlace;
            how.hold = fifo.string();
            if (moment == std::string("rendering")) how.err = terminal;
            const fs::path in = moment == std::string("reading") ? fifo : dir_ / "in.bmp";
            int held = -1;
            bool there = false;
            const auto ready = [&](pid_t child) {
                const fs::path calls = "/proc/" + std::to_string(child) + "/syscall";
                there = waitFor(child, [&] {
                    if (how.err >= 0) {
                        std::string call;
                        std::getline(std::ifstream(calls), call);
                        return call.rfind(write, 0) == 0;
                    }
                    // Opens once the child reads the fifo; the child waits while it is open.
                    return (held = open(fifo.c_str(), O_WRONLY | O_NONBLOCK)) >= 0;
                });
                kill(child, signal);
            };
            const Ended ended = runChild(how, render(args(in, out().string())), ready);
            close(held);
            close(terminal);
            close(master);
            if (ended.status == kNoNobody) {
                skipRow(kNoNobodyWhy);
            } else {
                EXPECT_TRUE(there) << "the child never reached the moment";
                expectOldKept(ended, 128 + signal);
                EXPECT_EQ(ended.err, "");
            }
            chmod(folder().c_str(), 0755);
        }
    }
    skipIfAny();
}

// A 1-bit picture: small as a file, three bytes a pixel in memory.
void writeBilevel(const fs::path& path, int width, int height) {
    HandMade data;
    data.width = width;
    data.height = height;
    data.bitCount = 1;
    data.table = {{0, 0, 0, 0}, {255, 255, 255, 0}};
    data.rows.assign(std::size_t(width + 31) / 32 * 4 * std::size_t(height), 0x5A);
    writeFileBytes(path, bitmapFile(data));
}

TEST_F(Faults, AddressSpaceLimitsFailCleanly) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer reserves far more address space than the limits tested";
#endif
    // The program's own libraries and thread stacks take address space before any picture
    // does: the limits below are counted from the least in which the small test picture
    // renders.
    rlim_t low = 0, high = rlim_t{4} << 30;
    while (high - low > (rlim_t{1} << 20)) {
        Child how;
        how.addressSpace = low + (high - low) / 2;
        const bool rendered =
            runChild(how, render(args(dir_ / "in.bmp", (dir_ / "probe.bmp").string()))).status == 0;
        (rendered ? high : low) = how.addressSpace;
    }
    const rlim_t base = high;
    const fs::path big = dir_ / "big.bmp";  // 36 MB in memory, twice that to render
    writeBilevel(big, 4000, 3000);
    for (const rlim_t mebibytes : {8, 24, 40}) {
        SCOPED_TRACE(std::to_string(mebibytes) + " MiB above what the program needs to start");
        putOld(false);
        Child how;
        how.addressSpace = base + (mebibytes << 20);
        const Ended ended = runChild(how, render(args(big, out().string())));
        expectOldKept(ended, 1);
        EXPECT_EQ(ended.err.rfind("bokavo-render: ", 0), 0u) << ended.err;
        EXPECT_EQ(std::count(ended.err.begin(), ended.err.end(), '\n'), 1) << ended.err;
    }
    {
        // Rewriting in place needs the old bytes in memory; without room for them the
        // old file is left alone.
        putOld(true);
        fs::resize_file(out(), 64 << 20);
        Child how;
        how.addressSpace = base + (40 << 20);
        how.asNobody = true;
        const Ended ended = runChild(how, render(args(dir_ / "in.bmp", out().string())));
        if (ended.status == kNoNobody) {
            skipRow(kNoNobodyWhy);
        } else {
            EXPECT_EQ(ended.err, "bokavo-render: cannot write " + out().string() +
                                     ": not enough memory to keep its old content\n");
            auto old = kOld;
            old.resize(64 << 20);
            EXPECT_EQ(readFileBytes(out()), old);
        }
        chmod(folder().c_str(), 0755);
    }
    // More threads than the hardware has count as that many: 1000 render where the
    // default does, instead of asking for a thousand threads' buffers.
    writeBilevel(big, 2000, 1000);
    ASSERT_TRUE(saveBitmap(*makeImage(25, 25, [](int, int, int) { return 200; }), shape()));
    Child how;
    how.addressSpace = base + (512 << 20);
    const Ended ended = runChild(how, render({"--threads", "1000", "--diaphragm", shape().string(),
                                              big.string(), out().string()}));
    EXPECT_EQ(ended.status, 0) << ended.err;
    skipIfAny();
}

TEST_F(Faults, UnusualOutputsAreWrittenAsTheyAre) {
    const fs::path reference = dir_ / "reference.bmp";
    ASSERT_EQ(runChild({}, render(args(dir_ / "in.bmp", reference.string()))).status, 0);
    const auto expected = readFileBytes(reference);
    const auto modeOf = [](const fs::path& path) {
        struct stat info {};
        stat(path.c_str(), &info);
        return std::pair<mode_t, uid_t>(info.st_mode & 07777, info.st_uid);
    };
    int pipeEnds[2] = {-1, -1};  // the rows that write into a pipe: its ends
    const auto piped = [&] {
        std::string bytes;
        char buffer[4096];
        for (ssize_t got; (got = read(pipeEnds[0], buffer, sizeof buffer)) > 0;)
            bytes.append(buffer, std::size_t(got));
        return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
    };
    const fs::path f = folder();
    const struct {
        const char* name;
        bool asNobody, needsRoot;
        std::function<std::string(Child&)> setUp;  // gives the OUTPUT argument
        std::function<void()> check;
    } rows[] = {
        {"symbolic link", false, false,
         [&](Child&) {
             writeFileBytes(f / "real.bmp", kOld);
             fs::create_symlink("real.bmp", f / "link");
             return (f / "link").string();
         },
         [&] {
             EXPECT_TRUE(fs::is_symlink(f / "link"));
             EXPECT_EQ(readFileBytes(f / "real.bmp"), expected);
         }},
        {"dangling link", false, false,
         [&](Child&) {
             fs::create_symlink("future.bmp", f / "link");
             return (f / "link").string();
         },
         [&] { EXPECT_EQ(readFileBytes(f / "future.bmp"), expected); }},
        {"hard link: the other name keeps the old picture", false, false,
         [&](Child&) {
             writeFileBytes(out(), kOld);
             fs::create_hard_link(out(), f / "twin.bmp");
             return out().string();
         },
         [&] {
             EXPECT_EQ(readFileBytes(out()), expected);
             EXPECT_EQ(readFileBytes(f / "twin.bmp"), kOld);
         }},
        {"setuid and setgid file of root, saved by nobody: the bits go", true, true,
         [&](Child&) {
             writeFileBytes(out(), kOld);
             chmod(out().c_str(), 06755);
             EXPECT_EQ(chown(f.c_str(), kNobody, kNobody), 0);
             return out().string();
         },
         [&] { EXPECT_EQ(modeOf(out()), std::make_pair(mode_t(0755), kNobody)); }},
        {"setuid and setgid file of nobody, saved by root: all is kept", false, true,
         [&](Child&) {
             writeFileBytes(out(), kOld);
             EXPECT_EQ(chown(out().c_str(), kNobody, kNobody), 0);
             chmod(out().c_str(), 06755);
             return out().string();
         },
         [&] {
             EXPECT_EQ(modeOf(out()), std::make_pair(mode_t(06755), kNobody));
             EXPECT_EQ(readFileBytes(out()), expected);
         }},
        {"named pipe", false, false,
         [&](Child&) {
             mkfifo((f / "pipe").c_str(), 0666);
             pipeEnds[0] = open((f / "pipe").c_str(), O_RDONLY | O_NONBLOCK);
             pipeEnds[1] = open((f / "pipe").c_str(), O_WRONLY);  // no end of file too early
             return (f / "pipe").string();
         },
         [&] { EXPECT_EQ(piped(), expected); }},
        {"/dev/null", false, false, [&](Child&) { return std::string("/dev/null"); },
         [&] { EXPECT_TRUE(fs::is_character_file("/dev/null")); }},
        {"- into a pipe", false, false,
         [&](Child& how) {
             EXPECT_EQ(pipe(pipeEnds), 0);
             how.out = pipeEnds[1];
             return std::string("-");
         },
         [&] { EXPECT_EQ(piped(), expected); }},
        {"/dev/stdout into a pipe", false, false,
         [&](Child& how) {
             EXPECT_EQ(pipe(pipeEnds), 0);
             how.out = pipeEnds[1];
             return std::string("/dev/stdout");
         },
         [&] { EXPECT_EQ(piped(), expected); }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.needsRoot && geteuid() != 0) {
            skipRow("files of other owners need root");
            continue;
        }
        fs::remove_all(f);
        fs::create_directory(f);
        Child how;
        how.asNobody = row.asNobody;
        const std::string output = row.setUp(how);
        const Ended ended = runChild(how, render(args(dir_ / "in.bmp", output)));
        close(pipeEnds[1]);
        if (ended.status == kNoNobody) {
            skipRow(kNoNobodyWhy);
        } else {
            EXPECT_EQ(ended.status, 0) << ended.err;
            row.check();
            for (const auto& name : namesIn(f))
                EXPECT_EQ(name.rfind(".bokavo-save-", 0), std::string::npos);
        }
        close(pipeEnds[0]);
        pipeEnds[0] = pipeEnds[1] = -1;
    }
    skipIfAny();
}

}  // namespace
