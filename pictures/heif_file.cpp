// HEIF files through libheif. libheif parses the boxes and drives the HEVC and AV1
// decoders; this file asks it for the primary image as RGB samples, for the colour
// description and metadata blocks that the other readers take from their codecs, and for
// the depth image. Files are untrusted: every size is checked before anything is decoded.
#include "pictures/heif_file.h"

#include <libheif/heif.h>
#include <QColorSpace>
#include <QImage>
#include <QPointF>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <mutex>
#include <utility>

#include "image/bmp_file.h"
#include "image/why_not.h"
#include "pictures/picture_metadata.h"

namespace {

struct ContextFree {
    void operator()(heif_context* context) const { heif_context_free(context); }
};
struct HandleRelease {
    void operator()(heif_image_handle* handle) const { heif_image_handle_release(handle); }
};
struct ImageRelease {
    void operator()(heif_image* image) const { heif_image_release(image); }
};
struct OptionsFree {
    void operator()(heif_decoding_options* options) const { heif_decoding_options_free(options); }
};
struct NclxFree {
    void operator()(heif_color_profile_nclx* nclx) const { heif_nclx_color_profile_free(nclx); }
};
using Context = std::unique_ptr<heif_context, ContextFree>;
using Handle = std::unique_ptr<heif_image_handle, HandleRelease>;
using Image = std::unique_ptr<heif_image, ImageRelease>;

// The name users know for the file's kind, from its main brand.
std::string labelOf(const void* data, std::size_t size) {
    switch (heif_main_brand(static_cast<const std::uint8_t*>(data),
                            static_cast<int>(std::min<std::size_t>(size, INT_MAX)))) {
        case heif_avif:
        case heif_avis:
            return "AVIF";
        case heif_heic:
        case heif_heix:
        case heif_hevc:
        case heif_hevx:
        case heif_heim:
        case heif_heis:
        case heif_hevm:
        case heif_hevs:
            return "HEIC";
        default:
            return "HEIF";
    }
}

// libheif's reason as one line: its message names the category and the detail.
std::string refusal(const std::string& label, const heif_error& error) {
    std::string detail = error.message && *error.message ? error.message : "unknown error";
    // libheif ends some messages with a line break.
    std::replace(detail.begin(), detail.end(), '\n', ' ');
    while (!detail.empty() && detail.back() == ' ') detail.pop_back();
    if (error.code == heif_error_Unsupported_feature ||
        error.code == heif_error_Unsupported_filetype)
        return label + " picture that libheif cannot decode (" + detail + ")";
    if (error.code == heif_error_Memory_allocation_error &&
        error.subcode != heif_suberror_Security_limit_exceeded)
        return describe(BmpError::OutOfMemory);
    return "damaged or truncated " + label + " file (" + detail + ")";
}

// The file's primary image, with libheif told to accept every size the readers accept, so
// that their own limit is the one a user meets.
struct OpenFile {
    std::string label;
    Context context;
    Handle primary;
};

bool open(const void* data, std::size_t size, OpenFile& file, std::string* whyNot) {
    static std::once_flag once;
    std::call_once(once, [] { heif_init(nullptr); });
    file.label = labelOf(data, size);
    file.context.reset(heif_context_alloc());
    if (!file.context) {
        setWhy(whyNot, describe(BmpError::OutOfMemory));
        return false;
    }
    heif_context_set_maximum_image_size_limit(file.context.get(),
                                              static_cast<int>(kMaxPicturePixels));
    heif_error error =
        heif_context_read_from_memory_without_copy(file.context.get(), data, size, nullptr);
    heif_image_handle* primary = nullptr;
    if (error.code == heif_error_Ok)
        error = heif_context_get_primary_image_handle(file.context.get(), &primary);
    file.primary.reset(primary);
    if (error.code != heif_error_Ok) {
        setWhy(whyNot, refusal(file.label, error));
        return false;
    }
    return true;
}

// Decodes `handle` into the colour space and layout asked for, with its transformations
// applied and damaged data refused rather than filled in.
Image decode(const OpenFile& file, const heif_image_handle* handle, heif_colorspace space,
             heif_chroma chroma, std::string* whyNot) {
    std::unique_ptr<heif_decoding_options, OptionsFree> options(heif_decoding_options_alloc());
    if (!options) {
        setWhy(whyNot, describe(BmpError::OutOfMemory));
        return nullptr;
    }
    options->strict_decoding = 1;
    heif_image* decoded = nullptr;
    const heif_error error = heif_decode_image(handle, &decoded, space, chroma, options.get());
    Image image(decoded);
    if (error.code != heif_error_Ok || !image) {
        setWhy(whyNot, refusal(file.label, error));
        return nullptr;
    }
    return image;
}

// The colour space the file describes: an ICC profile, or nclx code points whose
// primaries libheif has already turned into chromaticities. Transfer curves Qt has no form
// for (PQ, HLG, logarithmic) are taken as sRGB's, the curve these files are mostly shown
// with; BT.709's camera curve is too, as viewers do.
QColorSpace colourSpaceOf(const heif_image_handle* handle) {
    switch (heif_image_handle_get_color_profile_type(handle)) {
        case heif_color_profile_type_prof:
        case heif_color_profile_type_rICC: {
            QByteArray icc(
                static_cast<qsizetype>(heif_image_handle_get_raw_color_profile_size(handle)),
                Qt::Uninitialized);
            if (heif_image_handle_get_raw_color_profile(handle, icc.data()).code != heif_error_Ok)
                return {};
            return QColorSpace::fromIccProfile(icc);
        }
        case heif_color_profile_type_nclx: {
            heif_color_profile_nclx* got = nullptr;
            if (heif_image_handle_get_nclx_color_profile(handle, &got).code != heif_error_Ok)
                return {};
            const std::unique_ptr<heif_color_profile_nclx, NclxFree> nclx(got);
            const auto primaries = nclx->color_primaries;
            const auto transfer = nclx->transfer_characteristics;
            auto curve = QColorSpace::TransferFunction::SRgb;
            float gamma = 0;
            if (transfer == heif_transfer_characteristic_linear) {
                curve = QColorSpace::TransferFunction::Linear;
            } else if (transfer == heif_transfer_characteristic_ITU_R_BT_470_6_System_M) {
                curve = QColorSpace::TransferFunction::Gamma, gamma = 2.2f;
            } else if (transfer == heif_transfer_characteristic_ITU_R_BT_470_6_System_B_G) {
                curve = QColorSpace::TransferFunction::Gamma, gamma = 2.8f;
            }
            if ((primaries == heif_color_primaries_ITU_R_BT_709_5 ||
                 primaries == heif_color_primaries_unspecified) &&
                curve == QColorSpace::TransferFunction::SRgb)
                return {};  // sRGB, as a picture without a profile is taken
            if (primaries == heif_color_primaries_unspecified)
                return QColorSpace(QColorSpace::Primaries::SRgb, curve, gamma);
            return QColorSpace(QPointF(nclx->color_primary_white_x, nclx->color_primary_white_y),
                               QPointF(nclx->color_primary_red_x, nclx->color_primary_red_y),
                               QPointF(nclx->color_primary_green_x, nclx->color_primary_green_y),
                               QPointF(nclx->color_primary_blue_x, nclx->color_primary_blue_y),
                               curve, gamma);
        }
        default:
            return {};
    }
}

// The bytes of the metadata blocks of one type (and content type, where given).
std::string metadataBlock(const heif_image_handle* handle, const char* type,
                          const char* contentType) {
    const int count = heif_image_handle_get_number_of_metadata_blocks(handle, type);
    std::vector<heif_item_id> ids(static_cast<std::size_t>(std::max(count, 0)));
    heif_image_handle_get_list_of_metadata_block_IDs(handle, type, ids.data(), count);
    for (const heif_item_id id : ids) {
        const char* content = heif_image_handle_get_metadata_content_type(handle, id);
        if (contentType && (!content || std::strcmp(content, contentType) != 0)) continue;
        std::string block(heif_image_handle_get_metadata_size(handle, id), '\0');
        if (heif_image_handle_get_metadata(handle, id, block.data()).code == heif_error_Ok)
            return block;
    }
    return {};
}

// The EXIF and XMP blocks. HEIF's EXIF block starts with the 32-bit big-endian offset of
// the TIFF header after those four bytes; the orientation inside is not the picture's (its
// transformations are), and goes like every other pixel description.
PictureMetadata metadataOf(const heif_image_handle* handle) {
    std::string exif = metadataBlock(handle, "Exif", nullptr);
    if (exif.size() >= 4) {
        const std::uint32_t offset = std::uint32_t{static_cast<std::uint8_t>(exif[0])} << 24 |
                                     std::uint32_t{static_cast<std::uint8_t>(exif[1])} << 16 |
                                     std::uint32_t{static_cast<std::uint8_t>(exif[2])} << 8 |
                                     static_cast<std::uint8_t>(exif[3]);
        exif = offset < exif.size() - 4 ? exif.substr(4 + offset) : std::string();
    } else {
        exif.clear();
    }
    if (exif.size() > UINT32_MAX) exif.clear();
    PictureMetadata kept;
    picture_metadata::keep(exif, metadataBlock(handle, "mime", "application/rdf+xml"), kept);
    return kept;
}

// N bits to 16, rounded to nearest, so that the 16-to-8 rounding after it gives exactly the
// nearest 8-bit value of the N-bit one.
inline std::uint16_t to16Bits(std::uint32_t value, std::uint32_t largest) {
    return static_cast<std::uint16_t>((value * 65535 + largest / 2) / largest);
}

}  // namespace

