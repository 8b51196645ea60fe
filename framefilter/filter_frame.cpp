#include "filter_frame.hpp"

#include "filter_frame_impl.hpp"

#include <climits>
#include <cstddef>

#if FILTER_FRAME_HAVE_AVX2
void filter_frame_avx2(unsigned char* pixels, int height, int width, int step, int channels);
#endif

void filter_frame_scalar(unsigned char* pixels, int height, int width, int step, int channels)
{
    if (channels < 3)
        return;
    for (int r = 0; r < height; ++r) {
        unsigned char* row = pixels + static_cast<std::ptrdiff_t>(r) * step;
        filter_pixels(row, 0, width, channels);
        if (is_mask_row(r))
            mask_row(row, width, channels);
    }
}

filter_frame_fn avx2_filter_frame()
{
#if FILTER_FRAME_HAVE_AVX2
    if (__builtin_cpu_supports("avx2"))
        return filter_frame_avx2;
#endif
    return nullptr;
}

filter_frame_fn picked_filter_frame()
{
    const filter_frame_fn avx2 = avx2_filter_frame();
    return avx2 ? avx2 : filter_frame_baseline;
}

void filter_frame(unsigned char* pixels, int height, int width, int step, int channels)
{
    static const filter_frame_fn picked = picked_filter_frame();
    picked(pixels, height, width, step, channels);
}

void filter_shown_frame(cv::Mat& frame)
{
    if (frame.depth() != CV_8U || frame.channels() < 3 || frame.dims != 2)
        return;
    if (static_cast<double>(frame.step[0]) * frame.rows > INT_MAX)
        return;
    filter_frame(frame.data, frame.rows, frame.cols, static_cast<int>(frame.step[0]), frame.channels());
}
