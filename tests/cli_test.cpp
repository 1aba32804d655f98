// bokavo-render end to end: the built program is run in a child process and its exit
// status, messages and output file are checked against renders made here in the test.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <exiv2/exiv2.hpp>

#include "bokavo_version.h"
#include "cli/progress_bar.h"
#include "defocus/defocus.h"
#include "defocus/maskman.h"
#include "tests/test_bitmaps.h"

namespace {

namespace fs = std::filesystem;
using testing_support::loadBitmap;
using testing_support::makeImage;
using testing_support::readFileBytes;
using testing_support::saveBitmap;
using testing_support::TempDir;
using testing_support::writeFileBytes;

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};

std::string readAll(int fd) {
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got > 0) {
            text.append(buffer, static_cast<std::size_t>(got));
        } else if (got < 0 && errno == EINTR) {
            continue;
        } else {
            return text;  // end of file, or EIO once a terminal's other side is closed
        }
    }
}

// Runs `program` with `args` in `folder` (the current one when empty). Standard error goes
// to the pseudo-terminal whose controlling side is `terminalMaster` when one is given
// (its other side named `terminal`), otherwise to a file.
RunResult run(const std::vector<std::string>& args, const fs::path& folder = {},
              const std::string& program = BOKAVO_RENDER_PATH, int terminalMaster = -1,
              const std::string& terminal = {}) {
    TempDir capture;
    const fs::path outPath = capture / "stdout";
    const fs::path errPath = capture / "stderr";
    // The terminal's side is opened here, before the child exists, so that reading it
    // cannot see a hang-up before the child has started.
    const int terminalFd = terminal.empty() ? -1 : open(terminal.c_str(), O_RDWR | O_NOCTTY);
    const pid_t child = fork();
    if (child == 0) {
        if (!folder.empty() && chdir(folder.c_str()) != 0) _exit(126);
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = terminal.empty() ? open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600)
                                         : terminalFd;
        if (out < 0 || err < 0) _exit(126);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        if (terminalMaster >= 0) close(terminalMaster);
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    RunResult result;
    int status = 0;
    // The little that a test's run prints fits the terminal's buffer, so the child never
    // waits for the reader.
    waitpid(child, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    const auto out = readFileBytes(outPath);
    result.out.assign(out.begin(), out.end());
    if (terminalFd >= 0) {
        close(terminalFd);
        result.err = readAll(terminalMaster);
    } else {
        const auto err = readFileBytes(errPath);
        result.err.assign(err.begin(), err.end());
    }
    return result;
}

std::set<std::string> namesIn(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.insert(entry.path().filename().string());
    return names;
}

// A dark picture with a few bright points, so that every parameter shows in the result.
std::unique_ptr<dib24> scene(int width, int height) {
    return makeImage(width, height, [](int x, int r, int c) -> std::uint8_t {
        if ((x * 7 + r * 3) % 23 == 0) return 255;
        return static_cast<std::uint8_t>((x * 5 + r * 11 + c * 40) % 90);
    });
}

// A small soft diaphragm with a colour cast, not symmetric, so orientation matters.
std::unique_ptr<dib24> diaphragm(int side) {
    return makeImage(side, side, [side](int x, int r, int c) -> std::uint8_t {
        return static_cast<std::uint8_t>(std::min(255, 80 + 30 * x + 10 * r + 20 * c) *
                                         (x + r < 2 * side - 3));
    });
}

// Depth rising from left to right.
std::unique_ptr<dib24> depthRamp(int width, int height) {
    return makeImage(width, height, [width](int x, int, int c) -> std::uint8_t {
        return c == 0 ? static_cast<std::uint8_t>(x * 255 / std::max(1, width - 1)) : 0;
    });
}

struct Render {
    double density = 0.1;
    double gamma = 1.0;
    bool blend = true;
    const dib24* depthMask = nullptr;
    double threshold = 0;
    double distScaling = 2.0;
    int focusRange = 0;
    Occlusion occlusion = Occlusion::Off;
    int occlusionTolerance = 16;
};

// The result the library gives for `source` rendered through the diaphragm file.
std::unique_ptr<dib24> renderHere(const fs::path& source, const fs::path& diaphragmFile,
                                  const Render& settings) {
    auto image = loadBitmap(source);
    MaskMan masks;
    EXPECT_TRUE(masks.Load(diaphragmFile.c_str()));
    DofSettings dof{settings.depthMask,  settings.threshold, settings.distScaling,
                    settings.focusRange, settings.occlusion, settings.occlusionTolerance};
    DefocusImage(*image, masks, settings.density, settings.gamma, masks.shape->width,
                 settings.blend ? 1 : 0, settings.depthMask ? &dof : nullptr, nullptr, 1);
    return image;
}

class RenderCommand : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(saveBitmap(*scene(kWidth, kHeight), input()));
        ASSERT_TRUE(saveBitmap(*diaphragm(5), shape()));
        ASSERT_TRUE(saveBitmap(*depthRamp(kWidth, kHeight), zmask()));
    }

    fs::path input() const { return dir_ / "in.bmp"; }
    fs::path shape() const { return dir_ / "shape.bmp"; }
    fs::path zmask() const { return dir_ / "zmask.bmp"; }
    fs::path output() const { return dir_ / "out.bmp"; }

    // Runs with the test's input, output and diaphragm followed by `options`; expects
    // success and an output equal to `expected`.
    void expectRendersAs(const std::vector<std::string>& options, const dib24& expected) {
        std::vector<std::string> args{"--diaphragm", shape().string()};
        args.insert(args.end(), options.begin(), options.end());
        args.push_back(input().string());
        args.push_back(output().string());
        const RunResult result = run(args);
        ASSERT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.err, "");  // no progress display when stderr is not a terminal
        auto written = loadBitmap(output());
        ASSERT_TRUE(written);
        EXPECT_TRUE(testing_support::samePixels(*written, expected));
    }

    // Runs `args` with an OUTPUT that already exists; expects `status`, one line on
    // stderr equal to `message`, and OUTPUT with its old bytes and nothing else new.
    void expectFailure(const std::vector<std::string>& args, int status,
                       const std::string& message) {
        writeFileBytes(output(), kOldBytes);
        const auto before = namesIn(dir_.path());
        const RunResult result = run(args);
        EXPECT_EQ(result.status, status);
        EXPECT_EQ(result.err, message + "\n");
        EXPECT_EQ(readFileBytes(output()), kOldBytes);
        EXPECT_EQ(namesIn(dir_.path()), before);
    }

    static constexpr int kWidth = 24;
    static constexpr int kHeight = 16;
    const std::vector<std::uint8_t> kOldBytes{'o', 'l', 'd'};
    TempDir dir_;
};