bool isHeifFile(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    if (size < 12 || std::memcmp(bytes + 4, "ftyp", 4) != 0) return false;
    return heif_check_filetype(bytes, static_cast<int>(std::min<std::size_t>(size, INT_MAX))) !=
           heif_filetype_no;
}

bool decodeHeif(const void* data, std::size_t size, QImage& picture, PictureMetadata* metadata,
                std::string* whyNot) {
    OpenFile file;
    if (!open(data, size, file, whyNot)) return false;
    const heif_image_handle* handle = file.primary.get();
    if (!accepted(pictureSizeRefusal(heif_image_handle_get_width(handle),
                                     heif_image_handle_get_height(handle)),
                  whyNot))
        return false;

    const bool alpha = heif_image_handle_has_alpha_channel(handle) != 0;
    const bool deep = heif_image_handle_get_luma_bits_per_pixel(handle) > 8;
    const heif_chroma layout =
        deep ? (alpha ? heif_chroma_interleaved_RRGGBBAA_LE : heif_chroma_interleaved_RRGGBB_LE)
             : (alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB);
    const Image image = decode(file, handle, heif_colorspace_RGB, layout, whyNot);
    if (!image) return false;
    const int width = heif_image_get_width(image.get(), heif_channel_interleaved);
    const int height = heif_image_get_height(image.get(), heif_channel_interleaved);
    int stride = 0;
    const std::uint8_t* plane =
        heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
    if (!plane || width <= 0 || height <= 0) {
        setWhy(whyNot, "damaged or truncated " + file.label + " file (no pixels decoded)");
        return false;
    }
    if (!accepted(pictureSizeRefusal(width, height), whyNot)) return false;

    const bool premultiplied = alpha && heif_image_handle_is_premultiplied_alpha(handle);
    QImage::Format format;
    if (deep) {
        format = !alpha          ? QImage::Format_RGBX64
                 : premultiplied ? QImage::Format_RGBA64_Premultiplied
                                 : QImage::Format_RGBA64;
    } else {
        format = !alpha          ? QImage::Format_RGB888
                 : premultiplied ? QImage::Format_RGBA8888_Premultiplied
                                 : QImage::Format_RGBA8888;
    }
    picture = QImage(width, height, format);
    if (picture.isNull()) {
        setWhy(whyNot, describe(BmpError::OutOfMemory));
        return false;
    }
    const int channels = alpha ? 4 : 3;
    if (deep) {
        const int bits = heif_image_get_bits_per_pixel_range(image.get(), heif_channel_interleaved);
        const std::uint32_t largest = (std::uint32_t{1} << std::clamp(bits, 1, 16)) - 1;
        for (int y = 0; y < height; ++y) {
            const auto* in =
                reinterpret_cast<const std::uint8_t*>(plane + std::ptrdiff_t{y} * stride);
            auto* out = reinterpret_cast<std::uint16_t*>(picture.scanLine(y));
            for (int x = 0; x < width; ++x, in += 2 * channels, out += 4) {
                for (int c = 0; c < channels; ++c)
                    out[c] = to16Bits(
                        std::min<std::uint32_t>(in[2 * c] | in[2 * c + 1] << 8, largest), largest);
                if (!alpha) out[3] = 65535;
            }
        }
    } else {
        const std::size_t rowBytes = static_cast<std::size_t>(width) * channels;
        for (int y = 0; y < height; ++y)
            std::memcpy(picture.scanLine(y), plane + std::ptrdiff_t{y} * stride, rowBytes);
    }
    picture.setColorSpace(colourSpaceOf(handle));
    if (metadata) *metadata = metadataOf(handle);
    return true;
}

