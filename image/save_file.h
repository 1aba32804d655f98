// Saving files without ever leaving a damaged file behind.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "image/dib24.h"

// Writes a file's whole content to the stream it is given; false when a write failed.
using FileWriter = std::function<bool(std::FILE*)>;

// Writes the `size` bytes that `write` produces to `path`, in the way saveImageFile
// describes below; saveImageFile is this function with the bitmap writer.
bool saveFileSafely(const std::string& path, std::uint64_t size, const FileWriter& write,
                    std::string* whyNot = nullptr);

// Writes `image` as a 24-bit bitmap file at `path`. The bytes go to a temporary file in
// the folder of the file `path` names (a symbolic link is followed to its target), are
// flushed, get the existing file's permission bits (a new file gets 0666 less the
// umask), and only then replace the file by a rename. Where no temporary file can be made
// in that folder but the file itself is writable, it is written in place. On failure an
// existing file is left as it was (except after a failed in-place write), no temporary
// file remains, and `whyNot`, when given, says what went wrong.
bool saveImageFile(const dib24& image, const std::string& path, std::string* whyNot = nullptr);
