// The vector filter with 256-bit AVX2 vectors. Only this file is compiled with -mavx2; it is called
// only after the processor has been checked for AVX2.
//
// OpenCV's headers enable their AVX2 intrinsics from these macros. Naming a dispatch mode puts
// those intrinsics in a namespace of their own (cv::hal_AVX2), apart from the baseline copies.
#define CV_CPU_DISPATCH_MODE AVX2
#define CV_SSE3 1
#define CV_SSSE3 1
#define CV_SSE4_1 1
#define CV_SSE4_2 1
#define CV_AVX 1
#define CV_AVX2 1
#include <immintrin.h>

#include "filter_frame_simd.hpp"

void filter_frame_avx2(unsigned char* pixels, int height, int width, int step, int channels)
{
    filter_frame_vector(pixels, height, width, step, channels);
}
