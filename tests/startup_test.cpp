// The desktop program itself at start-up, on a private Xvfb server: where it finds its
// default diaphragm, and what happens when there is none. The windows are found and
// driven with xdotool, as a user would.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "tests/test_bitmaps.h"
#include "tests/xvfb_server.h"

namespace {

namespace fs = std::filesystem;
using testing_support::TempDir;

// The output of a shell command (xdotool), without the final line break.
std::string output(const std::string& command) {
    std::string text;
    if (std::FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[256];
        while (std::fgets(buffer, sizeof buffer, pipe)) text += buffer;
        pclose(pipe);
    }
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

// The first window whose title is exactly `title`, waiting up to 20 seconds for one when
// `wait` is set; empty when there is none.
std::string windowNamed(const std::string& title, bool wait = true) {
    const std::string found =
        output("timeout 20 xdotool search " + std::string(wait ? "--sync " : "") + "--name '^" +
               title + "$' 2>/dev/null");
    return found.substr(0, found.find('\n'));
}

// Gives a window the keyboard focus and types keys into it.
void pressKeys(const std::string& window, const std::string& keys) {
    ASSERT_EQ(
        std::system(("xdotool windowfocus --sync " + window + " key --delay 200 " + keys).c_str()),
        0);
}

// A copy of the program in `root`/bin, started in the folder `cwd` with its standard error
// going to a file.
class Program {
public:
    Program(const fs::path& root, const fs::path& cwd) : errors_(root / "stderr.txt") {
        fs::create_directories(root / "bin");
        const fs::path program = root / "bin" / "bokavo";
        fs::copy_file(BOKAVO_PROGRAM_PATH, program);
        pid_ = fork();
        if (pid_ == 0) {
            if (chdir(cwd.c_str()) != 0) _exit(126);
            const int errors = open(errors_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(errors, STDERR_FILENO);
            unsetenv("QT_QPA_PLATFORM");  // the X server, not an offscreen surface
            execl(program.c_str(), "bokavo", static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    ~Program() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

    // The exit status once the program ended within 20 seconds, or -1.
    int exitStatus() {
        for (int i = 0; i < 200 && !exited_; ++i) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return exited_ ? status_ : -1;
    }

    std::string errors() const {
        const auto bytes = testing_support::readFileBytes(errors_);
        return std::string(bytes.begin(), bytes.end());
    }

private:
    fs::path errors_;
    pid_t pid_ = -1;
    bool exited_ = false;
    int status_ = -1;
};

const fs::path kDiaphragm = fs::path(BOKAVO_SOURCE_DIR) / "data" / "lmask.bmp";

// Both windows come up; Quit from the File menu ends the program with status 0.
void expectStartsAndQuits(Program& program) {
    const std::string settings = windowNamed("Defocus settings");
    const std::string main = windowNamed("Bokavo ver.0.32");
    ASSERT_FALSE(settings.empty()) << program.errors();
    ASSERT_FALSE(main.empty()) << program.errors();
    pressKeys(main, "alt+f q");
    EXPECT_EQ(program.exitStatus(), 0);
}

TEST(StartUp, FindsTheDiaphragmInTheCurrentFolder) {
    TempDir root;
    fs::create_directories(root / "work");
    fs::copy_file(kDiaphragm, root / "work" / "lmask.bmp");
    Program program(root.path(), root / "work");
    expectStartsAndQuits(program);
}

TEST(StartUp, FindsTheDiaphragmBesideTheProgram) {
    TempDir root;
    fs::create_directories(root / "bin");
    fs::create_directories(root / "work");
    fs::copy_file(kDiaphragm, root / "bin" / "lmask.bmp");
    Program program(root.path(), root / "work");
    expectStartsAndQuits(program);
}

TEST(StartUp, FindsTheDiaphragmInTheInstalledDataFolder) {
    TempDir root;
    fs::create_directories(root / "share" / "bokavo");
    fs::create_directories(root / "work");
    fs::copy_file(kDiaphragm, root / "share" / "bokavo" / "lmask.bmp");
    Program program(root.path(), root / "work");
    expectStartsAndQuits(program);
}

TEST(StartUp, WithoutAUsableDiaphragmItSaysSoAndFails) {
    TempDir root;
    fs::create_directories(root / "work");
    // A bitmap that is not square is no diaphragm.
    auto wide = testing_support::randomImage(8, 4, 1);
    ASSERT_TRUE(testing_support::saveBitmap(*wide, root / "work" / "lmask.bmp"));
    Program program(root.path(), root / "work");

    const std::string box = windowNamed("Error");
    ASSERT_FALSE(box.empty()) << program.errors();
    EXPECT_TRUE(windowNamed("Bokavo ver.0.32", false).empty());
    pressKeys(box, "Return");
    const int status = program.exitStatus();
    EXPECT_NE(status, 0);
    EXPECT_NE(status, -1);
    const std::string errors = program.errors();
    EXPECT_NE(errors.find("Cannot open diaphragm image"), std::string::npos) << errors;
    EXPECT_NE(errors.find("not square"), std::string::npos) << errors;
    EXPECT_NE(errors.find((root / "share" / "bokavo" / "lmask.bmp").string()), std::string::npos)
        << errors;
}

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();
    return gui_support::runOnXvfb("start-up tests", [] { return RUN_ALL_TESTS(); });
}
