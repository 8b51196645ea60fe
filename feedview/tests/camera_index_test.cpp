#include "camera_diagnosis.hpp"
#include "camera_index.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <linux/videodev2.h>
#include <vector>

namespace {

int index_for(std::vector<const char*> args)
{
    args.insert(args.begin(), "feedview");
    return camera_index(static_cast<int>(args.size()), args.data());
}

TEST(CameraIndex, OneArgumentIsItsFirstCharacterMinusTheCodeOfZero)
{
    EXPECT_EQ(index_for({"0"}), 0);
    EXPECT_EQ(index_for({"7"}), 7);
    EXPECT_EQ(index_for({"9"}), 9);
    EXPECT_EQ(index_for({"12"}), 1) << "only the first character counts";
    EXPECT_EQ(index_for({"x"}), 72);
    EXPECT_EQ(index_for({" "}), 32 - 48);
    EXPECT_EQ(index_for({""}), -48);
}

TEST(CameraIndex, NonAsciiFirstByteIsTakenAsSigned)
{
    EXPECT_EQ(index_for({"\xc3\xa9"}), -61 - 48) << "the first byte of UTF-8 e-acute, 0xc3";
    EXPECT_EQ(index_for({"\xff"}), -1 - 48);
    EXPECT_EQ(index_for({"\x80"}), -128 - 48);
}

TEST(CameraIndex, NoArgumentOrSeveralMeanCameraOne)
{
    EXPECT_EQ(index_for({}), 1);
    EXPECT_EQ(index_for({"0", "0"}), 1);
    EXPECT_EQ(index_for({"7", "x", ""}), 1);
    EXPECT_EQ(camera_index(0, nullptr), 1) << "an empty argument vector";
}

// The line for a camera that did not open names the fault, and where the node is not a camera
// at all, the capture devices there are and the argument that picks each.
TEST(UnopenedLine, NamesTheFaultAndWhereTheCamerasAre)
{
    const std::vector<capture_node> laptop{{0, "Integrated Camera"}};
    const std::vector<capture_node> two{{0, "Integrated Camera"}, {2, "USB Camera"}, {12, "Capture card"}};
    const std::string start = "feedview: cannot open camera 1 (/dev/video1): ";
    const std::string end = "; press a key to quit\n";
    EXPECT_EQ(unopened_line(1, {camera_fault::missing, "", "", {}}),
              start + "no such device; there is no video capture device" + end);
    EXPECT_EQ(
        unopened_line(1, {camera_fault::missing, "", "", laptop}),
        start + "no such device; the video capture device is /dev/video0 \"Integrated Camera\" (feedview 0)"
            + end);
    EXPECT_EQ(unopened_line(1, {camera_fault::metadata, "", "Integrated Camera", two}),
              start
                  + "a metadata node of \"Integrated Camera\", which carries no pictures; the video capture "
                    "devices are /dev/video0 \"Integrated Camera\" (feedview 0), /dev/video2 \"USB Camera\" "
                    "(feedview 2) and /dev/video12 \"Capture card\""
                  + end)
        << "a node past 9 cannot be chosen";
    EXPECT_EQ(
        unopened_line(1, {camera_fault::output_only, "", "Loopback", {}}),
        start
            + "an output-only node of \"Loopback\", which carries no pictures; there is no video capture "
              "device"
            + end);
    EXPECT_EQ(
        unopened_line(1, {camera_fault::denied, "video", "", laptop}),
        start + "permission denied; add yourself to the group 'video' (the device's group) and log in again"
            + end)
        << "the right node: no other is named";
    EXPECT_EQ(unopened_line(1, {camera_fault::denied, "root", "", {}}), start + "permission denied" + end);
    EXPECT_EQ(unopened_line(1, {camera_fault::busy, "", "Integrated Camera", laptop}),
              start + "in use by another program" + end);
    EXPECT_EQ(unopened_line(1, {camera_fault::unknown, "", "", laptop}),
              "feedview: cannot open camera 1 (/dev/video1)" + end);
    EXPECT_EQ(unopened_line(-48, {camera_fault::missing, "", "", laptop}),
              "feedview: cannot open camera -48" + end)
        << "a negative index names no node";
}

TEST(UnopenedLine, FaultsOfOpenErrorsAndCapabilities)
{
    EXPECT_EQ(fault_of_open_error(ENOENT), camera_fault::missing);
    EXPECT_EQ(fault_of_open_error(ENODEV), camera_fault::missing);
    EXPECT_EQ(fault_of_open_error(EACCES), camera_fault::denied);
    EXPECT_EQ(fault_of_open_error(EBUSY), camera_fault::busy);
    EXPECT_EQ(fault_of_open_error(EIO), camera_fault::unknown);
    const unsigned device = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_META_CAPTURE | V4L2_CAP_DEVICE_CAPS;
    // uvcvideo's metadata node: the whole device captures video, the node only metadata.
    EXPECT_EQ(fault_of_capabilities(device, V4L2_CAP_META_CAPTURE), camera_fault::metadata);
    EXPECT_FALSE(carries_pictures(device, V4L2_CAP_META_CAPTURE));
    EXPECT_EQ(fault_of_capabilities(device, V4L2_CAP_VIDEO_CAPTURE), camera_fault::unknown);
    EXPECT_TRUE(carries_pictures(device, V4L2_CAP_VIDEO_CAPTURE_MPLANE));
    EXPECT_TRUE(carries_pictures(V4L2_CAP_VIDEO_CAPTURE, 0)) << "without device_caps, capabilities count";
    EXPECT_EQ(fault_of_capabilities(V4L2_CAP_VIDEO_OUTPUT, 0), camera_fault::output_only);
    EXPECT_EQ(fault_of_capabilities(V4L2_CAP_RADIO | V4L2_CAP_TUNER, 0), camera_fault::no_pictures);
}

} // namespace
