// The real feedview in a real window, watching the emulated camera that the preloaded library
// puts at /dev/videoN. What the window shows is read back from the screen: the frame number is
// written into every picture as blocks of black and white.
#include "pattern_reader.hpp"
#include "xharness.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <set>
#include <sstream>
#include <thread>
#include <tuple>

namespace {

using namespace std::chrono_literals;
namespace xh = xharness;
using steady = std::chrono::steady_clock;

const char* const title = "result";
const cv::Size picture_size(320, 240); // the emulated camera's default
// Every pass of feedview's loop waits 100 ms and then polls 10 ms besides the grab itself.
constexpr double shortest_pass_ms = 110;
// The most a pass may take on average, by feedview's dequeues. The grab, the show and the painting
// add under 15 ms to a pass's 110 ms of waits here, beside two busy loops or on one core beside
// one; four times that still fits, while a pause four times too long does not.
constexpr double slowest_mean_pass_ms = 400;
// OpenCV drops the first frame after streaming starts; a camera told to stop after K frames
// therefore leaves frame K - 1 as the last picture the program gets.
constexpr int stop_after = 6;
// While feedview waits for a late frame it looks for a key or a close every 110 ms. With the
// test's own asking and looking, the answer takes 50 to 150 ms here, loaded or on one core beside a
// busy loop; 1.5 s holds on a machine four times slower and is far below the library's own 10 s
// wait for a frame, which a viewer that did not serve the window meanwhile would sit through.
constexpr double answer_bound_ms = 1500;

const std::string stopped_line =
    "feedview: the camera stopped delivering pictures; the last one stays until a key is pressed\n";

double ms_since(steady::time_point start)
{
    return std::chrono::duration<double, std::milli>(steady::now() - start).count();
}

// How old the frames that feedview took after the first `skipped` were when it dequeued them, by
// their capture timestamps, and how long a pass took from one dequeue to the next.
struct picture_ages {
    int pictures = 0;
    double mean_age_ms = 0;
    double mean_pass_ms = 0;
};

picture_ages read_ages(const std::string& log, int skipped)
{
    std::vector<fakecam::dequeued_buffer> taken = fakecam::read_age_log(log);
    picture_ages ages;
    if (static_cast<int>(taken.size()) < skipped + 2)
        return ages;
    taken.erase(taken.begin(), taken.begin() + skipped);
    ages.pictures = static_cast<int>(taken.size());
    for (const fakecam::dequeued_buffer& b : taken)
        ages.mean_age_ms += static_cast<double>(b.dequeued_ns - b.captured_ns) / 1e6 / ages.pictures;
    ages.mean_pass_ms =
        static_cast<double>(taken.back().dequeued_ns - taken.front().dequeued_ns) / 1e6 / (ages.pictures - 1);
    return ages;
}

int lines_in(const std::string& path)
{
    const std::string text = xh::read_file(path);
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

// The picture after which pass_log.cpp holds feedview: by the fifth the camera has long started.
constexpr int held_after = 5;

// What pass_log.cpp wrote down: how many pictures feedview showed, and the key waits (delay, key)
// between the picture it was held after and the next one.
struct passes {
    int shows = 0;
    std::vector<std::pair<int, int>> waits_after_held;
};

passes pass_log(const std::string& path)
{
    passes read;
    std::istringstream lines(xh::read_file(path));
    for (std::string word; lines >> word;) {
        if (word == "show") {
            ++read.shows;
            continue;
        }
        int delay = 0;
        int key = 0;
        if (word != "wait" || !(lines >> delay >> key))
            break;
        if (read.shows == held_after)
            read.waits_after_held.emplace_back(delay, key);
    }
    return read;
}

class FeedviewCamera : public ::testing::Test {
  protected:
    void start(const std::vector<std::string>& args, const std::vector<std::string>& settings)
    {
        xh::stop(child);
        origin = {-1, -1};
        std::vector<std::string> argv{FEEDVIEW_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<std::string> env = fakecam::emulation_environment();
        env.push_back(xh::runtime_dir_setting());
        // A desktop's locale: Qt hands a key's text over in it, and in the C locale a Latin-1 key
        // such as ä would arrive as '?'.
        env.push_back("LC_ALL=C.UTF-8");
        env.insert(env.end(), settings.begin(), settings.end());
        child = xh::spawn(argv, env);
        window = xh::find_window(title, xh::patience);
        ASSERT_NE(window, 0u) << "no window \"" << title << "\" appeared; " << errors();
    }
    void TearDown() override { xh::stop(child); }

    // The frame number on the screen now, or -1 when the window shows no camera picture or the
    // read caught it half redrawn.
    int shown_number()
    {
        const cv::Mat pixels = xh::capture(window);
        if (origin.x < 0)
            origin = fakecam::locate_picture(pixels, shown_size, grey_camera);
        return origin.x < 0 ? -1 : fakecam::read_frame_number(pixels, origin, shown_size);
    }
    int wait_for_number(const std::function<bool(int)>& wanted,
                        std::chrono::milliseconds bound = xh::patience)
    {
        int number = -1;
        xh::wait_until(
            [&] {
                number = shown_number();
                return number >= 0 && wanted(number);
            },
            bound);
        return number;
    }

    std::string stderr_text() const { return xh::read_file(child.err_path); }
    std::string errors() const { return "feedview's stderr: " + stderr_text(); }
    bool wait_for_stderr(const std::string& text)
    {
        return xh::wait_until([&] { return stderr_text().find(text) != std::string::npos; }, xh::patience);
    }

    bool ended() const { return !xh::still_running(child); }
    // Whether feedview stays running for `time`; it holds or stays live meanwhile.
    bool keeps_running(std::chrono::milliseconds time)
    {
        return !xh::wait_until([&] { return ended(); }, time);
    }
    // In Live only a key reported by the 10 ms poll ends the loop; one that arrives during the
    // 100 ms pause ends the pause and is discarded. A second key 5 ms after the first lands in the
    // poll that follows, as a quick double press would.
    int end_live_with_keys(const std::string& keysym = "space")
    {
        // Each try lands in the poll more often than not; a slow machine gets many tries.
        const auto deadline = steady::now() + 3 * xh::patience;
        while (!ended() && steady::now() < deadline) {
            xh::key(window, keysym);
            std::this_thread::sleep_for(5ms);
            xh::key(window, keysym);
            xh::wait_until([&] { return ended(); }, 300ms);
        }
        return xh::wait_exit(child, xh::patience);
    }
    // In Holding any key ends the program.
    int end_with_a_key(const std::string& keysym = "space")
    {
        return xh::end_with_key(child, window, keysym);
    }

    // The picture moves on, one frame per pass and no faster than a pass takes: feedview's dequeues,
    // as the emulated camera logs them, come on average no sooner than a pass's 110 ms of waits
    // (less the 5% by which Qt's coarse timers may fire early), where a viewer that kept up with the
    // camera's 30 frames a second would take 33 ms. Nor much slower. The screen need only show the
    // picture moving on, however long reading it takes.
    void expect_live_about_nine_a_second(const std::string& age_log)
    {
        const int first = wait_for_number([](int) { return true; });
        ASSERT_GE(first, 0) << "\"result\" never showed the camera's picture; " << errors();
        const int skipped = lines_in(age_log);
        // Twenty passes take 2.2 s on a quiet machine, several times that on a loaded one.
        ASSERT_TRUE(xh::wait_until([&] { return lines_in(age_log) >= skipped + 21; }, 3 * xh::patience))
            << "feedview took no new frames; " << errors();
        EXPECT_GT(wait_for_number([&](int n) { return n > first; }), first)
            << "the picture did not move on; " << errors();
        const picture_ages ages = read_ages(age_log, skipped);
        EXPECT_GE(ages.mean_pass_ms, 0.95 * shortest_pass_ms) << "over " << ages.pictures << " pictures";
        EXPECT_LE(ages.mean_pass_ms, slowest_mean_pass_ms) << "over " << ages.pictures << " pictures";
    }

    xh::child_process child;
    xh::window_id window = 0;
    cv::Point origin{-1, -1};
    cv::Size shown_size = picture_size; // the camera's picture, as the library chose its size
    bool grey_camera = false;           // a monochrome camera: its picture is found by brightness
};

// Only the camera asked for exists, so a live picture shows that the right one was opened. Each
// case ends on another key: a Latin-1 one (which Qt reports with a negative code) is a key too.
TEST_F(FeedviewCamera, ShowsTheChosenCameraLiveAboutNineTimesASecondInBothFormats)
{
    struct live_case {
        std::vector<std::string> args;
        std::vector<std::string> settings;
        std::string key;
    };
    const std::vector<live_case> cases{
        {{}, {"FAKECAM_DEVICES=1"}, "adiaeresis"},
        {{"7"}, {"FAKECAM_DEVICES=7", "FAKECAM_FORMAT=MJPG"}, "sterling"},
        {{"12"}, {"FAKECAM_DEVICES=1", "FAKECAM_FORMAT=MJPG"}, "space"},
        {{}, {"FAKECAM_DEVICES=1", "FAKECAM_MIN_BUFFERS=2"}, "eacute"}, // grants more than asked
        // Its frames are whole, though none ends with the JPEG end-of-image marker.
        {{}, {"FAKECAM_FORMAT=MJPG", "FAKECAM_END_MARKER=0"}, "a"},
    };
    for (const auto& [args, settings, key] : cases) {
        SCOPED_TRACE(settings.back() + (args.empty() ? "" : ", argument " + args[0]) + ", key " + key);
        const std::string log = xh::unique_temp_path("ages");
        const std::string trace = xh::unique_temp_path("trace");
        std::vector<std::string> logged = settings;
        logged.push_back("FAKECAM_AGE_LOG=" + log);
        logged.push_back("FAKECAM_TRACE=" + trace);
        start(args, logged);
        expect_live_about_nine_a_second(log);
        EXPECT_EQ(end_live_with_keys(key), 0) << errors();
        EXPECT_EQ(stderr_text(), "");
        // The dequeues happen while feedview points its standard error elsewhere.
        EXPECT_NE(xh::read_file(trace).find(" VIDIOC_DQBUF -> 0\n"), std::string::npos)
            << "no dequeue traced";
    }
}

// Every pixel format a camera may offer is shown in its true colours, whichever ones the library
// release converts wrongly: the bars read back from the screen are the colours they stand for, a
// monochrome camera's their brightness. With several formats and sizes, the library takes the
// first format of its own order that the camera offers, at the size nearest its 640x480.
TEST_F(FeedviewCamera, ShowsEveryPixelFormatInItsTrueColours)
{
    // Display and chroma subsampling shift a bar's mean colour by a few levels; a swap of red and
    // blue moves one by 191.
    constexpr double colour_tolerance = 24;
    const std::vector<std::tuple<std::string, std::string, cv::Size>> cases{
        {"YUYV", "320x240", {320, 240}},
        {"UYVY", "320x240", {320, 240}},
        {"MJPG", "320x240", {320, 240}},
        {"NV12", "320x240", {320, 240}},
        {"NV21", "320x240", {320, 240}},
        {"YU12", "320x240", {320, 240}},
        {"YV12", "320x240", {320, 240}},
        {"GREY", "320x240", {320, 240}},
        {"MJPG,NV12", "320x240,1280x960", {320, 240}},              // NV12 it is
        {"GREY,YUYV,MJPG", "1280x720,640x480,160x120", {640, 480}}, // YUYV it is
    };
    for (const auto& [formats, sizes, size] : cases) {
        SCOPED_TRACE(formats + " at " + sizes);
        shown_size = size;
        grey_camera = formats == "GREY";
        start({}, {"FAKECAM_FORMAT=" + formats, "FAKECAM_SIZE=" + sizes});
        ASSERT_GE(wait_for_number([](int) { return true; }), 0)
            << "no picture with the camera's bars in their colours (or brightness) appeared; " << errors();
        const std::vector<cv::Vec3d> bars = fakecam::read_bar_colours(xh::capture(window), origin, size);
        const std::vector<cv::Vec3d> truth = fakecam::true_bar_colours();
        for (std::size_t i = 0; i < truth.size(); ++i) {
            // BT.601 brightness, as a monochrome sensor sees the colour.
            const double level = 0.114 * truth[i][0] + 0.587 * truth[i][1] + 0.299 * truth[i][2];
            const cv::Vec3d wanted = grey_camera ? cv::Vec3d(level, level, level) : truth[i];
            EXPECT_LE(cv::norm(bars[i] - wanted, cv::NORM_INF), colour_tolerance)
                << "bar " << i << " shows " << bars[i] << " where it stands for " << wanted;
        }
        EXPECT_EQ(end_live_with_keys(), 0) << errors();
        EXPECT_EQ(stderr_text(), "");
    }
}

// feedview takes the newest frame it can: with one buffer, the frame that filled it after the last
// pass. With the library's default of 4 buffers each picture would be about 4 passes old. (A
// camera slower than a pass has each frame taken as it comes, however many buffers there are.)
TEST_F(FeedviewCamera, EachPictureIsAtMostOnePassAndOneFrameOld)
{
    const std::vector<std::pair<int, std::string>> cases{{30, "YUYV"}, {30, "MJPG"}, {60, "YUYV"}};
    for (const auto& [fps, format] : cases) {
        SCOPED_TRACE(std::to_string(fps) + " fps " + format);
        const std::string log = xh::unique_temp_path("ages");
        start({},
              {"FAKECAM_FPS=" + std::to_string(fps), "FAKECAM_FORMAT=" + format, "FAKECAM_AGE_LOG=" + log});
        // The first frames include the camera's start; 20 passes after them.
        const int skipped = 4;
        EXPECT_TRUE(xh::wait_until([&] { return lines_in(log) >= skipped + 20; }, 3 * xh::patience))
            << errors();
        EXPECT_EQ(end_live_with_keys(), 0) << errors();
        const picture_ages ages = read_ages(log, skipped);
        ASSERT_GE(ages.pictures, 20);
        EXPECT_LE(ages.mean_age_ms, ages.mean_pass_ms + 1000.0 / fps)
            << "pass " << ages.mean_pass_ms << " ms over " << ages.pictures << " pictures";
    }
}

// A camera that does not open holds an empty window with one line that says why, until a key.
// Where the node is not a camera, the line names the capture devices there are by their card
// names, as the emulated camera is told to give them. The emulator hides every node it is not told
// of, so a real camera on the test machine never shows up.
TEST_F(FeedviewCamera, UnopenedCameraHoldsAnEmptyWindowWithALineThatSaysWhy)
{
    struct fault_case {
        std::vector<std::string> args;
        std::vector<std::string> settings;
        std::vector<std::string> said; // in this order, after the camera and its node
    };
    const std::vector<fault_case> cases{
        {{"0"},
         {"FAKECAM_DEVICES=9", "FAKECAM_CARD_9=USB Camera"},
         {"no such device", "/dev/video9 \"USB Camera\" (feedview 9)"}},
        // A laptop's built-in camera and its metadata node beside it, both of one name.
        {{},
         {"FAKECAM_DEVICES=0", "FAKECAM_META=1", "FAKECAM_CARD_0=Integrated Camera",
          "FAKECAM_CARD_1=Integrated Camera"},
         {"a metadata node", "carries no pictures", "/dev/video0 \"Integrated Camera\" (feedview 0)"}},
        {{"2"}, {"FAKECAM_BUSY=2"}, {"in use by another program"}},
        {{"3"}, {"FAKECAM_DENIED=3"}, {"permission denied", "the group 'video'"}},
        // A negative index asks the library for the first camera it finds among /dev/video0 to 7,
        // so only camera 9 exists here; such an index names no device.
        {{""}, {"FAKECAM_DEVICES=9"}, {}},
    };
    for (const auto& [args, settings, said] : cases) {
        SCOPED_TRACE(settings.back() + (args.empty() ? "" : ", argument '" + args[0] + "'"));
        start(args, settings);
        EXPECT_TRUE(keeps_running(1500ms)) << "feedview did not hold the window";
        EXPECT_EQ(fakecam::locate_picture(xh::capture(window), picture_size), cv::Point(-1, -1))
            << "an unopened camera showed a picture";
        EXPECT_EQ(end_with_a_key(), 0) << errors();
        const std::string line = stderr_text();
        const std::string camera = args.empty() ? "1" : args[0];
        const std::string named =
            camera.empty() ? "camera -48" : "camera " + camera + " (/dev/video" + camera + ")";
        EXPECT_EQ(line.find("feedview: cannot open " + named + (said.empty() ? ";" : ": ")), 0u) << line;
        std::size_t at = 0;
        for (const std::string& part : said) {
            at = line.find(part, at);
            EXPECT_NE(at, std::string::npos) << "no \"" << part << "\" in order in " << line;
        }
        EXPECT_EQ(line.find('\n'), line.size() - 1) << "not one line: " << line;
        const std::string end = "; press a key to quit\n";
        EXPECT_EQ(line.rfind(end), line.size() - end.size()) << line;
    }
}

// Damaged, empty and cut-short Motion JPEG frames, and a pause shorter than feedview's limit,
// while the camera goes on delivering: the live view goes on and no bad frame is ever shown. At 8
// frames a second, slower than a pass, feedview takes every frame as it comes, so a bad frame it
// showed would stay on screen for a pass; a cut one would read as its number there.
TEST_F(FeedviewCamera, LiveViewGoesOnOverBadFramesAndAShortStall)
{
    const std::set<int> bad{1, 3, 4, 6, 7, 8, 10, 11, 12, 15, 16, 20};
    start({}, {"FAKECAM_FORMAT=MJPG", "FAKECAM_FPS=8", "FAKECAM_EMPTY=1,15-16", "FAKECAM_DAMAGED=6-8,12",
               "FAKECAM_CUT=3-4,10-11,20", "FAKECAM_STALL=18:1500"});
    std::set<int> seen;
    const int reached = wait_for_number(
        [&](int n) {
            seen.insert(n);
            return n >= 24;
        },
        3 * xh::patience);
    EXPECT_GE(reached, 24) << "the live view did not go on; " << errors();
    for (int n : bad)
        EXPECT_EQ(seen.count(n), 0u) << "bad frame " << n << " was shown";
    EXPECT_EQ(end_live_with_keys(), 0) << errors();
    EXPECT_EQ(stderr_text(), "") << "a line from feedview or a library";
}

// A camera that goes on sending frames none of which decodes, or that sends nothing at all, has
// stopped as far as the viewer can tell: after 3 s it holds the last good picture with one line.
TEST_F(FeedviewCamera, CameraWithoutDecodablePicturesOrFramesGoesToHoldingWithOneLine)
{
    // Each ends on another key, Latin-1 keys among them.
    const std::vector<std::tuple<std::string, std::string, std::string>> cases{
        {"FAKECAM_DAMAGED=8-", "(none of its frames decoded for 3 s)", "eacute"},
        {"FAKECAM_EMPTY=8-", "(none of its frames decoded for 3 s)", "sterling"},
        {"FAKECAM_CUT=8-", "(none of its frames decoded for 3 s)", "a"},
        {"FAKECAM_STALL=8:600000", "(nothing came for 3 s)", "adiaeresis"},
    };
    for (const auto& [setting, why, key] : cases) {
        SCOPED_TRACE(setting + ", key " + key);
        start({}, {"FAKECAM_FORMAT=MJPG", setting});
        ASSERT_EQ(wait_for_number([](int n) { return n == 7; }), 7) << errors();
        const std::string line = "feedview: the camera stopped delivering pictures " + why
                                 + "; the last one stays until a key is pressed\n";
        EXPECT_TRUE(wait_for_stderr(line)) << errors();
        EXPECT_EQ(stderr_text(), line);
        EXPECT_EQ(shown_number(), 7) << "the last good picture did not stay";
        EXPECT_FALSE(ended()) << "feedview did not hold the window";
        EXPECT_EQ(end_with_a_key(key), 0) << errors();
    }
}

// While a frame is late the window still takes a key or a close within a bound, long before
// feedview would give up on the camera.
TEST_F(FeedviewCamera, StalledCameraLeavesTheWindowAnsweringKeysAndCloses)
{
    for (const bool by_key : {true, false}) {
        SCOPED_TRACE(by_key ? "key" : "close");
        start({}, {"FAKECAM_STALL=8:600000"});
        ASSERT_EQ(wait_for_number([](int n) { return n == 7; }), 7) << errors();
        // Asked again at each look, since the pause that followed the last picture swallows keys;
        // the bound counts from the first ask. The window goes as soon as the viewer takes the key
        // or the close; the process may need longer to end (a sanitizer build checks for leaks).
        const auto asked = steady::now();
        EXPECT_TRUE(xh::wait_until(
            [&] {
                const bool answered = !xh::window_exists(title) || ended();
                if (!answered && by_key)
                    xh::key(window, "space");
                else if (!answered)
                    xh::request_close(window);
                return answered;
            },
            xh::patience));
        EXPECT_LT(ms_since(asked), answer_bound_ms) << "the window did not answer in time";
        EXPECT_EQ(xh::wait_exit(child, xh::patience), 0) << errors();
        EXPECT_EQ(stderr_text(), "") << "it ended by giving up on the camera, not by the user";
    }
}

TEST_F(FeedviewCamera, UnpluggedCameraLeavesItsLastPictureWithOneLineUntilAKey)
{
    start({}, {"FAKECAM_STOP_AFTER=" + std::to_string(stop_after)});
    const int last = stop_after - 1;
    EXPECT_EQ(wait_for_number([&](int n) { return n == last; }), last);
    EXPECT_TRUE(wait_for_stderr(stopped_line)) << errors();
    EXPECT_TRUE(keeps_running(1s)) << "feedview did not hold the window";
    EXPECT_EQ(wait_for_number([](int) { return true; }), last) << "the last picture did not stay";
    EXPECT_EQ(end_with_a_key(), 0) << errors();
    EXPECT_EQ(stderr_text(), stopped_line);
}

TEST_F(FeedviewCamera, CameraThatDeliversNoPictureHoldsAnEmptyWindowWithOneLine)
{
    // OpenCV drops the first frame, so a camera that stops after one delivers nothing.
    start({}, {"FAKECAM_STOP_AFTER=1"});
    const std::string line = "feedview: the camera delivered no picture; press a key to quit\n";
    EXPECT_TRUE(wait_for_stderr(line)) << errors();
    EXPECT_TRUE(keeps_running(1s)) << "feedview did not hold the window";
    EXPECT_EQ(fakecam::locate_picture(xh::capture(window), picture_size), cv::Point(-1, -1));
    EXPECT_EQ(end_with_a_key(), 0) << errors();
    EXPECT_EQ(stderr_text(), line);
}

// A key that comes during the 100 ms pause after a picture is taken by the pause and ignored. The
// moment comes from feedview itself, not from the screen: a preloaded library (pass_log.cpp) holds
// it right after its fifth picture until the key has been sent, so the key is waiting when the pause
// begins, however slowly the machine reads the screen or delivers input. The library writes down
// every picture and key wait: the pause must return the key, the poll after it none, and the
// pictures go on. A viewer that let a key in the pause end it, or that did not pause, ends here.
TEST_F(FeedviewCamera, KeyInThePauseAfterAPictureIsSwallowed)
{
    const std::string log = xh::unique_temp_path("passes");
    const std::string gate = xh::unique_temp_path("gate");
    ASSERT_EQ(mkfifo(gate.c_str(), 0600), 0);
    start({}, {"LD_PRELOAD=" FAKECAM_PRELOAD ":" PASS_LOG_PATH, "PASS_LOG=" + log,
               "PASS_LOG_HOLD_AFTER=" + std::to_string(held_after), "PASS_LOG_GATE=" + gate});
    ASSERT_TRUE(xh::wait_until([&] { return pass_log(log).shows >= held_after; }, xh::patience)) << errors();
    xh::key(window, "a");
    // feedview holds the gate open for reading, so this neither waits nor loses the byte.
    const int go = open(gate.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(go, 0) << "feedview is not held";
    EXPECT_EQ(write(go, "g", 1), 1);
    close(go);
    EXPECT_TRUE(
        xh::wait_until([&] { return pass_log(log).shows >= held_after + 2 || ended(); }, xh::patience))
        << errors();
    EXPECT_FALSE(ended()) << "the key in the pause ended the live view";
    const passes after = pass_log(log);
    ASSERT_GE(after.waits_after_held.size(), 2u) << xh::read_file(log);
    EXPECT_EQ(after.waits_after_held[0].first, 100) << xh::read_file(log);
    EXPECT_NE(after.waits_after_held[0].second, -1) << "the pause did not get the key\n"
                                                    << xh::read_file(log);
    EXPECT_EQ(after.waits_after_held[1], std::make_pair(10, -1)) << xh::read_file(log);
    EXPECT_EQ(end_live_with_keys(), 0) << errors();
}

TEST_F(FeedviewCamera, ClosingTheWindowEndsLiveAndHolding)
{
    const std::vector<std::pair<std::vector<std::string>, std::vector<std::string>>> cases{
        {{}, {}},                                                   // live
        {{}, {"FAKECAM_STOP_AFTER=" + std::to_string(stop_after)}}, // holding its last picture
        {{"0"}, {"FAKECAM_DEVICES=7"}},                             // holding without a camera
    };
    for (const auto& [args, settings] : cases) {
        SCOPED_TRACE(settings.empty() ? "live" : settings.back());
        start(args, settings);
        if (args.empty()) {
            ASSERT_GE(wait_for_number([](int) { return true; }), 0) << errors();
        }
        if (!settings.empty()) {
            ASSERT_TRUE(wait_for_stderr("feedview: ")) << errors();
        }
        xh::request_close(window);
        EXPECT_EQ(xh::wait_exit(child, xh::patience), 0) << errors();
    }
}

} // namespace
