// An emulated V4L2 capture device for tests, loaded with LD_PRELOAD.
//
// For the /dev/videoN paths named in FAKECAM_DEVICES it answers open, the V4L2 ioctls of a simple
// camera (one or more formats and sizes), mmap of its buffers, read and close; every other call
// goes to the C library. Any other /dev/videoN (0 to 63) answers open with ENOENT, so a real
// camera on the test machine never takes part. The paths need not exist: the descriptor handed
// out is a timerfd, which the emulation arms so that it is readable exactly when VIDIOC_DQBUF has
// something to report. select, poll and epoll on it therefore work unchanged in the kernel, and
// the buffers live in a memfd, so the program's own munmap is the kernel's too.
//
// Settings (environment of the process under test; see docs/camera-emulator.md):
//   FAKECAM_DEVICES     comma-separated camera numbers to emulate, 0 to 63 (default "1")
//   FAKECAM_SIZE        WxH of the frames (default 320x240; W a multiple of 16, H of 4), or
//                       several sizes separated by commas, each offered in every format
//   FAKECAM_FPS         frames per second the sensor produces, 1 to 1000 (default 30)
//   FAKECAM_STOP_AFTER  after this many frames the device behaves as unplugged (default: never)
//   FAKECAM_FORMAT      the format the camera offers, YUYV (default), UYVY, MJPG, NV12, NV21,
//                       YU12, YV12 or GREY, or several separated by commas, in the order
//                       VIDIOC_ENUM_FMT lists them; the first is the one it starts in
//   FAKECAM_DAMAGED     frames (numbers and ranges, "3,10-12,40-") sent damaged: a JPEG whose
//                       headers are cut after its first marker byte (MJPG only)
//   FAKECAM_EMPTY       frames sent with no data at all
//   FAKECAM_CUT         frames (MJPG only) cut short inside the picture data, as a busy USB bus
//                       loses the end of a frame: the headers and 90 % of the bytes arrive, and
//                       the buffer is flagged V4L2_BUF_FLAG_ERROR, as uvcvideo flags such a frame
//   FAKECAM_END_MARKER  1 (default) or 0: whether a JPEG frame ends with its end-of-image marker
//                       (FF D9); some cameras never write it (MJPG only)
//   FAKECAM_STALL       K:MS: after K frames the sensor sends nothing for MS milliseconds
//   FAKECAM_MIN_BUFFERS the fewest buffers VIDIOC_REQBUFS grants, 1 to 32 (default 1)
//   FAKECAM_AGE_LOG     a file that gets a line for each buffer handed out by VIDIOC_DQBUF:
//                       "SEQUENCE CAPTURED_NS DEQUEUED_NS FLAGS", both times on CLOCK_MONOTONIC,
//                       FLAGS the buffer's v4l2_buffer flags in decimal
//   FAKECAM_META        camera numbers that are metadata nodes, as beside every UVC camera: the
//                       capabilities say V4L2_CAP_META_CAPTURE, formats and buffers for video
//                       capture are refused with EINVAL (emulated besides FAKECAM_DEVICES)
//   FAKECAM_BUSY        camera numbers held by another program: S_FMT, S_PARM, S_INPUT and
//                       REQBUFS answer EBUSY, as uvcvideo does (emulated besides FAKECAM_DEVICES)
//   FAKECAM_DENIED      camera numbers whose open fails with EACCES; stat shows them as character
//                       devices of group "video", mode 0660
//   FAKECAM_CARD_N      the card name that VIDIOC_QUERYCAP gives for /dev/videoN
//   FAKECAM_TRACE       1: each call answered for a /dev/videoN path is logged on stderr; a path
//                       (with a '/'): it is logged in that file, which survives a program that
//                       points stderr elsewhere
// A malformed setting ends the process with one line on stderr and status 2.
//
// Frames carry pattern.hpp's picture in the chosen format; in Motion JPEG, that picture as OpenCV
// converts its YUYV form to BGR, encoded frame by frame. As uvcvideo does, VIDIOC_S_FMT takes the
// format asked for when it is offered and the first one otherwise, at the offered size nearest the
// one asked for, and answers what it set. The sensor ticks at the set rate; on each
// tick it fills the oldest queued buffer, or skips the tick when none is queued, and stamps it with
// the tick's time, as uvcvideo stamps a buffer when its frame starts to arrive. Frames are
// numbered 0, 1, 2, ... in the order they are filled, so the number a reader sees is the count of
// frames it was handed before.
//
// Buffer counts are granted as uvcvideo grants them on Linux 6.1 and 6.12: what is asked, at most
// 32 (videobuf2's VB2_MAX_FRAME), with no minimum of its own. Linux 6.10 and 6.11 raised a request
// for 1 to 2; FAKECAM_MIN_BUFFERS=2 does the same.
#include "pattern.hpp"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <dlfcn.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

