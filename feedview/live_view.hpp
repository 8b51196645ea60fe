// The viewer's window and loop, given a capture that main opened (or failed to open).
#pragma once

#include <opencv2/videoio.hpp>

extern const char* const viewer_title;

// Opens the window "result" and shows one frame of `capture` per pass (a 100 ms pause, then a
// 10 ms key poll) until the poll reports a key. A frame with no picture that decodes is skipped,
// leaving the last picture, and so is a Motion JPEG frame without the end-of-image marker from a
// camera whose frames have carried it (a frame cut short); a camera that never writes the marker
// has its frames shown. While a V4L2 camera is late with a frame, the window is served and
// any key ends the viewer. When a grab fails, no picture has come for 3 s, or the capture never
// opened, the window keeps its last picture, or stays empty, with one line on standard error,
// until a key is pressed. Closing the window ends the viewer too. Releases the capture, destroys
// the window and returns 0; returns 1 when the window cannot be opened.
int run_viewer(cv::VideoCapture& capture);

// Whether Motion JPEG frame data ends with the JPEG end-of-image marker (FF D9), past any run of
// 00 or FF bytes that some cameras pad a frame with. A frame cut short on its way from the camera
// lacks it, though the library decodes such a frame into a whole picture, the lost part grey; so
// does every frame of a camera that never writes the marker.
bool jpeg_frame_whole(const cv::Mat& data);
