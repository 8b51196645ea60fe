// Preloaded into feedview by its camera tests: writes down every picture the program shows and every
// key wait with what it returned, in order, and on request holds the program right after a chosen
// picture until the test says go, so that a test can put a key in front of the pause that follows
// that picture without racing the machine.
//   PASS_LOG=PATH            one line per call: "show", or "wait DELAY KEY" (KEY -1: none came)
//   PASS_LOG_HOLD_AFTER=K    after the K-th show, wait for one byte from PASS_LOG_GATE (at most 60 s)
//   PASS_LOG_GATE=PATH       a FIFO the test made
#include <dlfcn.h>
#include <fcntl.h>
#include <opencv2/highgui.hpp>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {

const int gate_timeout_ms = 60000;

FILE* log_file()
{
    static FILE* log = std::getenv("PASS_LOG") ? std::fopen(std::getenv("PASS_LOG"), "w") : nullptr;
    return log;
}

// The library's own definition of the function that `ours` stands in for, found under our own
// symbol's name; the program ends at once, loudly, when there is none.
template <typename F> F* next_definition(F* ours)
{
    Dl_info info{};
    void* next = nullptr;
    if (dladdr(reinterpret_cast<void*>(ours), &info) != 0 && info.dli_sname != nullptr)
        next = dlsym(RTLD_NEXT, info.dli_sname);
    if (next == nullptr) {
        std::fprintf(stderr, "pass_log: the library's %s not found\n",
                     info.dli_sname != nullptr ? info.dli_sname : "function");
        std::abort();
    }
    return reinterpret_cast<F*>(next);
}

// Blocks until the test writes a byte into the gate. The FIFO is opened for reading and writing, so
// that the open does not wait for the test's end.
void hold_at_gate()
{
    const char* path = std::getenv("PASS_LOG_GATE");
    const int gate = path != nullptr ? open(path, O_RDWR | O_CLOEXEC) : -1;
    if (gate < 0) {
        std::fprintf(stderr, "pass_log: no gate to hold at (PASS_LOG_GATE)\n");
        return;
    }
    // The line that tells the test the program is held, written once the gate is open.
    std::fprintf(log_file(), "show\n");
    std::fflush(log_file());
    pollfd ready{gate, POLLIN, 0};
    char byte = 0;
    if (poll(&ready, 1, gate_timeout_ms) != 1 || read(gate, &byte, 1) != 1)
        std::fprintf(stderr, "pass_log: the gate did not open within %d ms\n", gate_timeout_ms);
    close(gate);
}

} // namespace

namespace cv {

void imshow(const String& title, InputArray picture)
{
    static const auto real = next_definition(static_cast<void (*)(const String&, InputArray)>(&imshow));
    static const int hold_after =
        std::getenv("PASS_LOG_HOLD_AFTER") ? std::atoi(std::getenv("PASS_LOG_HOLD_AFTER")) : 0;
    static int shows = 0;
    real(title, picture);
    if (log_file() == nullptr)
        return;
    if (++shows == hold_after) {
        hold_at_gate();
        return;
    }
    std::fprintf(log_file(), "show\n");
    std::fflush(log_file());
}

int waitKeyEx(int delay)
{
    static const auto real = next_definition(&waitKeyEx);
    const int key = real(delay);
    if (log_file() != nullptr) {
        std::fprintf(log_file(), "wait %d %d\n", delay, key);
        std::fflush(log_file());
    }
    return key;
}

} // namespace cv