namespace {

// Frame numbers first to last, both included.
struct frame_range {
    long long first = 0;
    long long last = 0;
};

constexpr int max_ranges = 8;
constexpr int max_modes = 8; // formats, and sizes, a camera offers at most

struct frame_size {
    int width = 0;
    int height = 0;
};

// A pixel format and frame size.
struct mode {
    __u32 format = 0;
    int width = 0;
    int height = 0;
};

struct frame_set {
    frame_range ranges[max_ranges];
    int count = 0;
};

struct settings {
    std::uint64_t devices = 1U << 1; // bit N: /dev/videoN is emulated
    frame_size sizes[max_modes] = {{320, 240}};
    int size_count = 1;
    int fps = 30;
    long long stop_after = -1; // -1: never stops
    std::uint64_t meta = 0;    // bit N: /dev/videoN is a metadata node
    std::uint64_t busy = 0;    // bit N: /dev/videoN is held by another program
    std::uint64_t denied = 0;  // bit N: opening /dev/videoN is refused
    const char* cards[64] = {};
    FILE* trace = nullptr;
    __u32 formats[max_modes] = {V4L2_PIX_FMT_YUYV};
    int format_count = 1;
    frame_set damaged;
    frame_set empty;
    frame_set cut;
    bool end_marker = true;
    long long stall_after = -1; // -1: never stalls
    long long stall_ns = 0;
    unsigned min_buffers = 1;
    FILE* age_log = nullptr;
};

constexpr unsigned max_buffers = 32;
constexpr int max_open = 16;

// Buffer indices in arrival order.
struct fifo {
    unsigned items[max_buffers];
    unsigned count = 0;
};

struct device {
    int fd = -1; // the timerfd the program holds; -1 marks a free slot
    int number = 0;
    bool nonblocking = false;
    int memfd = -1;
    std::uint8_t* memory = nullptr; // our own mapping of every buffer
    std::size_t stride = 0;         // bytes from one buffer to the next, whole pages
    unsigned buffer_count = 0;
    v4l2_buffer buffers[max_buffers];
    fifo queued; // waiting for the sensor
    fifo done;   // filled, waiting for VIDIOC_DQBUF
    bool streaming = false;
    long long next_tick_ns = 0;
    long long produced = 0;
    mode chosen; // set by VIDIOC_S_FMT; until then the format is 0, which means the first one
};

settings config;
pthread_once_t config_once = PTHREAD_ONCE_INIT;
pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
device devices[max_open];
// How many emulated devices are open: while none is, calls pass through without taking the lock.
std::atomic<int> open_count{0};

template <typename F> F* next_symbol(const char* name)
{
    return reinterpret_cast<F*>(dlsym(RTLD_NEXT, name));
}

using open_fn = int(const char*, int, ...);
using openat_fn = int(int, const char*, int, ...);
using open_2_fn = int(const char*, int);
using openat_2_fn = int(int, const char*, int);
using ioctl_fn = int(int, unsigned long, ...);
using mmap_fn = void*(void*, std::size_t, int, int, int, off_t);
using close_fn = int(int);
using read_fn = ssize_t(int, void*, std::size_t);
using stat_fn = int(const char*, struct stat*);
using stat64_fn = int(const char*, struct stat64*);

// The C library's own mmap and close: calls inside this file to the plain names would come back
// to the wrappers below.
void* system_mmap(void* address, std::size_t length, int protection, int flags, int fd, off_t offset)
{
    static mmap_fn* real = next_symbol<mmap_fn>("mmap");
    return real(address, length, protection, flags, fd, offset);
}

int system_close(int fd)
{
    static close_fn* real = next_symbol<close_fn>("close");
    return real(fd);
}

[[noreturn]] void bad_setting(const char* name, const char* value, const char* expected)
{
    std::fprintf(stderr, "fakecam: %s='%s' is not valid: expected %s\n", name, value, expected);
    _exit(2);
}

// Reads a decimal number from low to high at the start of `text`; returns where it ends, or null.
const char* parse_number(const char* text, long long low, long long high, long long* out)
{
    if (text == nullptr || *text < '0' || *text > '9')
        return nullptr;
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text, &end, 10);
    if (errno != 0 || value < low || value > high)
        return nullptr;
    *out = value;
    return end;
}

std::uint64_t parse_devices(const char* name, const char* text)
{
    std::uint64_t mask = 0;
    for (const char* p = text;; ++p) {
        long long number = 0;
        p = parse_number(p, 0, 63, &number);
        if (p == nullptr || (*p != ',' && *p != '\0'))
            bad_setting(name, text, "camera numbers from 0 to 63 separated by commas");
        mask |= std::uint64_t{1} << number;
        if (*p == '\0')
            return mask;
    }
}

void parse_size(const char* text)
{
    config.size_count = 0;
    for (const char* p = text;; ++p) {
        long long width = 0;
        long long height = 0;
        const char* x = config.size_count < max_modes ? parse_number(p, 1, 4096, &width) : nullptr;
        p = x != nullptr && *x == 'x' ? parse_number(x + 1, 1, 4096, &height) : nullptr;
        if (p == nullptr || (*p != ',' && *p != '\0')
            || !fakecam::pattern_size_ok(static_cast<int>(width), static_cast<int>(height)))
            bad_setting("FAKECAM_SIZE", text,
                        "WxH with W a multiple of 16 from 64 to 4096 and H a multiple of 4 from 16 to 4096, "
                        "at most 8 separated by commas");
        config.sizes[config.size_count++] = {static_cast<int>(width), static_cast<int>(height)};
        if (*p == '\0')
            return;
    }
}

struct format_name {
    __u32 fourcc;
    const char* name;
    const char* description; // as the kernel describes it
};

constexpr format_name format_names[] = {
    {V4L2_PIX_FMT_YUYV, "YUYV", "YUYV 4:2:2"},         {V4L2_PIX_FMT_UYVY, "UYVY", "UYVY 4:2:2"},
    {V4L2_PIX_FMT_MJPEG, "MJPG", "Motion-JPEG"},       {V4L2_PIX_FMT_NV12, "NV12", "Y/UV 4:2:0"},
    {V4L2_PIX_FMT_NV21, "NV21", "Y/VU 4:2:0"},         {V4L2_PIX_FMT_YUV420, "YU12", "Planar YUV 4:2:0"},
    {V4L2_PIX_FMT_YVU420, "YV12", "Planar YVU 4:2:0"}, {V4L2_PIX_FMT_GREY, "GREY", "8-bit Greyscale"},
};

void parse_formats(const char* text)
{
    config.format_count = 0;
    for (const char* p = text;; p += 5) {
        const format_name* found = nullptr;
        for (const format_name& known : format_names)
            if (std::strncmp(p, known.name, 4) == 0 && (p[4] == ',' || p[4] == '\0'))
                found = &known;
        if (found == nullptr || config.format_count == max_modes)
            bad_setting("FAKECAM_FORMAT", text,
                        "YUYV, UYVY, MJPG, NV12, NV21, YU12, YV12 or GREY, at most 8 separated by commas");
        config.formats[config.format_count++] = found->fourcc;
        if (p[4] == '\0')
            return;
    }
}

long long parse_plain_number(const char* name, const char* text, long long low, long long high,
                             const char* expected)
{
    long long value = 0;
    const char* end = parse_number(text, low, high, &value);
    if (end == nullptr || *end != '\0')
        bad_setting(name, text, expected);
    return value;
}

frame_set parse_frames(const char* name, const char* text)
{
    frame_set set;
    const long long most = 1LL << 40;
    for (const char* p = text;; ++p) {
        frame_range range;
        p = set.count < max_ranges ? parse_number(p, 0, most, &range.first) : nullptr;
        range.last = range.first;
        if (p != nullptr && *p == '-' && (p[1] == ',' || p[1] == '\0')) {
            range.last = most; // "N-": from N on
            ++p;
        } else if (p != nullptr && *p == '-') {
            p = parse_number(p + 1, range.first, most, &range.last);
        }
        if (p == nullptr || (*p != ',' && *p != '\0'))
            bad_setting(name, text, "frame numbers or ranges (N-M, N-) separated by commas, at most 8");
        set.ranges[set.count++] = range;
        if (*p == '\0')
            return set;
    }
}

