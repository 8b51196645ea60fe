#include "camera_index.hpp"

#include <gtest/gtest.h>

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

} // namespace
