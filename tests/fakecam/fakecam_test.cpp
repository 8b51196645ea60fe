// The emulated camera as OpenCV sees it: the probe opens it through cv::VideoCapture with the
// library preloaded and reports every grab.
#include "pattern_reader.hpp"
#include "xharness.hpp"

#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include <algorithm>
#include <chrono>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace {

using namespace std::chrono_literals;
namespace xh = xharness;

struct grab {
    bool got = false;
    int number = -1;
    long long ms = 0;
    bool same = false; // the whole picture is the expected one
};

struct probe_run {
    int status = -1;
    std::string opened; // backend and size, "V4L2 320x240"; empty when the camera did not open
    std::string fourcc; // the pixel format the library chose
    int buffers = -1;   // the buffers granted, when the probe asked for a number
    std::vector<grab> grabs;
    std::string errors;
};

probe_run run_probe(const std::string& index, const std::string& api, int grabs,
                    const std::vector<std::string>& settings, const std::string& buffers = "")
{
    std::vector<std::string> env = fakecam::emulation_environment();
    env.insert(env.end(), settings.begin(), settings.end());
    std::vector<std::string> argv{FAKECAM_PROBE_PATH, index, api, std::to_string(grabs)};
    if (!buffers.empty())
        argv.push_back(buffers);
    const xh::finished_run probe = xh::run_to_end(argv, env, 30s);
    probe_run run;
    run.status = probe.status;
    run.errors = probe.err;
    std::istringstream out(probe.out);
    for (std::string line; std::getline(out, line);) {
        std::istringstream words(line);
        std::string first, second;
        words >> first;
        grab g;
        if (first == "opened") {
            words >> first >> second;
            run.opened = first + " " + second;
        } else if (first == "fourcc") {
            words >> run.fourcc;
        } else if (first == "buffers") {
            words >> run.buffers;
        } else if (first == "frame") {
            words >> g.number >> g.ms >> g.same;
            g.got = true;
            run.grabs.push_back(g);
        } else if (first == "no") {
            words >> second >> g.ms;
            run.grabs.push_back(g);
        }
    }
    return run;
}

// Frames arrive in order, whole, and never before the sensor's tick: frame n is filled at tick n + 1
// after streaming starts, which is after the probe started.
void expect_paced_sequence(const probe_run& run, int fps)
{
    for (std::size_t i = 0; i < run.grabs.size(); ++i) {
        const grab& g = run.grabs[i];
        ASSERT_TRUE(g.got) << "grab " << i;
        EXPECT_TRUE(g.same) << "frame " << g.number << " is not the expected picture";
        EXPECT_GE(g.ms + 1, (g.number + 1) * 1000LL / fps) << "frame " << g.number << " came early";
        if (i > 0) {
            EXPECT_EQ(g.number, run.grabs[i - 1].number + 1);
        }
    }
}

TEST(Fakecam, V4l2BackendReadsConsecutiveFramesNoFasterThanTheSetRate)
{
    const probe_run run = run_probe("1", "v4l2", 12, {"FAKECAM_SIZE=160x120", "FAKECAM_FPS=20"});
    ASSERT_EQ(run.status, 0) << run.errors;
    EXPECT_EQ(run.opened, "V4L2 160x120");
    ASSERT_EQ(run.grabs.size(), 12u);
    expect_paced_sequence(run, 20);
}

// As uvcvideo on Linux 6.1 and 6.12: the count asked for; as on 6.10 and 6.11, at least 2 when told.
TEST(Fakecam, GrantsTheBuffersAskedForAndFillsEachOneInTurn)
{
    const std::vector<std::tuple<std::string, std::string, int>> cases{{"1", "FAKECAM_MIN_BUFFERS=1", 1},
                                                                       {"4", "FAKECAM_MIN_BUFFERS=1", 4},
                                                                       {"1", "FAKECAM_MIN_BUFFERS=2", 2}};
    for (const auto& [asked, setting, granted] : cases) {
        SCOPED_TRACE(asked + " asked, " + setting);
        const probe_run run = run_probe("1", "v4l2", 6, {"FAKECAM_FPS=40", setting}, asked);
        ASSERT_EQ(run.status, 0) << run.errors;
        EXPECT_EQ(run.buffers, granted);
        ASSERT_EQ(run.grabs.size(), 6u);
        expect_paced_sequence(run, 40);
    }
}

