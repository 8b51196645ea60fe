// Fuzzes the camera-index rule on arbitrary argument bytes: it must never read past the first
// argument's terminator, and it must give the first byte as a signed 8-bit value minus '0' for
// exactly one argument, camera 1 otherwise.
#include "camera_index.hpp"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // The input is a NUL-separated argument list, program name first.
    std::vector<std::string> args(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0)
            args.emplace_back();
        else
            args.back().push_back(static_cast<char>(data[i]));
    }
    std::vector<const char*> argv;
    for (const std::string& arg : args)
        argv.push_back(arg.c_str());
    argv.push_back(nullptr);
    const int argc = static_cast<int>(args.size());

    const int expected = argc == 2 ? static_cast<std::int8_t>(args[1].c_str()[0]) - '0' : 1;
    if (camera_index(argc, argv.data()) != expected)
        std::abort();
    return 0;
}
