// Libraries that OpenCV loaded for itself (its window toolkit, FFmpeg), found by file name, so
// that their calls can be looked up without linking them.
#pragma once

#include <string>

// The path of the first loaded library whose file name contains `name`, or "" when none is.
std::string loaded_library_path(const char* name);

// The call `name` of the loaded library whose file is `soname`, or of a library it loaded; nullptr
// when that library is not loaded or has no such call. Found also where the library was loaded out
// of global reach (by a plugin, with local symbols).
void* loaded_library_call(const char* soname, const char* name);