TEST_F(RenderCommand, DefaultsRenderLikeTheLibrary) {
    expectRendersAs({}, *renderHere(input(), shape(), {}));
}

TEST_F(RenderCommand, ParametersReachTheRenderer) {
    Render settings;
    settings.density = 0.6;
    settings.gamma = 2.2;
    settings.blend = false;
    expectRendersAs({"--density", "0.6", "--gamma", "2.2e0", "--no-blend", "--quiet"},
                    *renderHere(input(), shape(), settings));
}

TEST_F(RenderCommand, NegativeDensityAndGammaAreLimited) {
    Render limited;
    limited.density = 0.0;
    limited.gamma = 1e-8;
    limited.blend = false;
    const auto expected = renderHere(input(), shape(), limited);
    // Density 0 without blending turns everything black.
    EXPECT_EQ(expected->bits[0], 0);
    expectRendersAs({"--density", "-3", "--gamma", "-1", "--no-blend"}, *expected);
}

TEST_F(RenderCommand, DepthMaskGivesDepthOfField) {
    auto mask = loadBitmap(zmask());
    Render settings;
    settings.depthMask = mask.get();
    settings.threshold = 100;
    settings.distScaling = 3.5;
    const auto expected = renderHere(input(), shape(), settings);
    expectRendersAs({"--zmask", zmask().string(), "--threshold", "100", "--dist-scaling", "3.5"},
                    *expected);
}

