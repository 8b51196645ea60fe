#include "camera_index.hpp"

#include <cstdint>

int camera_index(int argc, const char* const* argv)
{
    if (argc != 2)
        return 1;
    return static_cast<std::int8_t>(argv[1][0]) - '0';
}