std::optional<HeifDepthImage> readHeifDepth(const void* data, std::size_t size,
                                            std::string* whyNot) {
    OpenFile file;
    if (!open(data, size, file, whyNot)) return std::nullopt;
    const heif_image_handle* primary = file.primary.get();
    heif_item_id id = 0;
    if (heif_image_handle_get_list_of_depth_image_IDs(primary, &id, 1) != 1) {
        setWhy(whyNot, {});
        return std::nullopt;
    }
    heif_image_handle* got = nullptr;
    const heif_error error = heif_image_handle_get_depth_image_handle(primary, id, &got);
    const Handle handle(got);
    if (error.code != heif_error_Ok) {
        setWhy(whyNot, refusal(file.label, error));
        return std::nullopt;
    }
    // The depth image keeps to the pictures' size limits, before and after decoding.
    const auto tooLarge = [whyNot](int width, int height) {
        if (pictureSizeRefusal(width, height).empty()) return false;
        setWhy(whyNot, "depth image too large (" + std::to_string(width) + " x " +
                           std::to_string(height) + ")");
        return true;
    };
    if (tooLarge(heif_image_handle_get_width(handle.get()),
                 heif_image_handle_get_height(handle.get())))
        return std::nullopt;

    // The codes are the luma plane; a depth image has no colour to convert.
    const Image image =
        decode(file, handle.get(), heif_colorspace_YCbCr, heif_chroma_monochrome, whyNot);
    if (!image) return std::nullopt;
    HeifDepthImage depth;
    depth.width = heif_image_get_width(image.get(), heif_channel_Y);
    depth.height = heif_image_get_height(image.get(), heif_channel_Y);
    depth.bits = heif_image_get_bits_per_pixel_range(image.get(), heif_channel_Y);
    int stride = 0;
    const std::uint8_t* plane = heif_image_get_plane_readonly(image.get(), heif_channel_Y, &stride);
    if (!plane || depth.width <= 0 || depth.height <= 0 || depth.bits < 1 || depth.bits > 16) {
        setWhy(whyNot,
               "damaged or truncated " + file.label + " file (the depth image holds no samples)");
        return std::nullopt;
    }
    if (tooLarge(depth.width, depth.height)) return std::nullopt;
    depth.samples.resize(static_cast<std::size_t>(depth.width) * depth.height);
    std::uint16_t* out = depth.samples.data();
    const std::uint32_t largest = (std::uint32_t{1} << depth.bits) - 1;
    for (int y = 0; y < depth.height; ++y) {
        const std::uint8_t* in = plane + std::ptrdiff_t{y} * stride;
        for (int x = 0; x < depth.width; ++x, ++out)
            *out = depth.bits <= 8 ? in[x]
                                   : static_cast<std::uint16_t>(std::min<std::uint32_t>(
                                         in[2 * x] | in[2 * x + 1] << 8, largest));
    }

    const heif_depth_representation_info* info = nullptr;
    if (heif_image_handle_get_depth_image_representation_info(primary, id, &info) && info) {
        using R = HeifDepthImage::Representation;
        constexpr std::pair<heif_depth_representation_type, R> kRepresentations[] = {
            {heif_depth_representation_type_uniform_inverse_Z, R::UniformInverseZ},
            {heif_depth_representation_type_uniform_disparity, R::UniformDisparity},
            {heif_depth_representation_type_uniform_Z, R::UniformZ},
            {heif_depth_representation_type_nonuniform_disparity, R::NonuniformDisparity}};
        for (const auto& [theirs, ours] : kRepresentations)
            if (info->depth_representation_type == theirs) depth.representation = ours;
        if (info->has_z_near) depth.zNear = info->z_near;
        if (info->has_z_far) depth.zFar = info->z_far;
        if (info->has_d_min) depth.dMin = info->d_min;
        if (info->has_d_max) depth.dMax = info->d_max;
        heif_depth_representation_info_free(info);
    }
    return depth;
}

