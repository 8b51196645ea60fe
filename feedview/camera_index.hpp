// Which camera feedview opens, read off its command line.
#pragma once

// With exactly one argument: the code of its first character as a signed 8-bit value, minus the
// code of '0', so "0" to "9" pick cameras 0 to 9 and any other text gives whatever that works out
// to ("x" 72, "" -48). With no argument or with two or more: camera 1, the second camera.
int camera_index(int argc, const char* const* argv);
