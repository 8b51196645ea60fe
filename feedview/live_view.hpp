// The viewer's window and loop, given a capture that main opened (or failed to open).
#pragma once

#include <opencv2/videoio.hpp>

extern const char* const viewer_title;

// Opens the window "result" and shows one frame of `capture` per pass (a 100 ms pause, then a
// 10 ms key poll) until the poll reports a key. When the capture delivers nothing more, or never
// opened, the window keeps its last picture, or stays empty, until a key is pressed. Closing the
// window ends the viewer too. Releases the capture, destroys the window and returns 0.
int run_viewer(cv::VideoCapture& capture);
