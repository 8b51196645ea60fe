// How old the picture is that feedview takes from a camera. The real feedview runs on the emulated
// camera (tests/fakecam), which logs for every buffer dequeued its capture timestamp and the time
// of the dequeue. Each camera is run twice: with feedview as it ships, and with the driver granting
// at least the library's default of 4 buffers. Both are reported beside the floor that feedview's
// loop allows, one pass minus half a frame interval, and a summary table follows the runs.
// Needs an X display:   xvfb-run -a build/release/bench/picture_age_bench
#include "pattern_reader.hpp"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

struct camera {
    int fps;
    const char* format;
};

const camera cameras[] = {{5, "YUYV"}, {15, "YUYV"}, {30, "YUYV"}, {60, "YUYV"},
                          {5, "MJPG"}, {15, "MJPG"}, {30, "MJPG"}, {60, "MJPG"}};
const int default_buffers = 4; // what OpenCV's V4L2 backend asks for unless told otherwise
const int skipped = 4;         // the camera's start
const int measured = 30;

struct ages {
    double mean_ms = 0;
    double p90_ms = 0;
    double floor_ms = 0; // one pass minus half a frame interval, or 0 for a camera slower than the loop
};

// Results by camera and by the fewest buffers the driver grants (1: as asked).
std::map<std::pair<int, int>, ages> results;

std::string camera_name(const camera& c)
{
    return std::to_string(c.fps) + "fps/" + c.format;
}

// The environment of this process with the emulator preloaded and set up as `settings` say.
std::vector<std::string> feedview_environment(const std::vector<std::string>& settings)
{
    std::vector<std::string> env;
    const std::vector<std::string> changes = fakecam::emulation_environment();
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string setting = *entry;
        const std::string name = setting.substr(0, setting.find('='));
        if (std::none_of(changes.begin(), changes.end(),
                         [&](const std::string& c) { return c.substr(0, c.find('=')) == name; }))
            env.push_back(setting);
    }
    for (const std::string& change : changes)
        if (change.find('=') != std::string::npos)
            env.push_back(change);
    env.insert(env.end(), settings.begin(), settings.end());
    return env;
}

// Runs feedview until it has taken skipped + measured pictures; false when it did not within 60 s.
bool run_feedview(const std::vector<std::string>& settings, const std::string& log)
{
    std::vector<std::string> env = feedview_environment(settings);
    std::vector<char*> env_pointers;
    for (std::string& e : env)
        env_pointers.push_back(e.data());
    env_pointers.push_back(nullptr);
    std::string path = FEEDVIEW_PATH;
    char* argv[] = {path.data(), nullptr};
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int failed = posix_spawn(&pid, path.c_str(), &quiet, nullptr, argv, env_pointers.data());
    posix_spawn_file_actions_destroy(&quiet);
    if (failed != 0)
        return false;
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    bool enough = false;
    while (!enough && std::chrono::steady_clock::now() < give_up) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        enough = static_cast<int>(fakecam::read_age_log(log).size()) >= skipped + measured;
    }
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    return enough;
}

ages measure(const std::vector<fakecam::dequeued_buffer>& log, int fps)
{
    std::vector<double> age_ms;
    for (int i = skipped; i < skipped + measured; ++i)
        age_ms.push_back(static_cast<double>(log[i].dequeued_ns - log[i].captured_ns) / 1e6);
    ages a;
    for (double ms : age_ms)
        a.mean_ms += ms / measured;
    std::sort(age_ms.begin(), age_ms.end());
    a.p90_ms = age_ms[(measured * 9 + 9) / 10 - 1];
    const double pass_ms =
        static_cast<double>(log[skipped + measured - 1].dequeued_ns - log[skipped].dequeued_ns) / 1e6
        / (measured - 1);
    // While the camera delivers faster than the loop takes frames, the frame in the one buffer came
    // at some point of the pass, on average half a frame interval after it began. A camera slower
    // than the loop sets the pace itself, and its frame is taken as it comes.
    const double interval_ms = 1000.0 / fps;
    a.floor_ms = pass_ms > 1.1 * interval_ms ? pass_ms - interval_ms / 2 : 0.0;
    return a;
}

void bench_age(benchmark::State& state, int c, int min_buffers)
{
    const camera& cam = cameras[c];
    for (auto _ : state) {
        char log[] = "/tmp/picture-age-XXXXXX";
        const int fd = mkstemp(log);
        if (fd < 0) {
            state.SkipWithError("cannot make a temporary file");
            return;
        }
        close(fd);
        const auto start = std::chrono::steady_clock::now();
        const bool ran = run_feedview({"FAKECAM_FPS=" + std::to_string(cam.fps),
                                       std::string("FAKECAM_FORMAT=") + cam.format, "FAKECAM_SIZE=640x480",
                                       "FAKECAM_MIN_BUFFERS=" + std::to_string(min_buffers),
                                       std::string("FAKECAM_AGE_LOG=") + log},
                                      log);
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        const std::vector<fakecam::dequeued_buffer> taken = fakecam::read_age_log(log);
        unlink(log);
        if (!ran) {
            state.SkipWithError("feedview took too few pictures (is there an X display?)");
            return;
        }
        const ages a = measure(taken, cam.fps);
        results[{c, min_buffers}] = a;
        state.counters["age_ms"] = a.mean_ms;
        state.counters["p90_ms"] = a.p90_ms;
        state.counters["floor_ms"] = a.floor_ms;
        const auto reference = results.find({c, default_buffers});
        if (min_buffers == 1 && reference != results.end())
            state.counters["x_4_buffers"] = reference->second.mean_ms / a.mean_ms;
    }
}

void print_summary()
{
    std::printf("\nAge of feedview's picture in ms when it takes it (mean, 90th percentile), as it ships,\n"
                "beside the floor (one pass minus half a frame interval) and the library's 4 buffers.\n\n");
    std::printf(
        "| camera | mean | p90 | floor | mean, 4 buffers | p90, 4 buffers | 4 buffers / as shipped |\n");
    std::printf("|---|---:|---:|---:|---:|---:|---:|\n");
    for (int c = 0; c < static_cast<int>(std::size(cameras)); ++c) {
        const auto shipped = results.find({c, 1});
        const auto four = results.find({c, default_buffers});
        if (shipped == results.end() || four == results.end())
            continue;
        std::printf("| %s | %.1f | %.1f | %.1f | %.1f | %.1f | %.1f |\n", camera_name(cameras[c]).c_str(),
                    shipped->second.mean_ms, shipped->second.p90_ms, shipped->second.floor_ms,
                    four->second.mean_ms, four->second.p90_ms,
                    shipped->second.mean_ms > 0 ? four->second.mean_ms / shipped->second.mean_ms : 0.0);
    }
}

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    for (int c = 0; c < static_cast<int>(std::size(cameras)); ++c)
        for (const int min_buffers : {default_buffers, 1}) {
            const std::string name =
                "picture_age/" + camera_name(cameras[c]) + (min_buffers == 1 ? "/as_shipped" : "/4_buffers");
            benchmark::RegisterBenchmark(name.c_str(), bench_age, c, min_buffers)
                ->Iterations(1)
                ->UseManualTime()
                ->Unit(benchmark::kMillisecond);
        }
    benchmark::RunSpecifiedBenchmarks();
    print_summary();
    benchmark::Shutdown();
    return 0;
}
