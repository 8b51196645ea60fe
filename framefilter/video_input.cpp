#include "video_input.hpp"

#include "filter_frame.hpp"

#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Standard error as it was before the first quiet call.
int saved_stderr = -1;
// Where standard error points during a quiet call: an unlinked temporary file that each call starts
// afresh, so that the libraries' words can still be shown when the call turns out to be fatal.
int library_words_fd = -1;
const char* program_name = "";

int open_library_words_file()
{
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
    int fd = open(dir.c_str(), O_TMPFILE | O_RDWR | O_APPEND | O_CLOEXEC, 0600);
    if (fd >= 0)
        return fd;
    std::string pattern = dir + "/framefilter-XXXXXX";
    fd = mkostemp(pattern.data(), O_APPEND | O_CLOEXEC);
    if (fd >= 0)
        unlink(pattern.c_str());
    else
        fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    return fd;
}

void quiet_stderr()
{
    if (library_words_fd < 0)
        library_words_fd = open_library_words_file();
    if (saved_stderr < 0)
        saved_stderr = fcntl(2, F_DUPFD_CLOEXEC, 3);
    if (library_words_fd >= 0 && saved_stderr >= 0) {
        if (ftruncate(library_words_fd, 0) != 0) {
            // /dev/null, when no temporary file could be made: nothing to keep.
        }
        dup2(library_words_fd, 2);
    }
}

void restore_stderr()
{
    if (saved_stderr >= 0)
        dup2(saved_stderr, 2);
}

// What follows runs in a signal handler: only async-signal-safe calls.
void write_all(int fd, const char* text, std::size_t size)
{
    while (size > 0) {
        const ssize_t written = write(fd, text, size);
        if (written <= 0)
            return;
        text += written;
        size -= static_cast<std::size_t>(written);
    }
}

void write_text(int fd, const char* text)
{
    write_all(fd, text, std::strlen(text));
}

const char* describe_signal(int signal_number)
{
    switch (signal_number) {
    case SIGABRT:
        return "an abort (SIGABRT)";
    case SIGSEGV:
        return "a segmentation fault (SIGSEGV)";
    case SIGBUS:
        return "a bus error (SIGBUS)";
    case SIGILL:
        return "an illegal instruction (SIGILL)";
    case SIGFPE:
        return "an arithmetic fault (SIGFPE)";
    default:
        return "a fatal signal";
    }
}

void on_fatal_signal(int signal_number)
{
    const int out = saved_stderr >= 0 ? saved_stderr : 2;
    write_text(out, program_name);
    write_text(out, ": stopped by ");
    write_text(out, describe_signal(signal_number));
    char buffer[4096];
    ssize_t count = 0;
    if (library_words_fd >= 0 && lseek(library_words_fd, 0, SEEK_SET) == 0)
        count = read(library_words_fd, buffer, sizeof buffer);
    if (count <= 0) {
        write_text(out, "\n");
    } else {
        write_text(out, "; the libraries said:\n");
        char last = '\n';
        for (std::size_t total = 0; count > 0 && total < 64 * 1024;
             total += static_cast<std::size_t>(count)) {
            write_all(out, buffer, static_cast<std::size_t>(count));
            last = buffer[count - 1];
            count = read(library_words_fd, buffer, sizeof buffer);
        }
        if (last != '\n')
            write_text(out, "\n");
    }
    // The handler was reset on entry: the signal ends the process as it would have.
    raise(signal_number);
}

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

} // namespace

bool quietly(const std::function<bool()>& call)
{
    std::fflush(stderr);
    quiet_stderr();
    bool result = false;
    try {
        result = call();
    } catch (const cv::Exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        result = false;
    }
    restore_stderr();
    return result;
}

std::string library_words()
{
    std::string words;
    char buffer[4096];
    if (library_words_fd < 0 || lseek(library_words_fd, 0, SEEK_SET) != 0)
        return words;
    for (ssize_t count = 0; (count = read(library_words_fd, buffer, sizeof buffer)) > 0;)
        words.append(buffer, static_cast<std::size_t>(count));
    return words;
}

