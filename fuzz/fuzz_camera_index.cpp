// Fuzzes the camera-index rule on arbitrary argument bytes: it must never read past the first
// argument's terminator, must give camera 1 unless there is exactly one argument, and for one
// argument must agree with properties of the first byte that do not restate the rule.
#include "camera_index.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>
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

    const int index = camera_index(argc, argv.data());
    if (argc != 2) {
        if (index != 1)
            std::abort();
        return 0;
    }
    // Checked against facts stated apart from the rule's own expression: a digit names its camera;
    // any first byte gives a number in the range of a signed byte less 48, negative for the bytes
    // 0x80 to 0xff, that comes back to that byte when 48 is added and it is cut to 8 bits.
    static const char digits[] = "0123456789";
    const char first = args[1].c_str()[0];
    const char* digit = first != '\0' ? std::strchr(digits, first) : nullptr;
    if (digit != nullptr && index != digit - digits)
        std::abort();
    if (index < -128 - 48 || index > 127 - 48)
        std::abort();
    if (static_cast<unsigned char>(first) >= 0x80 && index >= -48)
        std::abort();
    if (static_cast<unsigned char>(index + 48) != static_cast<unsigned char>(first))
        std::abort();
    return 0;
}
