#include "cli/options.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cmath>
#include <iostream>
#include <thread>

#include "bokavo_version.h"
#include "defocus/numbers.h"

namespace {

// Numbers are read in the same syntax in every locale; the whole argument must be one,
// and a finite one: a value beyond the largest double would be taken as infinity.
const CLI::Validator kDecimal(
    [](std::string& text) -> std::string {
        const auto value = parseDecimal(text);
        if (!value) return "'" + text + "' is not a decimal number";
        return std::isfinite(*value) ? "" : "'" + text + "' is out of range";
    },
    "");

const CLI::Validator kInteger(
    [](std::string& text) -> std::string {
        return parseInteger(text) ? "" : "'" + text + "' is not a whole number";
    },
    "");

const CLI::Validator kCount(
    [](std::string& text) -> std::string {
        const auto value = parseInteger(text);
        return value && *value >= 0 ? "" : "'" + text + "' is not a count of 0 or more";
    },
    "");

const CLI::Validator kQuality(
    [](std::string& text) -> std::string {
        const auto value = parseInteger(text);
        return value && *value >= 1 && *value <= 100
                   ? ""
                   : "'" + text + "' is not a quality from 1 to 100";
    },
    "");

CLI::Option* addDecimal(CLI::App& app, const std::string& name, double& value,
                        const std::string& help) {
    return app
        .add_option_function<std::string>(
            name, [&value](const std::string& text) { value = *parseDecimal(text); }, help)
        ->check(kDecimal);
}

const char* const kDescription =
    "Defocuses a picture: every pixel is painted through the diaphragm (a small square\n"
    "image of the lens aperture), so highlights turn into discs of its shape. With a depth\n"
    "mask each pixel's disc grows with its distance from the depth in focus.\n"
    "Pictures may be Windows bitmaps, PNG, JPEG, TIFF or WebP files, and the input also a\n"
    "HEIC, HEIF or AVIF photo; the output's format follows its extension (.bmp .png .jpg\n"
    ".jpeg .tif .tiff .webp; any other: bitmap), and it keeps the input's EXIF and XMP\n"
    "metadata.";

// A whole number from 0 to 255, as the depth options take it.
const CLI::Validator kDepthStep(
    [](std::string& text) -> std::string {
        const auto value = parseInteger(text);
        return value && *value >= 0 && *value <= 255
                   ? ""
                   : "'" + text + "' is not a whole number from 0 to 255";
    },
    "");

// The focus range and occlusion, which only mean something with a depth mask: given
// without one, each is a usage error that says so (see requireDepthMask).
void addFocusAndOcclusion(CLI::App& app, RenderOptions& options) {
    app.add_option_function<std::string>(
           "--focus-range",
           [&options](const std::string& text) { options.focusRange = *parseInteger(text); },
           "Depths this close to the threshold are all in focus;\n"
           "the blur grows with the distance beyond it (0 ... 255)")
        ->check(kDepthStep)
        ->type_name("N")
        ->default_str("0");
    app.add_option_function<std::string>(
           "--occlusion",
           [&options](const std::string& text) {
               options.occlusion =
                   text == "bright-near" ? Occlusion::BrightNear : Occlusion::DarkNear;
           },
           "Near pixels hide what lies behind them: bright-near or\n"
           "dark-near says which end of the depth mask is near the camera")
        ->check(CLI::Validator(
            [](std::string& text) -> std::string {
                return text == "bright-near" || text == "dark-near"
                           ? ""
                           : "'" + text + "' is not bright-near or dark-near";
            },
            ""))
        ->type_name("WHICH");
    app.add_option_function<std::string>(
           "--occlusion-tolerance",
           [&options](const std::string& text) {
               options.occlusionTolerance = *parseInteger(text);
           },
           "How much nearer than a pixel its neighbours may lie and still\n"
           "receive its blur (0 ... 255), so slanted surfaces blur evenly")
        ->check(kDepthStep)
        ->type_name("N")
        ->default_str("16");
}

// The depth mask comes from --zmask or from INPUT itself, never both.
void addEmbeddedDepth(CLI::App& app, RenderOptions& options) {
    app.add_flag("--embedded-depth", options.embeddedDepth,
                 "Use INPUT's own depth map (a phone's portrait photo) as the\n"
                 "depth mask, resized to the image; bright is near")
        ->excludes(app.get_option("--zmask"));
    app.add_option("--save-depth", options.saveDepth,
                   "Write the depth mask in use, turned and resized to the image,\n"
                   "as a grey picture in the format its extension names")
        ->type_name("FILE");
}

// The options that need a depth mask, as CLI11 would refuse them if a mask had one source.
std::optional<CLI::RequiresError> requireDepthMask(const CLI::App& app) {
    if (app.count("--zmask") || app.count("--embedded-depth")) return std::nullopt;
    for (const char* name :
         {"--focus-range", "--occlusion", "--occlusion-tolerance", "--save-depth"})
        if (app.count(name)) return CLI::RequiresError(name, "--zmask");
    return std::nullopt;
}

const char* const kFooter =
    "--focus-range, --occlusion, --occlusion-tolerance and --save-depth need a depth mask:\n"
    "--zmask or --embedded-depth.\n"
    "Numbers use a full stop as the decimal separator, whatever the locale.\n"
    "Exit status: 0 success, 1 a file cannot be read or written, 2 usage error.";

}  // namespace