bool in_set(const frame_set& set, long long frame)
{
    for (int i = 0; i < set.count; ++i)
        if (frame >= set.ranges[i].first && frame <= set.ranges[i].last)
            return true;
    return false;
}

// The faulty nodes are emulated besides FAKECAM_DEVICES; each is of one kind only.
void read_node_kinds()
{
    const char* names[] = {"FAKECAM_META", "FAKECAM_BUSY", "FAKECAM_DENIED"};
    std::uint64_t* kinds[] = {&config.meta, &config.busy, &config.denied};
    std::uint64_t seen = 0;
    for (int i = 0; i < 3; ++i) {
        const char* text = std::getenv(names[i]);
        if (text == nullptr)
            continue;
        *kinds[i] = parse_devices(names[i], text);
        if ((seen & *kinds[i]) != 0)
            bad_setting(names[i], text, "numbers not also in FAKECAM_META, FAKECAM_BUSY or FAKECAM_DENIED");
        seen |= *kinds[i];
    }
    config.devices |= seen;
    for (int number = 0; number < 64; ++number) {
        char name[32];
        std::snprintf(name, sizeof name, "FAKECAM_CARD_%d", number);
        config.cards[number] = std::getenv(name);
    }
}

void read_trace(const char* text)
{
    if (std::strcmp(text, "1") == 0) {
        config.trace = stderr;
    } else if (std::strchr(text, '/') != nullptr) {
        config.trace = std::fopen(text, "ae");
        if (config.trace == nullptr)
            bad_setting("FAKECAM_TRACE", text, "a file that can be written");
    } else if (*text != '\0' && std::strcmp(text, "0") != 0) {
        bad_setting("FAKECAM_TRACE", text, "1, 0 or the path of a file");
    }
}

void read_settings()
{
    if (const char* text = std::getenv("FAKECAM_DEVICES"))
        config.devices = parse_devices("FAKECAM_DEVICES", text);
    read_node_kinds();
    if (const char* text = std::getenv("FAKECAM_SIZE"))
        parse_size(text);
    if (const char* text = std::getenv("FAKECAM_FPS"))
        config.fps = static_cast<int>(parse_plain_number("FAKECAM_FPS", text, 1, 1000,
                                                         "a whole number of frames per second, 1 to 1000"));
    if (const char* text = std::getenv("FAKECAM_STOP_AFTER"))
        config.stop_after = parse_plain_number("FAKECAM_STOP_AFTER", text, 0, 1LL << 40,
                                               "a whole number of frames, 0 or more");
    if (const char* text = std::getenv("FAKECAM_TRACE"))
        read_trace(text);
    if (const char* text = std::getenv("FAKECAM_FORMAT"))
        parse_formats(text);
    if (const char* text = std::getenv("FAKECAM_DAMAGED"))
        config.damaged = parse_frames("FAKECAM_DAMAGED", text);
    if (const char* text = std::getenv("FAKECAM_EMPTY"))
        config.empty = parse_frames("FAKECAM_EMPTY", text);
    if (const char* text = std::getenv("FAKECAM_CUT"))
        config.cut = parse_frames("FAKECAM_CUT", text);
    if (const char* text = std::getenv("FAKECAM_END_MARKER")) {
        if (std::strcmp(text, "0") != 0 && std::strcmp(text, "1") != 0)
            bad_setting("FAKECAM_END_MARKER", text, "1 or 0");
        config.end_marker = std::strcmp(text, "1") == 0;
    }
    if (const char* text = std::getenv("FAKECAM_STALL")) {
        long long ms = 0;
        const char* colon = parse_number(text, 0, 1LL << 40, &config.stall_after);
        const char* end =
            colon != nullptr && *colon == ':' ? parse_number(colon + 1, 1, 3600000, &ms) : nullptr;
        if (end == nullptr || *end != '\0')
            bad_setting("FAKECAM_STALL", text, "K:MS, a frame count and a pause of 1 to 3600000 ms");
        config.stall_ns = ms * 1000000LL;
    }
    if (const char* text = std::getenv("FAKECAM_MIN_BUFFERS"))
        config.min_buffers = static_cast<unsigned>(
            parse_plain_number("FAKECAM_MIN_BUFFERS", text, 1, max_buffers, "a number of buffers, 1 to 32"));
    if (const char* path = std::getenv("FAKECAM_AGE_LOG")) {
        config.age_log = std::fopen(path, "ae");
        if (config.age_log == nullptr)
            bad_setting("FAKECAM_AGE_LOG", path, "a file that can be written");
    }
}

const settings& current_settings()
{
    pthread_once(&config_once, read_settings);
    return config;
}

// Settings are checked as soon as the library is loaded, so a bad one fails the run at once.
__attribute__((constructor)) void check_settings_at_load()
{
    current_settings();
}

long long now_ns()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

long long tick_ns()
{
    return 1000000000LL / current_settings().fps;
}

// The camera number of a /dev/videoN path, emulated or not (every one is answered here), or -1.
int emulated_number(const char* path)
{
    static const char prefix[] = "/dev/video";
    if (path == nullptr || std::strncmp(path, prefix, sizeof prefix - 1) != 0)
        return -1;
    const char* digits = path + sizeof prefix - 1;
    long long number = 0;
    const char* end = parse_number(digits, 0, 63, &number);
    if (end == nullptr || *end != '\0' || (digits[0] == '0' && end - digits > 1))
        return -1;
    return static_cast<int>(number);
}

bool in_mask(std::uint64_t mask, int number)
{
    return ((mask >> number) & 1U) != 0;
}

bool may_be_emulated(int fd)
{
    return fd >= 0 && open_count.load() > 0;
}

// Caller holds `lock`.
device* find_device(int fd)
{
    if (fd < 0)
        return nullptr;
    for (device& d : devices)
        if (d.fd == fd)
            return &d;
    return nullptr;
}

void trace_number(int number, const char* call, int result, int error)
{
    FILE* log = current_settings().trace;
    if (log == nullptr)
        return;
    if (result < 0)
        std::fprintf(log, "fakecam: /dev/video%d %s -> -1 (%s)\n", number, call, std::strerror(error));
    else
        std::fprintf(log, "fakecam: /dev/video%d %s -> %d\n", number, call, result);
    std::fflush(log);
}

