#include "box_gesture.hpp"
#include "expected_outline.hpp"
#include "xharness.hpp"

#include <gtest/gtest.h>
#include <opencv2/highgui.hpp>

namespace {

namespace xh = xharness;

const cv::Vec3b red(0, 0, 255);
const cv::Vec3b black(0, 0, 0);

// Each test starts from the state rectsketch starts in, with a fresh black canvas.
class BoxGesture : public ::testing::Test {
  protected:
    void SetUp() override
    {
        box = cv::Rect(-1, -1, 0, 0);
        drawing_box = false;
        canvas = cv::Mat::zeros(200, 200, CV_8UC3);
    }

    // As the library reports them: a move carries the left button's flag while the button is held.
    void send(int event, int x, int y)
    {
        if (event == cv::EVENT_LBUTTONDOWN || event == cv::EVENT_LBUTTONUP)
            left_held = event == cv::EVENT_LBUTTONDOWN;
        my_mouse_callback(event, x, y, left_held ? cv::EVENT_FLAG_LBUTTON : 0, &canvas);
    }
    void drag(cv::Point from, cv::Point to)
    {
        send(cv::EVENT_LBUTTONDOWN, from.x, from.y);
        send(cv::EVENT_MOUSEMOVE, to.x, to.y);
        send(cv::EVENT_LBUTTONUP, to.x, to.y);
    }
    int red_pixels() const
    {
        int count = 0;
        canvas.forEach<cv::Vec3b>([&](const cv::Vec3b& p, const int*) { count += p == red; });
        return count;
    }
    bool canvas_equals(const cv::Mat& expected) const { return xh::same_pixels(canvas, expected); }

