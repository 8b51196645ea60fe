// Libraries that OpenCV loaded for itself (its window toolkit, FFmpeg), found by file name, so
// that their calls can be looked up without linking them.
#pragma once

#include <string>

// The path of the first loaded library whose file name contains `name`, or "" when none is.
std::string loaded_library_path(const char* name);
