// The focus area: a translucent tint over the pixels whose depth stays sharp, drawn over a
// picture at any zoom from its depth mask. Only what is on screen is computed, from the
// mask or, zoomed out, from small samples of it, so a repaint costs about as much as the
// view is large, whatever the size of the picture.
#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "ui/picture_rows.h"

class PictureView;
class QPainter;
class QPoint;
class QRect;

// The tint, premultiplied 0xAARRGGBB: a strong pink at a little under half cover, which
// stays visible on black, on white and on the greys, greens and blues of most photographs.
constexpr std::uint32_t kFocusTint = 0x7878005eu;

// The tint of one rectangle of the depths zoomed by `scale` (output pixels per depth
// pixel), written as premultiplied 0xAARRGGBB pixels into `out` (`outStride` pixels a row);
// output pixel (x, y) of the rectangle is pixel (left + x, top + y) of the whole zoomed
// depths (the first byte of each of their pixels), and those beyond it are not written. A
// depth is in focus when inFocus holds it.
// At 1 and above an output pixel is `tint` where the depth under its centre is in focus
// and 0 elsewhere; below 1 it is `tint` scaled by the share of in-focus depths among 2 x 2
// points spread over the area it covers.
void drawFocusTint(const PixelRows& depths, const std::bitset<256>& inFocus, double scale, int left,
                   int top, int width, int height, std::uint32_t tint, std::uint32_t* out,
                   std::ptrdiff_t outStride);

// Samples of a depth mask at half, a quarter, ... of its size, one byte per pixel: pixel
// (i, j) of sample n is the depth of one mask pixel of the 2^n x 2^n block it stands for,
// near its middle.
// Zoomed far out, the tint reads these instead of the mask, so it reads little memory
// about the pixels it shows.
class DepthSamples {
public:
    // Makes samples 1 ... `count`; those that cannot be allocated are left out.
    void make(const dib24& mask, int count);
    void clear() { samples_.clear(); }
    int count() const { return static_cast<int>(samples_.size()); }
    PixelRows samples(int n) const;  // 1 <= n <= count()
    std::size_t bytes() const;

private:
    struct Plane {
        std::unique_ptr<std::uint8_t[]> bytes;
        int width = 0;
        int height = 0;
    };
    std::vector<Plane> samples_;
};

// What the settings window shows as the focus area: its depth mask and the depths in
// focus, painted over the main view or the preview box.
class FocusArea {
public:
    // The mask to show (not owned; null: none); its samples are made anew when needed.
    void setMask(const dib24* mask);
    const dib24* mask() const { return mask_; }
    void setDepths(const std::bitset<256>& inFocus) { inFocus_ = inFocus; }
    const std::bitset<256>& depths() const { return inFocus_; }
    // Memory held beside the mask: its samples.
    std::size_t bytes() const { return samples_.bytes(); }

    // Paints the tint of the output pixels `area` of the mask zoomed by `scale` with
    // `painter`, whose units are output pixels; output pixel (x, y) of `area` lands on
    // painter point `at` + (x, y). A band of rows is converted at a time, so only a small
    // buffer lives during the call; short of memory it paints less or nothing.
    void paint(QPainter& painter, double scale, const QRect& area, QPoint at);
    // Paints over the main view's picture as its overlay, with `painter` and `pixels` as
    // the view hands them over: one output pixel on each device pixel of the screen.
    void paintOnView(QPainter& painter, const PictureView& view, const QRect& pixels);

private:
    const dib24* mask_ = nullptr;
    std::bitset<256> inFocus_;
    DepthSamples samples_;
    bool samplesMade_ = false;  // made, or tried, for the present mask
};
