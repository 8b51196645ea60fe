// Why a camera that the capture library would not open did not: a look at its node, and the line
// that tells the user.
#pragma once

#include <string>
#include <vector>

enum class camera_fault { unknown, missing, denied, busy, not_video, metadata, output_only, no_pictures };

// A node under /dev that is a video capture device, by number and card name.
struct capture_node {
    int number = 0;
    std::string card;
};

struct camera_finding {
    camera_fault fault = camera_fault::unknown;
    std::string group;                       // denied: the node's group, empty when not known
    std::string card;                        // the node's own card name, when it answered
    std::vector<capture_node> capture_nodes; // the other nodes that are video capture devices
};

// What a failed open of a node says about it.
camera_fault fault_of_open_error(int error);

// What a node is by its VIDIOC_QUERYCAP answer: unknown for a video capture device, which carries
// pictures. Its own capabilities are device_caps when V4L2_CAP_DEVICE_CAPS is set.
camera_fault fault_of_capabilities(unsigned capabilities, unsigned device_caps);
bool carries_pictures(unsigned capabilities, unsigned device_caps);

// feedview's one line, with its newline, for camera `index` that did not open. An unknown fault,
// and a negative index, which names no node, give only the camera and its node. Where the node is
// not the camera, the line names the video capture devices there are and how to choose them.
std::string unopened_line(int index, const camera_finding& finding);

// Looks at /dev/video<index> and at the other nodes from /dev/video0 to /dev/video63.
camera_finding diagnose_camera(int index);
