#include "filter_frame.hpp"
#include "filter_frame_impl.hpp"
#include "literal_filter.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <random>
#include <string>
#include <vector>

namespace {

struct frame {
    int height;
    int width;
    int step;
    int channels;
    std::vector<unsigned char> bytes; // exactly (height - 1) * step + width * channels
    unsigned char* at(int r, int c) { return bytes.data() + r * step + c * channels; }
};

frame make_frame(int height, int width, int padding, int channels, unsigned char fill)
{
    const int step = width * channels + padding;
    const std::size_t size = static_cast<std::size_t>(height - 1) * step + width * channels;
    return {height, width, step, channels, std::vector<unsigned char>(size, fill)};
}

void set_pixel(frame& f, int r, int c, unsigned char b, unsigned char g, unsigned char red)
{
    unsigned char* p = f.at(r, c);
    p[0] = b;
    p[1] = g;
    p[2] = red;
}

// Bytes spread over the whole range, with the threshold neighbourhood and the extremes well
// represented, so that pixels often sit on a boundary in one channel or more.
unsigned char random_byte(std::mt19937& rng)
{
    static const unsigned char near_edges[] = {0, 1, 98, 99, 100, 101, 102, 254, 255};
    if (rng() % 2 == 0)
        return static_cast<unsigned char>(rng());
    return near_edges[rng() % sizeof near_edges];
}

struct variant {
    std::string name;
    filter_frame_fn fn;
};

void PrintTo(const variant& v, std::ostream* os)
{
    *os << v.name;
}

std::vector<variant> variants()
{
    std::vector<variant> all = {
        {"picked", filter_frame}, {"baseline", filter_frame_baseline}, {"scalar", filter_frame_scalar}};
    if (avx2_filter_frame())
        all.push_back({"avx2", avx2_filter_frame()});
    return all;
}

class FilterFrame : public testing::TestWithParam<variant> {
  protected:
    void run(frame& f) { GetParam().fn(f.bytes.data(), f.height, f.width, f.step, f.channels); }

