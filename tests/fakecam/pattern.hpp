// The picture the emulated camera sends, in YUYV 4:2:2 or another of the pixel formats below, laid
// out in four horizontal bands of equal height so that a test can find it on the screen and read the
// frame number back.
//   band 0: eight fixed colour bars, the same in every frame (used to locate the picture);
//   band 1: the frame number, 16 bits, most significant bit on the left, one block per bit,
//           white for 1 and black for 0;
//   band 2: the same bits inverted, so that a reader can tell a clean read from a torn one;
//   band 3: a white bar on dark grey that steps one block to the right every frame.
// Blocks are width / 16 pixels wide and carry no colour, so chroma subsampling cannot blur them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fakecam {

constexpr int counter_bits = 16;
constexpr int band_count = 4;

// Sizes the pattern supports: the width a multiple of 16 (whole, even-width blocks), the height a
// multiple of band_count.
bool pattern_size_ok(int width, int height);
std::size_t yuyv_frame_bytes(int width, int height);

// Writes frame number `frame` (taken modulo 2^16) into `out`, yuyv_frame_bytes() bytes long.
void fill_yuyv(std::uint8_t* out, int width, int height, std::uint32_t frame);

// The same picture in the uncompressed format `fourcc` (a V4L2 pixel format): YUYV, UYVY, NV12,
// NV21, YUV420 (YU12), YVU420 (YV12), or GREY, which carries the brightness alone in full range (0
// black, 255 white) as a monochrome sensor does. The 4:2:0 formats take each 2 x 2 pixels' colour
// from the top left one. raw_frame_bytes() is 0 for any other format.
std::size_t raw_frame_bytes(std::uint32_t fourcc, int width, int height);
void fill_raw(std::uint32_t fourcc, std::uint8_t* out, int width, int height, std::uint32_t frame);

} // namespace fakecam