TEST_F(RenderCommand, FocusRangeAndOcclusionReachTheRenderer) {
    auto mask = loadBitmap(zmask());
    Render settings;
    settings.depthMask = mask.get();
    settings.threshold = 100;
    settings.focusRange = 40;
    settings.occlusion = Occlusion::DarkNear;
    settings.occlusionTolerance = 3;
    const auto expected = renderHere(input(), shape(), settings);
    // Each of the three shows in this picture.
    Render noRange = settings, noOcclusion = settings, otherTolerance = settings;
    noRange.focusRange = 0;
    noOcclusion.occlusion = Occlusion::Off;
    otherTolerance.occlusionTolerance = 16;
    for (const Render& other : {noRange, noOcclusion, otherTolerance})
        EXPECT_FALSE(testing_support::samePixels(*expected, *renderHere(input(), shape(), other)));
    expectRendersAs({"--zmask", zmask().string(), "--threshold", "100", "--focus-range", "40",
                     "--occlusion", "dark-near", "--occlusion-tolerance", "3"},
                    *expected);
}

TEST_F(RenderCommand, FitZmaskResizesAMaskOfAnotherSize) {
    const fs::path small = dir_ / "small_zmask.bmp";
    auto smallMask = depthRamp(10, 7);
    ASSERT_TRUE(saveBitmap(*smallMask, small));

    expectFailure({"--diaphragm", shape().string(), "--zmask", small.string(), input().string(),
                   output().string()},
                  1,
                  "bokavo-render: depth mask " + small.string() +
                      " is 10 x 7 pixels, the image 24 x 16 (--fit-zmask resizes the mask to "
                      "the image)");

    auto fitted = smallMask->resized(kWidth, kHeight);
    Render settings;
    settings.depthMask = fitted.get();
    settings.threshold = 30;
    expectRendersAs({"--zmask", small.string(), "--fit-zmask", "--threshold", "30"},
                    *renderHere(input(), shape(), settings));
}

TEST_F(RenderCommand, ThreadCountDoesNotChangeTheResult) {
    auto mask = loadBitmap(zmask());
    Render settings;
    settings.depthMask = mask.get();
    const auto expected = renderHere(input(), shape(), settings);
    for (const char* threads : {"1", "2", "3", "0"}) {
        SCOPED_TRACE(threads);
        expectRendersAs({"--zmask", zmask().string(), "--threads", threads}, *expected);
    }
}

