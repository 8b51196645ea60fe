#include "test_videos.hpp"
#include "video_input.hpp"
#include "xharness.hpp"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <cstdio>
#include <cstdlib>
#include <sys/wait.h>

namespace test_videos {

namespace xh = xharness;

cv::Mat distinct_frame(int index, cv::Size size)
{
    const cv::Scalar mid(120, 110, 90);
    const cv::Scalar dark(40, 30, 60);
    const cv::Scalar bright(200, 215, 230);
    cv::Mat frame(size, CV_8UC3, mid);
    const int w = size.width;
    const int h = size.height;
    cv::rectangle(frame, cv::Rect(0, 0, w / 3, h), dark, cv::FILLED);
    cv::rectangle(frame, cv::Rect(w / 3, 0, w / 3, h / 2), bright, cv::FILLED);
    cv::rectangle(frame, cv::Rect((index * 13) % (w - 16), h / 2 - 8, 16, 16), cv::Scalar(250, 250, 250),
                  cv::FILLED);
    cv::rectangle(frame, cv::Rect(0, h - 14, w, 14), mid, cv::FILLED);
    for (int bit = 0; bit < 12 && 4 + bit * 10 + 8 <= w; ++bit)
        cv::rectangle(frame, cv::Rect(4 + bit * 10, h - 11, 8, 8), (index >> bit) & 1 ? bright : dark,
                      cv::FILLED);
    return frame;
}

std::vector<cv::Mat> distinct_frames(int count, cv::Size size)
{
    std::vector<cv::Mat> frames;
    for (int i = 0; i < count; ++i)
        frames.push_back(distinct_frame(i, size));
    return frames;
}

bool write_ffv1_avi(const std::string& path, const std::vector<cv::Mat>& frames)
{
    if (frames.empty())
        return false;
    cv::VideoWriter writer(path, cv::CAP_FFMPEG, cv::VideoWriter::fourcc('F', 'F', 'V', '1'), 30.0,
                           frames.front().size());
    if (!writer.isOpened())
        return false;
    for (const cv::Mat& frame : frames)
        writer.write(frame);
    writer.release();
    return true;
}

bool write_image_sequence(const std::string& pattern, const std::vector<cv::Mat>& frames)
{
    for (std::size_t i = 0; i < frames.size(); ++i) {
        std::vector<char> name(pattern.size() + 32);
        std::snprintf(name.data(), name.size(), pattern.c_str(), static_cast<int>(i));
        if (!cv::imwrite(name.data(), frames[i]))
            return false;
    }
    return true;
}

std::vector<cv::Mat> decode_all(const std::string& path)
{
    std::vector<cv::Mat> frames;
    cv::VideoCapture capture(path);
    cv::Mat frame;
    while (capture.read(frame) && !frame.empty())
        frames.push_back(frame.clone());
    return frames;
}

bool ffmpeg(const std::string& args)
{
    const std::string command = "ffmpeg -hide_banner -loglevel error -nostdin -y " + args;
    const int status = std::system(command.c_str());
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void write_prefix(const std::string& from, const std::string& to, std::size_t bytes)
{
    xh::write_bytes(to, file_head(from, bytes));
}

bool write_trail_camera_avi(const std::string& dir, const std::string& path, cv::Size size, int later_frames)
{
    const std::string source = "-f lavfi -i testsrc2=size=" + std::to_string(size.width) + "x"
                               + std::to_string(size.height) + ":rate=25 -c:v mjpeg -f mjpeg ";
    const std::string first = dir + "/first.mjpeg";
    const std::string later = dir + "/later.mjpeg";
    const std::string joined = dir + "/joined.mjpeg";
    if (!ffmpeg(source + "-frames:v 1 -pix_fmt yuvj422p " + first)
        || !ffmpeg(source + "-frames:v " + std::to_string(later_frames) + " -pix_fmt yuvj420p " + later))
        return false;
    xh::write_bytes(joined, xh::read_file(first) + xh::read_file(later));
    // -r: without a rate the muxer pads the stream with empty chunks, "repeat the last frame".
    return ffmpeg("-f mjpeg -i " + joined + " -c copy -r 25 " + path);
}

bool write_mjpeg_avi_with_undecodable_frame(const std::string& path, int frames, int bad)
{
    const std::string whole = path + ".whole.avi";
    if (!ffmpeg("-f lavfi -i testsrc=size=320x240:rate=25 -frames:v " + std::to_string(frames)
                + " -c:v mjpeg " + whole))
        return false;
    std::string bytes = xh::read_file(whole);
    std::remove(whole.c_str());
    const std::string start_of_image = "\xff\xd8\xff";
    std::size_t at = bytes.find(start_of_image);
    for (int frame = 0; frame < bad && at != std::string::npos; ++frame)
        at = bytes.find(start_of_image, at + 1);
    if (at == std::string::npos)
        return false;
    bytes.replace(at, start_of_image.size(), start_of_image.size(), '\0');
    xh::write_bytes(path, bytes);
    return true;
}

std::string geometry_line(int rows, int cols, int channels)
{
    return "Processing a " + std::to_string(rows) + "x" + std::to_string(cols) + " image with "
           + std::to_string(channels) + " channels\n";
}

} // namespace test_videos
