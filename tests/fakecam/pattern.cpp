#include "pattern.hpp"

#include <linux/videodev2.h>

namespace fakecam {

namespace {

struct yuv {
    std::uint8_t y, u, v;
};

// White, yellow, cyan, green, magenta, red, blue, black at 75 % amplitude (BT.601, video range).
constexpr yuv colour_bars[8] = {{180, 128, 128}, {162, 44, 142}, {131, 156, 44}, {112, 72, 58},
                                {84, 184, 198},  {65, 100, 212}, {35, 212, 114}, {16, 128, 128}};
constexpr yuv white = {235, 128, 128};
constexpr yuv black = {16, 128, 128};
constexpr yuv dark_grey = {60, 128, 128};

yuv band_colour(int band, int x, int width, std::uint32_t frame)
{
    const int block = width / counter_bits;
    const int bit_index = x / block; // 0 is the leftmost block
    const bool bit = ((frame >> (counter_bits - 1 - bit_index)) & 1U) != 0;
    switch (band) {
    case 0:
        return colour_bars[x / (width / 8)];
    case 1:
        return bit ? white : black;
    case 2:
        return bit ? black : white;
    default:
        return bit_index == static_cast<int>(frame % counter_bits) ? white : dark_grey;
    }
}

// A video-range luma (16 black, 235 white) as a full-range grey level.
std::uint8_t full_range_grey(std::uint8_t y)
{
    const int level = ((y - 16) * 255 + 109) / 219;
    return static_cast<std::uint8_t>(level < 0 ? 0 : level > 255 ? 255 : level);
}

// Where a 4:2:0 frame keeps the U and V samples of chroma site (x / 2, row / 2), as offsets from
// the start of the frame.
void chroma_offsets(std::uint32_t fourcc, int width, int height, int x, int row, std::size_t& u,
                    std::size_t& v)
{
    const std::size_t pixels = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    const std::size_t interleaved = pixels + static_cast<std::size_t>(row / 2) * width + x;
    const std::size_t planar = static_cast<std::size_t>(row / 2) * (width / 2) + x / 2;
    if (fourcc == V4L2_PIX_FMT_NV12 || fourcc == V4L2_PIX_FMT_NV21) {
        u = fourcc == V4L2_PIX_FMT_NV12 ? interleaved : interleaved + 1;
        v = fourcc == V4L2_PIX_FMT_NV12 ? interleaved + 1 : interleaved;
        return;
    }
    const std::size_t first = pixels + planar;
    const std::size_t second = pixels + pixels / 4 + planar;
    u = fourcc == V4L2_PIX_FMT_YUV420 ? first : second;
    v = fourcc == V4L2_PIX_FMT_YUV420 ? second : first;
}

} // namespace

bool pattern_size_ok(int width, int height)
{
    return width >= 64 && width <= 4096 && width % counter_bits == 0 && height >= 16 && height <= 4096
           && height % band_count == 0;
}

std::size_t yuyv_frame_bytes(int width, int height)
{
    return static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 2;
}

void fill_yuyv(std::uint8_t* out, int width, int height, std::uint32_t frame)
{
    const int band_height = height / band_count;
    for (int row = 0; row < height; ++row) {
        const int band = row / band_height;
        std::uint8_t* p = out + static_cast<std::size_t>(row) * width * 2;
        // Each Y0 U Y1 V group covers two pixels; blocks start on even columns, so both share a colour.
        for (int x = 0; x < width; x += 2, p += 4) {
            const yuv c = band_colour(band, x, width, frame);
            p[0] = c.y;
            p[1] = c.u;
            p[2] = c.y;
            p[3] = c.v;
        }
    }
}

std::size_t raw_frame_bytes(std::uint32_t fourcc, int width, int height)
{
    const std::size_t pixels = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    switch (fourcc) {
    case V4L2_PIX_FMT_YUYV:
    case V4L2_PIX_FMT_UYVY:
        return pixels * 2;
    case V4L2_PIX_FMT_NV12:
    case V4L2_PIX_FMT_NV21:
    case V4L2_PIX_FMT_YUV420:
    case V4L2_PIX_FMT_YVU420:
        return pixels * 3 / 2;
    case V4L2_PIX_FMT_GREY:
        return pixels;
    default:
        return 0;
    }
}

void fill_raw(std::uint32_t fourcc, std::uint8_t* out, int width, int height, std::uint32_t frame)
{
    if (fourcc == V4L2_PIX_FMT_YUYV) {
        fill_yuyv(out, width, height, frame);
        return;
    }
    const int band_height = height / band_count;
    for (int row = 0; row < height; ++row) {
        for (int x = 0; x < width; ++x) {
            const yuv c = band_colour(row / band_height, x, width, frame);
            const std::size_t at = static_cast<std::size_t>(row) * width + x;
            if (fourcc == V4L2_PIX_FMT_GREY) {
                out[at] = full_range_grey(c.y);
            } else if (fourcc == V4L2_PIX_FMT_UYVY) {
                // U Y0 V Y1: the two pixels of a group share a colour, as in YUYV.
                out[at * 2] = x % 2 == 0 ? c.u : c.v;
                out[at * 2 + 1] = c.y;
            } else {
                out[at] = c.y;
                std::size_t u = 0;
                std::size_t v = 0;
                chroma_offsets(fourcc, width, height, x, row, u, v);
                if (row % 2 == 0 && x % 2 == 0) {
                    out[u] = c.u;
                    out[v] = c.v;
                }
            }
        }
    }
}

} // namespace fakecam
