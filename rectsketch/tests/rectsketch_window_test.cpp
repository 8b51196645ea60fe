// The real rectsketch in a real window: X input in, screen pixels out.
#include "expected_outline.hpp"
#include "xharness.hpp"

#include <gtest/gtest.h>

#include <chrono>

namespace {

using namespace std::chrono_literals;
namespace xh = xharness;

const char* const title = "Box Example";

class RectsketchWindow : public ::testing::Test {
  protected:
    void start(const std::vector<std::string>& args = {}, const xh::standard_streams& streams = {})
    {
        std::vector<std::string> argv{RECTSKETCH_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        // A desktop session's runtime folder: without one Qt adds a complaint to standard error.
        child = xh::spawn(argv, {xh::runtime_dir_setting()}, streams);
        window = xh::find_window(title, xh::patience);
        ASSERT_NE(window, 0u) << "no window \"" << title << "\" appeared; stderr:\n"
                              << xh::read_file(child.err_path);
        const cv::Mat black = cv::Mat::zeros(200, 200, CV_8UC3);
        ASSERT_TRUE(xh::wait_until(
            [&] {
                image_in_window = xh::find_exactly(xh::capture(window), black);
                return image_in_window.x >= 0;
            },
            xh::patience))
            << "the window never showed a black 200 x 200 image";
    }
    void TearDown() override
    {
        xh::stop(child);
        xh::release_button(1); // a test that failed in a drag leaves no button held for the next
    }

    cv::Mat shown() const
    {
        const cv::Mat window_pixels = xh::capture(window);
        if (window_pixels.empty())
            return {};
        return window_pixels(cv::Rect(image_in_window, cv::Size(200, 200))).clone();
    }
    bool shows(const cv::Mat& expected) const
    {
        return xh::wait_until([&] { return xh::same_pixels(shown(), expected); }, xh::patience);
    }
    // Asked afresh each time: a window manager moves the window into its frame after it appears.
    cv::Point screen(cv::Point canvas_point) const
    {
        return xh::screen_origin(window) + image_in_window + canvas_point;
    }
    void press_at(cv::Point p)
    {
        xh::move_pointer(screen(p));
        xh::press_button(1);
    }
    // Moves in a few steps, as a hand would, so the program sees intermediate positions too.
    void move_to(cv::Point from, cv::Point to)
    {
        for (int step = 1; step <= 4; ++step)
            xh::move_pointer(screen(from + (to - from) * step / 4));
    }
    int exit_status() { return xh::wait_exit(child, xh::patience); }

    xh::child_process child;
    xh::window_id window = 0;
    cv::Point image_in_window;
};

TEST_F(RectsketchWindow, OpensABlackCanvasInBoxExample)
{
    start();
    EXPECT_TRUE(shows(cv::Mat::zeros(200, 200, CV_8UC3)));
    EXPECT_TRUE(xh::still_running(child));
}

TEST_F(RectsketchWindow, LiveOutlineFollowsThePointerAndReleaseStampsIt)
{
    start();
    press_at({30, 40});
    move_to({30, 40}, {90, 120});
    EXPECT_TRUE(shows(expected_outline({30, 40}, {90, 120})));
    move_to({90, 120}, {60, 70});
    EXPECT_TRUE(shows(expected_outline({30, 40}, {60, 70}))) << "the live outline is not stamped";
    xh::release_button(1);
    EXPECT_TRUE(shows(expected_outline({30, 40}, {60, 70})));

    press_at({120, 150});
    move_to({120, 150}, {180, 110});
    xh::release_button(1);
    cv::Mat both;
    cv::bitwise_or(expected_outline({30, 40}, {60, 70}), expected_outline({120, 110}, {180, 150}), both);
    EXPECT_TRUE(shows(both)) << "rectangles accumulate";
    // Moved only once the release has shown: under a window manager, GTK may report a move sent
    // right after a release before the release itself.
    xh::move_pointer(screen({10, 190}));
    EXPECT_TRUE(shows(both));
}

TEST_F(RectsketchWindow, DragLeavingTheCanvasIsClippedAndStampedWhereTheButtonGoesUp)
{
    start();
    press_at({150, 160});
    move_to({150, 160}, {260, 230});
    xh::release_button(1);
    const cv::Mat stamped = expected_outline({150, 160}, {260, 230});
    ASSERT_TRUE(shows(stamped));
    // With the button up, the pointer coming back over the canvas draws nothing.
    move_to({260, 230}, {60, 40});
    EXPECT_FALSE(xh::wait_until([&] { return !xh::same_pixels(shown(), stamped); }, 1s))
        << "an outline followed the pointer after the release";
}

TEST_F(RectsketchWindow, RightButtonDragChangesNothing)
{
    start();
    const int windows_before = xh::viewable_top_level_windows();
    xh::move_pointer(screen({40, 40}));
    xh::press_button(3);
    move_to({40, 40}, {120, 120});
    xh::release_button(3);
    // Whether the right button opens a context menu is the library's business (OpenCV 4.6 does, 4.10
    // does not, a desktop theme may show its own). A menu holds the keyboard, so Escape with no window
    // focused closes one and reaches nothing else; a left press outside it closes one too. Then a left
    // drag whose rectangle shows proves that the program has handled the right drag: the canvas must
    // hold that rectangle and nothing else. Repeating the same drag stamps the same pixels.
    const cv::Mat left_drag_only = expected_outline({20, 20}, {50, 50});
    EXPECT_TRUE(xh::wait_until(
        [&] {
            if (xh::viewable_top_level_windows() > windows_before)
                xh::key(0, "Escape");
            press_at({20, 20});
            move_to({20, 20}, {50, 50});
            xh::release_button(1);
            return xh::wait_until([&] { return xh::same_pixels(shown(), left_drag_only); }, 2s);
        },
        3 * xh::patience))
        << "the right drag changed the canvas, or the left button no longer draws";
    EXPECT_TRUE(
        xh::wait_until([&] { return xh::viewable_top_level_windows() == windows_before; }, xh::patience))
        << "a menu stayed open";
    EXPECT_TRUE(xh::still_running(child));
}

TEST_F(RectsketchWindow, OtherKeysAreIgnoredAndEscEnds)
{
    start({"--ignored", "argument"});
    // The whole key code is compared with 27: this one's (the keysym 0x100281b) has 27 only as its
    // low byte.
    for (const char* name : {"a", "Return", "braille_dots_1245"})
        xh::key(window, name);
    // Input is taken in order: a drag drawn after the keys shows they were taken and ignored.
    press_at({20, 30});
    move_to({20, 30}, {70, 60});
    xh::release_button(1);
    EXPECT_TRUE(shows(expected_outline({20, 30}, {70, 60}))) << "a key other than Esc ended the program";
    EXPECT_TRUE(xh::still_running(child));
    xh::key(window, "Escape");
    EXPECT_EQ(exit_status(), 0);
    EXPECT_FALSE(xh::window_exists(title));
}

// GTK adds the lock and modifier keys in effect to a key's code; Esc is Esc all the same.
TEST_F(RectsketchWindow, EscEndsWithNumLockOn)
{
    start();
    xh::key(window, "Num_Lock");
    xh::key(window, "Escape");
    const int status = exit_status();
    xh::key(0, "Num_Lock"); // off again for the tests that follow
    EXPECT_EQ(status, 0);
}

TEST_F(RectsketchWindow, ClosingTheWindowEndsTheProgramEvenInADrag)
{
    for (const bool in_a_drag : {false, true}) {
        SCOPED_TRACE(in_a_drag ? "in a drag" : "idle");
        start();
        if (in_a_drag) {
            press_at({30, 40});
            move_to({30, 40}, {90, 120});
            ASSERT_TRUE(shows(expected_outline({30, 40}, {90, 120})));
        }
        xh::request_close(window);
        EXPECT_EQ(exit_status(), 0);
        EXPECT_FALSE(xh::window_exists(title));
        EXPECT_EQ(xh::read_file(child.err_path), "") << "a line after the close";
    }
}

// Started without standard streams (by a launcher, say), it lends their numbers to nothing it opens
// later, such as its display connection, which would then get the words meant for the terminal.
TEST_F(RectsketchWindow, StartedWithoutStandardStreamsLendsTheirNumbersToNothing)
{
    start({}, {xh::closed_stream, xh::closed_stream, xh::closed_stream});
    for (const int fd : {0, 1, 2})
        EXPECT_EQ(xh::descriptor_target(child, fd), "/dev/null") << "descriptor " << fd;
    xh::key(window, "Escape");
    EXPECT_EQ(exit_status(), 0);
}

TEST(RectsketchWithoutDisplay, FailsWithOneLineAndStatus1)
{
    EXPECT_TRUE(xh::fails_without_display({RECTSKETCH_PATH}));
}

} // namespace