void trace(const device& d, const char* call, int result, int error)
{
    trace_number(d.number, call, result, error);
}

void push(fifo& f, unsigned index)
{
    f.items[f.count++] = index;
}

unsigned pop(fifo& f)
{
    const unsigned first = f.items[0];
    std::memmove(f.items, f.items + 1, (f.count - 1) * sizeof f.items[0]);
    --f.count;
    return first;
}

bool unplugged(const device& d)
{
    const long long limit = current_settings().stop_after;
    return d.streaming && limit >= 0 && d.produced >= limit && d.done.count == 0;
}

// Makes the descriptor readable exactly when VIDIOC_DQBUF has something to report: at once when a
// frame is waiting or the device is gone, at the next sensor tick when a buffer is queued.
void arm_readiness(const device& d)
{
    itimerspec when{};
    int flags = 0;
    const long long limit = current_settings().stop_after;
    if (d.streaming && (d.done.count > 0 || unplugged(d))) {
        when.it_value.tv_nsec = 1;
    } else if (d.streaming && d.queued.count > 0 && (limit < 0 || d.produced < limit)) {
        when.it_value.tv_sec = d.next_tick_ns / 1000000000LL;
        when.it_value.tv_nsec = d.next_tick_ns % 1000000000LL;
        flags = TFD_TIMER_ABSTIME;
    }
    timerfd_settime(d.fd, flags, &when, nullptr);
}

// Where a JPEG's picture data starts: just past the header of its first scan (the FF DA marker,
// then its length). The whole size when there is none.
std::size_t picture_data_start(const std::vector<std::uint8_t>& jpeg)
{
    for (std::size_t i = 0; i + 3 < jpeg.size(); ++i)
        if (jpeg[i] == 0xff && jpeg[i + 1] == 0xda)
            return i + 2 + (static_cast<std::size_t>(jpeg[i + 2]) << 8 | jpeg[i + 3]);
    return jpeg.size();
}

// A frame's bytes as they arrived: all of them, or for a cut frame its headers and 90 % of the
// whole, at least one byte of picture data.
std::size_t arrived_bytes(const std::vector<std::uint8_t>& jpeg, long long number)
{
    if (!in_set(current_settings().cut, number))
        return jpeg.size();
    const std::size_t most = jpeg.size() * 9 / 10;
    const std::size_t least = picture_data_start(jpeg) + 1;
    return most > least ? most : least;
}

// The format and size the device sends in: what VIDIOC_S_FMT set, or the first of each.
mode current_mode(const device& d)
{
    const settings& s = current_settings();
    return d.chosen.format != 0 ? d.chosen : mode{s.formats[0], s.sizes[0].width, s.sizes[0].height};
}

// The bytes a buffer holds for a frame of `m`; a Motion JPEG frame gets as many as YUYV would.
std::size_t buffer_bytes(const mode& m)
{
    const std::size_t raw = fakecam::raw_frame_bytes(m.format, m.width, m.height);
    return raw != 0 ? raw : fakecam::yuyv_frame_bytes(m.width, m.height);
}

// The bytes of frame `number` in format and size `m` at `out`, at most `room` of them; returns how
// many.
std::size_t fill_frame(const mode& m, std::uint8_t* out, std::size_t room, long long number)
{
    const settings& s = current_settings();
    if (in_set(s.empty, number))
        return 0;
    const std::size_t raw = fakecam::raw_frame_bytes(m.format, m.width, m.height);
    if (raw != 0) {
        if (raw > room)
            return 0;
        fakecam::fill_raw(m.format, out, m.width, m.height, static_cast<std::uint32_t>(number));
        return raw;
    }
    cv::Mat yuyv(m.height, m.width, CV_8UC2);
    fakecam::fill_yuyv(yuyv.data, m.width, m.height, static_cast<std::uint32_t>(number));
    cv::Mat bgr;
    cv::cvtColor(yuyv, bgr, cv::COLOR_YUV2BGR_YUYV);
    std::vector<std::uint8_t> jpeg;
    cv::imencode(".jpg", bgr, jpeg, {cv::IMWRITE_JPEG_QUALITY, 100});
    if (!s.end_marker && jpeg.size() >= 2 && jpeg[jpeg.size() - 2] == 0xff && jpeg.back() == 0xd9)
        jpeg.resize(jpeg.size() - 2);
    const std::size_t arrived = arrived_bytes(jpeg, number);
    const std::size_t size = arrived < room ? arrived : room;
    std::memcpy(out, jpeg.data(), size);
    // Damage as a USB transfer can: the start of image and one byte of the first marker arrive,
    // the rest is lost.
    if (in_set(s.damaged, number) && size > 3)
        std::memset(out + 3, 0, size - 3);
    return size;
}

// Runs the sensor up to `now`: every tick that has passed fills the oldest queued buffer.
void run_sensor(device& d, long long now)
{
    const settings& s = current_settings();
    while (d.streaming && now >= d.next_tick_ns && (s.stop_after < 0 || d.produced < s.stop_after)) {
        if (d.queued.count == 0) {
            // Nowhere to put them: the ticks that passed are lost.
            d.next_tick_ns += ((now - d.next_tick_ns) / tick_ns() + 1) * tick_ns();
            break;
        }
        v4l2_buffer& b = d.buffers[pop(d.queued)];
        b.bytesused =
            static_cast<__u32>(fill_frame(current_mode(d), d.memory + b.m.offset, b.length, d.produced));
        b.sequence = static_cast<__u32>(d.produced);
        b.timestamp.tv_sec = d.next_tick_ns / 1000000000LL;
        b.timestamp.tv_usec = (d.next_tick_ns % 1000000000LL) / 1000;
        b.flags = (b.flags & ~V4L2_BUF_FLAG_QUEUED) | V4L2_BUF_FLAG_DONE;
        // uvcvideo marks a frame that lost data so, when it hands one out at all.
        if (current_mode(d).format == V4L2_PIX_FMT_MJPEG && in_set(s.cut, d.produced))
            b.flags |= V4L2_BUF_FLAG_ERROR;
        push(d.done, b.index);
        ++d.produced;
        d.next_tick_ns += tick_ns();
        if (d.produced == s.stall_after)
            d.next_tick_ns += s.stall_ns;
    }
}

