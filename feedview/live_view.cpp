#include "live_view.hpp"
#include "camera_colours.hpp"
#include "windowing.hpp"

#include <opencv2/highgui.hpp>
#include <opencv2/imgcodecs.hpp>

#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <unistd.h>
#include <vector>

const char* const viewer_title = "result";

namespace {

using clock_type = std::chrono::steady_clock;

const int pause_ms = 100;
const int poll_ms = 10;
// Holding waits in short slices: a wait with no time limit never returns once the window is
// closed, which would leave the program running with nothing on screen.
const int hold_slice_ms = 50;
// Longest the window goes unserved while the camera owes a frame: the wait for it is cut into
// slices of this length with a key poll after each.
const int camera_slice_ms = 100;
// A camera that gives no picture that decodes for this long is taken as stopped. Working
// webcams deliver 5 frames a second or more even in the dark, so this is many frame intervals.
const int drought_s = 3;

// What the key waits answer when no key came. Every other code is a key, negative ones too: Qt
// hands a Latin-1 key (ä, é, £) over as a signed char.
const int no_key = -1;

enum class camera_state { frame_ready, nothing_yet, failed };
enum class live_end { user, camera_failed, camera_silent, pictures_undecodable };

// Runs a capture call with standard error pointed at /dev/null: libjpeg prints its complaints about
// a damaged frame there, and the V4L2 backend reports an interrupted poll with perror.
bool quietly(const std::function<bool()>& call)
{
    std::fflush(stderr);
    const int saved = fcntl(2, F_DUPFD_CLOEXEC, 3);
    const int null_device = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (saved >= 0 && null_device >= 0)
        dup2(null_device, 2);
    bool result = false;
    try {
        result = call();
    } catch (const cv::Exception&) {
        // The library reports a camera that failed in a wait, or a frame that did not decode, this way.
        result = false;
    }
    if (saved >= 0) {
        dup2(saved, 2);
        close(saved);
    }
    if (null_device >= 0)
        close(null_device);
    return result;
}

// Only the V4L2 backend can be asked whether a frame is waiting; any other capture (a video file
// in the tests) is simply grabbed, which never stalls.
camera_state await_frame(cv::VideoCapture& capture, bool can_wait)
{
    if (!can_wait)
        return camera_state::frame_ready;
    std::vector<int> ready;
    const std::vector<cv::VideoCapture> cameras{capture};
    // It answers false when the time ran out, or when the wait was interrupted, and throws when
    // the camera failed.
    bool answered = false;
    quietly([&] {
        cv::VideoCapture::waitAny(cameras, ready, camera_slice_ms * 1000000LL);
        answered = true;
        return true;
    });
    if (!answered)
        return camera_state::failed;
    return ready.empty() ? camera_state::nothing_yet : camera_state::frame_ready;
}

// The V4L2 backend decodes Motion JPEG itself, but when a frame does not decode it hands out the
// previous picture again (OpenCV 4.6) or an empty one, or throws on an empty buffer. Taking the
// frames as they came and decoding them here tells a damaged frame from a good one everywhere.
bool take_jpeg_undecoded(cv::VideoCapture& capture)
{
    const int fourcc = static_cast<int>(capture.get(cv::CAP_PROP_FOURCC));
    return (fourcc == cv::VideoWriter::fourcc('M', 'J', 'P', 'G')
            || fourcc == cv::VideoWriter::fourcc('J', 'P', 'E', 'G'))
           && capture.set(cv::CAP_PROP_CONVERT_RGB, 0);
}

// One buffer, where the library would ask the driver for 4: the driver fills each buffer that is
// queued as frames come, and the library queues a buffer again as soon as its picture is taken,
// one per pass here. With 4, each picture then waits behind 3 others and is 4 passes old when it
// is shown; with one it is at most one pass old. A driver may grant more than is asked; the view
// works with whatever it grants.
void ask_for_one_buffer(cv::VideoCapture& capture)
{
    quietly([&] { return capture.set(cv::CAP_PROP_BUFFERSIZE, 1); });
}

// The grabbed frame as a picture; false when it has none that decodes. `returned` tells whether
// the library took the frame and so gave its buffer back to the driver; it keeps the buffer when
// it fails on the way. `end_markers` tells whether a Motion JPEG frame of this camera has carried
// the end-of-image marker yet. `raw_fourcc`, when not 0, is the format of raw buffers to colour here.
bool fetch(cv::VideoCapture& capture, bool jpeg_undecoded, int raw_fourcc, cv::Mat& frame, bool& returned,
           bool& end_markers)
{
    returned = false;
    return quietly([&] {
        if (!jpeg_undecoded && raw_fourcc == 0) {
            const bool taken = capture.retrieve(frame, 0);
            returned = true;
            return taken && !frame.empty();
        }
        cv::Mat data;
        const bool taken = capture.retrieve(data, 0);
        returned = true;
        // The driver's own mark on a frame that lost data never reaches us: the library hands
        // such a buffer out as any other. Some cameras never write the end marker, so its absence
        // means a frame cut short only on a camera whose frames carry it.
        if (!taken)
            return false;
        if (raw_fourcc != 0) {
            frame = colours_from_raw(capture, data, raw_fourcc);
            return !frame.empty();
        }
        if (jpeg_frame_whole(data))
            end_markers = true;
        else if (end_markers)
            return false;
        frame = cv::imdecode(data, cv::IMREAD_COLOR);
        return !frame.empty();
    });
}

// Main has already said why a capture that never opened shows nothing.
void report_end(const cv::VideoCapture& capture, int frames_shown, live_end why)
{
    if (!capture.isOpened())
        return;
    const char* what =
        frames_shown == 0 ? "the camera delivered no picture" : "the camera stopped delivering pictures";
    const char* then =
        frames_shown == 0 ? "press a key to quit" : "the last one stays until a key is pressed";
    if (why == live_end::camera_silent)
        std::fprintf(stderr, "feedview: %s (nothing came for %d s); %s\n", what, drought_s, then);
    else if (why == live_end::pictures_undecodable)
        std::fprintf(stderr, "feedview: %s (none of its frames decoded for %d s); %s\n", what, drought_s,
                     then);
    else
        std::fprintf(stderr, "feedview: %s; %s\n", what, then);
}

// One frame per pass: wait for it (serving the window), grab, fetch, show, pause, poll. A frame that
// does not decode is skipped and the last picture stays; only a grab that fails, or no picture for
// drought_s seconds, ends the live view.
live_end run_live(cv::VideoCapture& capture, int& shown)
{
    const bool can_wait = capture.isOpened() && capture.getBackendName() == "V4L2";
    if (can_wait)
        ask_for_one_buffer(capture);
    const bool jpeg_undecoded = can_wait && take_jpeg_undecoded(capture);
    const int raw_fourcc = can_wait && !jpeg_undecoded ? take_raw_for_colours(capture) : 0;
    bool end_markers = false;
    cv::Mat frame;
    auto last_picture = clock_type::now();
    bool frames_came = false; // since the last picture
    // A frame is waited for only while the driver has a buffer to fill: with one buffer, a wait
    // while the library holds it would never end. The library holds it from its first grab, which
    // starts the camera and waits for the first frame itself, and when it fails to take a frame;
    // its next grab gives the buffer back first.
    bool grab_at_once = true;
    for (bool first = true;; first = false) {
        const camera_state state = grab_at_once ? camera_state::frame_ready : await_frame(capture, can_wait);
        if (state == camera_state::failed)
            return live_end::camera_failed;
        if (state == camera_state::frame_ready) {
            if (!quietly([&] { return capture.grab(); }))
                return live_end::camera_failed;
            // The first grab includes the camera's start-up, which the library bounds itself.
            if (first)
                last_picture = clock_type::now();
            frames_came = true;
            bool returned = false;
            const bool decoded = fetch(capture, jpeg_undecoded, raw_fourcc, frame, returned, end_markers);
            grab_at_once = !returned;
            if (decoded) {
                // Showing into a closed window would open it again.
                if (!window_is_open(viewer_title))
                    return live_end::user;
                cv::imshow(viewer_title, frame);
                keep_picture_size(viewer_title, frame);
                ++shown;
                last_picture = clock_type::now();
                frames_came = false;
            }
        }
        if (clock_type::now() - last_picture >= std::chrono::seconds(drought_s))
            return frames_came ? live_end::pictures_undecodable : live_end::camera_silent;
        if (state == camera_state::frame_ready) {
            cv::waitKeyEx(pause_ms);
            if (cv::waitKeyEx(poll_ms) != no_key || !window_is_open(viewer_title))
                return live_end::user;
        } else if (!window_is_open(viewer_title) || cv::waitKeyEx(poll_ms) != no_key) {
            // Still waiting for the camera: a key or a close ends the viewer at once.
            return live_end::user;
        }
    }
}

void hold()
{
    while (window_is_open(viewer_title))
        if (cv::waitKeyEx(hold_slice_ms) != no_key)
            return;
}

} // namespace

int run_viewer(cv::VideoCapture& capture)
{
    if (!open_window("feedview", viewer_title))
        return 1;
    int shown = 0;
    const live_end end = run_live(capture, shown);
    if (end != live_end::user) {
        report_end(capture, shown, end);
        hold();
    }
    capture.release();
    close_window(viewer_title);
    return 0;
}

bool jpeg_frame_whole(const cv::Mat& data)
{
    if (!data.isContinuous() || data.elemSize() != 1)
        return false;
    const unsigned char* begin = data.ptr<unsigned char>();
    const unsigned char* end = begin + data.total();
    while (end != begin && (end[-1] == 0x00 || end[-1] == 0xff))
        --end;
    return end - begin >= 2 && end[-2] == 0xff && end[-1] == 0xd9;
}
