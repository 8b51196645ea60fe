// The real framefilter on bad input and on a corpus of ordinary files made here with ffmpeg: the
// exit status, one line on standard error where it fails, nothing on standard output but the
// geometry line, and an end by itself, never a crash or a hang.
#include "test_videos.hpp"
#include "video_input.hpp"
#include "windowing.hpp"
#include "xharness.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <random>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
namespace tv = test_videos;
namespace xh = xharness;

const auto bound = 30s;

// Runs framefilter with `args`; as user nobody when asked and the tests run as root, who could
// read any file.
xh::finished_run run_framefilter(const std::vector<std::string>& args, bool as_nobody = false)
{
    std::vector<std::string> argv;
    std::vector<std::string> env;
    if (as_nobody && geteuid() == 0) {
        argv = {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"};
        // Nobody may not reach the leak suppressions of a checkout under /root; this run stops
        // before any window opens, so it has no desktop library leaks to suppress.
        env = {"LSAN_OPTIONS"};
    }
    argv.push_back(FRAMEFILTER_PATH);
    argv.insert(argv.end(), args.begin(), args.end());
    return xh::run_to_end(argv, env, bound);
}

struct bad_input {
    std::string name;
    // Makes the input in `dir` and returns the argument to pass; nothing for no argument.
    std::function<std::vector<std::string>(const std::string& dir)> make;
    int status;
    std::string error; // a part of the one line on standard error; empty: standard error stays empty
    std::string out;   // all of standard output
    bool as_nobody = false;
};

void PrintTo(const bad_input& input, std::ostream* out)
{
    *out << input.name;
}

std::vector<std::string> ffv1_clip(const std::string& dir, int frames, cv::Size size)
{
    const std::string path = dir + "/clip.avi";
    EXPECT_TRUE(tv::write_ffv1_avi(path, tv::distinct_frames(frames, size)));
    return {path};
}

std::vector<std::string> one_frame_clip(const std::string& dir)
{
    return ffv1_clip(dir, 1, {160, 120});
}

std::vector<std::string> cut_in_half(const std::string& whole, const std::string& cut)
{
    tv::write_prefix(whole, cut, xh::file_size(whole) / 2);
    return {cut};
}

std::vector<bad_input> bad_inputs()
{
    const std::string cannot_read = "no video frame could be read";
    return {
        {"NoArgument", [](const std::string&) { return std::vector<std::string>{}; }, 2, "usage", ""},
        {"MissingFile", [](const std::string& dir) { return std::vector<std::string>{dir + "/none.avi"}; }, 1,
         "No such file or directory", ""},
        {"ImageSequenceWithNoImage",
         [](const std::string& dir) { return std::vector<std::string>{dir + "/none%03d.png"}; }, 1,
         "no image of the sequence exists", ""},
        {"Directory", [](const std::string& dir) { return std::vector<std::string>{dir}; }, 1, "directory",
         ""},
        {"EmptyFile",
         [](const std::string& dir) {
             xh::write_bytes(dir + "/empty.avi", "");
             return std::vector<std::string>{dir + "/empty.avi"};
         },
         1, "empty", ""},
        {"RandomBytes",
         [](const std::string& dir) {
             std::mt19937 generator(20240601);
             std::string bytes(64 * 1024, '\0');
             for (char& byte : bytes)
                 byte = static_cast<char>(generator() & 0xff);
             xh::write_bytes(dir + "/noise.avi", bytes);
             return std::vector<std::string>{dir + "/noise.avi"};
         },
         1, cannot_read, ""},
        {"TextFile",
         [](const std::string& dir) {
             xh::write_bytes(dir + "/notes.txt", "Shopping list\n- milk\n- bread\n");
             return std::vector<std::string>{dir + "/notes.txt"};
         },
         1, cannot_read, ""},
        // AVI is read front to back: the frames before the cut play.
        {"AviCutInTheMiddle",
         [](const std::string& dir) {
             return cut_in_half(ffv1_clip(dir, 30, {160, 120})[0], dir + "/cut.avi");
         },
         0, "", tv::geometry_line(120, 160, 3)},
        // FFmpeg's decoder threads report the damage while the frames play on.
        {"Mpeg4AviWithDamagedFrames",
         [](const std::string& dir) {
             EXPECT_TRUE(tv::ffmpeg("-f lavfi -i testsrc=size=320x240:rate=25 -t 3 -c:v mpeg4 " + dir
                                    + "/whole.avi"));
             std::string bytes = xh::read_file(dir + "/whole.avi");
             std::mt19937 generator(20240607);
             // 200 bytes of the frames' data, clear of the headers at the start and the index at the end.
             for (int i = 0; i < 200; ++i)
                 bytes[bytes.size() / 4 + generator() % (bytes.size() / 2)] =
                     static_cast<char>(generator() & 0xff);
             xh::write_bytes(dir + "/damaged.avi", bytes);
             return std::vector<std::string>{dir + "/damaged.avi"};
         },
         0, "", tv::geometry_line(240, 320, 3)},
        // The JPEG decoder's complaint about the frame stays off standard error.
        {"MotionJpegAviWithAnUndecodableFrame",
         [](const std::string& dir) {
             EXPECT_TRUE(tv::write_mjpeg_avi_with_undecodable_frame(dir + "/damaged.avi", 30, 10));
             return std::vector<std::string>{dir + "/damaged.avi"};
         },
         0, "", tv::geometry_line(240, 320, 3)},
        // Only the headers are left: the Motion JPEG reader refuses it and nothing else may hang on it.
        {"MotionJpegAviCutShort",
         [](const std::string& dir) {
             EXPECT_TRUE(tv::ffmpeg("-f lavfi -i testsrc=size=320x240:rate=25 -frames:v 30 -c:v mjpeg " + dir
                                    + "/whole.avi"));
             tv::write_prefix(dir + "/whole.avi", dir + "/cut.avi", 3000);
             return std::vector<std::string>{dir + "/cut.avi"};
         },
         1, cannot_read, ""},
        // MP4 written in one pass keeps its index at the end: without it nothing can be read.
        {"Mp4CutInTheMiddle",
         [](const std::string& dir) {
             EXPECT_TRUE(tv::ffmpeg("-f lavfi -i testsrc=size=160x120:rate=25 -frames:v 30 -c:v libx264 "
                                    + dir + "/whole.mp4"));
             return cut_in_half(dir + "/whole.mp4", dir + "/cut.mp4");
         },
         1, cannot_read, ""},
        {"UnreadableFile",
         [](const std::string& dir) {
             const std::string path = ffv1_clip(dir, 5, {160, 120})[0];
             chmod(dir.c_str(), 0755);
             chmod(path.c_str(), 0);
             return std::vector<std::string>{path};
         },
         1, "Permission denied", "", true},
        {"FrameSizeChangesPartway",
         [](const std::string& dir) {
             std::vector<cv::Mat> frames = tv::distinct_frames(5, {720, 120});
             for (int i = 5; i < 15; ++i)
                 frames.push_back(tv::distinct_frame(i, {600, 240}));
             EXPECT_TRUE(tv::write_image_sequence(dir + "/f%d.png", frames));
             return std::vector<std::string>{dir + "/f%d.png"};
         },
         0, "", tv::geometry_line(120, 720, 3)},
        {"OneFrameVideo", one_frame_clip, 0, "", tv::geometry_line(120, 160, 3)},
        {"MotionJpegWhosePixelFormatChanges",
         [](const std::string& dir) {
             EXPECT_TRUE(tv::write_trail_camera_avi(dir, dir + "/trail.avi", {1280, 720}, 15));
             return std::vector<std::string>{dir + "/trail.avi"};
         },
         0, "", tv::geometry_line(720, 1280, 3)},
    };
}

class BadInput : public tv::in_temp_dir<::testing::TestWithParam<bad_input>> {};

TEST_P(BadInput, EndsByItselfWithItsStatusAndOneLine)
{
    const bad_input& input = GetParam();
    const std::vector<std::string> args = input.make(dir);
    // The readers mishandle some inputs only now and then (a crash, a deadlock): every input is
    // played more than once.
    const int runs = 3;
    for (int run = 0; run < runs; ++run) {
        const xh::finished_run result = run_framefilter(args, input.as_nobody);
        EXPECT_EQ(result.status, input.status) << "-1: still running after the bound; over 128: a signal";
        EXPECT_EQ(result.out, input.out);
        if (input.error.empty()) {
            EXPECT_EQ(result.err, "");
        } else {
            EXPECT_NE(result.err.find(input.error), std::string::npos) << result.err;
            EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
            if (!args.empty()) {
                EXPECT_NE(result.err.find(args[0]), std::string::npos) << "the line names the path";
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Table, BadInput, ::testing::ValuesIn(bad_inputs()),
                         [](const auto& info) { return info.param.name; });

struct ordinary_file {
    std::string name; // file name; its extension picks the container
    cv::Size size;
    std::string encoding; // ffmpeg output options
};

void PrintTo(const ordinary_file& file, std::ostream* out)
{
    *out << file.name;
}

class OrdinaryFile : public tv::in_temp_dir<::testing::TestWithParam<ordinary_file>> {};

const int corpus_frames = 10;

TEST_P(OrdinaryFile, PlaysToItsEndWithItsGeometry)
{
    const ordinary_file& file = GetParam();
    const std::string path = dir + "/" + file.name;
    ASSERT_TRUE(tv::ffmpeg("-f lavfi -i testsrc=size=" + std::to_string(file.size.width) + "x"
                           + std::to_string(file.size.height) + ":rate=25 -frames:v "
                           + std::to_string(corpus_frames) + " " + file.encoding + " " + path));

    // The reader chosen for the file delivers every frame at the file's size...
    cv::VideoCapture capture;
    cv::Mat frame;
    ASSERT_TRUE(open_video(path, capture, frame));
    int frames = 0;
    do {
        EXPECT_EQ(frame.size(), file.size) << "frame " << frames;
        EXPECT_EQ(frame.type(), CV_8UC3) << "frame " << frames;
        ++frames;
    } while (read_frame(capture, frame));
    close_video(capture);
    EXPECT_EQ(frames, corpus_frames);

    // ...and the program plays it through.
    const xh::finished_run result = run_framefilter({path});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, tv::geometry_line(file.size.height, file.size.width, 3));
    EXPECT_EQ(result.err, "");
}

INSTANTIATE_TEST_SUITE_P(
    Corpus, OrdinaryFile,
    ::testing::Values(ordinary_file{"h264.mp4", {320, 240}, "-c:v libx264 -pix_fmt yuv420p"},
                      ordinary_file{"h264_odd.mkv", {321, 243}, "-c:v libx264 -pix_fmt yuv444p"},
                      ordinary_file{"h264_10bit.mp4", {320, 180}, "-c:v libx264 -pix_fmt yuv420p10le"},
                      ordinary_file{"vp9.webm", {352, 288}, "-c:v libvpx-vp9 -deadline realtime -cpu-used 8"},
                      ordinary_file{"vp9_10bit.webm",
                                    {320, 180},
                                    "-c:v libvpx-vp9 -pix_fmt yuv420p10le -deadline realtime -cpu-used 8"},
                      ordinary_file{"mpeg4.avi", {320, 240}, "-c:v mpeg4"},
                      ordinary_file{"mpeg4_odd.mp4", {333, 201}, "-c:v mpeg4"},
                      ordinary_file{"mjpeg.avi", {320, 240}, "-c:v mjpeg -pix_fmt yuvj420p"},
                      ordinary_file{"mjpeg_odd.avi", {333, 201}, "-c:v mjpeg -pix_fmt yuvj444p"},
                      ordinary_file{"mjpeg_grey.avi", {320, 240}, "-c:v mjpeg -pix_fmt gray"},
                      ordinary_file{"mjpeg.mov", {320, 240}, "-c:v mjpeg"},
                      ordinary_file{"ffv1_odd.mkv", {723, 97}, "-c:v ffv1"},
                      ordinary_file{"ffv1_grey.mkv", {320, 240}, "-c:v ffv1 -pix_fmt gray"},
                      ordinary_file{"ffv1_10bit.mkv", {320, 240}, "-c:v ffv1 -pix_fmt yuv420p10le"}),
    [](const auto& info) {
        std::string name = info.param.name;
        std::replace(name.begin(), name.end(), '.', '_');
        return name;
    });

// Whether process `pid` makes no read call for a quarter of a second: one that waits in a read
// makes none however loaded the machine, one that polls makes several.
bool reads_pause(int pid)
{
    const auto read_calls = [&] {
        const std::string io = xh::read_file("/proc/" + std::to_string(pid) + "/io");
        const std::size_t at = io.find("syscr: ");
        return at == std::string::npos ? -1 : std::stoll(io.substr(at + 7));
    };
    const long long before = read_calls();
    std::this_thread::sleep_for(250ms);
    return before >= 0 && read_calls() == before;
}

class FramefilterInput : public tv::in_temp_dir<> {
  protected:
    void TearDown() override
    {
        xh::stop(child);
        in_temp_dir::TearDown();
    }
    std::string small_clip() { return ffv1_clip(dir, 10, {160, 120})[0]; }
    std::string err() const { return xh::read_file(child.err_path); }
    void expect_played_quietly(const std::string& err_lines = "")
    {
        EXPECT_EQ(xh::wait_exit(child, bound), 0);
        EXPECT_EQ(xh::read_file(child.out_path), tv::geometry_line(120, 160, 3));
        EXPECT_EQ(err(), err_lines);
    }
    xh::child_process child;
};

// Bytes read from a pipe are gone: the reader has to get the stream from its first byte.
TEST_F(FramefilterInput, PlaysAPipeOnStandardInput)
{
    const std::string bytes = xh::read_file(small_clip());
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ASSERT_GE(fcntl(ends[1], F_SETPIPE_SZ, 1 << 20), static_cast<int>(bytes.size()));
    ASSERT_EQ(write(ends[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(ends[1]);
    child = xh::spawn({FRAMEFILTER_PATH, "/dev/stdin"}, {}, {ends[0]});
    close(ends[0]);
    expect_played_quietly();

    // A pipe whose writer has gone without a byte will never deliver: not a wait, an empty input.
    ASSERT_EQ(pipe(ends), 0);
    close(ends[1]);
    child = xh::spawn({FRAMEFILTER_PATH, "/dev/stdin"}, {}, {ends[0]});
    close(ends[0]);
    EXPECT_EQ(xh::wait_exit(child, bound), 1);
    EXPECT_EQ(err(), "framefilter: cannot play '/dev/stdin': no video frame could be read from it\n");

    // A standard input left non-blocking by whatever handed it over: the reads still wait for the
    // second half of the clip, which comes only once the first has been read, and take all of it.
    // The write end stays here alone.
    ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
    ASSERT_GE(fcntl(ends[1], F_SETPIPE_SZ, 1 << 20), static_cast<int>(bytes.size()));
    ASSERT_EQ(fcntl(ends[0], F_SETFL, O_NONBLOCK), 0);
    const std::size_t half = bytes.size() / 2;
    ASSERT_EQ(write(ends[1], bytes.data(), half), static_cast<ssize_t>(half));
    child = xh::spawn({FRAMEFILTER_PATH, "/dev/stdin"}, {}, {ends[0]});
    const auto unread = [&] {
        int count = -1;
        return ioctl(ends[0], FIONREAD, &count) == 0 ? count : -1;
    };
    EXPECT_TRUE(xh::wait_until([&] { return unread() == 0; }, bound)) << err();
    // Once the frames it has are shown, it waits in a read rather than polling the empty pipe.
    EXPECT_TRUE(xh::wait_until([&] { return reads_pause(child.pid); }, bound)) << "it polls the pipe";
    ASSERT_EQ(write(ends[1], bytes.data() + half, bytes.size() - half),
              static_cast<ssize_t>(bytes.size() - half));
    close(ends[1]);
    expect_played_quietly();
    EXPECT_EQ(unread(), 0) << "the clip was not read to its end";
    close(ends[0]);
}

// The writer is let in by framefilter's read end, fills the pipe and closes it before the reader
// opens it: opening the FIFO again would wait for a writer that has gone.
TEST_F(FramefilterInput, PlaysAFifoThatItsWriterFilledAndClosedFirst)
{
    const std::string bytes = xh::read_file(small_clip());
    ASSERT_LT(bytes.size(), 64u * 1024) << "the whole clip must fit in the pipe";
    const std::string fifo = dir + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::thread writer([&] { xh::write_bytes(fifo, bytes); });
    child = xh::spawn({FRAMEFILTER_PATH, fifo});
    expect_played_quietly();
    // A reader of the test's own lets the writer go, should framefilter never have opened the FIFO.
    const int release = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    writer.join();
    close(release);
}

// Opening a FIFO blocks until a writer comes, with the windows up: one line says why.
TEST_F(FramefilterInput, SaysWhatItWaitsForOnAFifoWithNoWriterThenPlaysIt)
{
    const std::string clip = small_clip();
    const std::string fifo = dir + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    child = xh::spawn({FRAMEFILTER_PATH, fifo});
    const std::string line =
        "framefilter: waiting for '" + fifo + "' to deliver a video (a pipe, nothing written yet)\n";
    // Writing to the FIFO would block for good without a reader.
    ASSERT_TRUE(xh::wait_until([&] { return err() == line; }, bound)) << err();
    EXPECT_TRUE(xh::window_exists("Original"));
    xh::write_bytes(fifo, xh::read_file(clip));
    expect_played_quietly(line);

    // The windows still answer while it waits.
    child = xh::spawn({FRAMEFILTER_PATH, fifo});
    ASSERT_TRUE(xh::wait_until([&] { return err() == line; }, bound)) << err();
    xh::request_close(xh::find_window("Original", xh::patience));
    EXPECT_EQ(xh::wait_exit(child, bound), 0);
    EXPECT_EQ(xh::read_file(child.out_path), "");
}

// An OpenCV without FFmpeg (here Debian's, with FFmpeg turned off) still plays what its other
// readers take: a VP8 WebM through GStreamer, to its end.
TEST_F(FramefilterInput, PlaysWhatTheLibraryReadsWithoutFFmpeg)
{
    const std::string clip = dir + "/vp8.webm";
    ASSERT_TRUE(tv::ffmpeg(
        "-f lavfi -i testsrc=size=160x120:rate=25 -frames:v 10 -c:v libvpx -deadline realtime " + clip));
    child = xh::spawn({FRAMEFILTER_PATH, clip}, {"OPENCV_VIDEOIO_PRIORITY_FFMPEG=0"});
    expect_played_quietly();
}

// The geometry line is the program's one output: when it cannot be delivered the program says so
// and ends with status 1 instead of playing on as if it had been.
TEST_F(FramefilterInput, EndsWithOneLineWhenItsOutputCannotBeWritten)
{
    const std::string clip = small_clip();
    const int full = open("/dev/full", O_WRONLY);
    ASSERT_GE(full, 0);
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    close(ends[0]); // the reader has gone away
    const struct {
        const char* name;
        int out;
        std::string why;
    } outputs[] = {
        {"a full disk", full, std::strerror(ENOSPC)},
        {"a pipe with no reader", ends[1], std::strerror(EPIPE)},
        // Without a guard, the display connection would take the free number and get the line.
        {"no standard output", xh::closed_stream, std::strerror(EBADF)},
    };
    for (const auto& output : outputs) {
        SCOPED_TRACE(output.name);
        child = xh::spawn({FRAMEFILTER_PATH, clip}, {}, {xh::default_stream, output.out});
        EXPECT_EQ(xh::wait_exit(child, bound), 1) << "over 128: a signal";
        EXPECT_EQ(err(), "framefilter: cannot write to standard output: " + output.why + "\n");
        EXPECT_FALSE(xh::window_exists("Original"));
    }
    close(full);
    close(ends[1]);
}

// How each toolkit can be made to end the process during window creation, after saying why: Qt
// aborts when its platform plugin cannot be loaded; GLib, with warnings made fatal, stops on a
// breakpoint trap after GTK's warning that it ignores GTK_DEBUG.
struct fatal_start {
    std::vector<std::string> env;
    int signal;
    std::string signal_words;
    std::string library_words;
};

fatal_start toolkit_fatal_start()
{
    const std::string trap = "a breakpoint trap (SIGTRAP)";
    if (windows_drawn_by_gtk())
        return {{"G_DEBUG=fatal-warnings", "GTK_DEBUG=all"}, SIGTRAP, trap, "GTK_DEBUG"};
    return {{"QT_QPA_PLATFORM=no-such-platform"}, SIGABRT, "an abort (SIGABRT)", "\"no-such-platform\""};
}

TEST_F(FramefilterInput, ShowsWhatTheLibrariesSaidWhenItDiesOfASignal)
{
    const fatal_start fatal = toolkit_fatal_start();
    child = xh::spawn({FRAMEFILTER_PATH, small_clip()}, fatal.env);
    EXPECT_EQ(xh::wait_exit(child, bound), 128 + fatal.signal);
    const std::string message = err();
    const std::string first_line = "framefilter: stopped by " + fatal.signal_words;
    EXPECT_EQ(message.rfind(first_line + "; the libraries said:\n", 0), 0u) << message;
    EXPECT_NE(message.find(fatal.library_words), std::string::npos) << message;
}

} // namespace
