// Library calls with the libraries' own words kept off standard error, and a last word when one of
// them ends the process with a fatal signal.
#pragma once

#include <functional>
#include <string>

// Runs `call` with standard error pointed at a temporary file and returns its answer; a cv::Exception
// reads as false. The libraries underneath OpenCV (FFmpeg, GStreamer, libjpeg, Qt) write their own
// warnings straight to standard error, past OpenCV's log level: they are kept from the user, but
// the words of the last call stay at hand for library_words and for report_fatal_signals. FFmpeg,
// whose decoders' threads also write between calls, is kept quiet by open_video instead.
bool quietly(const std::function<bool()>& call);
// What the libraries wrote during the last quiet call, and the message of a cv::Exception that
// ended it.
std::string library_words();
// From now on a fatal signal (an abort, a segmentation fault, ...) first writes one line naming it to
// standard error, followed by what the libraries wrote during the last quiet call, and then ends
// the process as it would have.
void report_fatal_signals(const char* program);
