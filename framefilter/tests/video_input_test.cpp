// framefilter's input side in-process: path checks, reader choice, quiet reads, per-frame filtering.
#include "literal_filter.hpp"
#include "test_videos.hpp"
#include "video_input.hpp"
#include "xharness.hpp"

#include <gtest/gtest.h>
#include <opencv2/videoio.hpp>

#include <fcntl.h>
#include <fstream>
#include <unistd.h>

namespace {

namespace tv = test_videos;
namespace xh = xharness;

class VideoInput : public tv::in_temp_dir<> {};

TEST_F(VideoInput, PathProblemsAreFoundBeforeDecoding)
{
    EXPECT_EQ(path_problem(dir + "/missing.avi"), "No such file or directory");
    EXPECT_EQ(path_problem(dir), "it is a directory");
    xh::write_bytes(dir + "/empty.avi", "");
    EXPECT_EQ(path_problem(dir + "/empty.avi"), "the file is empty");
    xh::write_bytes(dir + "/some.avi", "x");
    EXPECT_EQ(path_problem(dir + "/some.avi"), "");
    // Patterns and URLs name no single file; the readers judge them.
    EXPECT_EQ(path_problem(dir + "/f%03d.png"), "");
    EXPECT_EQ(path_problem("rtsp://camera.invalid/stream"), "");
}

TEST(ReaderChoice, ImageSequencePatterns)
{
    EXPECT_TRUE(names_image_sequence("frames/f%d.png"));
    EXPECT_TRUE(names_image_sequence("img%04d.jpg"));
    EXPECT_FALSE(names_image_sequence("clip.avi"));
    EXPECT_FALSE(names_image_sequence("100%.avi"));
    EXPECT_FALSE(names_image_sequence("50%s.avi"));
    EXPECT_EQ(reader_order("frames/f%d.png", ""), (std::vector<int>{cv::CAP_IMAGES, cv::CAP_FFMPEG}));
    EXPECT_EQ(reader_order("clip.avi", "not a RIFF header"), (std::vector<int>{cv::CAP_FFMPEG}));
}

TEST_F(VideoInput, MotionJpegAvisAreToldApartByTheirHeader)
{
    const std::vector<cv::Mat> frames = tv::distinct_frames(3, {64, 48});
    const std::string mjpeg = dir + "/mjpeg.avi";
    cv::VideoWriter writer(mjpeg, cv::CAP_OPENCV_MJPEG, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 25,
                           {64, 48});
    ASSERT_TRUE(writer.isOpened());
    for (const cv::Mat& frame : frames)
        writer.write(frame);
    writer.release();
    ASSERT_TRUE(tv::write_ffv1_avi(dir + "/ffv1.avi", frames));

    const std::string head = file_head(mjpeg, 64 * 1024);
    EXPECT_TRUE(is_mjpeg_avi(head));
    EXPECT_EQ(reader_order(mjpeg, head), (std::vector<int>{cv::CAP_OPENCV_MJPEG, cv::CAP_FFMPEG}));
    EXPECT_FALSE(is_mjpeg_avi(file_head(dir + "/ffv1.avi", 64 * 1024)));
    EXPECT_FALSE(is_mjpeg_avi(head.substr(0, 100))) << "a header cut short is not trusted";
    std::string not_avi = head;
    not_avi.replace(8, 4, "WAVE");
    EXPECT_FALSE(is_mjpeg_avi(not_avi));
}

TEST_F(VideoInput, ImageSequenceFramesKeepTheirOwnSizes)
{
    std::vector<cv::Mat> frames = tv::distinct_frames(3, {720, 120});
    for (const cv::Mat& frame : tv::distinct_frames(3, {320, 240}))
        frames.push_back(frame);
    ASSERT_TRUE(tv::write_image_sequence(dir + "/f%d.png", frames));

    cv::VideoCapture capture;
    cv::Mat frame;
    ASSERT_TRUE(open_video(dir + "/f%d.png", capture, frame));
    std::vector<cv::Size> sizes{frame.size()};
    while (read_frame(capture, frame))
        sizes.push_back(frame.size());
    close_video(capture);
    EXPECT_EQ(sizes, (std::vector<cv::Size>{
                         {720, 120}, {720, 120}, {720, 120}, {320, 240}, {320, 240}, {320, 240}}));
}

TEST_F(VideoInput, TrailCameraMotionJpegIsReadToTheEnd)
{
    const std::string path = dir + "/trail.avi";
    ASSERT_TRUE(tv::write_trail_camera_avi(dir, path, {1280, 720}, 12)) << "needs the ffmpeg tool";
    cv::VideoCapture capture;
    cv::Mat frame;
    ASSERT_TRUE(open_video(path, capture, frame));
    int count = 1;
    while (read_frame(capture, frame)) {
        EXPECT_EQ(frame.size(), cv::Size(1280, 720));
        ++count;
    }
    close_video(capture);
    EXPECT_EQ(count, 13);
}

TEST_F(VideoInput, ReadersStayQuietOnStandardError)
{
    xh::write_bytes(dir + "/text.avi", "not a video\n");
    ASSERT_TRUE(tv::ffmpeg("-f lavfi -i testsrc2=size=160x120:rate=25 -frames:v 12 -c:v libx264 " + dir
                           + "/clip.mp4"));
    tv::write_prefix(dir + "/clip.mp4", dir + "/cut.mp4", xh::file_size(dir + "/clip.mp4") / 2);

    const std::string captured = dir + "/stderr.txt";
    const int saved = dup(2);
    const int file = open(captured.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(file, 2);
    close(file);
    cv::VideoCapture capture;
    cv::Mat frame;
    const bool opened_text = open_video(dir + "/text.avi", capture, frame);
    const bool opened_cut = open_video(dir + "/cut.mp4", capture, frame);
    const bool opened_missing_sequence = open_video(dir + "/none%d.png", capture, frame);
    dup2(saved, 2);
    close(saved);

    EXPECT_FALSE(opened_text);
    EXPECT_FALSE(opened_cut);
    EXPECT_FALSE(opened_missing_sequence);
    EXPECT_EQ(xh::read_file(captured), "");
}

TEST(FilterShownFrame, FiltersEachFrameWithItsOwnGeometry)
{
    for (const cv::Size size : {cv::Size(720, 120), cv::Size(320, 240), cv::Size(701, 67)}) {
        cv::Mat frame = tv::distinct_frame(5, size);
        cv::Mat expected = frame.clone();
        literal_filter_frame(expected.data, expected.rows, expected.cols, static_cast<int>(expected.step[0]),
                             3);
        filter_shown_frame(frame);
        EXPECT_EQ(cv::norm(frame, expected, cv::NORM_INF), 0) << size;
    }
}

TEST(FilterShownFrame, StaysInsideAFrameThatIsPartOfALargerBuffer)
{
    cv::Mat buffer(200, 900, CV_8UC3, cv::Scalar(50, 50, 50));
    const cv::Mat before = buffer.clone();
    cv::Mat frame = buffer(cv::Rect(100, 50, 600, 100));
    filter_shown_frame(frame);
    EXPECT_EQ(cv::countNonZero(frame.reshape(1)), 0) << "dark pixels inside go black";
    cv::Mat outside_changed;
    cv::compare(buffer, before, outside_changed, cv::CMP_NE);
    outside_changed.reshape(1)(cv::Rect(300, 50, 1800, 100)).setTo(0);
    EXPECT_EQ(cv::countNonZero(outside_changed.reshape(1)), 0) << "nothing outside the frame is touched";
}

TEST(FilterShownFrame, LeavesFramesTheFilterCannotTake)
{
    cv::Mat grey(120, 720, CV_8UC1, cv::Scalar(30));
    cv::Mat deep(120, 720, CV_16UC3, cv::Scalar(30, 30, 30));
    const cv::Mat grey_before = grey.clone();
    const cv::Mat deep_before = deep.clone();
    filter_shown_frame(grey);
    filter_shown_frame(deep);
    EXPECT_EQ(cv::norm(grey, grey_before, cv::NORM_INF), 0);
    EXPECT_EQ(cv::norm(deep, deep_before, cv::NORM_INF), 0);

    cv::Mat four(120, 720, CV_8UC4, cv::Scalar(30, 30, 30, 77));
    filter_shown_frame(four);
    EXPECT_EQ(four.at<cv::Vec4b>(0, 0), cv::Vec4b(0, 0, 0, 77))
        << "four channels are filtered, the fourth kept";
}

} // namespace
