// The real feedview in a real window, on a machine with no camera: it holds an empty "result"
// window until a key or a close, whatever the argument.
#include "xharness.hpp"

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>

namespace {

using namespace std::chrono_literals;
namespace xh = xharness;

const char* const title = "result";

// The first /dev/videoN on this machine, or "" when there is none.
std::string first_camera_device()
{
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/dev", error))
        if (entry.path().filename().string().rfind("video", 0) == 0)
            return entry.path().string();
    return "";
}

class FeedviewWithoutCamera : public ::testing::Test {
  protected:
    void SetUp() override
    {
        // Every case must fail to open its camera: the arguments name cameras 1, 7 and 72, and the
        // negative ones make the library take the first camera it finds, so no /dev/video* may exist.
        const std::string camera = first_camera_device();
        if (!camera.empty()) {
            // CI's machine has no camera; there a test that cannot run is a failure, not a skip.
            if (std::getenv("CI") != nullptr && std::string(std::getenv("CI")) == "true")
                FAIL() << camera << " exists: these tests need a machine without cameras";
            GTEST_SKIP() << camera << " exists: these tests need a machine without cameras";
        }
    }
    void TearDown() override { xh::stop(child); }

    void start(const std::vector<std::string>& args, const xh::standard_streams& streams = {})
    {
        std::vector<std::string> argv{FEEDVIEW_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        if (empty_look.empty()) // taken first, so that no other window covers it
            empty_look = xh::empty_window_pixels({xh::runtime_dir_setting()}, xh::patience);
        child = xh::spawn(argv, {xh::runtime_dir_setting()}, streams);
        window = xh::find_window(title, xh::patience);
        ASSERT_NE(window, 0u) << "no window \"" << title << "\" appeared; stderr:\n"
                              << xh::read_file(child.err_path);
    }
    // Waits until the window looks exactly as the library's own window with nothing shown in it
    // (frame, toolbar and empty picture area differ between OpenCV versions; no picture is ours).
    bool settled_empty()
    {
        if (empty_look.empty())
            return false;
        return xh::wait_until([&] { return xh::same_pixels(xh::capture(window), empty_look); }, xh::patience);
    }
    void expect_empty_and_holding()
    {
        ASSERT_TRUE(settled_empty()) << "the window never showed an empty picture area";
        const cv::Mat before = xh::capture(window);
        EXPECT_FALSE(xh::wait_until([&] { return !xh::still_running(child); }, 1s)) << "it did not hold";
        const cv::Mat after = xh::capture(window);
        EXPECT_TRUE(xh::same_pixels(before, after)) << "the window changed while holding";
    }
    // One line of feedview's own on standard error, naming the camera, and none of the library's.
    void expect_one_line_about(const std::string& camera)
    {
        const std::string err = xh::read_file(child.err_path);
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        const std::string start = "feedview: cannot open " + camera;
        EXPECT_TRUE(err.rfind(start, 0) == 0 && !std::isdigit(static_cast<unsigned char>(err[start.size()])))
            << err;
    }
    int exit_status() { return xh::wait_exit(child, xh::patience); }
    int end_with_key(const std::string& keysym) { return xh::end_with_key(child, window, keysym); }

    cv::Mat empty_look;
    xh::child_process child;
    xh::window_id window = 0;
};

TEST_F(FeedviewWithoutCamera, NoArgumentHoldsAnEmptyWindowUntilAKey)
{
    start({});
    expect_empty_and_holding();
    EXPECT_EQ(end_with_key("a"), 0);
    EXPECT_FALSE(xh::window_exists(title));
    expect_one_line_about("camera 1");
}

TEST_F(FeedviewWithoutCamera, EveryArgumentEndsTheSameWay)
{
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{"7"}, "camera 7"},      {{"x"}, "camera 72"},          {{""}, "camera -48"},
        {{"3", "4"}, "camera 1"}, {{"\xc3\xa9"}, "camera -109"},
    };
    for (const auto& [args, camera] : cases) {
        SCOPED_TRACE(camera);
        start(args);
        ASSERT_TRUE(settled_empty());
        EXPECT_TRUE(xh::still_running(child));
        EXPECT_EQ(end_with_key("Escape"), 0);
        EXPECT_FALSE(xh::window_exists(title));
        expect_one_line_about(camera);
    }
}

TEST_F(FeedviewWithoutCamera, ClosingTheWindowWhileHoldingEndsWithStatus0)
{
    start({"0"});
    expect_empty_and_holding();
    xh::request_close(window);
    EXPECT_EQ(exit_status(), 0);
    EXPECT_FALSE(xh::window_exists(title));
}

// Without standard error its line about the camera goes nowhere, not into the display connection,
// which would otherwise take the free number.
TEST_F(FeedviewWithoutCamera, StartedWithoutStandardErrorLendsItsNumberToNothing)
{
    start({"7"}, {xh::default_stream, xh::default_stream, xh::closed_stream});
    ASSERT_TRUE(settled_empty());
    EXPECT_EQ(xh::descriptor_target(child, 2), "/dev/null");
    EXPECT_EQ(end_with_key("a"), 0);
}

TEST(FeedviewWithoutDisplay, FailsWithOneLineAndStatus1)
{
    EXPECT_TRUE(xh::fails_without_display({FEEDVIEW_PATH}));
}

} // namespace
