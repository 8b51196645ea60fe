#include "quiet_calls.hpp"

#include <opencv2/core.hpp>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
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
    case SIGTRAP:
        return "a breakpoint trap (SIGTRAP)";
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
    const int fatal[] = {SIGABRT, SIGILL, SIGFPE, SIGTRAP};
#else
    // GLib ends the process with a breakpoint trap on a fatal log message (g_error, or a GTK
    // warning made fatal with G_DEBUG=fatal-warnings).
    const int fatal[] = {SIGABRT, SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP};
#endif
    for (const int signal_number : fatal)
        sigaction(signal_number, &action, nullptr);
}
