// framefilter: plays a video file in two windows, "Original" as decoded and "Processed" through
// filter_frame; ends at the end of the file, on Esc, or when either window is closed.
#include "filter_frame.hpp"
#include "quiet_calls.hpp"
#include "standard_streams.hpp"
#include "video_input.hpp"
#include "windowing.hpp"

#include <opencv2/core/utils/logger.hpp>
#include <opencv2/highgui.hpp>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

const char* const original_title = "Original";
const char* const processed_title = "Processed";
const int esc_key = 27;
const int frame_wait_ms = 33;

void close_windows()
{
    close_window(original_title);
    close_window(processed_title);
}

bool both_windows_open()
{
    return window_is_open(original_title) && window_is_open(processed_title);
}

// Esc (the low byte of the key code) or a closed window ends the program's wait.
bool esc_or_closed(int key)
{
    return (key & 0xff) == esc_key || !both_windows_open();
}

void play(cv::VideoCapture& capture, cv::Mat& frame)
{
    // Showing into a closed window would open it again, so a close ends playback before the next
    // picture; a close can come in whenever the library handles window events.
    while (read_frame(capture, frame) && both_windows_open()) {
        cv::imshow(original_title, frame);
        keep_picture_size(original_title, frame);
        filter_shown_frame(frame);
        if (!both_windows_open())
            break;
        cv::imshow(processed_title, frame);
        keep_picture_size(processed_title, frame);
        const int key = cv::waitKeyEx(frame_wait_ms);
        if (esc_or_closed(key))
            break;
    }
}

// Waits, with the windows answering, until the pipe delivers or its writers have gone; after a
// second of nothing says what it waits for. False when Esc or a close ended the wait.
bool wait_for_pipe(int fd, const std::string& path)
{
    const auto announce_at = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    bool announced = false;
    while (!pipe_ready(fd, 0)) {
        if (!announced && std::chrono::steady_clock::now() >= announce_at) {
            std::fprintf(stderr,
                         "framefilter: waiting for '%s' to deliver a video (a pipe, nothing written yet)\n",
                         path.c_str());
            announced = true;
        }
        const int key = cv::waitKeyEx(frame_wait_ms);
        if (esc_or_closed(key))
            return false;
    }
    return true;
}

// Writes the one line of output; on failure (a full disk, a closed standard output, a reader that
// has gone away) says why on standard error and returns false. SIGPIPE is ignored from here on: a
// reader gone away would end the program silently, now or when the exit flushes the line again.
bool print_geometry(const cv::Mat& frame)
{
    std::signal(SIGPIPE, SIG_IGN);
    const int length =
        std::printf("Processing a %dx%d image with %d channels\n", frame.rows, frame.cols, frame.channels());
    const bool written = length > 0 && std::fflush(stdout) == 0;
    if (!written)
        std::fprintf(stderr, "framefilter: cannot write to standard output: %s\n", std::strerror(errno));
    return written;
}

} // namespace

int main(int argc, char** argv)
{
    hold_closed_standard_streams();
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    report_fatal_signals("framefilter");
    if (argc < 2) {
        std::fprintf(stderr, "usage: framefilter VIDEO_FILE\n");
        return 2;
    }
    const std::string path = argv[1];
    const std::string problem = path_problem(path);
    if (!problem.empty()) {
        std::fprintf(stderr, "framefilter: cannot play '%s': %s\n", path.c_str(), problem.c_str());
        return 1;
    }
    if (!display_reachable("framefilter"))
        return 1;

    provide_runtime_dir();
    if (!quietly([] {
            cv::namedWindow(original_title, cv::WINDOW_AUTOSIZE);
            cv::namedWindow(processed_title, cv::WINDOW_AUTOSIZE);
            return true;
        })) {
        const std::string words = library_words();
        std::fprintf(stderr, "framefilter: cannot open a window: %s\n",
                     words.substr(0, words.find('\n')).c_str());
        return 1;
    }
    if (windows_drawn_nowhere("framefilter")) {
        close_windows();
        return 1;
    }

    const int pipe_end = open_pipe(path);
    if (pipe_end >= 0 && !wait_for_pipe(pipe_end, path)) {
        close_windows();
        return 0;
    }
    cv::VideoCapture capture;
    cv::Mat frame;
    const bool opened = open_video(pipe_end >= 0 ? pipe_source(pipe_end) : path, capture, frame);
    if (!opened) {
        close_windows();
        std::fprintf(stderr, "framefilter: cannot play '%s': no video frame could be read from it\n",
                     path.c_str());
        return 1;
    }
    // The first frame is only measured. Its line is the program's one output: playing on when it
    // was lost would pass the loss off as success.
    const bool printed = print_geometry(frame);
    if (printed)
        play(capture, frame);

    close_video(capture);
    if (pipe_end >= 0)
        close(pipe_end);
    frame.release();
    close_windows();
    return printed ? 0 : 1;
}
