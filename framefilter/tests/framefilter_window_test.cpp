// The real framefilter in real windows: test clips made here, screen pixels read back.
#include "literal_filter.hpp"
#include "picture_hash.hpp"
#include "test_videos.hpp"
#include "xharness.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
namespace tv = test_videos;
namespace xh = xharness;

cv::Mat filtered(const cv::Mat& frame)
{
    cv::Mat result = frame.clone();
    literal_filter_frame(result.data, result.rows, result.cols, static_cast<int>(result.step[0]),
                         result.channels());
    return result;
}

// show_log's lines for frames [first, end) of `decoded`: each as decoded in "Original", then
// filtered in "Processed".
std::string shows(const std::vector<cv::Mat>& decoded, std::size_t first, std::size_t end)
{
    std::string lines;
    char line[64];
    for (std::size_t i = first; i < end; ++i) {
        std::snprintf(line, sizeof line, "Original %016llx\nProcessed %016llx\n",
                      static_cast<unsigned long long>(picture_hash(decoded[i])),
                      static_cast<unsigned long long>(picture_hash(filtered(decoded[i]))));
        lines += line;
    }
    return lines;
}

// What one window is expected to show: each candidate picture, and where in the window the picture
// sits once it has been found.
struct window_watch {
    std::string title;
    std::vector<cv::Mat> candidates; // candidates[i] is what frame i should look like
    xh::window_id window = 0;
    std::vector<cv::Mat> anchors; // per picture size, the top rows that all its candidates share
    cv::Point at{-1, -1};
    int misses = 0;
    std::set<int> seen;
    int first_frame_sightings = 0;
};

window_watch watching(const std::string& title, const std::vector<cv::Mat>& candidates)
{
    window_watch watch;
    watch.title = title;
    watch.candidates = candidates;
    // Finding one shared strip is far quicker than trying every candidate in turn.
    for (const cv::Mat& first : candidates) {
        if (std::any_of(watch.anchors.begin(), watch.anchors.end(),
                        [&](const cv::Mat& a) { return a.cols == first.cols; }))
            continue;
        int shared = first.rows;
        for (const cv::Mat& other : candidates)
            for (int row = 0; row < shared && other.size() == first.size(); ++row)
                if (!xh::same_pixels(first.row(row), other.row(row)))
                    shared = row;
        watch.anchors.push_back(shared >= 4 ? first.rowRange(0, shared) : first);
    }
    return watch;
}

// The candidate that `pixels` shows at `at`, or -1.
int shown_at(const window_watch& watch, const cv::Mat& pixels, cv::Point at)
{
    for (std::size_t i = 0; i < watch.candidates.size(); ++i) {
        const cv::Rect area(at, watch.candidates[i].size());
        if ((area & cv::Rect(0, 0, pixels.cols, pixels.rows)) == area
            && xh::same_pixels(pixels(area), watch.candidates[i]))
            return static_cast<int>(i);
    }
    return -1;
}

// The topmost place where `picture` appears in the window's pixels, or (-1, -1). The window centres
// its picture under a wider tool bar, so only a few columns around the middle are tried.
cv::Point locate(const cv::Mat& pixels, const cv::Mat& picture)
{
    const int margin = 4;
    const int centre = (pixels.cols - picture.cols) / 2;
    for (int y = 0; y + picture.rows <= pixels.rows; ++y)
        for (int x = std::max(0, centre - margin); x <= centre + margin && x + picture.cols <= pixels.cols;
             ++x)
            if (xh::same_pixels(pixels(cv::Rect(x, y, picture.cols, 1)), picture.row(0))
                && xh::same_pixels(pixels(cv::Rect(x, y, picture.cols, picture.rows)), picture))
                return {x, y};
    return {-1, -1};
}

// With no window manager both windows open at the same place; "Processed" then goes below
// "Original", clear of it. Windows that a window manager placed apart stay where they are; one that
// it places again after a move, or that grows into the other, is moved again. A window manager
// that centres new windows leaves too little room below "Original": it goes to the top left first.
void keep_clear_of_original(xh::window_id processed)
{
    const xh::window_id original = xh::find_window("Original", 0ms);
    if (original == 0)
        return;
    const cv::Rect above = xh::screen_rect(original);
    if ((above & xh::screen_rect(processed)).empty())
        return;
    if (above.tl() != cv::Point(0, 0))
        xh::move_window(original, {0, 0});
    // Room for a window manager's title bar between the two.
    xh::move_window(processed, {0, above.height + 40});
}

