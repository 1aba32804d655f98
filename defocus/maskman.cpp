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
    // Closed also when the reader runs out of memory, which travels on as an exception.
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(
        path ? std::fopen(path, "rb") : nullptr, std::fclose);
    if (!file) {
        if (whyNot)
            *whyNot = std::string("cannot open: ") + (path ? std::strerror(errno) : "no file name");
        return false;
    }
    std::unique_ptr<dib24> image = readBitmapFile(file.get(), whyNot);
    return image && Install(std::move(image), whyNot);
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
