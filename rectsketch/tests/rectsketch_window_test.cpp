// The real rectsketch in a real window: X input in, screen pixels out.
#include "expected_outline.hpp"
#include "windowing.hpp"
#include "xharness.hpp"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include <chrono>
#include <cstdlib>
#include <string>

namespace {

using namespace std::chrono_literals;
namespace xh = xharness;

const char* const title = "Box Example";

bool all_black(const cv::Mat& pixels, cv::Rect line)
{
    return cv::countNonZero(pixels(line).reshape(1)) == 0;
}

// The black rectangle that holds `patch`, grown side by side while the line of pixels beyond a
// side, inside `pixels`, is black too.
cv::Rect black_area_around(const cv::Mat& pixels, cv::Rect patch)
{
    for (bool grew = true; grew;) {
        grew = false;
        const cv::Rect beyond[] = {{patch.x - 1, patch.y, 1, patch.height},
                                   {patch.br().x, patch.y, 1, patch.height},
                                   {patch.x, patch.y - 1, patch.width, 1},
                                   {patch.x, patch.br().y, patch.width, 1}};
        for (const cv::Rect& line : beyond)
            if ((line & cv::Rect(0, 0, pixels.cols, pixels.rows)) == line && all_black(pixels, line)) {
                patch |= line;
                grew = true;
            }
    }
    return patch;
}

class RectsketchWindow : public ::testing::Test {
  protected:
    // `toolkit_scale`: GTK's scale on a high-density screen (GDK_SCALE). On X each canvas pixel then
    // covers scale x scale screen pixels; a Wayland compositor shows the window at its own size on
    // an unscaled output, and only GTK's pixels count the finer buffer.
    void start(const std::vector<std::string>& args = {}, const xh::standard_streams& streams = {},
               int toolkit_scale = 1)
    {
        std::vector<std::string> argv{RECTSKETCH_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        const char* wayland = std::getenv("WAYLAND_DISPLAY");
        scale = wayland != nullptr && *wayland != '\0' ? 1 : toolkit_scale;
        std::vector<std::string> env{xh::runtime_dir_setting()};
        if (toolkit_scale != 1)
            env.push_back("GDK_SCALE=" + std::to_string(toolkit_scale));
        child = xh::spawn(argv, env, streams);
        window = xh::find_window(title, xh::patience);
        ASSERT_NE(window, 0u) << "no window \"" << title << "\" appeared; stderr:\n" << err();
        // The picture is the black patch of exactly its size: a compositor may list the window a
        // moment before it shows what the window drew, and the area then reads black throughout.
        const cv::Mat black = cv::Mat::zeros(200 * scale, 200 * scale, CV_8UC3);
        ASSERT_TRUE(xh::wait_until(
            [&] {
                const cv::Mat pixels = window_pixels();
                image_in_window = xh::find_exactly(pixels, black);
                const cv::Rect patch(image_in_window, black.size());
                return image_in_window.x >= 0 && black_area_around(pixels, patch) == patch;
            },
            xh::patience))
            << "the window never showed a black 200 x 200 image";
    }
    void TearDown() override
    {
        xh::stop(child);
        xh::release_button(1); // a test that failed in a drag leaves no button held for the next
    }

    // Scaled up, a picture may be smoothed (GTK does), so that a screen pixel mixes its canvas
    // pixel, three quarters, with a neighbour's: every canvas picture here is pure black and red, so
    // each channel is read as full or empty.
    cv::Mat window_pixels() const
    {
        cv::Mat pixels = xh::capture(window);
        if (scale != 1 && !pixels.empty())
            cv::threshold(pixels, pixels, 127, 255, cv::THRESH_BINARY);
        return pixels;
    }
    cv::Mat shown() const
    {
        const cv::Mat pixels = window_pixels();
        if (pixels.empty())
            return {};
        cv::Mat canvas_pixels;
        cv::resize(pixels(cv::Rect(image_in_window, cv::Size(200, 200) * scale)), canvas_pixels,
                   cv::Size(200, 200), 0, 0, cv::INTER_NEAREST);
        return canvas_pixels;
    }
    bool shows(const cv::Mat& expected) const
    {
        return xh::wait_until([&] { return xh::same_pixels(shown(), expected); }, xh::patience);
    }
    // Asked afresh each time: a window manager moves the window into its frame after it appears.
    cv::Point screen(cv::Point canvas_point) const
    {
        return xh::screen_origin(window) + image_in_window + canvas_point * scale;
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
    void drag_off_the_canvas_and_back(cv::Point press, cv::Point release, int toolkit_scale = 1);
    std::string err() const { return xh::read_file(child.err_path); }

    xh::child_process child;
    int scale = 1;
    xh::window_id window = 0;
    cv::Point image_in_window;
};

// Exactly 200 x 200: on Qt the toolbar, status bar and window edges bound the picture, on GTK
// the window is the picture.
TEST_F(RectsketchWindow, OpensABlackCanvasInBoxExample)
{
    start();
    EXPECT_TRUE(shows(cv::Mat::zeros(200, 200, CV_8UC3)));
    const cv::Rect canvas(image_in_window, cv::Size(200, 200));
    EXPECT_EQ(black_area_around(xh::capture(window), canvas), canvas) << "the black picture is not 200 x 200";
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

    // A release looks the same as the outline before it. What it stamped shows beside the next
    // drag's outline, a picture not seen before (input is taken in order).
    cv::Mat both;
    cv::bitwise_or(expected_outline({30, 40}, {60, 70}), expected_outline({120, 110}, {180, 150}), both);
    press_at({120, 150});
    move_to({120, 150}, {180, 110});
    EXPECT_TRUE(shows(both)) << "the release did not stamp the outline";
    xh::release_button(1);
    cv::Mat all_three;
    cv::bitwise_or(both, expected_outline({10, 190}, {40, 170}), all_three);
    press_at({10, 190});
    move_to({10, 190}, {40, 170});
    EXPECT_TRUE(shows(all_three)) << "rectangles accumulate";
    xh::release_button(1);
}

TEST_F(RectsketchWindow, DragLeavingTheCanvasIsClippedAndStampedWhereTheButtonGoesUp)
{
    drag_off_the_canvas_and_back({150, 160}, {260, 230});
}

// GTK under the scale a desktop sets on a high-density screen (GDK_SCALE): it lays the canvas out
// in its own pixels, two screen pixels each. The release lies off the canvas on one side only, so
// the bottom edge shows where the drag ended. (Qt's own scale makes its toolbar wider than the
// screen; Qt gets the same drag unscaled.)
TEST_F(RectsketchWindow, DragLeavingTheCanvasUnderAToolkitScale)
{
    drag_off_the_canvas_and_back({50, 50}, {230, 150}, windows_drawn_by_gtk() ? 2 : 1);
}

void RectsketchWindow::drag_off_the_canvas_and_back(cv::Point press, cv::Point release, int toolkit_scale)
{
    start({}, {}, toolkit_scale);
    press_at(press);
    // Held off the canvas until the outline shows there, over several passes of the program's
    // loop; then on, off the canvas still, to where the button goes up. A drag taken for ended
    // off the canvas would leave its outline at the first stop.
    const cv::Point held(release.x, (press.y + release.y) / 2);
    move_to(press, held);
    EXPECT_TRUE(shows(expected_outline(press, held))) << "the outline did not follow off the canvas";
    move_to(held, release);
    const cv::Mat stamped = expected_outline(press, release);
    EXPECT_TRUE(shows(stamped)) << "the outline stopped following with the button held off the canvas";
    xh::release_button(1);
    ASSERT_TRUE(shows(stamped));
    // With the button up, the pointer coming back over the canvas draws nothing.
    move_to(release, {60, 40});
    EXPECT_FALSE(xh::wait_until([&] { return !xh::same_pixels(shown(), stamped); }, 1s))
        << "an outline followed the pointer after the release";
    EXPECT_EQ(err(), "");
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
    EXPECT_EQ(err(), "");
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
        EXPECT_EQ(err(), "") << "the library said something about the closed window";
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
