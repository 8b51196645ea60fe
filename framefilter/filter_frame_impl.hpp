// Internals of filter_frame shared by its variants, and the variants themselves, so that the tests
// and the benchmark can run each one. The program uses filter_frame.hpp only.
#pragma once

#include <cstddef>

using filter_frame_fn = void (*)(unsigned char* pixels, int height, int width, int step, int channels);

// Pixel by pixel, for any channel count.
void filter_frame_scalar(unsigned char* pixels, int height, int width, int step, int channels);
// 128-bit vectors, built for the baseline instruction set: runs on every processor of the target.
void filter_frame_baseline(unsigned char* pixels, int height, int width, int step, int channels);
// The 256-bit AVX2 variant, or null when it was not built or this processor lacks AVX2.
filter_frame_fn avx2_filter_frame();
// The variant that filter_frame runs on this processor.
filter_frame_fn picked_filter_frame();

// Everything below has internal linkage on purpose: the variants are compiled with different
// instruction sets, and a shared out-of-line copy could end up running on the wrong processor.
namespace {

const int mask_top = 20;
const int mask_bottom = 65;
const int mask_left = 545;
const int mask_right = 685;

inline bool is_mask_row(int r)
{
    return r >= mask_top && r <= mask_bottom;
}

// Whitening, then blackening on the values as they stand. A pixel that comes out white or black
// comes out the same if filtered again, so the vector paths may filter a pixel twice.
inline void filter_pixel(unsigned char* p)
{
    if (p[0] > 99 && p[1] > 99 && p[2] > 99)
        p[0] = p[1] = p[2] = 255;
    if (p[0] <= 99 && p[1] <= 99 && p[2] <= 100)
        p[0] = p[1] = p[2] = 0;
}

inline void filter_pixels(unsigned char* row, int first, int end, int channels)
{
    for (int c = first; c < end; ++c)
        filter_pixel(row + static_cast<std::ptrdiff_t>(c) * channels);
}

// Blackens the masked columns of a row. Black is a fixed point of the thresholds, so masking after
// thresholding the whole row gives what masking instead of thresholding would.
inline void mask_row(unsigned char* row, int width, int channels)
{
    const int end = width < mask_right + 1 ? width : mask_right + 1;
    for (int c = mask_left; c < end; ++c) {
        unsigned char* p = row + static_cast<std::ptrdiff_t>(c) * channels;
        p[0] = p[1] = p[2] = 0;
    }
}

} // namespace