TEST(Fakecam, DefaultBackendChoiceEndsOnV4l2)
{
    // GStreamer is tried first; it gives up on a device node that does not exist on disk.
    const probe_run run = run_probe("1", "any", 5, {});
    ASSERT_EQ(run.status, 0) << run.errors;
    EXPECT_EQ(run.opened, "V4L2 320x240");
    ASSERT_EQ(run.grabs.size(), 5u);
    expect_paced_sequence(run, 30);
}

TEST(Fakecam, OnlyTheListedCamerasExist)
{
    const std::vector<std::string> settings{"FAKECAM_DEVICES=3,7"};
    for (const char* index : {"0", "1", "8"}) {
        const probe_run run = run_probe(index, "v4l2", 1, settings);
        EXPECT_EQ(run.status, 0) << run.errors;
        EXPECT_EQ(run.opened, "") << "camera " << index;
    }
    for (const char* index : {"3", "7"}) {
        const probe_run run = run_probe(index, "v4l2", 2, settings);
        EXPECT_EQ(run.status, 0) << run.errors;
        EXPECT_EQ(run.opened, "V4L2 320x240") << "camera " << index;
        EXPECT_EQ(run.grabs.size(), 2u);
    }
}

TEST(Fakecam, StopsDeliveringAfterTheSetCountAndFailsGrabsPromptly)
{
    const probe_run run = run_probe("1", "v4l2", 6, {"FAKECAM_STOP_AFTER=4", "FAKECAM_FPS=50"});
    ASSERT_EQ(run.status, 0) << run.errors;
    ASSERT_EQ(run.grabs.size(), 6u);
    // OpenCV drops the first frame after streaming starts, so frames 1 to 3 reach the program.
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(run.grabs[i].got);
        EXPECT_EQ(run.grabs[i].number, i + 1);
    }
    for (int i = 3; i < 6; ++i)
        EXPECT_FALSE(run.grabs[i].got) << "grab " << i;
    // An unplugged camera fails at once, well before OpenCV's 10 s wait for a frame would.
    EXPECT_LT(run.grabs[5].ms - run.grabs[2].ms, 2000);
}

TEST(Fakecam, MotionJpegFramesDecodeToTheirNumbersWithEmptyAndCutFramesAndAStallWhereSet)
{
    const std::string log = xh::unique_temp_path("ages");
    const probe_run run = run_probe("1", "v4l2", 6,
                                    {"FAKECAM_FORMAT=MJPG", "FAKECAM_FPS=20", "FAKECAM_EMPTY=3",
                                     "FAKECAM_CUT=2", "FAKECAM_STALL=5:1000", "FAKECAM_AGE_LOG=" + log});
    ASSERT_EQ(run.status, 0) << run.errors;
    EXPECT_EQ(run.opened, "V4L2 320x240");
    ASSERT_EQ(run.grabs.size(), 6u);
    // Frame 0 is dropped by OpenCV, frame 3 is empty, frames 0 to 4 come before the pause. Frame 2
    // is cut short: its picture is not the whole one, whatever the library makes of it.
    const int numbers[] = {1, 2, -1, 4, 5, 6};
    for (int i = 0; i < 6; ++i) {
        SCOPED_TRACE("grab " + std::to_string(i));
        if (numbers[i] == 2) {
            EXPECT_FALSE(run.grabs[i].same);
            continue;
        }
        EXPECT_EQ(run.grabs[i].got, numbers[i] >= 0);
        EXPECT_EQ(run.grabs[i].number, numbers[i]);
    }
    // The cut frame's buffer alone comes flagged, as uvcvideo flags a frame that lost data.
    const std::vector<fakecam::dequeued_buffer> taken = fakecam::read_age_log(log);
    ASSERT_GE(taken.size(), 7u);
    for (const fakecam::dequeued_buffer& b : taken)
        EXPECT_EQ((b.flags & V4L2_BUF_FLAG_ERROR) != 0, b.sequence == 2) << "frame " << b.sequence;
    // At 20 frames a second the grabs are 50 ms apart; the 1 s pause counts from when frame 4 was
    // due, which a loaded machine may grab late.
    EXPECT_GE(run.grabs[4].ms - run.grabs[3].ms, 500) << "no pause after five frames";
}