void free_buffers(device& d)
{
    if (d.memory != nullptr)
        munmap(d.memory, d.stride * d.buffer_count);
    if (d.memfd >= 0)
        system_close(d.memfd);
    d.memory = nullptr;
    d.memfd = -1;
    d.buffer_count = 0;
    d.queued.count = 0;
    d.done.count = 0;
}

void fill_format(const mode& m, v4l2_pix_format& pix)
{
    pix = v4l2_pix_format{};
    pix.width = static_cast<__u32>(m.width);
    pix.height = static_cast<__u32>(m.height);
    pix.pixelformat = m.format;
    pix.field = V4L2_FIELD_NONE;
    // The bytes of a row of the first plane; none for a compressed format.
    const bool packed = m.format == V4L2_PIX_FMT_YUYV || m.format == V4L2_PIX_FMT_UYVY;
    pix.bytesperline = m.format == V4L2_PIX_FMT_MJPEG ? 0 : static_cast<__u32>(m.width * (packed ? 2 : 1));
    pix.sizeimage = static_cast<__u32>(buffer_bytes(m));
    pix.colorspace = V4L2_COLORSPACE_SRGB;
}

bool offers_format(__u32 fourcc)
{
    const settings& s = current_settings();
    for (int i = 0; i < s.format_count; ++i)
        if (s.formats[i] == fourcc)
            return true;
    return false;
}

bool offers_size(__u32 width, __u32 height)
{
    const settings& s = current_settings();
    for (int i = 0; i < s.size_count; ++i)
        if (static_cast<__u32>(s.sizes[i].width) == width && static_cast<__u32>(s.sizes[i].height) == height)
            return true;
    return false;
}

// What a request for `asked` gets, as uvcvideo answers it: that format when it is offered, else
// the first; the offered size with the least area outside the overlap of the two.
mode nearest_mode(const v4l2_pix_format& asked)
{
    const settings& s = current_settings();
    mode m{offers_format(asked.pixelformat) ? asked.pixelformat : s.formats[0], 0, 0};
    long long least = -1;
    for (int i = 0; i < s.size_count; ++i) {
        const long long w = s.sizes[i].width;
        const long long h = s.sizes[i].height;
        const long long overlap = std::min<long long>(w, asked.width) * std::min<long long>(h, asked.height);
        const long long outside = w * h + static_cast<long long>(asked.width) * asked.height - 2 * overlap;
        if (least < 0 || outside < least) {
            least = outside;
            m.width = s.sizes[i].width;
            m.height = s.sizes[i].height;
        }
    }
    return m;
}

// Each answer returns 0 or an errno value.

int query_capabilities(device& d, v4l2_capability& cap)
{
    cap = v4l2_capability{};
    std::snprintf(reinterpret_cast<char*>(cap.driver), sizeof cap.driver, "fakecam");
    const char* card = current_settings().cards[d.number];
    if (card != nullptr)
        std::snprintf(reinterpret_cast<char*>(cap.card), sizeof cap.card, "%s", card);
    else
        std::snprintf(reinterpret_cast<char*>(cap.card), sizeof cap.card, "Emulated test camera %d",
                      d.number);
    std::snprintf(reinterpret_cast<char*>(cap.bus_info), sizeof cap.bus_info, "platform:fakecam-%d",
                  d.number);
    cap.version = (6U << 16) | (1U << 8);
    cap.device_caps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
    cap.capabilities = cap.device_caps | V4L2_CAP_DEVICE_CAPS;
    // uvcvideo's metadata node: its own capabilities are metadata only, those of the whole device,
    // which OpenCV looks at, include the capture node beside it.
    if (in_mask(current_settings().meta, d.number)) {
        cap.device_caps = V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING;
        cap.capabilities |= cap.device_caps;
    }
    return 0;
}

int enumerate_formats(v4l2_fmtdesc& desc)
{
    const settings& s = current_settings();
    if (desc.type != V4L2_BUF_TYPE_VIDEO_CAPTURE || desc.index >= static_cast<__u32>(s.format_count))
        return EINVAL;
    const __u32 index = desc.index;
    desc = v4l2_fmtdesc{};
    desc.index = index;
    desc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    desc.pixelformat = s.formats[index];
    for (const format_name& known : format_names)
        if (known.fourcc == desc.pixelformat)
            std::snprintf(reinterpret_cast<char*>(desc.description), sizeof desc.description, "%s",
                          known.description);
    desc.flags = desc.pixelformat == V4L2_PIX_FMT_MJPEG ? V4L2_FMT_FLAG_COMPRESSED : 0;
    return 0;
}

// G_FMT answers the format set; TRY_FMT and S_FMT adjust a request to the nearest one offered, and
// S_FMT sets it.
int format(device& d, unsigned long request, v4l2_format& f)
{
    if (f.type != V4L2_BUF_TYPE_VIDEO_CAPTURE)
        return EINVAL;
    if (request == VIDIOC_S_FMT && d.buffer_count > 0)
        return EBUSY;
    const mode m = request == VIDIOC_G_FMT ? current_mode(d) : nearest_mode(f.fmt.pix);
    if (request == VIDIOC_S_FMT)
        d.chosen = m;
    fill_format(m, f.fmt.pix);
    return 0;
}

int enumerate_sizes(v4l2_frmsizeenum& size)
{
    const settings& s = current_settings();
    if (size.index >= static_cast<__u32>(s.size_count) || !offers_format(size.pixel_format))
        return EINVAL;
    size.type = V4L2_FRMSIZE_TYPE_DISCRETE;
    size.discrete.width = static_cast<__u32>(s.sizes[size.index].width);
    size.discrete.height = static_cast<__u32>(s.sizes[size.index].height);
    return 0;
}

int enumerate_intervals(v4l2_frmivalenum& interval)
{
    const settings& s = current_settings();
    if (interval.index != 0 || !offers_format(interval.pixel_format)
        || !offers_size(interval.width, interval.height))
        return EINVAL;
    interval.type = V4L2_FRMIVAL_TYPE_DISCRETE;
    interval.discrete.numerator = 1;
    interval.discrete.denominator = static_cast<__u32>(s.fps);
    return 0;
}

// G_PARM and S_PARM: the rate is fixed, so a request to change it is answered with the real one.
int stream_parameters(v4l2_streamparm& parm)
{
    if (parm.type != V4L2_BUF_TYPE_VIDEO_CAPTURE)
        return EINVAL;
    parm.parm.capture = v4l2_captureparm{};
    parm.parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
    parm.parm.capture.timeperframe.numerator = 1;
    parm.parm.capture.timeperframe.denominator = static_cast<__u32>(current_settings().fps);
    return 0;
}