TEST_F(RenderCommand, HelpAndVersion) {
    const RunResult help = run({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.err, "");
    for (const char* option : {"INPUT", "OUTPUT", "--diaphragm", "--density", "--gamma",
                               "--no-blend", "--zmask", "--threshold", "--dist-scaling",
                               "--fit-zmask", "--quiet", "--threads", "--version", "Exit status"})
        EXPECT_NE(help.out.find(option), std::string::npos) << option;

    const RunResult version = run({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("bokavo-render ") + BOKAVO_VERSION + "\n");
}

// One rule for whole numbers: any decimal form of a whole value that fits in 32 bits and
// in the option's range; and every depth option needs a depth mask.
TEST_F(RenderCommand, WholeNumbersAndDepthOptionsFollowOneRule) {
    const std::string in = input().string(), out = output().string(), z = zmask().string();
    const std::vector<std::vector<std::string>> accepted = {
        {"--threads", "1e9"},
        {"--threads", "2147483647"},
        {"--quality", "+1.00e2"},
        {"--zmask", z, "--threshold", "-2147483648"},
        {"--zmask", z, "--focus-range", "2.55e2", "--occlusion-tolerance", "0.0"},
    };
    for (std::vector<std::string> args : accepted) {
        args.insert(args.end(), {"--diaphragm", shape().string(), in, out});
        const RunResult result = run(args);
        EXPECT_EQ(result.status, 0) << result.err;
    }
    const struct {
        std::vector<std::string> args;
        std::string message;
    } refused[] = {
        {{"--zmask", z, "--threshold", "2147483648"}, "--threshold: '2147483648' is out of range"},
        {{"--zmask", z, "--threshold", "-9223372036854775808"},
         "--threshold: '-9223372036854775808' is out of range"},
        {{"--zmask", z, "--threshold", "1e999"}, "--threshold: '1e999' is out of range"},
        {{"--threads", "99999999999"}, "--threads: '99999999999' is out of range"},
        {{"--threads", "2.5"}, "--threads: '2.5' is not a count of 0 or more"},
        {{"--quality", "1e999"}, "--quality: '1e999' is not a quality from 1 to 100"},
        {{"--threshold", "100"}, "--threshold requires --zmask"},
        {{"--dist-scaling", "3.5"}, "--dist-scaling requires --zmask"},
        {{"--fit-zmask"}, "--fit-zmask requires --zmask"},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.message);
        std::vector<std::string> args = c.args;
        args.push_back(in);
        args.push_back(out);
        const RunResult result = run(args);
        EXPECT_EQ(result.status, 2);
        EXPECT_EQ(result.err.substr(0, result.err.find('\n')), "bokavo-render: " + c.message);
    }
}

TEST_F(RenderCommand, UsageErrorsExitWithTwo) {
    const std::string in = input().string();
    const std::string out = output().string();
    const struct {
        std::vector<std::string> args;
        std::string firstLine;
    } cases[] = {
        {{}, "bokavo-render: INPUT is required"},
        {{in}, "bokavo-render: OUTPUT is required"},
        {{in, out, "extra"}, "bokavo-render: The following argument was not expected: extra"},
        {{"--bogus", in, out}, "bokavo-render: The following argument was not expected: --bogus"},
        {{"--density", "abc", in, out}, "bokavo-render: --density: 'abc' is not a decimal number"},
        {{"--gamma", "1.5x", in, out}, "bokavo-render: --gamma: '1.5x' is not a decimal number"},
        {{"--dist-scaling", "nan", in, out},
         "bokavo-render: --dist-scaling: 'nan' is not a decimal number"},
        {{"--focus-range", "5", in, out}, "bokavo-render: --focus-range requires --zmask"},
        {{"--occlusion", "dark-near", in, out}, "bokavo-render: --occlusion requires --zmask"},
        {{"--occlusion-tolerance", "5", in, out},
         "bokavo-render: --occlusion-tolerance requires --zmask"},
        {{"--zmask", in, "--focus-range", "256", in, out},
         "bokavo-render: --focus-range: '256' is not a whole number from 0 to 255"},
        {{"--zmask", in, "--occlusion", "near", in, out},
         "bokavo-render: --occlusion: 'near' is not bright-near or dark-near"},
        {{"--density", "0,5", in, out}, "bokavo-render: --density: '0,5' is not a decimal number"},
        {{"--gamma", "0x10", in, out}, "bokavo-render: --gamma: '0x10' is not a decimal number"},
        {{"--density", "1e999", in, out}, "bokavo-render: --density: '1e999' is out of range"},
        {{"--gamma", "-1e999", in, out}, "bokavo-render: --gamma: '-1e999' is out of range"},
        {{"--threshold", "12.7", in, out},
         "bokavo-render: --threshold: '12.7' is not a whole number"},
        {{"--threads", "-1", in, out},
         "bokavo-render: --threads: '-1' is not a count of 0 or more"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.firstLine);
        writeFileBytes(output(), kOldBytes);
        const RunResult result = run(c.args);
        EXPECT_EQ(result.status, 2);
        EXPECT_EQ(result.err.substr(0, result.err.find('\n')), c.firstLine);
        EXPECT_NE(result.err.find("--help"), std::string::npos);
        EXPECT_EQ(readFileBytes(output()), kOldBytes);
    }
}

// A copy of a valid bitmap file with one little-endian field changed.
std::vector<std::uint8_t> patched(std::vector<std::uint8_t> bytes, std::size_t offset,
                                  std::uint32_t value, int size) {
    for (int i = 0; i < size; ++i) bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
    return bytes;
}

TEST_F(RenderCommand, UnreadableInputsExitWithOneAndNameTheFile) {
    const auto good = readFileBytes(input());
    const fs::path text = dir_ / "text.bmp";
    const fs::path rle = dir_ / "rle.bmp";
    const fs::path sixteen = dir_ / "sixteen.bmp";
    const fs::path truncated = dir_ / "truncated.bmp";
    const fs::path wide = dir_ / "wide.bmp";
    writeFileBytes(text, {'n', 'o', 't', ' ', 'a', ' ', 'b', 'm', 'p', '\n', 'x', 'y', 'z', '!'});
    writeFileBytes(rle, patched(good, 30, 1, 4));       // biCompression: run-length encoded
    writeFileBytes(sixteen, patched(good, 28, 16, 2));  // biBitCount
    const fs::path topDown = dir_ / "top_down.bmp";
    writeFileBytes(topDown, patched(good, 22, std::uint32_t(-kHeight), 4));  // biHeight
    writeFileBytes(truncated, {good.begin(), good.end() - 10});
    ASSERT_TRUE(saveBitmap(*makeImage(6, 4, [](int, int, int) { return 200; }), wide));

    const std::string in = input().string();
    const std::string out = output().string();
    const std::string d = shape().string();
    const std::string missing = (dir_ / "missing.bmp").string();
    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"--diaphragm", d, missing, out},
         "cannot read image " + missing + ": No such file or directory"},
        {{"--diaphragm", d, dir_.path().string(), out},
         "cannot read image " + dir_.path().string() + ": Is a directory"},
        {{"--diaphragm", d, text.string(), out},
         "cannot read image " + text.string() + ": not a bitmap file"},
        {{"--diaphragm", d, rle.string(), out},
         "cannot read image " + rle.string() + ": compressed bitmaps are not supported"},
        {{"--diaphragm", d, sixteen.string(), out},
         "cannot read image " + sixteen.string() +
             ": unsupported bit depth (1, 4, 8 or 24 bits per pixel are read)"},
        {{"--diaphragm", d, truncated.string(), out},
         "cannot read image " + truncated.string() + ": truncated pixel data"},
        {{"--diaphragm", d, topDown.string(), out},
         "cannot read image " + topDown.string() +
             ": top-down bitmaps (negative height) are not supported"},
        {{"--diaphragm", d, "--zmask", truncated.string(), in, out},
         "cannot read depth mask " + truncated.string() + ": truncated pixel data"},
        {{"--diaphragm", missing, in, out}, "cannot read diaphragm " + missing + ": "},
        {{"--diaphragm", text.string(), in, out}, "cannot read diaphragm " + text.string() + ": "},
        {{"--diaphragm", wide.string(), in, out}, "cannot read diaphragm " + wide.string() + ": "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        writeFileBytes(output(), kOldBytes);
        const auto before = namesIn(dir_.path());
        const RunResult result = run(c.args);
        EXPECT_EQ(result.status, 1);
        const std::string expected = "bokavo-render: " + c.message;
        EXPECT_EQ(result.err.substr(0, expected.size()), expected);
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
        EXPECT_EQ(readFileBytes(output()), kOldBytes);
        EXPECT_EQ(namesIn(dir_.path()), before);
    }
}

