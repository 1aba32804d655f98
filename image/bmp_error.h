// Why a bitmap file or packed clipboard bitmap was refused. dib24::loadFromFile and the
// clipboard block reader report one of these; describe() gives the text users see.
#pragma once

enum class BmpError : int {
    None = 0,
    ReadFailed,           // the stream reported a read error
    NotBitmap,            // shorter than a file header, or does not start with "BM"
    BadHeader,            // info header shorter than 40 bytes or beyond the pixel data
    HeaderTruncated,      // the data ends before the info header or colour table is complete
    Compressed,           // run-length encoded, bit fields or any compression but none
    UnsupportedBitDepth,  // not 1, 4, 8 or 24 bits per pixel
    BadSize,              // width 0 or below, or height 0
    TopDown,              // negative height: rows stored top row first, which are not read
    BadColorTable,        // the colour table does not lie before the pixel data
    BadPaletteIndex,      // a pixel names a colour beyond the table
    PixelsTruncated,      // the data ends before the last pixel row
    OutOfMemory,          // the pixels cannot be allocated
};

// A short lower-case phrase, such as "not a bitmap file" or "truncated pixel data".
const char* describe(BmpError error);
