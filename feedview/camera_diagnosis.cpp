#include "camera_diagnosis.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const int highest_node = 63;
// The highest camera that feedview's one-character argument can choose.
const int highest_choice = 9;

const unsigned capture_caps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_VIDEO_CAPTURE_MPLANE;

std::string node_path(int number)
{
    return "/dev/video" + std::to_string(number);
}

unsigned own_capabilities(unsigned capabilities, unsigned device_caps)
{
    return (capabilities & V4L2_CAP_DEVICE_CAPS) != 0 ? device_caps : capabilities;
}

std::string quoted(const std::string& card)
{
    return card.empty() ? std::string() : " \"" + card + "\"";
}

std::string of_card(const std::string& card)
{
    return card.empty() ? std::string() : " of" + quoted(card);
}

std::string what_is_wrong(const camera_finding& finding)
{
    switch (finding.fault) {
    case camera_fault::missing:
        return "no such device";
    case camera_fault::denied:
        // root's group is no advice: nobody is meant to join it.
        if (finding.group.empty() || finding.group == "root")
            return "permission denied";
        return "permission denied; add yourself to the group '" + finding.group
               + "' (the device's group) and log in again";
    case camera_fault::busy:
        return "in use by another program";
    case camera_fault::not_video:
        return "not a video device";
    case camera_fault::metadata:
        return "a metadata node" + of_card(finding.card) + ", which carries no pictures";
    case camera_fault::output_only:
        return "an output-only node" + of_card(finding.card) + ", which carries no pictures";
    case camera_fault::no_pictures:
        return "a node" + of_card(finding.card) + " that carries no pictures";
    case camera_fault::unknown:
        break;
    }
    return {};
}

std::string capture_nodes_named(const std::vector<capture_node>& nodes)
{
    if (nodes.empty())
        return "there is no video capture device";
    std::string text = nodes.size() == 1 ? "the video capture device is " : "the video capture devices are ";
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        if (i > 0)
            text += i + 1 == nodes.size() ? " and " : ", ";
        text += node_path(nodes[i].number) + quoted(nodes[i].card);
        if (nodes[i].number <= highest_choice)
            text += " (feedview " + std::to_string(nodes[i].number) + ")";
    }
    return text;
}

bool names_other_nodes(camera_fault fault)
{
    return fault == camera_fault::missing || fault == camera_fault::not_video
           || fault == camera_fault::metadata || fault == camera_fault::output_only
           || fault == camera_fault::no_pictures;
}

std::string card_of(const v4l2_capability& cap)
{
    const char* card = reinterpret_cast<const char*>(cap.card);
    return std::string(card, strnlen(card, sizeof cap.card));
}

std::string group_of(const std::string& path)
{
    struct stat node = {};
    if (stat(path.c_str(), &node) != 0)
        return {};
    group entry{};
    group* found = nullptr;
    char buffer[1024];
    if (getgrgid_r(node.st_gid, &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr)
        return {};
    return found->gr_name;
}

// Whether another program holds the camera: a request for no buffers changes nothing, yet the
// drivers refuse it with EBUSY to all but the holder.
bool held_elsewhere(int fd, unsigned caps)
{
    v4l2_requestbuffers request{};
    request.type = (caps & V4L2_CAP_VIDEO_CAPTURE) != 0 ? V4L2_BUF_TYPE_VIDEO_CAPTURE
                                                        : V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE;
    request.memory = V4L2_MEMORY_MMAP;
    request.count = 0;
    return ioctl(fd, VIDIOC_REQBUFS, &request) != 0 && errno == EBUSY;
}

int open_node(int number)
{
    return open(node_path(number).c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
}

std::vector<capture_node> other_capture_nodes(int index)
{
    std::vector<capture_node> nodes;
    for (int number = 0; number <= highest_node; ++number) {
        if (number == index)
            continue;
        const int fd = open_node(number);
        if (fd < 0)
            continue;
        v4l2_capability cap{};
        if (ioctl(fd, VIDIOC_QUERYCAP, &cap) == 0 && carries_pictures(cap.capabilities, cap.device_caps))
            nodes.push_back({number, card_of(cap)});
        close(fd);
    }
    return nodes;
}

} // namespace

camera_fault fault_of_open_error(int error)
{
    switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return camera_fault::missing;
    case EACCES:
    case EPERM:
        return camera_fault::denied;
    case EBUSY:
        return camera_fault::busy;
    default:
        return camera_fault::unknown;
    }
}

bool carries_pictures(unsigned capabilities, unsigned device_caps)
{
    return (own_capabilities(capabilities, device_caps) & capture_caps) != 0;
}

camera_fault fault_of_capabilities(unsigned capabilities, unsigned device_caps)
{
    const unsigned caps = own_capabilities(capabilities, device_caps);
    if ((caps & capture_caps) != 0)
        return camera_fault::unknown;
    if ((caps & V4L2_CAP_META_CAPTURE) != 0)
        return camera_fault::metadata;
    if ((caps & (V4L2_CAP_VIDEO_OUTPUT | V4L2_CAP_VIDEO_OUTPUT_MPLANE)) != 0)
        return camera_fault::output_only;
    return camera_fault::no_pictures;
}

std::string unopened_line(int index, const camera_finding& finding)
{
    std::string line = "feedview: cannot open camera " + std::to_string(index);
    if (index >= 0)
        line += " (" + node_path(index) + ")";
    if (index >= 0 && finding.fault != camera_fault::unknown) {
        line += ": " + what_is_wrong(finding);
        if (names_other_nodes(finding.fault))
            line += "; " + capture_nodes_named(finding.capture_nodes);
    }
    return line + "; press a key to quit\n";
}

camera_finding diagnose_camera(int index)
{
    camera_finding finding;
    if (index < 0)
        return finding;
    const int fd = open_node(index);
    if (fd < 0) {
        finding.fault = fault_of_open_error(errno);
        if (finding.fault == camera_fault::denied)
            finding.group = group_of(node_path(index));
    } else {
        v4l2_capability cap{};
        if (ioctl(fd, VIDIOC_QUERYCAP, &cap) != 0) {
            finding.fault = camera_fault::not_video;
        } else {
            finding.card = card_of(cap);
            finding.fault = fault_of_capabilities(cap.capabilities, cap.device_caps);
            if (finding.fault == camera_fault::unknown
                && held_elsewhere(fd, own_capabilities(cap.capabilities, cap.device_caps)))
                finding.fault = camera_fault::busy;
        }
        close(fd);
    }
    if (names_other_nodes(finding.fault))
        finding.capture_nodes = other_capture_nodes(index);
    return finding;
}