int enumerate_inputs(v4l2_input& input)
{
    if (input.index != 0)
        return EINVAL;
    input = v4l2_input{};
    std::snprintf(reinterpret_cast<char*>(input.name), sizeof input.name, "Camera 1");
    input.type = V4L2_INPUT_TYPE_CAMERA;
    return 0;
}

int request_buffers(device& d, v4l2_requestbuffers& req)
{
    if (req.type != V4L2_BUF_TYPE_VIDEO_CAPTURE || req.memory != V4L2_MEMORY_MMAP)
        return EINVAL;
    if (d.streaming)
        return EBUSY;
    free_buffers(d);
    req.capabilities = V4L2_BUF_CAP_SUPPORTS_MMAP;
    if (req.count == 0)
        return 0;
    const unsigned asked =
        req.count < current_settings().min_buffers ? current_settings().min_buffers : req.count;
    const unsigned count = asked > max_buffers ? max_buffers : asked;
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::size_t bytes = buffer_bytes(current_mode(d));
    d.stride = (bytes + page - 1) / page * page;
    d.memfd = memfd_create("fakecam-buffers", MFD_CLOEXEC);
    if (d.memfd < 0 || ftruncate(d.memfd, static_cast<off_t>(d.stride * count)) != 0)
        return ENOMEM;
    void* memory = system_mmap(nullptr, d.stride * count, PROT_READ | PROT_WRITE, MAP_SHARED, d.memfd, 0);
    if (memory == MAP_FAILED)
        return ENOMEM;
    d.memory = static_cast<std::uint8_t*>(memory);
    d.buffer_count = count;
    for (unsigned i = 0; i < count; ++i) {
        v4l2_buffer& b = d.buffers[i];
        b = v4l2_buffer{};
        b.index = i;
        b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        b.memory = V4L2_MEMORY_MMAP;
        b.m.offset = static_cast<__u32>(i * d.stride);
        b.length = static_cast<__u32>(bytes);
        b.field = V4L2_FIELD_NONE;
        b.flags = V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
    }
    req.count = count;
    return 0;
}

int query_buffer(device& d, v4l2_buffer& b)
{
    if (b.type != V4L2_BUF_TYPE_VIDEO_CAPTURE || b.index >= d.buffer_count)
        return EINVAL;
    b = d.buffers[b.index];
    return 0;
}

int queue_buffer(device& d, v4l2_buffer& b)
{
    if (b.type != V4L2_BUF_TYPE_VIDEO_CAPTURE || b.memory != V4L2_MEMORY_MMAP || b.index >= d.buffer_count)
        return EINVAL;
    v4l2_buffer& own = d.buffers[b.index];
    if ((own.flags & (V4L2_BUF_FLAG_QUEUED | V4L2_BUF_FLAG_DONE)) != 0)
        return EINVAL;
    // Ticks that passed while no buffer was queued were lost: this one gets the next frame.
    run_sensor(d, now_ns());
    own.flags = (own.flags & ~(V4L2_BUF_FLAG_DONE | V4L2_BUF_FLAG_ERROR)) | V4L2_BUF_FLAG_QUEUED;
    own.bytesused = 0;
    push(d.queued, own.index);
    b = own;
    return 0;
}

// Waits, without holding the lock, until the descriptor says a dequeue has something to report.
void wait_for_frame(int fd)
{
    pollfd p{fd, POLLIN, 0};
    pthread_mutex_unlock(&lock);
    poll(&p, 1, -1);
    pthread_mutex_lock(&lock);
}

void log_age(const v4l2_buffer& b)
{
    FILE* log = current_settings().age_log;
    if (log == nullptr)
        return;
    const long long captured = b.timestamp.tv_sec * 1000000000LL + b.timestamp.tv_usec * 1000LL;
    std::fprintf(log, "%u %lld %lld %u\n", b.sequence, captured, now_ns(), b.flags);
    std::fflush(log);
}

int dequeue_buffer(int fd, v4l2_buffer& b)
{
    for (;;) {
        device* d = find_device(fd);
        if (d == nullptr)
            return EBADF;
        if (b.type != V4L2_BUF_TYPE_VIDEO_CAPTURE || b.memory != V4L2_MEMORY_MMAP || !d->streaming)
            return EINVAL;
        run_sensor(*d, now_ns());
        if (d->done.count > 0) {
            v4l2_buffer& own = d->buffers[pop(d->done)];
            own.flags &= ~V4L2_BUF_FLAG_DONE;
            b = own;
            log_age(own);
            return 0;
        }
        if (unplugged(*d))
            return ENODEV;
        if (d->nonblocking)
            return EAGAIN;
        if (d->queued.count == 0)
            return EINVAL; // nothing could ever arrive: waiting would never end
        arm_readiness(*d);
        wait_for_frame(fd);
    }
}

int stream_on(device& d, int type)
{
    if (type != V4L2_BUF_TYPE_VIDEO_CAPTURE || d.buffer_count == 0)
        return EINVAL;
    if (!d.streaming) {
        d.streaming = true;
        d.next_tick_ns = now_ns() + tick_ns();
    }
    return 0;
}

int stream_off(device& d, int type)
{
    if (type != V4L2_BUF_TYPE_VIDEO_CAPTURE)
        return EINVAL;
    d.streaming = false;
    d.queued.count = 0;
    d.done.count = 0;
    for (unsigned i = 0; i < d.buffer_count; ++i)
        d.buffers[i].flags &= ~(V4L2_BUF_FLAG_QUEUED | V4L2_BUF_FLAG_DONE | V4L2_BUF_FLAG_ERROR);
    return 0;
}

struct request_name {
    unsigned long request;
    const char* name;
};