void report_fatal_signals(const char* program)
{
    program_name = program;
    struct sigaction action = {};
    action.sa_handler = on_fatal_signal;
    action.sa_flags = static_cast<int>(SA_RESETHAND);
    sigemptyset(&action.sa_mask);
    // AddressSanitizer reports faults itself, with more detail than this handler could.
#if defined(__SANITIZE_ADDRESS__)
    const int fatal[] = {SIGABRT, SIGILL, SIGFPE};
#else
    const int fatal[] = {SIGABRT, SIGSEGV, SIGBUS, SIGILL, SIGFPE};
#endif
    for (const int signal_number : fatal)
        sigaction(signal_number, &action, nullptr);
}

std::string path_problem(const std::string& path)
{
    if (names_image_sequence(path) || path.find("://") != std::string::npos)
        return {};
    struct stat info = {};
    if (stat(path.c_str(), &info) != 0)
        return std::strerror(errno);
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
    for (std::size_t at = path.find('%'); at != std::string::npos; at = path.find('%', at + 1)) {
        std::size_t end = at + 1;
        while (end < path.size() && std::isdigit(static_cast<unsigned char>(path[end])))
            ++end;
        if (end < path.size() && path[end] == 'd')
            return true;
    }
    return false;
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

std::vector<int> reader_order(const std::string& path, const std::string& head)
{
    // OpenCV's own image-sequence reader gives every image its own size; the FFmpeg one scales
    // them to the first and, in the library's Debian build, can crash doing so.
    if (names_image_sequence(path))
        return {cv::CAP_IMAGES, cv::CAP_FFMPEG};
    // Motion JPEG whose chroma layout changes after the first frame (some trail cameras) crashes
    // the FFmpeg reader; the library's own Motion JPEG reader decodes every frame by itself.
    if (is_mjpeg_avi(head))
        return {cv::CAP_OPENCV_MJPEG, cv::CAP_FFMPEG};
    // FFmpeg, not the library's pick-any: when FFmpeg refuses a damaged file, the next reader
    // that pick-any tries, GStreamer, can deadlock on it (seen with an MP4 or AVI cut short).
    return {cv::CAP_FFMPEG};
}

bool open_video(const std::string& path, cv::VideoCapture& capture, cv::Mat& first_frame)
{
    for (const int reader : reader_order(path, file_head(path, 64 * 1024))) {
        if (quietly([&] {
                return capture.open(path, reader) && capture.read(first_frame) && !first_frame.empty();
            }))
            return true;
        close_video(capture);
    }
    return false;
}

int announce_pipe_wait(const std::string& path, const char* program)
{
    struct stat info = {};
    if (stat(path.c_str(), &info) != 0 || !S_ISFIFO(info.st_mode))
        return -1;
    // A read end held open here lets a writer in at once and tells whether anything has come yet.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    pollfd ready{fd, POLLIN, 0};
    if (poll(&ready, 1, 1000) <= 0 || (ready.revents & POLLIN) == 0)
        std::fprintf(stderr, "%s: waiting for '%s' to deliver a video (a pipe, nothing written yet)\n",
                     program, path.c_str());
    return fd;
}

bool read_frame(cv::VideoCapture& capture, cv::Mat& frame)
{
    return quietly([&] { return capture.read(frame) && !frame.empty(); });
}

void close_video(cv::VideoCapture& capture)
{
    quietly([&] {
        capture.release();
        return true;
    });
}

void filter_shown_frame(cv::Mat& frame)
{
    if (frame.depth() != CV_8U || frame.channels() < 3 || frame.dims != 2)
        return;
    if (static_cast<double>(frame.step[0]) * frame.rows > INT_MAX)
        return;
    filter_frame(frame.data, frame.rows, frame.cols, static_cast<int>(frame.step[0]), frame.channels());
}