TEST_F(RenderCommand, DiaphragmReasonsAreGiven) {
    const fs::path wide = dir_ / "wide.bmp";
    ASSERT_TRUE(saveBitmap(*makeImage(6, 4, [](int, int, int) { return 200; }), wide));
    writeFileBytes(output(), kOldBytes);
    const RunResult result =
        run({"--diaphragm", wide.string(), input().string(), output().string()});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("square"), std::string::npos) << result.err;
    EXPECT_EQ(readFileBytes(output()), kOldBytes);
}

TEST_F(RenderCommand, UnwritableOutputExitsWithOne) {
    const std::string in = input().string();
    const fs::path folder = dir_ / "folder";
    fs::create_directory(folder);
    const RunResult intoFolder = run({"--diaphragm", shape().string(), in, folder.string()});
    EXPECT_EQ(intoFolder.status, 1);
    EXPECT_EQ(intoFolder.err,
              "bokavo-render: cannot write " + folder.string() + ": Is a directory\n");
    EXPECT_TRUE(namesIn(folder).empty());

    const fs::path nowhere = dir_ / "missing" / "out.bmp";
    const RunResult intoNowhere = run({"--diaphragm", shape().string(), in, nowhere.string()});
    EXPECT_EQ(intoNowhere.status, 1);
    EXPECT_EQ(intoNowhere.err, "bokavo-render: cannot create a temporary file in " +
                                   (dir_ / "missing").string() + ": No such file or directory\n");
}

