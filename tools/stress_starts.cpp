// Starts one program again and again on the X server named by DISPLAY, ends each run as a user
// would (a key), and records every run that ends any other way: its exit status or signal, its
// standard error, and a backtrace from its core file (or, when it hangs, from the live process).
// tools/stress runs it for each program on a fresh Xvfb with CPU load beside it.
//
//   stress_starts OUT_DIR RUNS WINDOW_TITLE KEY PROGRAM [ARGS...]
#include "xharness.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
namespace xh = xharness;

const auto bound = 30s;

std::string backtrace_command(const std::string& program, const std::string& target, const std::string& out)
{
    return "gdb -batch -nx -ex 'thread apply all bt' " + program + " " + target + " >" + out + " 2>&1";
}

// One start; an empty string for a normal end, else what went wrong.
std::string one_run(const std::vector<std::string>& argv, const std::string& title, const std::string& key,
                    const std::string& record)
{
    std::error_code ignored;
    fs::remove("core", ignored);
    xh::child_process child = xh::spawn(argv);
    const xh::window_id window = xh::find_window(title, bound);
    // A key that comes before the toolkit takes input is lost, as it would be for a user, who then
    // presses it again: so is it here, every half second.
    int presses = 0;
    const auto pressed = [&] {
        if (window != 0 && presses++ % 25 == 0)
            xh::key(window, key);
        return !xh::still_running(child);
    };
    std::string problem;
    if (!xh::wait_until(pressed, bound)) {
        problem = "still running " + std::to_string(bound.count()) + " s after the first key";
        std::system(backtrace_command(argv[0], "-p " + std::to_string(child.pid), record + ".bt").c_str());
        xh::stop(child);
    } else {
        const int status = xh::wait_exit(child, 1s);
        if (status != 0 || window == 0)
            problem = "exit status " + std::to_string(status) + (status > 128 ? " (signal)" : "")
                      + (window == 0 ? ", no window appeared" : "");
    }
    const std::string err = xh::read_file(child.err_path);
    if (!problem.empty()) {
        if (fs::exists("core")) {
            fs::rename("core", record + ".core", ignored);
            std::system(backtrace_command(argv[0], record + ".core", record + ".bt").c_str());
        }
        FILE* out = std::fopen((record + ".txt").c_str(), "w");
        if (out != nullptr) {
            std::fprintf(out, "%s\n--- standard error ---\n%s", problem.c_str(), err.c_str());
            std::fclose(out);
        }
    }
    fs::remove(child.out_path, ignored);
    fs::remove(child.err_path, ignored);
    return problem;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 6) {
        std::fprintf(stderr, "usage: stress_starts OUT_DIR RUNS WINDOW_TITLE KEY PROGRAM [ARGS...]\n");
        return 2;
    }
    const std::string out_dir = fs::absolute(argv[1]).string();
    const int runs = std::atoi(argv[2]);
    const std::string title = argv[3];
    const std::string key = argv[4];
    std::vector<std::string> program(argv + 5, argv + argc);
    program[0] = fs::absolute(program[0]).string();
    fs::create_directories(out_dir);
    // Cores are written to the working directory ("core", as this machine names them).
    const rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};
    setrlimit(RLIMIT_CORE, &unlimited);
    if (chdir(out_dir.c_str()) != 0)
        return 1;

    int abnormal = 0;
    for (int run = 1; run <= runs; ++run) {
        const std::string problem = one_run(program, title, key, out_dir + "/run" + std::to_string(run));
        if (!problem.empty()) {
            ++abnormal;
            std::printf("run %d: %s\n", run, problem.c_str());
            std::fflush(stdout);
        }
    }
    std::printf("%s: %d starts, %d abnormal ends\n", fs::path(program[0]).filename().c_str(), runs, abnormal);
    return abnormal == 0 ? 0 : 1;
}