// Records which candidate the watched window shows, if any. A capture torn between two frames
// matches none and is ignored.
void look(window_watch& watch)
{
    if (watch.window == 0)
        watch.window = xh::find_window(watch.title, 0ms);
    if (watch.window != 0 && watch.title == "Processed")
        keep_clear_of_original(watch.window);
    if (watch.window == 0)
        return;
    const cv::Mat pixels = xh::capture(watch.window);
    if (pixels.empty())
        return;
    int index = watch.at.x >= 0 ? shown_at(watch, pixels, watch.at) : -1;
    if (index < 0 && (watch.at.x < 0 || ++watch.misses > 4)) {
        watch.misses = 0;
        for (const cv::Mat& anchor : watch.anchors) {
            // The topmost match is the picture's top edge: above it is the window's tool bar.
            const cv::Point where = locate(pixels, anchor);
            if (where.x >= 0 && (index = shown_at(watch, pixels, where)) >= 0) {
                watch.at = where;
                break;
            }
        }
    }
    if (index == 0)
        ++watch.first_frame_sightings;
    else if (index > 0)
        watch.seen.insert(index);
}

// How often show_log has held the program so far.
std::size_t times_held(const std::string& log)
{
    std::istringstream lines(xh::read_file(log));
    std::size_t held = 0;
    for (std::string line; std::getline(lines, line);)
        held += line == "held";
    return held;
}

