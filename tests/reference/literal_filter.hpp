// The threshold-and-mask filter written as the plain per-pixel loop it is defined by: the reference
// that the tests and the benchmark hold the program's filter against. Not used by the program.
//
// The byte offset of a pixel is formed in int, as in the definition; that is only sound for
// frames below 2 GiB, which is all the tests and the benchmark use.
#pragma once

inline void literal_filter_frame(unsigned char* pixels, int height, int width, int step, int channels)
{
    for (int r = 0; r < height; ++r) {
        for (int c = 0; c < width; ++c) {
            unsigned char* p = pixels + (r * step + c * channels);
            if (r >= 20 && r <= 65 && c >= 545 && c <= 685) {
                p[0] = 0;
                p[1] = 0;
                p[2] = 0;
                continue;
            }
            if (p[0] > 99 && p[1] > 99 && p[2] > 99) {
                p[0] = 255;
                p[1] = 255;
                p[2] = 255;
            }
            if (p[0] <= 99 && p[1] <= 99 && p[2] <= 100) {
                p[0] = 0;
                p[1] = 0;
                p[2] = 0;
            }
        }
    }
}
