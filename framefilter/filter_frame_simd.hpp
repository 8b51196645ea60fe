// The vector filter, written once with OpenCV's universal intrinsics and compiled by one source
// file per instruction set: cv::v_uint8 is the widest byte vector that the including file's
// instruction set offers. Include it once, from a .cpp file, after any instruction-set setup.
//
// The bytes are worked on as they lie in memory, without separating the channels. Each byte gets a
// code from its own tests, the codes of a pixel's bytes are ANDed across the pixel with byte shifts,
// and the result picks white, black or unchanged for every byte of the pixel.
#pragma once

#include "filter_frame_impl.hpp"

#include "intrinsics_bridge.hpp"

#include <cstddef>

namespace {

using byte_vec = cv::v_uint8;
const int vec_bytes = byte_vec::nlanes;

// Code bits of a byte: 1 when bright (> 99), 2 when dark (<= 99, or <= 100 in the third channel).
// Every byte has at least one. ANDed over a pixel they leave 1 for a pixel to whiten, 2 for one to
// blacken, 0 for one to keep; never 3, since only a third-channel 100 is both bright and dark.
const unsigned char code_white = 1;
const unsigned char code_black = 2;

inline byte_vec and4(const byte_vec& a, const byte_vec& b, const byte_vec& c, const byte_vec& d)
{
    return vec_and(vec_and(a, b), vec_and(c, d));
}

inline byte_vec or3(const byte_vec& a, const byte_vec& b, const byte_vec& c)
{
    return vec_or(vec_or(a, b), c);
}

inline byte_vec byte_codes(const byte_vec& x, const byte_vec& dark_limit)
{
    const byte_vec bright = vec_eq(cv::v_max(x, cv::vx_setall_u8(100)), x);
    const byte_vec dark = vec_eq(cv::v_min(x, dark_limit), x);
    // (dark & 2) - bright, wrapping: 1 for bright only, 2 for dark only, 3 for both.
    return cv::v_sub_wrap(vec_and(dark, cv::vx_setall_u8(code_black)), bright);
}

inline byte_vec apply_decision(const byte_vec& x, const byte_vec& decision)
{
    const byte_vec white = vec_eq(decision, cv::vx_setall_u8(code_white));
    const byte_vec black = vec_eq(decision, cv::vx_setall_u8(code_black));
    return vec_and(vec_or(x, white), vec_not(black));
}

// Filters vec_bytes pixels of 3 channels starting at p, a pixel boundary.
inline void filter_block3(unsigned char* p, const byte_vec* dark_limit, const byte_vec* pixel_start)
{
    const byte_vec x0 = cv::vx_load(p);
    const byte_vec x1 = cv::vx_load(p + vec_bytes);
    const byte_vec x2 = cv::vx_load(p + 2 * vec_bytes);
    const byte_vec c0 = byte_codes(x0, dark_limit[0]);
    const byte_vec c1 = byte_codes(x1, dark_limit[1]);
    const byte_vec c2 = byte_codes(x2, dark_limit[2]);

    // At the first byte of each pixel: the AND of its own code and the next two.
    const byte_vec s0 =
        and4(c0, cv::v_rotate_right<1>(c0, c1), cv::v_rotate_right<2>(c0, c1), pixel_start[0]);
    const byte_vec s1 =
        and4(c1, cv::v_rotate_right<1>(c1, c2), cv::v_rotate_right<2>(c1, c2), pixel_start[1]);
    const byte_vec s2 = and4(c2, cv::v_rotate_right<1>(c2), cv::v_rotate_right<2>(c2), pixel_start[2]);

    // Copied onto the pixel's other two bytes; every other byte of s is zero, so OR does it.
    const byte_vec d0 = or3(s0, cv::v_rotate_left<1>(s0), cv::v_rotate_left<2>(s0));
    const byte_vec d1 = or3(s1, cv::v_rotate_left<1>(s1, s0), cv::v_rotate_left<2>(s1, s0));
    const byte_vec d2 = or3(s2, cv::v_rotate_left<1>(s2, s1), cv::v_rotate_left<2>(s2, s1));

    cv::v_store(p, apply_decision(x0, d0));
    cv::v_store(p + vec_bytes, apply_decision(x1, d1));
    cv::v_store(p + 2 * vec_bytes, apply_decision(x2, d2));
}

// Filters vec_bytes / 4 pixels of 4 channels starting at p, a pixel boundary. A pixel is one 32-bit
// lane, so the AND over its bytes is a 32-bit compare; the fourth byte always passes both tests.
inline void filter_vec4(unsigned char* p, const byte_vec& dark_limit, const byte_vec& fourth)
{
    const byte_vec x = cv::vx_load(p);
    const byte_vec bright = vec_or(vec_eq(cv::v_max(x, cv::vx_setall_u8(100)), x), fourth);
    const byte_vec dark = vec_eq(cv::v_min(x, dark_limit), x);
    const cv::v_uint32 all = cv::vx_setall_u32(0xffffffffu);
    const byte_vec white = cv::v_reinterpret_as_u8(vec_eq(cv::v_reinterpret_as_u32(bright), all));
    const byte_vec black = cv::v_reinterpret_as_u8(vec_eq(cv::v_reinterpret_as_u32(dark), all));
    const byte_vec not_fourth = vec_not(fourth);
    cv::v_store(p, vec_and(vec_or(x, vec_and(white, not_fourth)), vec_not(vec_and(black, not_fourth))));
}

// Whole blocks of `block` pixels from the left, then one block ending at the row's last pixel,
// which may go over pixels already done: filtering a pixel twice changes nothing. Rows narrower
// than a block go pixel by pixel.
template <typename FilterBlock>
inline void filter_row(unsigned char* row, int width, int channels, int block, FilterBlock filter_block)
{
    if (width < block) {
        filter_pixels(row, 0, width, channels);
        return;
    }
    int c = 0;
    for (; c + block <= width; c += block)
        filter_block(row + static_cast<std::ptrdiff_t>(c) * channels);
    if (c < width)
        filter_block(row + static_cast<std::ptrdiff_t>(width - block) * channels);
}

inline void filter_frame_vector(unsigned char* pixels, int height, int width, int step, int channels)
{
    if (channels < 3 || height <= 0 || width <= 0)
        return;

    unsigned char limits3[3 * vec_bytes];
    unsigned char starts3[3 * vec_bytes];
    unsigned char limits4[vec_bytes];
    unsigned char fourth4[vec_bytes];
    for (int i = 0; i < 3 * vec_bytes; ++i) {
        limits3[i] = i % 3 == 2 ? 100 : 99;
        starts3[i] = i % 3 == 0 ? 0xff : 0;
    }
    for (int i = 0; i < vec_bytes; ++i) {
        limits4[i] = i % 4 == 3 ? 255 : i % 4 == 2 ? 100 : 99;
        fourth4[i] = i % 4 == 3 ? 0xff : 0;
    }
    const byte_vec dark_limit[3] = {cv::vx_load(limits3), cv::vx_load(limits3 + vec_bytes),
                                    cv::vx_load(limits3 + 2 * vec_bytes)};
    const byte_vec pixel_start[3] = {cv::vx_load(starts3), cv::vx_load(starts3 + vec_bytes),
                                     cv::vx_load(starts3 + 2 * vec_bytes)};
    const byte_vec dark_limit4 = cv::vx_load(limits4);
    const byte_vec fourth = cv::vx_load(fourth4);

    for (int r = 0; r < height; ++r) {
        unsigned char* row = pixels + static_cast<std::ptrdiff_t>(r) * step;
        if (channels == 3)
            filter_row(row, width, 3, vec_bytes,
                       [&](unsigned char* p) { filter_block3(p, dark_limit, pixel_start); });
        else if (channels == 4)
            filter_row(row, width, 4, vec_bytes / 4,
                       [&](unsigned char* p) { filter_vec4(p, dark_limit4, fourth); });
        else
            filter_pixels(row, 0, width, channels);
        if (is_mask_row(r))
            mask_row(row, width, channels);
    }
    cv::vx_cleanup();
}

} // namespace
