#include "box_gesture.hpp"

#include <opencv2/highgui.hpp>
#include <opencv2/imgproc.hpp>

cv::Rect box(-1, -1, 0, 0);
bool drawing_box = false;

void draw_box(cv::Mat& img, cv::Rect rect)
{
    if (img.empty())
        return;
    cv::rectangle(img, cv::Point(rect.x, rect.y), cv::Point(rect.x + rect.width, rect.y + rect.height),
                  cv::Scalar(0, 0, 255), 1, 8, 0);
}

void my_mouse_callback(int event, int x, int y, int flags, void* param)
{
    switch (event) {
    case cv::EVENT_MOUSEMOVE:
        if (drawing_box && (flags & cv::EVENT_FLAG_LBUTTON) == 0) {
            // The button went up where the library reported no release (GTK reports none outside
            // the image): the drag ends as that release would have ended it.
            my_mouse_callback(cv::EVENT_LBUTTONUP, x, y, flags, param);
        } else if (drawing_box) {
            box.width = x - box.x;
            box.height = y - box.y;
        }
        break;
    case cv::EVENT_LBUTTONDOWN:
        drawing_box = true;
        box = cv::Rect(x, y, 0, 0);
        break;
    case cv::EVENT_LBUTTONUP:
        // The release position is not used: the rectangle is what the last move left in `box`.
        drawing_box = false;
        if (box.width < 0) {
            box.x += box.width;
            box.width = -box.width;
        }
        if (box.height < 0) {
            box.y += box.height;
            box.height = -box.height;
        }
        if (param != nullptr)
            draw_box(*static_cast<cv::Mat*>(param), box);
        break;
    default:
        break;
    }
}

void follow_unreported_pointer(cv::Point at, bool left_button_down, cv::Mat& canvas)
{
    if (!drawing_box || cv::Rect(0, 0, canvas.cols, canvas.rows).contains(at))
        return;
    my_mouse_callback(cv::EVENT_MOUSEMOVE, at.x, at.y, cv::EVENT_FLAG_LBUTTON, &canvas);
    if (!left_button_down)
        my_mouse_callback(cv::EVENT_LBUTTONUP, at.x, at.y, 0, &canvas);
}
