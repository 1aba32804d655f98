// Packed device-independent bitmaps: the byte blocks that carry pictures on the
// clipboard. A packed DIB is an info header, for palette pictures a colour table, then
// the pixel rows bottom-up; the "image/bmp" clipboard type puts a 14-byte file header in
// front of it. These functions only convert between blocks and images; moving blocks to
// and from the system clipboard is the windows' business.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "image/bmp_error.h"
#include "image/dib24.h"

// The 24-bit packed DIB of an image: its 40-byte header followed by its pixel block,
// exactly 40 + height x stride bytes. Empty for an image without pixels.
std::vector<std::uint8_t> packDib(const dib24& image);

// The same block behind a 14-byte file header ("BM", bfOffBits 54): a complete bitmap
// file, as the "image/bmp" clipboard type carries it. Empty for an image without pixels.
std::vector<std::uint8_t> packBmp(const dib24& image);

// Reads a packed DIB of 1, 4, 8 or 24 bits. The colour table follows the info header
// (biSize bytes, at least 40) and the rows follow the table. Every length is checked
// against the block. `image` changes only on success; on failure `why`, when given,
// receives the reason.
bool unpackDib(dib24& image, const std::uint8_t* block, std::size_t length,
               BmpError* why = nullptr);

// Reads a block that starts with a bitmap file header, taking the rows from bfOffBits.
bool unpackBmp(dib24& image, const std::uint8_t* block, std::size_t length,
               BmpError* why = nullptr);
