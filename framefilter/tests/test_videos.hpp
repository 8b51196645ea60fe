// Test inputs for framefilter, made at test time: distinct synthetic frames, lossless clips and
// image sequences of them, files made with the ffmpeg command-line tool, and their decoded frames.
#pragma once

#include "xharness.hpp"

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include <string>
#include <vector>

namespace test_videos {

// A fixture that gives each test a fresh directory, `dir`, removed after it.
template <typename Base = ::testing::Test> class in_temp_dir : public Base {
  protected:
    void SetUp() override
    {
        dir = xharness::make_temp_dir();
        ASSERT_FALSE(dir.empty());
    }
    void TearDown() override { xharness::remove_tree(dir); }
    std::string dir;
};

// Frame `index` of a clip: a dark, a bright and a mid-coloured region, so that the filter's three
// outcomes all show, and a moving block and a binary code of `index`, so that no two frames of a
// clip are the same, before or after filtering.
cv::Mat distinct_frame(int index, cv::Size size);
std::vector<cv::Mat> distinct_frames(int count, cv::Size size);

// Writes `frames` losslessly as FFV1 in AVI; false when the writer cannot.
bool write_ffv1_avi(const std::string& path, const std::vector<cv::Mat>& frames);
// Writes frames[i] to printf(pattern, i) as PNG; the pattern names a directory that exists.
bool write_image_sequence(const std::string& pattern, const std::vector<cv::Mat>& frames);

// Every frame that OpenCV's default reader decodes from `path`.
std::vector<cv::Mat> decode_all(const std::string& path);

// Runs "ffmpeg -hide_banner -loglevel error -nostdin -y ARGS"; true when it exits 0.
bool ffmpeg(const std::string& args);

// A copy of the first `bytes` bytes of `from`.
void write_prefix(const std::string& from, const std::string& to, std::size_t bytes);

// A Motion JPEG AVI as some trail cameras write them: one 4:2:2 JPEG frame, then `later_frames`
// 4:2:0 ones, all `size`, joined and copied into AVI without re-encoding.
bool write_trail_camera_avi(const std::string& dir, const std::string& path, cv::Size size, int later_frames);

// A Motion JPEG AVI of `frames` frames in which frame `bad` has lost its JPEG start marker: the
// frame decodes to nothing, the AVI around it is intact.
bool write_mjpeg_avi_with_undecodable_frame(const std::string& path, int frames, int bad);

// The line framefilter prints when playback starts.
std::string geometry_line(int rows, int cols, int channels);

} // namespace test_videos
