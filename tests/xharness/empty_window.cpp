// Opens a window the way the programs do and shows nothing in it, until a key or a close: what
// the installed library draws for an empty window, for tests to compare a program's window with.
// Says first on standard output which toolkit draws it, "gtk" or "qt".
// Usage: empty_window TITLE
#include "windowing.hpp"

#include <opencv2/highgui.hpp>

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: empty_window TITLE\n");
        return 2;
    }
    // Where the programs would draw: on Wayland, with no X display, Qt is sent there as they send it.
    if (!display_reachable("empty_window"))
        return 1;
    std::printf("%s\n", windows_drawn_by_gtk() ? "gtk" : "qt");
    std::fflush(stdout);
    cv::namedWindow(argv[1], cv::WINDOW_AUTOSIZE);
    while (window_is_open(argv[1]))
        if (cv::waitKeyEx(50) >= 0)
            break;
    close_window(argv[1]);
    return 0;
}