std::optional<StoredDepth> storedDepthOf(HeifDepthImage depth, std::string* whyNot) {
    using Representation = HeifDepthImage::Representation;
    StoredDepth stored;
    stored.width = depth.width;
    stored.height = depth.height;
    stored.bitDepth = depth.bits;
    stored.representation = DepthRepresentation::Disparity;
    const bool range = depth.zNear && depth.zFar;
    if (depth.representation == Representation::UniformInverseZ && range) {
        // Code 0 lies at the far distance here, where the convention's inverse range puts
        // near: counted from the other end, the codes are that range.
        const std::uint16_t top = static_cast<std::uint16_t>((1u << depth.bits) - 1);
        for (std::uint16_t& code : depth.samples) code = static_cast<std::uint16_t>(top - code);
        stored.representation = DepthRepresentation::RangeInverse;
    } else if (depth.representation == Representation::UniformZ) {
        if (!range) {
            setWhy(whyNot, "the depth image gives no near and far distances for its codes");
            return std::nullopt;
        }
        stored.representation = DepthRepresentation::RangeLinear;
    } else if (depth.representation == Representation::NonuniformDisparity) {
        setWhy(
            whyNot,
            "the depth image's codes follow a nonuniform disparity model, which is not supported");
        return std::nullopt;
    }
    if (range) {
        stored.near = *depth.zNear;
        stored.far = *depth.zFar;
    }
    stored.codes = std::move(depth.samples);
    return stored;
}
