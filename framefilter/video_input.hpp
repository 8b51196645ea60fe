// framefilter's input side: checks on the path before any window opens, the choice of reader for
// what the file holds, and reads that keep the decoders' own words off standard error.
#pragma once

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include <cstddef>
#include <string>
#include <vector>

// Why `path` cannot be played, found without decoding it: a missing, unreadable or empty file, a
// directory, or an image-sequence pattern with neither its image 0 nor its image 1. Empty when
// nothing is wrong that far. URLs are left to the readers.
std::string path_problem(const std::string& path);

// True for a numbered image-sequence pattern that OpenCV's image-sequence reader takes, such as
// "frames/f%d.png" or "img%03d.jpg", unless a file has that very name.
bool names_image_sequence(const std::string& path);

// True when `head`, the first bytes of a file, starts an AVI whose video stream is Motion JPEG.
bool is_mjpeg_avi(const std::string& head);

// Up to `count` bytes from the start of a regular file; empty when it cannot be read and for anything
// else (a pipe, a device), whose bytes could not be read again.
std::string file_head(const std::string& path, std::size_t count);

// Whether this OpenCV has its FFmpeg reader: built in or as a plugin that loads, and not turned off
// by OPENCV_VIDEOIO_PRIORITY_FFMPEG=0.
bool has_ffmpeg_reader();

// The readers (cv::VideoCaptureAPIs) to try for `path`, best first; the last is FFmpeg where
// `ffmpeg` says this OpenCV has it, and the library's own choice (cv::CAP_ANY) where it has not.
std::vector<int> reader_order(const std::string& path, const std::string& head, bool ffmpeg);

// Opens `path` with the first reader of reader_order that delivers a frame, leaving that frame in
// `first_frame`. The decoders' own diagnostics are kept off standard error; FFmpeg's stay silent
// unless OPENCV_FFMPEG_LOGLEVEL is set.
bool open_video(const std::string& path, cv::VideoCapture& capture, cv::Mat& first_frame);
bool read_frame(cv::VideoCapture& capture, cv::Mat& frame);
void close_video(cv::VideoCapture& capture);

// For a pipe (a FIFO, or /dev/stdin fed by one), a read end of its own, whose reads wait for data,
// for the reader to take in place of the path (see pipe_source); -1 for anything else. It is opened
// without waiting for a writer: the reader opening the path itself would block until a writer
// came, for good when an early writer has already filled the pipe and gone.
int open_pipe(const std::string& path);
// Whether the pipe has something to read or its writers have come and gone (a read then ends at
// once), after waiting up to `timeout_ms`. False while nothing has come yet.
bool pipe_ready(int fd, int timeout_ms);
// The name that makes the FFmpeg reader read the descriptor: "pipe:FD".
std::string pipe_source(int fd);