std::optional<int> parseCommandLine(int argc, const char* const* argv, RenderOptions& options) {
    CLI::App app(kDescription, "bokavo-render");
    app.footer(kFooter);
    app.set_version_flag("--version", std::string("bokavo-render ") + BOKAVO_VERSION);
    app.failure_message([](const CLI::App*, const CLI::Error& error) {
        return std::string("bokavo-render: ") + error.what() +
               "\nRun 'bokavo-render --help' for the options.\n";
    });

    app.add_option("INPUT", options.input, "The picture to defocus")->required()->type_name("FILE");
    app.add_option("OUTPUT", options.output,
                   "Where the result is written, in the format its extension names;\n"
                   "- for standard output (a bitmap)")
        ->required()
        ->type_name("FILE");
    app.add_option("--diaphragm", options.diaphragm,
                   "Square aperture picture; default: lmask.bmp from the current folder,\n"
                   "the program's folder or share/bokavo")
        ->type_name("FILE");
    addDecimal(app, "--density", options.density, "Paint density")
        ->type_name("D")
        ->default_str("0.1");
    addDecimal(app, "--gamma", options.gamma, "Gamma scaling")->type_name("G")->default_str("1.0");
    app.add_flag_callback(
        "--no-blend", [&options] { options.blend = false; },
        "The painting alone replaces the source");
    app.add_option("--zmask", options.zmask,
                   "Depth mask of the image's size (blue channel = depth);\n"
                   "turns depth of field on")
        ->type_name("FILE");
    app.add_option_function<std::string>(
           "--threshold",
           [&options](const std::string& text) { options.threshold = *parseInteger(text); },
           "Depth in focus, a whole number")
        ->check(kInteger)
        ->type_name("N")
        ->default_str("0");
    addDecimal(app, "--dist-scaling", options.distScaling, "Blur growth with depth distance")
        ->type_name("S")
        ->default_str("2.0");
    addFocusAndOcclusion(app, options);
    app.add_flag("--fit-zmask", options.fitZmask,
                 "Resize a depth mask of another size to the image\n"
                 "instead of refusing it");
    addEmbeddedDepth(app, options);
    app.add_flag("-q,--quiet", options.quiet, "No progress display");
    app.add_option_function<std::string>(
           "--threads",
           [&options](const std::string& text) {
               // More threads than the hardware runs at once cannot be faster; each only
               // costs its own buffers.
               const unsigned hardware = std::max(1u, std::thread::hardware_concurrency());
               options.threads = std::min(static_cast<unsigned>(*parseInteger(text)), hardware);
           },
           "Threads to render with; 0 uses every hardware thread,\n"
           "and more than the hardware has count as that many")
        ->check(kCount)
        ->type_name("N")
        ->default_str("0");
    app.add_option_function<std::string>(
           "--quality",
           [&options](const std::string& text) {
               options.quality = static_cast<int>(*parseInteger(text));
           },
           "Quality of JPEG and WebP output, 1 to 100")
        ->check(kQuality)
        ->type_name("Q")
        ->default_str("95");

    try {
        app.parse(argc, argv);
        if (const auto error = requireDepthMask(app)) throw *error;
    } catch (const CLI::ParseError& error) {
        const int status = app.exit(error, std::cout, std::cerr);
        return status == 0 ? kExitSuccess : kExitUsage;
    }
    return std::nullopt;
}
