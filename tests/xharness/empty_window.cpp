// Opens a window the way the programs do and shows nothing in it, until a key or a close: what
// the installed library draws for an empty window, for tests to compare a program's window with.
// Usage: empty_window TITLE
#include <opencv2/highgui.hpp>

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: empty_window TITLE\n");
        return 2;
    }
    cv::namedWindow(argv[1], cv::WINDOW_AUTOSIZE);
    while (cv::getWindowProperty(argv[1], cv::WND_PROP_VISIBLE) != 0)
        if (cv::waitKeyEx(50) >= 0)
            break;
    cv::destroyWindow(argv[1]);
    return 0;
}
