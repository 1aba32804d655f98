// How the image and engine code says why something failed. An operation that can fail
// for ordinary reasons returns false or a null pointer and leaves what it was given as
// it was; the caller who wants the reason passes a `std::string* whyNot`, which receives
// one line of English on failure and is left alone on success. The bitmap decoders name
// their reason as a BmpError (image/bmp_file.h), which describe() turns into that line.
// Only running out of memory travels as an exception.
#pragma once

#include <string>
#include <utility>

// Hands `text` to a caller that asked for the reason.
inline void setWhy(std::string* whyNot, std::string text) {
    if (whyNot) *whyNot = std::move(text);
}

// For checks that name their refusal, or give an empty text where there is none: true
// when `refusal` is empty, else false with `refusal` handed on.
inline bool accepted(std::string refusal, std::string* whyNot) {
    if (refusal.empty()) return true;
    setWhy(whyNot, std::move(refusal));
    return false;
}
