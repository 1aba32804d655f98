// Bitmap files read through dib24::loadFromFile into a new picture.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "image/bmp_error.h"

class dib24;

// Reads the bitmap file open in `file` into a new picture, the one way every reader of
// bitmap files takes. Null when dib24::loadFromFile refuses it; `whyNot`, when given, then
// holds describe()'s text.
std::unique_ptr<dib24> readBitmapFile(std::FILE* file, std::string* whyNot = nullptr);
