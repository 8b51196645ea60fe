#include "pattern.hpp"

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

} // namespace fakecam
