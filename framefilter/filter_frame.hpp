// The threshold-and-mask filter of framefilter: blanks a fixed rectangle near the start of the
// buffer, pushes bright pixels to white and dark ones to black, in place.
#pragma once

#include <opencv2/core.hpp>

// `pixels` holds `height` rows of `step` bytes; each of the first `width` pixels of a row has
// `channels` bytes, of which only the first three are read or written: further channels and the
// bytes after a row's pixels are never touched. With fewer than 3 channels it does nothing.
// Single pass, no allocation; picks the widest vector code that the processor runs.
void filter_frame(unsigned char* pixels, int height, int width, int step, int channels);

// Runs filter_frame on the frame's own pixels and geometry. Frames it cannot take (fewer than three
// channels, or channels wider than a byte) are left as they are.
void filter_shown_frame(cv::Mat& frame);