// Names for the trace; requests outside this list are answered ENOTTY.
constexpr request_name request_names[] = {
    {VIDIOC_QUERYCAP, "VIDIOC_QUERYCAP"},
    {VIDIOC_ENUM_FMT, "VIDIOC_ENUM_FMT"},
    {VIDIOC_G_FMT, "VIDIOC_G_FMT"},
    {VIDIOC_S_FMT, "VIDIOC_S_FMT"},
    {VIDIOC_TRY_FMT, "VIDIOC_TRY_FMT"},
    {VIDIOC_ENUM_FRAMESIZES, "VIDIOC_ENUM_FRAMESIZES"},
    {VIDIOC_ENUM_FRAMEINTERVALS, "VIDIOC_ENUM_FRAMEINTERVALS"},
    {VIDIOC_G_PARM, "VIDIOC_G_PARM"},
    {VIDIOC_S_PARM, "VIDIOC_S_PARM"},
    {VIDIOC_G_INPUT, "VIDIOC_G_INPUT"},
    {VIDIOC_S_INPUT, "VIDIOC_S_INPUT"},
    {VIDIOC_ENUMINPUT, "VIDIOC_ENUMINPUT"},
    {VIDIOC_REQBUFS, "VIDIOC_REQBUFS"},
    {VIDIOC_QUERYBUF, "VIDIOC_QUERYBUF"},
    {VIDIOC_QBUF, "VIDIOC_QBUF"},
    {VIDIOC_DQBUF, "VIDIOC_DQBUF"},
    {VIDIOC_STREAMON, "VIDIOC_STREAMON"},
    {VIDIOC_STREAMOFF, "VIDIOC_STREAMOFF"},
    {VIDIOC_QUERYCTRL, "VIDIOC_QUERYCTRL"},
    {VIDIOC_G_CTRL, "VIDIOC_G_CTRL"},
    {VIDIOC_S_CTRL, "VIDIOC_S_CTRL"},
};

// A metadata node has formats and buffers of its own type only, and none of a camera's input or
// rate requests.
int answer_metadata_node(device& d, unsigned long request, void* arg)
{
    switch (request) {
    case VIDIOC_QUERYCAP:
        return query_capabilities(d, *static_cast<v4l2_capability*>(arg));
    case VIDIOC_ENUM_FMT:
    case VIDIOC_G_FMT:
    case VIDIOC_S_FMT:
    case VIDIOC_TRY_FMT:
    case VIDIOC_REQBUFS:
    case VIDIOC_QUERYBUF:
    case VIDIOC_QBUF:
    case VIDIOC_DQBUF:
    case VIDIOC_STREAMON:
    case VIDIOC_STREAMOFF:
        return EINVAL;
    default:
        return ENOTTY;
    }
}

// uvcvideo answers these only for the program that holds the camera.
bool refused_while_held(unsigned long request)
{
    return request == VIDIOC_S_FMT || request == VIDIOC_S_PARM || request == VIDIOC_S_INPUT
           || request == VIDIOC_REQBUFS;
}

void trace_ioctl(const device& d, unsigned long request, int error)
{
    if (!current_settings().trace)
        return;
    char call[48];
    std::snprintf(call, sizeof call, "ioctl 0x%lx", request);
    for (const request_name& known : request_names)
        if (known.request == request)
            std::snprintf(call, sizeof call, "%s", known.name);
    trace(d, call, error == 0 ? 0 : -1, error);
}

int answer_ioctl(int fd, unsigned long request, void* arg)
{
    device* d = find_device(fd);
    if (d == nullptr)
        return EBADF;
    if (arg == nullptr && request != VIDIOC_STREAMON && request != VIDIOC_STREAMOFF)
        return EFAULT;
    if (in_mask(current_settings().meta, d->number))
        return answer_metadata_node(*d, request, arg);
    if (in_mask(current_settings().busy, d->number) && refused_while_held(request))
        return EBUSY;
    switch (request) {
    case VIDIOC_QUERYCAP:
        return query_capabilities(*d, *static_cast<v4l2_capability*>(arg));
    case VIDIOC_ENUM_FMT:
        return enumerate_formats(*static_cast<v4l2_fmtdesc*>(arg));
    case VIDIOC_G_FMT:
    case VIDIOC_S_FMT:
    case VIDIOC_TRY_FMT:
        return format(*d, request, *static_cast<v4l2_format*>(arg));
    case VIDIOC_ENUM_FRAMESIZES:
        return enumerate_sizes(*static_cast<v4l2_frmsizeenum*>(arg));
    case VIDIOC_ENUM_FRAMEINTERVALS:
        return enumerate_intervals(*static_cast<v4l2_frmivalenum*>(arg));
    case VIDIOC_G_PARM:
    case VIDIOC_S_PARM:
        return stream_parameters(*static_cast<v4l2_streamparm*>(arg));
    case VIDIOC_G_INPUT:
        *static_cast<int*>(arg) = 0;
        return 0;
    case VIDIOC_S_INPUT:
        return *static_cast<int*>(arg) == 0 ? 0 : EINVAL;
    case VIDIOC_ENUMINPUT:
        return enumerate_inputs(*static_cast<v4l2_input*>(arg));
    case VIDIOC_REQBUFS:
        return request_buffers(*d, *static_cast<v4l2_requestbuffers*>(arg));
    case VIDIOC_QUERYBUF:
        return query_buffer(*d, *static_cast<v4l2_buffer*>(arg));
    case VIDIOC_QBUF:
        return queue_buffer(*d, *static_cast<v4l2_buffer*>(arg));
    case VIDIOC_DQBUF:
        return dequeue_buffer(fd, *static_cast<v4l2_buffer*>(arg));
    case VIDIOC_STREAMON:
        return arg == nullptr ? EFAULT : stream_on(*d, *static_cast<int*>(arg));
    case VIDIOC_STREAMOFF:
        return arg == nullptr ? EFAULT : stream_off(*d, *static_cast<int*>(arg));
    case VIDIOC_QUERYCTRL:
    case VIDIOC_G_CTRL:
    case VIDIOC_S_CTRL:
        return EINVAL; // the camera has no controls
    default:
        return ENOTTY;
    }
}

int open_device(int number, int flags)
{
    const settings& s = current_settings();
    if (!in_mask(s.devices, number) || in_mask(s.denied, number)) {
        const int error = in_mask(s.denied, number) ? EACCES : ENOENT;
        trace_number(number, "open", -1, error);
        errno = error;
        return -1;
    }
    const int fd = timerfd_create(CLOCK_MONOTONIC, (flags & O_CLOEXEC) != 0 ? TFD_CLOEXEC : 0);
    if (fd < 0)
        return -1;
    pthread_mutex_lock(&lock);
    device* slot = nullptr;
    for (device& d : devices)
        if (d.fd < 0 && slot == nullptr)
            slot = &d;
    if (slot == nullptr) {
        pthread_mutex_unlock(&lock);
        system_close(fd);
        errno = EMFILE;
        return -1;
    }
    *slot = device{};
    slot->fd = fd;
    slot->number = number;
    slot->nonblocking = (flags & O_NONBLOCK) != 0;
    ++open_count;
    trace(*slot, "open", fd, 0);
    pthread_mutex_unlock(&lock);
    return fd;
}

