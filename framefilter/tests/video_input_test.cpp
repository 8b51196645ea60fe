// framefilter's input side in-process: path checks, reader choice, quiet reads.
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
    EXPECT_EQ(path_problem("rtsp://camera.invalid/stream"), "") << "URLs are left to the readers";

    // A sequence is there when its image 0 or 1 is; the readers judge the images.
    EXPECT_EQ(path_problem(dir + "/f%03d.png"),
              "no image of the sequence exists (neither '" + dir + "/f000.png' nor '" + dir + "/f001.png')");
    xh::write_bytes(dir + "/f001.png", "x");
    EXPECT_EQ(path_problem(dir + "/f%03d.png"), "");
    // A name that is no pattern the sequence reader takes is a file name, and an existing file is a
    // file whatever its name.
    EXPECT_EQ(path_problem(dir + "/my%20dog.avi"), "No such file or directory");
    xh::write_bytes(dir + "/f%2d.avi", "x");
    EXPECT_EQ(path_problem(dir + "/f%2d.avi"), "");
    EXPECT_FALSE(names_image_sequence(dir + "/f%2d.avi"));
    EXPECT_EQ(reader_order(dir + "/f%2d.avi", "", true), (std::vector<int>{cv::CAP_FFMPEG}));
}

TEST(ReaderChoice, ImageSequencePatterns)
{
    EXPECT_TRUE(names_image_sequence("frames/f%d.png"));
    EXPECT_TRUE(names_image_sequence("img%04d.jpg"));
    EXPECT_FALSE(names_image_sequence("clip.avi"));
    EXPECT_FALSE(names_image_sequence("100%.avi"));
    EXPECT_FALSE(names_image_sequence("50%s.avi"));
    EXPECT_TRUE(names_image_sequence("f%u.png"));
    EXPECT_TRUE(names_image_sequence("f%5d.png"));
    EXPECT_FALSE(names_image_sequence("my%20dog.avi")) << "one digit of width at most";
    EXPECT_FALSE(names_image_sequence("f%d_%d.png")) << "one pattern only";
    EXPECT_FALSE(names_image_sequence("50% of f%d.png")) << "the first '%' only";
    EXPECT_EQ(reader_order("frames/f%d.png", "", true), (std::vector<int>{cv::CAP_IMAGES, cv::CAP_FFMPEG}));
    EXPECT_EQ(reader_order("clip.avi", "not a RIFF header", true), (std::vector<int>{cv::CAP_FFMPEG}));
}

// Without FFmpeg the library's own choice takes its place; the readers of our own choosing stay
// first. Whether FFmpeg is there is what the library's FFmpeg reader itself can open.
TEST_F(VideoInput, WithoutFFmpegTheLibraryChoosesTheReader)
{
    EXPECT_EQ(reader_order("clip.webm", "", false), (std::vector<int>{cv::CAP_ANY}));
    EXPECT_EQ(reader_order("frames/f%d.png", "", false), (std::vector<int>{cv::CAP_IMAGES, cv::CAP_ANY}));
    const std::string clip = dir + "/ffv1.mkv";
    ASSERT_TRUE(tv::ffmpeg("-f lavfi -i testsrc=size=64x48:rate=25 -frames:v 2 -c:v ffv1 " + clip));
    EXPECT_EQ(reader_order(clip, file_head(clip, 64 * 1024), has_ffmpeg_reader()).back(),
              cv::VideoCapture(clip, cv::CAP_FFMPEG).isOpened() ? cv::CAP_FFMPEG : cv::CAP_ANY);
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
    EXPECT_EQ(reader_order(mjpeg, head, true), (std::vector<int>{cv::CAP_OPENCV_MJPEG, cv::CAP_FFMPEG}));
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

TEST_F(VideoInput, AnUndecodableMotionJpegFrameIsSkippedAndTheRestRead)
{
    const std::string damaged = dir + "/damaged.avi";
    ASSERT_TRUE(tv::write_mjpeg_avi_with_undecodable_frame(damaged, 30, 10)) << "needs the ffmpeg tool";
    ASSERT_EQ(reader_order(damaged, file_head(damaged, 64 * 1024), true).front(), cv::CAP_OPENCV_MJPEG);

    cv::VideoCapture capture;
    cv::Mat frame;
    ASSERT_TRUE(open_video(damaged, capture, frame));
    int count = 1;
    while (read_frame(capture, frame))
        ++count;
    close_video(capture);
    EXPECT_EQ(count, 29) << "every frame but the damaged one";
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

} // namespace