    cv::Mat canvas;
    bool left_held = false;
};

TEST_F(BoxGesture, PressStartsADragAtThePressPoint)
{
    send(cv::EVENT_LBUTTONDOWN, 50, 60);
    EXPECT_TRUE(drawing_box);
    EXPECT_EQ(box, cv::Rect(50, 60, 0, 0));
    EXPECT_EQ(red_pixels(), 0) << "nothing is stamped before the release";
}

TEST_F(BoxGesture, DragUpAndLeftIsNormalisedOnRelease)
{
    send(cv::EVENT_LBUTTONDOWN, 50, 60);
    send(cv::EVENT_MOUSEMOVE, 20, 10);
    EXPECT_EQ(box, cv::Rect(50, 60, -30, -50));
    send(cv::EVENT_LBUTTONUP, 20, 10);
    EXPECT_FALSE(drawing_box);
    EXPECT_EQ(box, cv::Rect(20, 10, 30, 50));
    EXPECT_TRUE(canvas_equals(expected_outline({20, 10}, {50, 60})));
}

TEST_F(BoxGesture, ReleaseUsesTheLastMoveNotTheReleasePoint)
{
    send(cv::EVENT_LBUTTONDOWN, 10, 10);
    send(cv::EVENT_MOUSEMOVE, 40, 40);
    send(cv::EVENT_LBUTTONUP, 80, 80);
    EXPECT_EQ(box, cv::Rect(10, 10, 30, 30));
    EXPECT_TRUE(canvas_equals(expected_outline({10, 10}, {40, 40})));
}

TEST_F(BoxGesture, ClickWithoutMoveStampsOnePixel)
{
    send(cv::EVENT_LBUTTONDOWN, 70, 90);
    send(cv::EVENT_LBUTTONUP, 70, 90);
    EXPECT_EQ(box, cv::Rect(70, 90, 0, 0));
    EXPECT_EQ(red_pixels(), 1);
    EXPECT_EQ(canvas.at<cv::Vec3b>(90, 70), red);
}

TEST_F(BoxGesture, MovesWithoutAPressChangeNothing)
{
    send(cv::EVENT_MOUSEMOVE, 30, 30);
    EXPECT_EQ(box, cv::Rect(-1, -1, 0, 0));
    drag({5, 5}, {15, 15});
    send(cv::EVENT_MOUSEMOVE, 100, 100);
    EXPECT_EQ(box, cv::Rect(5, 5, 10, 10)) << "the last rectangle stays until the next press";
}

TEST_F(BoxGesture, ReleaseWithoutPressAtStartMarksNothing)
{
    send(cv::EVENT_LBUTTONUP, 30, 30);
    EXPECT_EQ(box, cv::Rect(-1, -1, 0, 0));
    EXPECT_EQ(red_pixels(), 0);
}

TEST_F(BoxGesture, ReleaseWithoutPressStampsTheLastBoxAgain)
{
    drag({10, 20}, {30, 40});
    canvas.setTo(cv::Scalar::all(0));
    send(cv::EVENT_LBUTTONUP, 150, 150);
    EXPECT_TRUE(canvas_equals(expected_outline({10, 20}, {30, 40})));
}

TEST_F(BoxGesture, OtherButtonsNeitherStartNorEndNorDisturbADrag)
{
    for (int event : {cv::EVENT_RBUTTONDOWN, cv::EVENT_RBUTTONUP, cv::EVENT_MBUTTONDOWN, cv::EVENT_MBUTTONUP,
                      cv::EVENT_LBUTTONDBLCLK, cv::EVENT_MOUSEWHEEL})
        send(event, 40, 40);
    EXPECT_FALSE(drawing_box);
    EXPECT_EQ(box, cv::Rect(-1, -1, 0, 0));

    send(cv::EVENT_LBUTTONDOWN, 10, 10);
    send(cv::EVENT_MOUSEMOVE, 20, 30);
    send(cv::EVENT_RBUTTONDOWN, 90, 90);
    send(cv::EVENT_RBUTTONUP, 90, 90);
    EXPECT_TRUE(drawing_box);
    EXPECT_EQ(box, cv::Rect(10, 10, 10, 20));
    EXPECT_EQ(red_pixels(), 0);
}

TEST_F(BoxGesture, SecondPressDuringADragRestartsIt)
{
    send(cv::EVENT_LBUTTONDOWN, 10, 10);
    send(cv::EVENT_MOUSEMOVE, 50, 50);
    send(cv::EVENT_LBUTTONDOWN, 100, 120);
    EXPECT_TRUE(drawing_box);
    EXPECT_EQ(box, cv::Rect(100, 120, 0, 0));
}

TEST_F(BoxGesture, DragOffTheCanvasTracksRawCoordinatesAndClips)
{
    send(cv::EVENT_LBUTTONDOWN, 150, 20);
    send(cv::EVENT_MOUSEMOVE, 260, -40);
    EXPECT_EQ(box, cv::Rect(150, 20, 110, -60));
    send(cv::EVENT_LBUTTONUP, 260, -40);
    EXPECT_EQ(box, cv::Rect(150, -40, 110, 60));
    EXPECT_TRUE(canvas_equals(expected_outline({150, -40}, {260, 20})));
}

TEST_F(BoxGesture, RectanglesAccumulate)
{
    drag({10, 10}, {40, 40});
    drag({100, 100}, {150, 180});
    cv::Mat expected = expected_outline({10, 10}, {40, 40});
    cv::Mat second = expected_outline({100, 100}, {150, 180});
    cv::bitwise_or(expected, second, expected);
    EXPECT_TRUE(canvas_equals(expected));
}

TEST(DrawBox, NegativeSizePutsTheSecondCornerAboveAndLeft)
{
    cv::Mat img = cv::Mat::zeros(50, 50, CV_8UC3);
    const cv::Rect rect(30, 30, -20, -10);
    draw_box(img, rect);
    EXPECT_EQ(img.at<cv::Vec3b>(30, 30), red);
    EXPECT_EQ(img.at<cv::Vec3b>(20, 10), red);
    EXPECT_EQ(img.at<cv::Vec3b>(25, 20), black) << "an outline, not a filled rectangle";
}

TEST_F(BoxGesture, ReleaseWithoutACanvasStillEndsTheDrag)
{
    send(cv::EVENT_LBUTTONDOWN, 50, 60);
    send(cv::EVENT_MOUSEMOVE, 20, 10);
    my_mouse_callback(cv::EVENT_LBUTTONUP, 20, 10, 0, nullptr);
    EXPECT_FALSE(drawing_box);
    EXPECT_EQ(box, cv::Rect(20, 10, 30, 50));
}

// OpenCV's GTK backend reports nothing while the pointer is off the image, a release there included.
TEST_F(BoxGesture, AMoveWithTheButtonUpEndsADragWhoseReleaseWentUnreported)
{
    send(cv::EVENT_LBUTTONDOWN, 30, 40);
    send(cv::EVENT_MOUSEMOVE, 90, 120);
    my_mouse_callback(cv::EVENT_MOUSEMOVE, 60, 70, 0, &canvas);
    EXPECT_FALSE(drawing_box);
    EXPECT_EQ(box, cv::Rect(30, 40, 60, 80)) << "the pointer had left the drag where the button went up";
    EXPECT_TRUE(canvas_equals(expected_outline({30, 40}, {90, 120})));
}

TEST_F(BoxGesture, PointerReadOffTheCanvasStandsInForUnreportedEvents)
{
    follow_unreported_pointer({250, 250}, true, canvas);
    EXPECT_FALSE(drawing_box) << "no drag, nothing to follow";

    send(cv::EVENT_LBUTTONDOWN, 150, 160);
    send(cv::EVENT_MOUSEMOVE, 190, 195);
    follow_unreported_pointer({100, 100}, false, canvas);
    EXPECT_TRUE(drawing_box) << "over the canvas the library's own events tell";
    EXPECT_EQ(box, cv::Rect(150, 160, 40, 35));

    follow_unreported_pointer({260, 230}, true, canvas);
    EXPECT_TRUE(drawing_box);
    EXPECT_EQ(box, cv::Rect(150, 160, 110, 70)) << "the drag follows the pointer off the canvas";
    EXPECT_EQ(red_pixels(), 0);

    follow_unreported_pointer({-20, 240}, false, canvas);
    EXPECT_FALSE(drawing_box);
    EXPECT_EQ(box, cv::Rect(-20, 160, 170, 80)) << "released where the pointer is";
    EXPECT_TRUE(canvas_equals(expected_outline({-20, 160}, {150, 240})));
}

} // namespace
