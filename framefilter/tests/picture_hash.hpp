// A 64-bit FNV-1a digest of a picture's size, type and pixels: how show_log writes down what
// framefilter showed, and how the tests name what it should have shown.
#pragma once

#include <opencv2/core.hpp>

#include <cstdint>

inline std::uint64_t picture_hash(const cv::Mat& picture)
{
    std::uint64_t hash = 14695981039346656037ull;
    const auto mix = [&](const unsigned char* bytes, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i)
            hash = (hash ^ bytes[i]) * 1099511628211ull;
    };
    const int header[] = {picture.rows, picture.cols, picture.type()};
    mix(reinterpret_cast<const unsigned char*>(header), sizeof header);
    for (int row = 0; row < picture.rows; ++row)
        mix(picture.ptr(row), picture.cols * picture.elemSize());
    return hash;
}
