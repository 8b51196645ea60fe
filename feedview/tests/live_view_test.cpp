// The viewer's check of a Motion JPEG frame, on JPEGs made here: whole ones, with and without the
// padding some cameras add, and every cut of one that keeps its headers.
#include "live_view.hpp"

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <cstddef>
#include <vector>

namespace {

using bytes = std::vector<unsigned char>;

// A picture with detail everywhere, so that its picture data is long and varied.
bytes encoded_picture(int quality)
{
    cv::Mat picture(120, 160, CV_8UC3);
    cv::randu(picture, cv::Scalar::all(0), cv::Scalar::all(256));
    bytes jpeg;
    EXPECT_TRUE(cv::imencode(".jpg", picture, jpeg, {cv::IMWRITE_JPEG_QUALITY, quality}));
    return jpeg;
}

bool whole(const bytes& data)
{
    return jpeg_frame_whole(
        cv::Mat(1, static_cast<int>(data.size()), CV_8U, const_cast<unsigned char*>(data.data())));
}

// Where the first scan's header ends: the cuts that matter lie past it.
std::size_t picture_data_start(const bytes& jpeg)
{
    for (std::size_t i = 0; i + 3 < jpeg.size(); ++i)
        if (jpeg[i] == 0xff && jpeg[i + 1] == 0xda)
            return i + 2 + (static_cast<std::size_t>(jpeg[i + 2]) << 8 | jpeg[i + 3]);
    return jpeg.size();
}

bytes padded(bytes data, std::size_t count, unsigned char fill)
{
    data.insert(data.end(), count, fill);
    return data;
}

TEST(JpegFrameWhole, AWholeFrameIsWholeWithOrWithoutPadding)
{
    for (const int quality : {50, 95}) {
        SCOPED_TRACE("quality " + std::to_string(quality));
        const bytes jpeg = encoded_picture(quality);
        ASSERT_FALSE(cv::imdecode(jpeg, cv::IMREAD_COLOR).empty());
        EXPECT_TRUE(whole(jpeg));
        EXPECT_TRUE(whole(padded(jpeg, 1, 0x00)));
        EXPECT_TRUE(whole(padded(jpeg, 4096, 0x00)));
        EXPECT_TRUE(whole(padded(jpeg, 3, 0xff)));
    }
}

// Every length from the first byte of picture data to one short of the end, as it came and with
// padding after the cut: none ends in the end-of-image marker, which cannot occur inside the data.
TEST(JpegFrameWhole, EveryCutInsideThePictureDataIsNotWhole)
{
    const bytes jpeg = encoded_picture(95);
    const std::size_t start = picture_data_start(jpeg);
    ASSERT_LT(start, jpeg.size());
    int wrongly_whole = 0;
    for (std::size_t length = start + 1; length < jpeg.size(); ++length) {
        const bytes cut(jpeg.begin(), jpeg.begin() + static_cast<std::ptrdiff_t>(length));
        wrongly_whole += whole(cut) + whole(padded(cut, 64, 0x00));
    }
    EXPECT_EQ(wrongly_whole, 0) << "of " << jpeg.size() - start - 1 << " cuts";
}

TEST(JpegFrameWhole, NoDataOrTooLittleIsNotWhole)
{
    EXPECT_FALSE(jpeg_frame_whole(cv::Mat()));
    EXPECT_FALSE(whole({0xd9}));
    EXPECT_FALSE(whole({0x00, 0x00}));
    EXPECT_FALSE(whole({0xff, 0xff, 0xff}));
}

} // namespace
