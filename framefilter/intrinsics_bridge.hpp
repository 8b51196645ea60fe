// The few universal-intrinsics operations of the vector filter whose spelling differs between
// OpenCV releases. Up to 4.10 the vector types carry operators (==, &, |, ~); 4.11 removed them in
// favour of functions (v_eq, v_and, v_or, v_not), which 4.6 lacks. The filter calls these instead,
// so the difference stays here. Include it after any instruction-set setup, as intrin.hpp.
#pragma once

#include <opencv2/core/hal/intrin.hpp>
#include <opencv2/core/version.hpp>

#if CV_VERSION_MAJOR > 4 || (CV_VERSION_MAJOR == 4 && CV_VERSION_MINOR >= 11)
#define CVTRIO_INTRINSICS_HAVE_OPERATORS 0
#else
#define CVTRIO_INTRINSICS_HAVE_OPERATORS 1
#endif

namespace {

// All bits of a lane set where a and b are equal, clear elsewhere.
template <typename Vec> inline Vec vec_eq(const Vec& a, const Vec& b)
{
#if CVTRIO_INTRINSICS_HAVE_OPERATORS
    return a == b;
#else
    return cv::v_eq(a, b);
#endif
}

template <typename Vec> inline Vec vec_and(const Vec& a, const Vec& b)
{
#if CVTRIO_INTRINSICS_HAVE_OPERATORS
    return a & b;
#else
    return cv::v_and(a, b);
#endif
}

template <typename Vec> inline Vec vec_or(const Vec& a, const Vec& b)
{
#if CVTRIO_INTRINSICS_HAVE_OPERATORS
    return a | b;
#else
    return cv::v_or(a, b);
#endif
}

template <typename Vec> inline Vec vec_not(const Vec& a)
{
#if CVTRIO_INTRINSICS_HAVE_OPERATORS
    return ~a;
#else
    return cv::v_not(a);
#endif
}

} // namespace