// A node that refuses to open is there all the same, as udev makes a camera's node: a character
// device (major 81) of root and the group "video", which only they may open.
template <typename Stat> bool stat_denied(const char* path, Stat* out)
{
    const int number = emulated_number(path);
    if (number < 0 || !in_mask(current_settings().denied, number))
        return false;
    *out = Stat{};
    out->st_mode = S_IFCHR | 0660;
    out->st_rdev = makedev(81, static_cast<unsigned>(number));
    out->st_nlink = 1;
    group entry{};
    group* found = nullptr;
    char buffer[1024];
    if (getgrnam_r("video", &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr)
        out->st_gid = found->gr_gid;
    trace_number(number, "stat", 0, 0);
    return true;
}

int mode_argument(int flags, va_list args)
{
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(args, int) : 0;
}

} // namespace

extern "C" {

int open(const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const int mode = mode_argument(flags, args);
    va_end(args);
    const int number = emulated_number(path);
    if (number >= 0)
        return open_device(number, flags);
    static open_fn* real = next_symbol<open_fn>("open");
    return real(path, flags, mode);
}

int open64(const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const int mode = mode_argument(flags, args);
    va_end(args);
    const int number = emulated_number(path);
    if (number >= 0)
        return open_device(number, flags);
    static open_fn* real = next_symbol<open_fn>("open64");
    return real(path, flags, mode);
}

int openat(int dir, const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const int mode = mode_argument(flags, args);
    va_end(args);
    const int number = emulated_number(path);
    if (number >= 0)
        return open_device(number, flags);
    static openat_fn* real = next_symbol<openat_fn>("openat");
    return real(dir, path, flags, mode);
}

int openat64(int dir, const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const int mode = mode_argument(flags, args);
    va_end(args);
    const int number = emulated_number(path);
    if (number >= 0)
        return open_device(number, flags);
    static openat_fn* real = next_symbol<openat_fn>("openat64");
    return real(dir, path, flags, mode);
}

// The entry points that _FORTIFY_SOURCE builds call instead of open and openat.
int __open_2(const char* path, int flags)
{
    const int number = emulated_number(path);
    if (number >= 0)
        return open_device(number, flags);
    static open_2_fn* real = next_symbol<open_2_fn>("__open_2");
    return real(path, flags);
}

int __open64_2(const char* path, int flags)
{
    const int number = emulated_number(path);
    if (number >= 0)
        return open_device(number, flags);
    static open_2_fn* real = next_symbol<open_2_fn>("__open64_2");
    return real(path, flags);
}

int __openat_2(int dir, const char* path, int flags)
{
    const int number = emulated_number(path);
    if (number >= 0)
        return open_device(number, flags);
    static openat_2_fn* real = next_symbol<openat_2_fn>("__openat_2");
    return real(dir, path, flags);
}

int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    static ioctl_fn* real = next_symbol<ioctl_fn>("ioctl");
    if (!may_be_emulated(fd))
        return real(fd, request, arg);
    pthread_mutex_lock(&lock);
    device* d = find_device(fd);
    if (d == nullptr) {
        pthread_mutex_unlock(&lock);
        return real(fd, request, arg);
    }
    const int error = answer_ioctl(fd, request, arg);
    // A blocking VIDIOC_DQBUF lets go of the lock while it waits; the device may be gone after it.
    if (device* still_open = find_device(fd)) {
        arm_readiness(*still_open);
        trace_ioctl(*still_open, request, error);
    }
    pthread_mutex_unlock(&lock);
    if (error != 0) {
        errno = error;
        return -1;
    }
    return 0;
}

void* mmap(void* address, std::size_t length, int protection, int flags, int fd, off_t offset) noexcept
{
    if (!may_be_emulated(fd))
        return system_mmap(address, length, protection, flags, fd, offset);
    pthread_mutex_lock(&lock);
    device* d = find_device(fd);
    if (d == nullptr) {
        pthread_mutex_unlock(&lock);
        return system_mmap(address, length, protection, flags, fd, offset);
    }
    // Only whole buffers, at the offsets that VIDIOC_QUERYBUF reports, can be mapped.
    void* result = MAP_FAILED;
    int error = EINVAL;
    if (d->buffer_count > 0 && offset >= 0 && static_cast<std::size_t>(offset) % d->stride == 0
        && static_cast<std::size_t>(offset) / d->stride < d->buffer_count && length > 0
        && length <= d->stride) {
        result = system_mmap(address, length, protection, flags, d->memfd, offset);
        error = errno;
    }
    trace(*d, "mmap", result == MAP_FAILED ? -1 : 0, error);
    pthread_mutex_unlock(&lock);
    if (result == MAP_FAILED)
        errno = error;
    return result;
}

void* mmap64(void* address, std::size_t length, int protection, int flags, int fd, off64_t offset) noexcept
{
    return mmap(address, length, protection, flags, fd, static_cast<off_t>(offset));
}

// The device offers streaming only, as a driver without V4L2_CAP_READWRITE does.
ssize_t read(int fd, void* data, std::size_t size)
{
    static read_fn* real = next_symbol<read_fn>("read");
    if (!may_be_emulated(fd))
        return real(fd, data, size);
    pthread_mutex_lock(&lock);
    device* d = find_device(fd);
    if (d != nullptr) {
        trace(*d, "read", -1, EINVAL);
        pthread_mutex_unlock(&lock);
        errno = EINVAL;
        return -1;
    }
    pthread_mutex_unlock(&lock);
    return real(fd, data, size);
}

int close(int fd)
{
    if (!may_be_emulated(fd))
        return system_close(fd);
    pthread_mutex_lock(&lock);
    if (device* d = find_device(fd)) {
        free_buffers(*d);
        trace(*d, "close", 0, 0);
        d->fd = -1;
        --open_count;
    }
    pthread_mutex_unlock(&lock);
    return system_close(fd);
}

int stat(const char* path, struct stat* out) noexcept
{
    if (stat_denied(path, out))
        return 0;
    static stat_fn* real = next_symbol<stat_fn>("stat");
    return real(path, out);
}

int stat64(const char* path, struct stat64* out) noexcept
{
    if (stat_denied(path, out))
        return 0;
    static stat64_fn* real = next_symbol<stat64_fn>("stat64");
    return real(path, out);
}

} // extern "C"
