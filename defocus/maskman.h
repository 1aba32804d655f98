// MaskMan: the diaphragm shape (a square image) and its cache of scaled copies.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "image/dib24.h"

// Thrown by the renderer when the diaphragm set yields no kernel for a size it needs (no
// shape, or a scaled copy that cannot be made).
class MissingKernel : public std::runtime_error {
public:
    explicit MissingKernel(int size);
    int size;
};

class MaskMan {
public:
    MaskMan() = default;
    ~MaskMan();
    MaskMan(const MaskMan&) = delete;
    MaskMan& operator=(const MaskMan&) = delete;

    // Reads a new shape from a bitmap file. On success the old shape and every scaled
    // copy are gone; on failure nothing changes and `whyNot`, when given, says why
    // (cannot open, not an accepted bitmap and the reader's reason, not square).
    bool Load(const char* path, std::string* whyNot = nullptr);

    // Makes an image that was read elsewhere (a picture of any format) the new shape, on
    // the same terms as Load: a square image replaces the shape and every scaled copy; any
    // other image, or none, changes nothing and `whyNot` says why. The image is taken
    // either way.
    bool Install(std::unique_ptr<dib24> image, std::string* whyNot = nullptr);

    // The kernel of size x size pixels: the shape itself at its own size, otherwise a
    // cached or newly made copy. Null without a shape, for a size below 1, or when no
    // copy can be made. The MaskMan keeps ownership.
    dib24* GetMask(int size);

    // Deletes every scaled copy and the shape.
    void Clear();

    std::vector<std::unique_ptr<dib24>> scaled;  // copies in the order they were made
    std::unique_ptr<dib24> shape;                // the square shape, or null
};
