// Fuzzes filter_frame: the input picks the frame geometry and fills the pixels; every variant of
// the filter must leave exactly the bytes the literal per-pixel loop leaves, padding and fourth
// channel included, and read or write nothing past the frame (the sanitizer watches the buffer,
// which ends where the last pixel of the last row ends).
#include "filter_frame.hpp"
#include "filter_frame_impl.hpp"
#include "literal_filter.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

struct geometry {
    int height;
    int width;
    int step;
    int channels;
};

// Heights up to 80 and widths up to 1023 cover the mask (rows 20-65, columns 545-685) and its edges.
geometry read_geometry(const std::uint8_t* data)
{
    geometry g{};
    g.height = 1 + data[0] % 80;
    g.width = 1 + ((data[1] | data[2] << 8) & 0x3ff);
    g.channels = 3 + data[3] % 2;
    g.step = g.width * g.channels + data[4] % 40;
    return g;
}

void expect_same_as_literal(filter_frame_fn filter, const std::vector<unsigned char>& input,
                            const geometry& g)
{
    std::vector<unsigned char> expected(input);
    literal_filter_frame(expected.data(), g.height, g.width, g.step, g.channels);
    std::vector<unsigned char> actual(input);
    filter(actual.data(), g.height, g.width, g.step, g.channels);
    if (actual != expected)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::size_t header = 5;
    if (size <= header)
        return 0;
    const geometry g = read_geometry(data);
    const std::size_t frame_bytes = static_cast<std::size_t>(g.height - 1) * g.step + g.width * g.channels;
    std::vector<unsigned char> frame(frame_bytes);
    for (std::size_t i = 0; i < frame_bytes; ++i)
        frame[i] = data[header + i % (size - header)];

    expect_same_as_literal(filter_frame, frame, g);
    expect_same_as_literal(filter_frame_baseline, frame, g);
    expect_same_as_literal(filter_frame_scalar, frame, g);
    if (filter_frame_fn avx2 = avx2_filter_frame())
        expect_same_as_literal(avx2, frame, g);
    return 0;
}
