#include "video_input.hpp"

#include "quiet_calls.hpp"

#include <opencv2/videoio/registry.hpp>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

std::string upper(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

bool is_mjpeg_fourcc(const std::string& fourcc)
{
    return upper(fourcc) == "MJPG";
}

bool exists(const std::string& path)
{
    struct stat info = {};
    return stat(path.c_str(), &info) == 0;
}

// Where the number pattern of an image-sequence name starts and ends, as OpenCV's image-sequence
// reader reads it: the first '%', an optional '0', at most one digit 1-9, then 'd' or 'u', and no
// '%' after it. npos when the name is no such pattern.
std::pair<std::size_t, std::size_t> number_pattern(const std::string& path)
{
    const std::size_t none = std::string::npos;
    const std::size_t at = path.find('%');
    if (at == none)
        return {none, none};
    std::size_t end = at + 1;
    if (end < path.size() && path[end] == '0')
        ++end;
    if (end < path.size() && path[end] >= '1' && path[end] <= '9')
        ++end;
    if (end >= path.size() || (path[end] != 'd' && path[end] != 'u') || path.find('%', end) != none)
        return {none, none};
    return {at, end + 1};
}

// The name of image `index` of a sequence pattern.
std::string sequence_name(const std::string& pattern, int index)
{
    const auto [at, end] = number_pattern(pattern);
    const bool zeros = pattern[at + 1] == '0';
    const int width = std::isdigit(static_cast<unsigned char>(pattern[end - 2])) ? pattern[end - 2] - '0' : 0;
    char number[32];
    std::snprintf(number, sizeof number, zeros ? "%0*d" : "%*d", width, index);
    return pattern.substr(0, at) + number + pattern.substr(end);
}

// A frame that does not decode is skipped when more follow (OpenCV's own Motion JPEG reader hands
// out such a frame empty, and would end playback there); the end of the file ends the reading.
bool next_decodable_frame(cv::VideoCapture& capture, cv::Mat& frame)
{
    while (capture.grab())
        if (capture.retrieve(frame) && !frame.empty())
            return true;
    return false;
}

} // namespace

std::string path_problem(const std::string& path)
{
    if (path.find("://") != std::string::npos)
        return {};
    struct stat info = {};
    if (stat(path.c_str(), &info) != 0) {
        const int error = errno;
        // No file has that name, so it is a sequence if it reads as one; the reader starts at
        // image 0 or 1.
        if (number_pattern(path).first == std::string::npos)
            return std::strerror(error);
        const std::string first = sequence_name(path, 0);
        const std::string second = sequence_name(path, 1);
        if (!exists(first) && !exists(second))
            return "no image of the sequence exists (neither '" + first + "' nor '" + second + "')";
        return {};
    }
    if (S_ISDIR(info.st_mode))
        return "it is a directory";
    if (!S_ISREG(info.st_mode))
        return {};
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::strerror(errno);
    close(fd);
    if (info.st_size == 0)
        return "the file is empty";
    return {};
}

bool names_image_sequence(const std::string& path)
{
    // A file of that very name is a file, whatever its name looks like.
    return number_pattern(path).first != std::string::npos && !exists(path);
}

bool is_mjpeg_avi(const std::string& head)
{
    if (head.size() < 12 || head.compare(0, 4, "RIFF") != 0 || head.compare(8, 4, "AVI ") != 0)
        return false;
    // The first video stream header: 'strh', size, type 'vids', handler; then its 'strf', a
    // BITMAPINFOHEADER whose compression code sits 16 bytes into the chunk data.
    for (std::size_t at = head.find("strh"); at != std::string::npos; at = head.find("strh", at + 4)) {
        if (at + 16 > head.size() || head.compare(at + 8, 4, "vids") != 0)
            continue;
        if (is_mjpeg_fourcc(head.substr(at + 12, 4)))
            return true;
        const std::size_t format = head.find("strf", at);
        return format != std::string::npos && format + 28 <= head.size()
               && is_mjpeg_fourcc(head.substr(format + 24, 4));
    }
    return false;
}

std::string file_head(const std::string& path, std::size_t count)
{
    // Bytes read from a pipe are gone: the reader would never see them.
    struct stat info = {};
    if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return {};
    std::ifstream in(path, std::ios::binary);
    std::string head(count, '\0');
    in.read(head.data(), static_cast<std::streamsize>(count));
    head.resize(static_cast<std::size_t>(in.gcount()));
    return head;
}

bool has_ffmpeg_reader()
{
    return cv::videoio_registry::hasBackend(cv::CAP_FFMPEG);
}

std::vector<int> reader_order(const std::string& path, const std::string& head, bool ffmpeg)
{
    // FFmpeg, not the library's pick-any: when FFmpeg refuses a damaged file, the next reader
    // that pick-any tries, GStreamer, can deadlock on it (seen with an MP4 or AVI cut short).
    // Without FFmpeg, pick-any is what reads everything else this OpenCV can.
    const int last = ffmpeg ? cv::CAP_FFMPEG : cv::CAP_ANY;
    // OpenCV's own image-sequence reader gives every image its own size; the FFmpeg one scales
    // them to the first and, in the library's Debian build, can crash doing so.
    if (names_image_sequence(path))
        return {cv::CAP_IMAGES, last};
    // Motion JPEG whose chroma layout changes after the first frame (some trail cameras) crashes
    // the FFmpeg reader; the library's own Motion JPEG reader decodes every frame by itself.
    if (is_mjpeg_avi(head))
        return {cv::CAP_OPENCV_MJPEG, last};
    return {last};
}

bool open_video(const std::string& path, cv::VideoCapture& capture, cv::Mat& first_frame)
{
    // FFmpeg's decoders report damage from their own threads, during a read or long after it, which
    // pointing standard error away around each call cannot catch. OpenCV's FFmpeg reader sets
    // FFmpeg's log level from this variable at every open: FFmpeg's quiet level, unless the user
    // asked for another (OpenCV then prints FFmpeg's lines on standard output).
    setenv("OPENCV_FFMPEG_LOGLEVEL", "-8", 0);
    for (const int reader : reader_order(path, file_head(path, 64 * 1024), has_ffmpeg_reader())) {
        if (quietly([&] { return capture.open(path, reader) && next_decodable_frame(capture, first_frame); }))
            return true;
        close_video(capture);
    }
    return false;
}

int open_pipe(const std::string& path)
{
    struct stat info = {};
    if (stat(path.c_str(), &info) != 0 || !S_ISFIFO(info.st_mode))
        return -1;
    // A read end of its own, opened without waiting for a writer, even for a pipe this process
    // already holds (its standard input as /dev/stdin): the flags of the one it was handed, which
    // it shares with the shell, may make reads fail at once when nothing has come yet.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    // Reads wait for data as on any pipe.
    if (fd >= 0)
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

bool pipe_ready(int fd, int timeout_ms)
{
    pollfd ready{fd, POLLIN, 0};
    return poll(&ready, 1, timeout_ms) > 0 && (ready.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

std::string pipe_source(int fd)
{
    return "pipe:" + std::to_string(fd);
}

bool read_frame(cv::VideoCapture& capture, cv::Mat& frame)
{
    return quietly([&] { return next_decodable_frame(capture, frame); });
}

void close_video(cv::VideoCapture& capture)
{
    quietly([&] {
        capture.release();
        return true;
    });
}