TEST_F(RenderCommand, DefaultDiaphragmIsSearchedInOrder) {
    // A private installation: bin/bokavo-render and share/bokavo/lmask.bmp, nothing else.
    TempDir install;
    fs::create_directories(install / "bin");
    fs::create_directories(install / "share" / "bokavo");
    const fs::path program = install / "bin" / "bokavo-render";
    fs::copy_file(BOKAVO_RENDER_PATH, program);
    TempDir elsewhere;
    const std::vector<std::string> args{input().string(), output().string()};

    // Nowhere to be found: every place is named.
    writeFileBytes(output(), kOldBytes);
    RunResult result = run(args, elsewhere.path(), program.string());
    EXPECT_EQ(result.status, 1);
    const std::string start = "bokavo-render: cannot load the default diaphragm lmask.bmp: tried ";
    EXPECT_EQ(result.err.substr(0, start.size()), start) << result.err;
    for (const fs::path& place : {fs::path("lmask.bmp"), install / "bin" / "lmask.bmp",
                                  install / "share" / "bokavo" / "lmask.bmp"})
        EXPECT_NE(result.err.find(place.string() + ": cannot open: No such file or directory"),
                  std::string::npos)
            << result.err;
    EXPECT_EQ(readFileBytes(output()), kOldBytes);

    // The data folder, then beside the program, then the current folder win in turn.
    const struct {
        fs::path place;
        int side;
    } places[] = {{install / "share" / "bokavo" / "lmask.bmp", 3},
                  {install / "bin" / "lmask.bmp", 5},
                  {elsewhere / "lmask.bmp", 7}};
    for (const auto& p : places) {
        SCOPED_TRACE(p.place.string());
        ASSERT_TRUE(saveBitmap(*diaphragm(p.side), p.place));
        result = run(args, elsewhere.path(), program.string());
        ASSERT_EQ(result.status, 0) << result.err;
        EXPECT_TRUE(
            testing_support::samePixels(*loadBitmap(output()), *renderHere(input(), p.place, {})));
    }
}

TEST_F(RenderCommand, PicturesGoInAndOutInEveryFormat) {
    const fs::path pictures = BOKAVO_PICTURES_DIR;
    // A camera's JPEG in, an upright JPEG out with the camera's EXIF; --quality trades size.
    const fs::path out = dir_ / "out.jpg", small = dir_ / "small.jpg";
    const std::string camera = (pictures / "camera.jpg").string();
    ASSERT_EQ(run({"-q", camera, out.string()}).status, 0);
    ASSERT_EQ(run({"-q", "--quality", "20", camera, small.string()}).status, 0);
    EXPECT_LT(fs::file_size(small), fs::file_size(out));
    Exiv2::Image::AutoPtr written = Exiv2::ImageFactory::open(out.string());
    written->readMetadata();
    EXPECT_EQ(written->pixelWidth(), 30);
    EXPECT_EQ(written->exifData()["Exif.Image.Make"].toString(), "Bokavo Test Camera");
    EXPECT_EQ(written->exifData()["Exif.Image.Orientation"].toString(), "1");

    for (const char* quality : {"0", "101"}) {
        const RunResult result = run({"--quality", quality, camera, out.string()});
        EXPECT_EQ(result.status, 2);
        EXPECT_EQ(result.err.substr(0, result.err.find('\n')),
                  "bokavo-render: --quality: '" + std::string(quality) +
                      "' is not a quality from 1 to 100");
    }
}

// A portrait's own depth map renders exactly as the mask the nearness rule makes of it
// (worked out by the fixture) given with --zmask and --fit-zmask, and --save-depth writes
// the mask in use, which --zmask takes back unchanged.
TEST_F(RenderCommand, EmbeddedDepthIsTheRulesMaskFittedToThePhoto) {
    const fs::path pictures = BOKAVO_PICTURES_DIR;
    const fs::path embedded = dir_ / "embedded.jpg", given = dir_ / "given.jpg",
                   saved = dir_ / "saved.png", again = dir_ / "again.jpg";
    for (const char* portrait :
         {"gdepth_extended_inverse.jpg", "dd_linear.jpg", "heic_depth_10.heic"}) {
        SCOPED_TRACE(portrait);
        const std::string photo = (pictures / portrait).string();
        const std::vector<std::string> options{"-q",          "--diaphragm", shape().string(),
                                               "--occlusion", "bright-near", "--threshold",
                                               "90"};
        const auto runWith = [&](std::vector<std::string> depth, const fs::path& out) {
            depth.insert(depth.begin(), options.begin(), options.end());
            depth.insert(depth.end(), {photo, out.string()});
            const RunResult result = run(depth);
            EXPECT_EQ(result.status, 0) << result.err;
        };
        runWith({"--embedded-depth", "--save-depth", saved.string()}, embedded);
        runWith({"--zmask", (pictures / (std::string(portrait) + ".expected.png")).string(),
                 "--fit-zmask"},
                given);
        runWith({"--zmask", saved.string()}, again);
        EXPECT_EQ(readFileBytes(embedded), readFileBytes(given));
        EXPECT_EQ(readFileBytes(embedded), readFileBytes(again));
    }
}

