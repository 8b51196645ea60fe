// Times filter_frame against the literal per-pixel loop it must match, the same filter composed
// from OpenCV calls, and a plain memcpy of the frame, on frames of common sizes with random and with
// smooth content. Every run restores the frame first, outside the timed part, so each one filters
// the original content. After the runs a summary table gives the best time of each method per
// frame and the ratios.
#include "filter_frame.hpp"
#include "filter_frame_impl.hpp"
#include "literal_filter.hpp"

#include <benchmark/benchmark.h>
#include <opencv2/core.hpp>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

struct frame_case {
    int width;
    int height;
    int channels;
    bool smooth;
};

const frame_case cases[] = {
    {640, 480, 3, false},   {640, 480, 3, true},    {1280, 720, 3, false},
    {1280, 720, 3, true},   {1920, 1080, 3, false}, {1920, 1080, 3, true},
    {3840, 2160, 3, false}, {3840, 2160, 3, true},  {1920, 1080, 4, false},
};
const int case_count = sizeof cases / sizeof cases[0];

enum method { literal, opencv, copy, fast, baseline, method_count };
const char* const method_names[method_count] = {"literal", "opencv", "memcpy", "filter_frame", "baseline"};

std::string case_name(const frame_case& fc)
{
    return std::to_string(fc.width) + "x" + std::to_string(fc.height) + (fc.channels == 4 ? "x4" : "") + "/"
           + (fc.smooth ? "smooth" : "random");
}

std::vector<unsigned char> make_content(const frame_case& fc)
{
    std::vector<unsigned char> bytes(static_cast<std::size_t>(fc.width) * fc.height * fc.channels);
    std::mt19937 rng(42);
    for (int r = 0; r < fc.height; ++r) {
        for (int c = 0; c < fc.width; ++c) {
            unsigned char* p = bytes.data() + (static_cast<std::size_t>(r) * fc.width + c) * fc.channels;
            for (int k = 0; k < fc.channels; ++k)
                p[k] = static_cast<unsigned char>(rng());
            if (fc.smooth) {
                p[0] = static_cast<unsigned char>(c * 256 / fc.width);
                p[1] = static_cast<unsigned char>(r * 256 / fc.height);
                p[2] = static_cast<unsigned char>((r + c) * 256 / (fc.width + fc.height));
            }
        }
    }
    return bytes;
}

// The same filter from library calls: blank the mask, then whiten and blacken with a range test
// and a masked fill each. Blanking first is equivalent since black stays black.
void opencv_filter(cv::Mat& m, cv::Mat& bright, cv::Mat& dark)
{
    m(cv::Rect(545, 20, 141, 46) & cv::Rect(0, 0, m.cols, m.rows)).setTo(cv::Scalar::all(0));
    cv::inRange(m, cv::Scalar(100, 100, 100), cv::Scalar(255, 255, 255), bright);
    m.setTo(cv::Scalar(255, 255, 255), bright);
    cv::inRange(m, cv::Scalar(0, 0, 0), cv::Scalar(99, 99, 100), dark);
    m.setTo(cv::Scalar(0, 0, 0), dark);
}

// Best (lowest) mean time per frame of each case and method over all runs, in nanoseconds.
std::map<std::pair<int, int>, double> best_ns;

double best(int c, int m)
{
    const auto it = best_ns.find({c, m});
    return it == best_ns.end() ? 0.0 : it->second;
}

void run_method(int m, const frame_case& fc, unsigned char* work, const unsigned char* source,
                cv::Mat& bright, cv::Mat& dark)
{
    const int step = fc.width * fc.channels;
    const std::size_t size = static_cast<std::size_t>(step) * fc.height;
    cv::Mat mat(fc.height, fc.width, CV_8UC(fc.channels), work, step);
    switch (m) {
    case literal:
        literal_filter_frame(work, fc.height, fc.width, step, fc.channels);
        break;
    case opencv:
        opencv_filter(mat, bright, dark);
        break;
    case copy:
        std::memcpy(work, source, size);
        break;
    case fast:
        filter_frame(work, fc.height, fc.width, step, fc.channels);
        break;
    case baseline:
        filter_frame_baseline(work, fc.height, fc.width, step, fc.channels);
        break;
    }
}