class FramefilterWindow : public tv::in_temp_dir<> {
  protected:
    void TearDown() override
    {
        xh::stop(child);
        in_temp_dir::TearDown();
    }
    std::string clip(const std::vector<cv::Mat>& frames, const std::string& name = "clip.avi")
    {
        const std::string path = dir + "/" + name;
        EXPECT_TRUE(tv::write_ffv1_avi(path, frames));
        return path;
    }
    void start(const std::string& path, const std::vector<std::string>& env = {})
    {
        child = xh::spawn({FRAMEFILTER_PATH, path}, env);
    }
    bool ended() const { return !xh::still_running(child); }
    // Watches both windows until the program ends by itself; returns its exit status.
    int watch_until_exit(window_watch& original, window_watch& processed, std::chrono::seconds bound)
    {
        const auto deadline = std::chrono::steady_clock::now() + bound;
        while (!ended() && std::chrono::steady_clock::now() < deadline) {
            look(original);
            look(processed);
        }
        return xh::wait_exit(child, 1s);
    }
    // Starts framefilter on `path` with show_log holding it after each of `frames` (counted from 1,
    // the first frame shown), its windows served, until both windows have been seen showing that
    // frame: the frames are seen however slowly the screen is read.
    void play_held_at(const std::string& path, const std::vector<int>& frames, window_watch& original,
                      window_watch& processed)
    {
        const std::string log = xh::unique_temp_path("shows");
        const std::string gate = xh::unique_temp_path("gate");
        ASSERT_EQ(mkfifo(gate.c_str(), 0600), 0);
        std::string list;
        for (const int frame : frames) {
            if (!list.empty())
                list += ',';
            list += std::to_string(frame);
        }
        start(path, {"LD_PRELOAD=" SHOW_LOG_PRELOAD, "SHOW_LOG=" + log, "SHOW_LOG_HOLD=" + list,
                     "SHOW_LOG_GATE=" + gate});
        for (std::size_t i = 0; i < frames.size(); ++i) {
            SCOPED_TRACE("held at frame " + std::to_string(frames[i]));
            ASSERT_TRUE(xh::wait_until([&] { return times_held(log) > i || ended(); }, xh::patience))
                << err();
            ASSERT_FALSE(ended()) << err();
            EXPECT_TRUE(xh::wait_until(
                [&] {
                    look(original);
                    look(processed);
                    return original.seen.count(frames[i]) == 1 && processed.seen.count(frames[i]) == 1;
                },
                xh::patience));
            // framefilter holds the gate open for reading, so this neither waits nor loses the byte.
            const int go = open(gate.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            ASSERT_GE(go, 0) << "framefilter is not held";
            EXPECT_EQ(write(go, "g", 1), 1);
            close(go);
        }
    }
    std::string out() const { return xh::read_file(child.out_path); }
    std::string err() const { return xh::read_file(child.err_path); }

    xh::child_process child;
};

TEST_F(FramefilterWindow, PlaysFramesOneOnwardAsDecodedAndFilteredThenEndsByItself)
{
    const std::string path = clip(tv::distinct_frames(90, {720, 120}));
    const std::vector<cv::Mat> decoded = tv::decode_all(path);
    ASSERT_EQ(decoded.size(), 90u);
    std::vector<cv::Mat> decoded_and_filtered;
    for (const cv::Mat& frame : decoded)
        decoded_and_filtered.push_back(filtered(frame));
    window_watch original = watching("Original", decoded);
    window_watch processed = watching("Processed", decoded_and_filtered);

    play_held_at(path, {10, 45, 80}, original, processed);
    EXPECT_EQ(watch_until_exit(original, processed, 60s), 0);
    EXPECT_EQ(out(), tv::geometry_line(120, 720, 3));
    EXPECT_EQ(err(), "");
    EXPECT_EQ(original.first_frame_sightings + processed.first_frame_sightings, 0)
        << "the first frame is only measured";
    EXPECT_FALSE(xh::window_exists("Original"));
    EXPECT_FALSE(xh::window_exists("Processed"));
}

TEST_F(FramefilterWindow, AOneFrameFilePrintsTheLineAndShowsNothing)
{
    const std::string path = clip(tv::distinct_frames(1, {720, 120}));
    const std::vector<cv::Mat> decoded = tv::decode_all(path);
    ASSERT_EQ(decoded.size(), 1u);
    window_watch original = watching("Original", decoded);
    window_watch processed = watching("Processed", {filtered(decoded[0])});
    start(path);
    EXPECT_EQ(watch_until_exit(original, processed, 20s), 0);
    EXPECT_EQ(out(), tv::geometry_line(120, 720, 3));
    EXPECT_EQ(err(), "");
    EXPECT_EQ(original.first_frame_sightings + processed.first_frame_sightings, 0);
}

TEST_F(FramefilterWindow, FramesOfAnotherSizeAreFilteredWithTheirOwnGeometry)
{
    // The first frames are wide and flat, the rest narrower and taller: the first frame's row step
    // over the later frames' buffers would reach past their end.
    std::vector<cv::Mat> frames = tv::distinct_frames(8, {720, 120});
    for (int i = 8; i < 50; ++i)
        frames.push_back(tv::distinct_frame(i, {600, 240}));
    ASSERT_TRUE(tv::write_image_sequence(dir + "/f%d.png", frames));
    std::vector<cv::Mat> frames_filtered;
    for (const cv::Mat& frame : frames)
        frames_filtered.push_back(filtered(frame));
    window_watch original = watching("Original", frames);
    window_watch processed = watching("Processed", frames_filtered);

    for (int run = 0; run < 3; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        play_held_at(dir + "/f%d.png", {20}, original, processed);
        EXPECT_EQ(watch_until_exit(original, processed, 60s), 0);
        EXPECT_EQ(out(), tv::geometry_line(120, 720, 3));
        EXPECT_EQ(err(), "");
    }
    EXPECT_TRUE(std::any_of(processed.seen.begin(), processed.seen.end(), [](int i) { return i >= 8; }))
        << "\"Processed\" never showed a 600 x 240 frame filtered at that size";
    EXPECT_TRUE(std::any_of(original.seen.begin(), original.seen.end(), [](int i) { return i >= 8; }));
}

TEST_F(FramefilterWindow, GreyFramesShowUnfilteredInProcessed)
{
    std::vector<cv::Mat> grey;
    for (const cv::Mat& frame : tv::distinct_frames(40, {320, 96})) {
        grey.emplace_back();
        cv::cvtColor(frame, grey.back(), cv::COLOR_BGR2GRAY);
    }
    ASSERT_TRUE(tv::write_image_sequence(dir + "/g%02d.png", grey));
    ASSERT_EQ(cv::imread(dir + "/g00.png", cv::IMREAD_UNCHANGED).channels(), 1);
    std::vector<cv::Mat> as_shown;
    for (const cv::Mat& frame : grey) {
        as_shown.emplace_back();
        cv::cvtColor(frame, as_shown.back(), cv::COLOR_GRAY2BGR);
    }
    window_watch original = watching("Original", as_shown);
    window_watch processed = watching("Processed", as_shown);
    play_held_at(dir + "/g%02d.png", {8, 20, 32}, original, processed);
    EXPECT_EQ(watch_until_exit(original, processed, 60s), 0);
    EXPECT_EQ(out(), tv::geometry_line(96, 320, 1));
    EXPECT_GE(processed.seen.size(), 3u);
    EXPECT_EQ(processed.first_frame_sightings, 0);
}

TEST_F(FramefilterWindow, KeysWhoseLowByteIs27EndPlaybackEarlyAndOtherKeysDoNot)
{
    // The clip comes through a pipe whose write end stays open until the program has ended: the
    // video cannot end by itself, however fast it plays, so an end can only be the key's.
    const std::string path = clip(tv::distinct_frames(300, {160, 120}));
    const std::string bytes = xh::read_file(path);
    std::signal(SIGPIPE, SIG_IGN); // the writer outlives the reader
    window_watch original = watching("Original", tv::decode_all(path));
    window_watch processed = watching("Processed", {}); // only kept off "Original"
    const auto latest = [&] { return original.seen.empty() ? 0 : *original.seen.rbegin(); };
    const auto plays_on_to = [&](int frame) {
        return xh::wait_until(
            [&] {
                look(processed);
                look(original);
                return latest() >= frame || ended();
            },
            xh::patience);
    };
    // Esc, and a key whose code (the keysym 0x100281b) is not 27 but whose low byte is.
    for (const char* end_key : {"Escape", "braille_dots_1245"}) {
        SCOPED_TRACE(end_key);
        int ends[2];
        ASSERT_EQ(pipe(ends), 0);
        // A write end of its own, so that ends[1] keeps the pipe open after it.
        std::thread writer([&, fd = ends[1]] { xh::write_bytes("/dev/fd/" + std::to_string(fd), bytes); });
        child = xh::spawn({FRAMEFILTER_PATH, "/dev/stdin"}, {}, {ends[0]});
        close(ends[0]);
        const bool playing = plays_on_to(1) && !ended();
        EXPECT_TRUE(playing);
        if (playing) {
            xh::key(original.window, "a");
            xh::key(original.window, "Return");
            xh::key(original.window, "space");
            // The keys were queued before the frames after this one were shown, each after a key wait.
            EXPECT_TRUE(plays_on_to(latest() + 15)) << "playback did not go on after other keys";
            EXPECT_FALSE(ended());
            xh::key(original.window, end_key);
        }
        EXPECT_EQ(xh::wait_exit(child, xh::patience), 0);
        EXPECT_EQ(out(), tv::geometry_line(120, 160, 3));
        EXPECT_EQ(err(), "");
        writer.join(); // the reader has gone, or has taken all but the end
        close(ends[1]);
        original = watching("Original", original.candidates);
        processed.window = 0;
    }
}

TEST_F(FramefilterWindow, ShowsFramesTwoToNInOrderAndNothingAfterAClose)
{
    const std::string path = clip(tv::distinct_frames(40, {320, 96}));
    const std::vector<cv::Mat> decoded = tv::decode_all(path);
    ASSERT_EQ(decoded.size(), 40u);
    const std::string log = dir + "/shows.txt";
    const std::string times = dir + "/times.txt";
    start(path, {"LD_PRELOAD=" SHOW_LOG_PRELOAD, "SHOW_LOG=" + log, "SHOW_LOG_TIMES=" + times});
    EXPECT_EQ(xh::wait_exit(child, 60s), 0);
    EXPECT_EQ(xh::read_file(log), shows(decoded, 1, 40)) << "each of frames 2..N once, in order";
    // At most about 30 frames a second: a 33 ms key wait after each, which a toolkit's coarse timer
    // may end a little early; a loaded machine only makes the frames slower.
    std::vector<long long> shown_at;
    std::istringstream time_lines(xh::read_file(times));
    for (long long ns = 0; time_lines >> ns;)
        shown_at.push_back(ns);
    ASSERT_EQ(shown_at.size(), 39u);
    const auto least = std::chrono::nanoseconds(38 * 30ms);
    EXPECT_GE(std::chrono::nanoseconds(shown_at.back() - shown_at.front()), least)
        << "39 frames shown faster than at 30 per second";

    // "Processed" closed between the two shows of frame 6 is not shown into again, which would open
    // it anew.
    start(path, {"LD_PRELOAD=" SHOW_LOG_PRELOAD, "SHOW_LOG=" + log, "SHOW_LOG_CLOSE_AFTER=5"});
    EXPECT_EQ(xh::wait_exit(child, xh::patience), 0);
    const std::string frame_6_in_original =
        shows(decoded, 5, 6).substr(0, shows(decoded, 5, 6).find('\n') + 1);
    EXPECT_EQ(xh::read_file(log), shows(decoded, 1, 5) + frame_6_in_original);
    EXPECT_EQ(out(), tv::geometry_line(96, 320, 3));
}

TEST_F(FramefilterWindow, ClosingEitherWindowEndsPlayback)
{
    const std::string path = clip(tv::distinct_frames(600, {160, 120}));
    for (const char* title : {"Original", "Processed"}) {
        SCOPED_TRACE(title);
        start(path);
        const xh::window_id window = xh::find_window(title, xh::patience);
        ASSERT_NE(window, 0u);
        xh::request_close(window);
        EXPECT_EQ(xh::wait_exit(child, xh::patience), 0);
        EXPECT_EQ(out(), tv::geometry_line(120, 160, 3));
        EXPECT_FALSE(xh::window_exists("Original"));
        EXPECT_FALSE(xh::window_exists("Processed"));
    }
}

TEST_F(FramefilterWindow, WithoutADisplayFailsWithOneLine)
{
    EXPECT_TRUE(xh::fails_without_display({FRAMEFILTER_PATH, clip(tv::distinct_frames(3, {160, 120}))}));
}

} // namespace
