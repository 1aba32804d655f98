#include "cli/options.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <iostream>
#include <limits>
#include <thread>

#include "bokavo_version.h"
#include "support/numbers.h"

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

// Whole numbers follow one rule for every option that takes one: the text is a decimal
// number as above whose value is whole, so "12", "+12", "1e2" and "100.0" are all
// accepted, and the value is held in 32 bits. A value that is no whole number, or lies
// outside the option's own range (`least` ... `most`), is refused as not being `kind`;
// one beyond 32 bits is out of range, as a decimal beyond the largest double is.
CLI::Validator wholeNumber(const std::string& kind, double least, double most) {
    return CLI::Validator(
        [=](std::string& text) -> std::string {
            const auto value = parseDecimal(text);
            if (!value || (std::isfinite(*value) && std::floor(*value) != *value) ||
                *value < least || *value > most)
                return "'" + text + "' is not " + kind;
            if (*value < std::numeric_limits<std::int32_t>::min() ||
                *value > std::numeric_limits<std::int32_t>::max())
                return "'" + text + "' is out of range";
            return "";
        },
        "");
}

// An option that takes a whole number, which `set` receives once the rule above passed it.
CLI::Option* addWhole(CLI::App& app, const std::string& name, std::function<void(std::int32_t)> set,
                      const std::string& help, const CLI::Validator& rule) {
    return app
        .add_option_function<std::string>(
            name,
            [set = std::move(set)](const std::string& text) {
                set(static_cast<std::int32_t>(*parseDecimal(text)));
            },
            help)
        ->check(rule)
        ->type_name("N");
}

// An option that takes a decimal number of type `type` into `value`; the help shows the
// value it holds beforehand as the default.
CLI::Option* addDecimal(CLI::App& app, const std::string& name, double& value,
                        const std::string& help, const std::string& type) {
    return app
        .add_option_function<std::string>(
            name, [&value](const std::string& text) { value = *parseDecimal(text); }, help)
        ->check(kDecimal)
        ->type_name(type)
        ->default_str(formatShort(value));
}

const char* const kDescription =
    "Defocuses a picture: every pixel is painted through the diaphragm (a small square\n"
    "image of the lens aperture), so highlights turn into discs of its shape. With a depth\n"
    "mask each pixel's disc grows with its distance from the depth in focus.\n"
    "Pictures may be Windows bitmaps, PNG, JPEG, TIFF or WebP files, and the input also a\n"
    "HEIC, HEIF or AVIF photo; the output's format follows its extension (.bmp .png .jpg\n"
    ".jpeg .tif .tiff .webp; any other: bitmap), and it keeps the input's EXIF and XMP\n"
    "metadata.";

// An option that takes a whole number in the range of `parameter` into `value`; the help
// names the range between `before` and `after`, and shows the value held beforehand as
// the default.
CLI::Option* addWholeIn(CLI::App& app, const std::string& name, int& value,
                        const Parameter<int>& parameter, const std::string& before,
                        const std::string& after = "") {
    const std::string least = formatInteger(parameter.least), most = formatInteger(parameter.most);
    return addWhole(
               app, name, [&value](std::int32_t number) { value = number; },
               before + " (" + least + " ... " + most + ")" + after,
               wholeNumber("a whole number from " + least + " to " + most, parameter.least,
                           parameter.most))
        ->default_str(formatInteger(value));
}

// The focus range and occlusion, which only mean something with a depth mask: given
// without one, each is a usage error that says so (see requireDepthMask).
void addFocusAndOcclusion(CLI::App& app, RenderOptions& options) {
    addWholeIn(app, "--focus-range", options.dof.focusRange, DofSettings::kFocusRange,
               "Depths this close to the threshold are all in focus;\n"
               "the blur grows with the distance beyond it");
    app.add_option_function<std::string>(
           "--occlusion",
           [&options](const std::string& text) {
               options.dof.occlusion =
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
    addWholeIn(app, "--occlusion-tolerance", options.dof.occlusionTolerance,
               DofSettings::kOcclusionTolerance,
               "How much nearer than a pixel its neighbours may lie and still\n"
               "receive its blur",
               ", so slanted surfaces blur evenly");
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
    for (const char* name : {"--threshold", "--dist-scaling", "--focus-range", "--occlusion",
                             "--occlusion-tolerance", "--fit-zmask", "--save-depth"})
        if (app.count(name)) return CLI::RequiresError(name, "--zmask");
    return std::nullopt;
}

const char* const kFooter =
    "The depth options (--threshold, --dist-scaling, --focus-range, --occlusion,\n"
    "--occlusion-tolerance, --fit-zmask, --save-depth) need a depth mask:\n"
    "--zmask or --embedded-depth.\n"
    "Numbers use a full stop as the decimal separator, whatever the locale.\n"
    "Whole numbers (N, Q) may be written as 12, +12, 1e2 or 100.0; beyond 32 bits\n"
    "(-2147483648 ... 2147483647) they are out of range.\n"
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
    addDecimal(app, "--density", options.density, "Paint density", "D");
    addDecimal(app, "--gamma", options.gamma, "Gamma scaling", "G");
    app.add_flag_callback(
        "--no-blend", [&options] { options.blend = false; },
        "The painting alone replaces the source");
    app.add_option("--zmask", options.zmask,
                   "Depth mask of the image's size (blue channel = depth);\n"
                   "turns depth of field on")
        ->type_name("FILE");
    addWhole(
        app, "--threshold", [&options](std::int32_t value) { options.dof.threshold = value; },
        "Depth in focus, a whole number", wholeNumber("a whole number", -kUnbounded, kUnbounded))
        ->default_str(formatInteger(std::int32_t(options.dof.threshold)));
    addDecimal(app, "--dist-scaling", options.dof.distScaling, "Blur growth with depth distance",
               "S");
    addFocusAndOcclusion(app, options);
    app.add_flag("--fit-zmask", options.fitZmask,
                 "Resize a depth mask of another size to the image\n"
                 "instead of refusing it");
    addEmbeddedDepth(app, options);
    app.add_flag("-q,--quiet", options.quiet, "No progress display");
    addWhole(
        app, "--threads",
        [&options](std::int32_t value) {
            // More threads than the hardware runs at once cannot be faster; each only
            // costs its own buffers.
            const unsigned hardware = std::max(1u, std::thread::hardware_concurrency());
            options.threads = std::min(static_cast<unsigned>(value), hardware);
        },
        "Threads to render with; 0 uses every hardware thread,\n"
        "and more than the hardware has count as that many",
        wholeNumber("a count of 0 or more", 0, kUnbounded))
        ->default_str("0");
    addWhole(
        app, "--quality", [&options](std::int32_t value) { options.quality = value; },
        "Quality of JPEG and WebP output, 1 to 100", wholeNumber("a quality from 1 to 100", 1, 100))
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