TEST_F(RenderCommand, EmbeddedDepthThatIsMissingOrUnusableWritesNothing) {
    const fs::path pictures = BOKAVO_PICTURES_DIR;
    const std::string camera = (pictures / "camera.jpg").string(),
                      damaged = (pictures / "depth_bad_guid.jpg").string(), out = output().string(),
                      saved = (dir_ / "saved.png").string();
    expectFailure({"--embedded-depth", "--save-depth", saved, camera, out}, 1,
                  "bokavo-render: " + camera + " carries no depth map");
    expectFailure({"--embedded-depth", damaged, out}, 1,
                  "bokavo-render: cannot use the depth map of " + damaged +
                      ": no extended XMP segment carries the GUID " + std::string(32, '0'));
    for (const auto& [args, line] :
         {std::pair{std::vector<std::string>{"--embedded-depth", "--zmask", camera, camera, out},
                    "bokavo-render: --zmask excludes --embedded-depth"},
          {{"--save-depth", saved, camera, out}, "bokavo-render: --save-depth requires --zmask"}}) {
        const RunResult result = run(args);
        EXPECT_EQ(result.status, 2);
        EXPECT_EQ(result.err.substr(0, result.err.find('\n')), line);
    }
}

// Opens a pseudo-terminal; the test's stderr of the child goes to its other side.
struct PseudoTerminal {
    PseudoTerminal() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0) name = ptsname(master);
    }
    ~PseudoTerminal() {
        if (master >= 0) close(master);
    }
    int master = -1;
    std::string name;
};

TEST_F(RenderCommand, ProgressBarOnlyOnATerminal) {
    const std::vector<std::string> args{"--diaphragm", shape().string(), input().string(),
                                        output().string()};
    {
        PseudoTerminal terminal;
        if (terminal.name.empty()) GTEST_SKIP() << "no pseudo-terminal available";
        const RunResult result = run(args, {}, BOKAVO_RENDER_PATH, terminal.master, terminal.name);
        ASSERT_EQ(result.status, 0) << result.err;
        EXPECT_NE(result.err.find("] 100%"), std::string::npos) << result.err;
        EXPECT_NE(result.err.find("elapsed 0:0"), std::string::npos) << result.err;
        EXPECT_NE(result.err.find("remaining 0:00"), std::string::npos) << result.err;
        EXPECT_EQ(result.err.back(), '\n');  // the cursor ends on a fresh line
    }
    {
        PseudoTerminal terminal;
        std::vector<std::string> quiet = args;
        quiet.insert(quiet.begin(), "-q");
        const RunResult result = run(quiet, {}, BOKAVO_RENDER_PATH, terminal.master, terminal.name);
        ASSERT_EQ(result.status, 0);
        EXPECT_EQ(result.err, "");
    }
}

}  // namespace

namespace {

TEST(ProgressBarLine, ShowsShareElapsedAndEstimate) {
    using std::chrono::milliseconds;
    EXPECT_EQ(ProgressBar::line(0, 480, milliseconds(10)),
              "[------------------------------]   0%  elapsed 0:00  remaining ?");
    EXPECT_EQ(ProgressBar::line(120, 480, milliseconds(12000)),
              "[#######-----------------------]  25%  elapsed 0:12  remaining 0:36");
    EXPECT_EQ(ProgressBar::line(480, 480, milliseconds(3723000)),
              "[##############################] 100%  elapsed 1:02:03  remaining 0:00");
}

}  // namespace
