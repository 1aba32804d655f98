#include "defocus/maskman.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "image/bmp_file.h"
#include "image/why_not.h"

MissingKernel::MissingKernel(int size)
    : std::runtime_error("no diaphragm kernel of " + std::to_string(size) + " x " +
                         std::to_string(size) +
                         " pixels (no diaphragm shape, or too little memory to scale it)"),
      size(size) {}

MaskMan::~MaskMan() {
    Clear();
}

bool MaskMan::Load(const char* path, std::string* whyNot) {
    auto fresh = std::make_unique<dib24>(1, 1);
    if (!path) {
        if (whyNot) *whyNot = "cannot open: no file name";
        return false;
    }
    std::FILE* file = std::fopen(path, "rb");
    if (!file) {
        if (whyNot) *whyNot = std::string("cannot open: ") + std::strerror(errno);
        return false;
    }
    BmpError error = BmpError::None;
    const bool loaded = fresh->loadFromFile(file, &error);
    std::fclose(file);
    if (!loaded) {
        if (whyNot) *whyNot = describe(error);
        return false;
    }
    return Install(std::move(fresh), whyNot);
}

bool MaskMan::Install(std::unique_ptr<dib24> image, std::string* whyNot) {
    if (!image || !image->bits) {
        setWhy(whyNot, "no picture");
        return false;
    }
    if (image->width != image->height) {
        setWhy(whyNot, "not square");
        return false;
    }
    Clear();
    shape = std::move(image);
    return true;
}

dib24* MaskMan::GetMask(int size) {
    if (!shape || size < 1) return nullptr;
    // Without depth of field every request is for the shape's own size: one comparison.
    if (size == shape->width) return shape.get();
    for (const std::unique_ptr<dib24>& copy : scaled)
        if (copy->width == size) return copy.get();
    std::unique_ptr<dib24> copy = shape->resized(size, size);
    if (!copy) return nullptr;
    scaled.push_back(std::move(copy));
    return scaled.back().get();
}

void MaskMan::Clear() {
    // Copies go in the order they were made; the list keeps its storage for reuse.
    for (std::unique_ptr<dib24>& copy : scaled) copy.reset();
    scaled.clear();
    shape.reset();
}
