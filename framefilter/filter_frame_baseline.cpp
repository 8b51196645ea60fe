// The vector filter for the baseline instruction set (SSE2 on x86-64), the fallback everywhere.
#include "filter_frame_simd.hpp"

void filter_frame_baseline(unsigned char* pixels, int height, int width, int step, int channels)
{
    filter_frame_vector(pixels, height, width, step, channels);
}