// Every format, alone or among others, and sizes, as the library picks from a driver: the first
// format of its own order that the camera offers, at the offered size nearest its 640x480. The
// picture's frame numbers read back in each.
TEST(Fakecam, OffersEachFormatAndSizeAndTheLibraryPicksOneAsFromUvcvideo)
{
    const std::vector<std::tuple<std::string, std::string, std::string, std::string>> cases{
        {"UYVY", "320x240", "UYVY", "320x240"},
        {"MJPG", "320x240", "MJPG", "320x240"},
        {"NV12", "320x240", "NV12", "320x240"},
        {"NV21", "320x240", "NV21", "320x240"},
        {"YU12", "320x240", "YU12", "320x240"},
        {"YV12", "320x240", "YV12", "320x240"},
        {"GREY", "320x240", "GREY", "320x240"}, // handed out in three channels
        {"MJPG,NV12", "320x240,1280x960", "NV12", "320x240"},
        {"GREY,YUYV,MJPG", "1280x720,640x480,160x120", "YUYV", "640x480"},
    };
    for (const auto& [formats, sizes, fourcc, size] : cases) {
        SCOPED_TRACE(formats + " at " + sizes);
        const probe_run run =
            run_probe("1", "v4l2", 3, {"FAKECAM_FORMAT=" + formats, "FAKECAM_SIZE=" + sizes});
        ASSERT_EQ(run.status, 0) << run.errors;
        EXPECT_EQ(run.opened, "V4L2 " + size);
        EXPECT_EQ(run.fourcc, fourcc);
        ASSERT_EQ(run.grabs.size(), 3u);
        for (std::size_t i = 0; i < run.grabs.size(); ++i)
            EXPECT_EQ(run.grabs[i].number, static_cast<int>(i) + 1) << "grab " << i;
    }
}

// One case a setting: each starts a probe that loads OpenCV, which a loaded machine makes slow.
class MalformedSetting : public testing::TestWithParam<std::string> {};

TEST_P(MalformedSetting, EndsTheProcessWithOneLine)
{
    const std::string& setting = GetParam();
    const probe_run run = run_probe("1", "v4l2", 1, {setting});
    EXPECT_EQ(run.status, 2) << setting;
    const std::string name = setting.substr(0, setting.find('='));
    EXPECT_EQ(run.errors.find("fakecam: " + name), 0u) << setting << ": " << run.errors;
    EXPECT_EQ(std::count(run.errors.begin(), run.errors.end(), '\n'), 1) << setting << ": " << run.errors;
    EXPECT_TRUE(run.grabs.empty());
}

INSTANTIATE_TEST_SUITE_P(Fakecam, MalformedSetting,
                         testing::ValuesIn(std::vector<std::string>{
                             "FAKECAM_DEVICES=video1", "FAKECAM_DEVICES=64",
                             "FAKECAM_DEVICES=1x",     "FAKECAM_SIZE=100x100",
                             "FAKECAM_SIZE=320",       "FAKECAM_FPS=0",
                             "FAKECAM_FPS=30fps",      "FAKECAM_STOP_AFTER=-1",
                             "FAKECAM_SIZE=320x240x",  "FAKECAM_FORMAT=RGB3",
                             "FAKECAM_DAMAGED=5-3",    "FAKECAM_EMPTY=1,,2",
                             "FAKECAM_CUT=x",          "FAKECAM_STALL=5",
                             "FAKECAM_STALL=5:0",      "FAKECAM_MIN_BUFFERS=0",
                             "FAKECAM_MIN_BUFFERS=33", "FAKECAM_AGE_LOG=/nonexistent/ages",
                             "FAKECAM_END_MARKER=no",  "FAKECAM_META=64",
                             "FAKECAM_BUSY=2x",        "FAKECAM_DENIED=a",
                             "FAKECAM_TRACE=yes",      "FAKECAM_TRACE=/nonexistent/trace",
                             "FAKECAM_FORMAT=YUYV,",   "FAKECAM_SIZE=320x240,100x100"}));

} // namespace