    // Filters f with the variant and with the literal loop and wants the same bytes everywhere.
    void expect_same_as_literal(frame f)
    {
        frame expected = f;
        literal_filter_frame(expected.bytes.data(), f.height, f.width, f.step, f.channels);
        run(f);
        ASSERT_EQ(f.bytes.size(), expected.bytes.size());
        for (std::size_t i = 0; i < f.bytes.size(); ++i)
            ASSERT_EQ(+f.bytes[i], +expected.bytes[i])
                << "byte " << i << " (row " << i / f.step << ", byte " << i % f.step << ") of a " << f.height
                << " x " << f.width << " frame, step " << f.step << ", " << f.channels << " channels";
    }
};

TEST_P(FilterFrame, MatchesTheLiteralLoopOnRandomFrames)
{
    std::mt19937 rng(12345);
    // Widths around the mask's columns and around every vector and block length in use, then any.
    std::vector<int> widths = {1, 2, 3, 544, 545, 546, 640, 684, 685, 686, 687, 2000};
    for (int n : {4, 8, 16, 32, 64, 128})
        for (int d = -1; d <= 1; ++d)
            widths.push_back(n + d);
    for (int i = 0; i < 40; ++i)
        widths.push_back(1 + static_cast<int>(rng() % 2000));

    for (int width : widths) {
        for (int channels : {3, 4, 3 + static_cast<int>(rng() % 4)}) {
            const int height =
                rng() % 3 == 0 ? 1 + static_cast<int>(rng() % 20) : 60 + static_cast<int>(rng() % 15);
            const int padding = rng() % 2 == 0 ? 0 : static_cast<int>(rng() % 40);
            frame f = make_frame(height, width, padding, channels, 0);
            for (unsigned char& b : f.bytes)
                b = random_byte(rng);
            expect_same_as_literal(f);
            if (HasFatalFailure())
                return;
        }
    }
}

TEST_P(FilterFrame, MatchesTheLiteralLoopOnSmoothFrames)
{
    for (int channels : {3, 4}) {
        frame f = make_frame(90, 1000, 8, channels, 0);
        for (int r = 0; r < f.height; ++r)
            for (int c = 0; c < f.width; ++c)
                set_pixel(f, r, c, static_cast<unsigned char>(c / 4), static_cast<unsigned char>(r * 3),
                          static_cast<unsigned char>((r + c) / 5));
        expect_same_as_literal(f);
    }
}

// Each case pixel is placed at every position of a row long enough for the vector paths, so it
// meets every lane, block edge and the row's end.
TEST_P(FilterFrame, ThresholdBoundaries)
{
    struct threshold_case {
        unsigned char in[3];
        unsigned char out[3];
    };
    const threshold_case cases[] = {
        {{100, 100, 100}, {255, 255, 255}}, {{255, 255, 255}, {255, 255, 255}},
        {{99, 99, 99}, {0, 0, 0}},          {{0, 0, 0}, {0, 0, 0}},
        {{99, 99, 100}, {0, 0, 0}},         {{99, 99, 101}, {99, 99, 101}},
        {{100, 99, 99}, {100, 99, 99}},     {{255, 255, 99}, {255, 255, 99}},
        {{200, 50, 200}, {200, 50, 200}},
    };
    const unsigned char neutral[3] = {200, 50, 200};
    for (int channels : {3, 4}) {
        for (const threshold_case& t : cases) {
            const int width = 150;
            frame f = make_frame(1, width, 0, channels, 7);
            for (int c = 0; c < width; ++c)
                set_pixel(f, 0, c, t.in[0], t.in[1], t.in[2]);
            set_pixel(f, 0, width / 2, neutral[0], neutral[1], neutral[2]);
            run(f);
            for (int c = 0; c < width; ++c) {
                const unsigned char* want = c == width / 2 ? neutral : t.out;
                const unsigned char* p = f.at(0, c);
                ASSERT_TRUE(p[0] == want[0] && p[1] == want[1] && p[2] == want[2])
                    << "input (" << +t.in[0] << ", " << +t.in[1] << ", " << +t.in[2] << ") at column " << c
                    << " with " << channels << " channels gave (" << +p[0] << ", " << +p[1] << ", " << +p[2]
                    << ")";
            }
        }
    }
}

TEST_P(FilterFrame, MaskCornersAndTheirNeighbours)
{
    for (int channels : {3, 4}) {
        frame f = make_frame(80, 700, 4, channels, 0);
        for (int r = 0; r < f.height; ++r)
            for (int c = 0; c < f.width; ++c)
                set_pixel(f, r, c, 200, 50, 200); // left alone by both thresholds
        run(f);
        for (auto [r, c] : {std::pair{20, 545}, {20, 685}, {65, 545}, {65, 685}}) {
            const unsigned char* p = f.at(r, c);
            EXPECT_TRUE(p[0] == 0 && p[1] == 0 && p[2] == 0) << "(" << r << ", " << c << ") is not black";
        }
        for (auto [r, c] : {std::pair{19, 545}, {20, 544}, {66, 685}, {65, 686}}) {
            const unsigned char* p = f.at(r, c);
            EXPECT_TRUE(p[0] == 200 && p[1] == 50 && p[2] == 200) << "(" << r << ", " << c << ") changed";
        }
    }
}

TEST_P(FilterFrame, NarrowOrShortFramesHaveNoMask)
{
    for (auto [height, width] : {std::pair{70, 545}, {20, 700}}) {
        frame f = make_frame(height, width, 0, 3, 0);
        for (int r = 0; r < height; ++r)
            for (int c = 0; c < width; ++c)
                set_pixel(f, r, c, 200, 50, 200);
        const std::vector<unsigned char> before = f.bytes;
        run(f);
        EXPECT_EQ(f.bytes, before) << height << " x " << width;
    }

    frame f = make_frame(66, 640, 0, 3, 0);
    for (int r = 0; r < f.height; ++r)
        for (int c = 0; c < f.width; ++c)
            set_pixel(f, r, c, 200, 50, 200);
    run(f);
    int black = 0;
    for (int r = 0; r < f.height; ++r)
        for (int c = 0; c < f.width; ++c)
            black += f.at(r, c)[0] == 0;
    EXPECT_EQ(black, 46 * (640 - 545));
    EXPECT_EQ(f.at(65, 639)[1], 0);
    EXPECT_EQ(f.at(20, 545)[1], 0);
}

// Bytes past the third channel and past the row's pixels are never written, whatever happens to
// the pixel beside them: white, black, masked or left alone.
TEST_P(FilterFrame, FourthChannelAndRowPaddingAreUntouched)
{
    std::mt19937 rng(777);
    for (int channels : {4, 5}) {
        frame f = make_frame(70, 720, 13, channels, 0);
        for (unsigned char& b : f.bytes)
            b = random_byte(rng);
        const frame before = f;
        run(f);
        for (std::size_t i = 0; i < f.bytes.size(); ++i) {
            const std::size_t in_row = i % f.step;
            const bool colour =
                in_row < static_cast<std::size_t>(f.width * channels) && in_row % channels < 3;
            if (!colour) {
                ASSERT_EQ(+f.bytes[i], +before.bytes[i]) << "byte " << in_row << " of row " << i / f.step;
            }
        }
    }
}

TEST_P(FilterFrame, FewerThanThreeChannelsLeaveTheBufferAlone)
{
    // Rows padded to a three-channel row's length, so that even zero channels leave bytes that
    // filtering as three channels would turn white.
    for (int channels : {0, 1, 2}) {
        frame f = make_frame(70, 700, 700 * (3 - channels), channels, 100);
        ASSERT_GE(f.bytes.size(), 69u * 700 * 3);
        const std::vector<unsigned char> before = f.bytes;
        run(f);
        EXPECT_EQ(f.bytes, before) << channels << " channels";
    }
}

INSTANTIATE_TEST_SUITE_P(Variants, FilterFrame, testing::ValuesIn(variants()),
                         [](const testing::TestParamInfo<variant>& info) { return info.param.name; });

TEST(FilterShownFrame, FiltersEachFrameWithItsOwnGeometry)
{
    for (const cv::Size size : {cv::Size(720, 120), cv::Size(320, 240), cv::Size(701, 67)}) {
        cv::Mat frame(size, CV_8UC3);
        cv::randu(frame, 0, 256);
        cv::Mat expected = frame.clone();
        literal_filter_frame(expected.data, expected.rows, expected.cols, static_cast<int>(expected.step[0]),
                             3);
        filter_shown_frame(frame);
        EXPECT_EQ(cv::norm(frame, expected, cv::NORM_INF), 0) << size;
    }
}

TEST(FilterShownFrame, StaysInsideAFrameThatIsPartOfALargerBuffer)
{
    cv::Mat buffer(200, 900, CV_8UC3, cv::Scalar(50, 50, 50));
    const cv::Mat before = buffer.clone();
    cv::Mat frame = buffer(cv::Rect(100, 50, 600, 100));
    filter_shown_frame(frame);
    EXPECT_EQ(cv::countNonZero(frame.reshape(1)), 0) << "dark pixels inside go black";
    cv::Mat outside_changed;
    cv::compare(buffer, before, outside_changed, cv::CMP_NE);
    outside_changed.reshape(1)(cv::Rect(300, 50, 1800, 100)).setTo(0);
    EXPECT_EQ(cv::countNonZero(outside_changed.reshape(1)), 0) << "nothing outside the frame is touched";
}

TEST(FilterShownFrame, LeavesFramesTheFilterCannotTake)
{
    cv::Mat grey(120, 720, CV_8UC1, cv::Scalar(30));
    cv::Mat deep(120, 720, CV_16UC3, cv::Scalar(30, 30, 30));
    const cv::Mat grey_before = grey.clone();
    const cv::Mat deep_before = deep.clone();
    filter_shown_frame(grey);
    filter_shown_frame(deep);
    EXPECT_EQ(cv::norm(grey, grey_before, cv::NORM_INF), 0);
    EXPECT_EQ(cv::norm(deep, deep_before, cv::NORM_INF), 0);

    cv::Mat four(120, 720, CV_8UC4, cv::Scalar(30, 30, 30, 77));
    filter_shown_frame(four);
    EXPECT_EQ(four.at<cv::Vec4b>(0, 0), cv::Vec4b(0, 0, 0, 77))
        << "four channels are filtered, the fourth kept";
}

} // namespace