void bench_method(benchmark::State& state, int c, int m)
{
    const frame_case& fc = cases[c];
    const std::vector<unsigned char> source = make_content(fc);
    std::vector<unsigned char> work = source;
    cv::Mat bright, dark;

    if (m != copy) {
        std::vector<unsigned char> expected = source;
        literal_filter_frame(expected.data(), fc.height, fc.width, fc.width * fc.channels, fc.channels);
        run_method(m, fc, work.data(), source.data(), bright, dark);
        if (work != expected) {
            state.SkipWithError("result differs from the literal loop");
            return;
        }
    }

    double total_ns = 0;
    for (auto _ : state) {
        std::memcpy(work.data(), source.data(), work.size());
        const auto start = std::chrono::steady_clock::now();
        run_method(m, fc, work.data(), source.data(), bright, dark);
        benchmark::ClobberMemory();
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(took.count());
        total_ns += took.count() * 1e9;
    }
    const double ns = total_ns / static_cast<double>(state.iterations());
    const auto key = std::make_pair(c, m);
    if (best_ns.count(key) == 0 || ns < best_ns[key])
        best_ns[key] = ns;
    if (m != literal && best(c, literal) > 0)
        state.counters["x_literal"] = best(c, literal) / ns;
    if (m != copy && best(c, copy) > 0)
        state.counters["per_memcpy"] = ns / best(c, copy);
}

void register_all()
{
    for (int c = 0; c < case_count; ++c) {
        for (int m = 0; m < method_count; ++m) {
            if (m == opencv && cases[c].channels != 3)
                continue;
            const std::string name = "filter/" + case_name(cases[c]) + "/" + method_names[m];
            benchmark::RegisterBenchmark(name.c_str(), bench_method, c, m)
                ->UseManualTime()
                ->Unit(benchmark::kMicrosecond);
        }
    }
}

void print_value(const char* format, double value)
{
    if (value > 0)
        std::printf(format, value);
    else
        std::printf(" - |");
}

double ratio(double num, double den)
{
    return num > 0 && den > 0 ? num / den : 0.0;
}

void print_summary()
{
    if (best_ns.empty())
        return;
    const bool avx2 = picked_filter_frame() == avx2_filter_frame();
    std::printf("\nOpenCV %s. filter_frame ran the %s path; baseline is the 128-bit one.\n", CV_VERSION,
                avx2 ? "AVX2 (256-bit)" : "baseline (128-bit)");
    std::printf("\nBest mean time per frame in ms over all runs, and the ratios that it gives.\n\n");
    std::printf("| frame | literal | opencv | memcpy | filter_frame | baseline | literal / filter_frame | "
                "literal / baseline | opencv / filter_frame | filter_frame / memcpy |\n");
    std::printf("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (int c = 0; c < case_count; ++c) {
        const double f = best(c, fast);
        std::printf("| %s |", case_name(cases[c]).c_str());
        for (int m = 0; m < method_count; ++m)
            print_value(" %.3f |", best(c, m) / 1e6);
        print_value(" %.1f |", ratio(best(c, literal), f));
        print_value(" %.1f |", ratio(best(c, literal), best(c, baseline)));
        print_value(" %.1f |", ratio(best(c, opencv), f));
        print_value(" %.2f |", ratio(f, best(c, copy)));
        std::printf("\n");
    }
}

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    cv::setNumThreads(1); // the program is single-threaded; so is every contender here
    register_all();
    benchmark::RunSpecifiedBenchmarks();
    print_summary();
    benchmark::Shutdown();
    return 0;
}
