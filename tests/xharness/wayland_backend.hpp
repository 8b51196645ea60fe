// The harness's window calls on a Wayland compositor (sway): windows looked up, moved and closed
// through sway's IPC, pixels read with grim, input through a virtual pointer and a virtual
// keyboard of this process. Window ids are sway's container ids.
#pragma once

#include <opencv2/core.hpp>

#include <string>

namespace xharness::wayland {

// True when the tests run on a Wayland compositor: WAYLAND_DISPLAY is set and DISPLAY is not.
bool chosen();

// Makes the virtual pointer and keyboard now, so that a program started after them sees a seat
// with both.
void prepare_input();

unsigned long find_window(const std::string& title);
int top_level_windows();
cv::Rect screen_rect(unsigned long window);
cv::Mat capture(unsigned long window);

void move_pointer(cv::Point screen);
void set_button(int button, bool pressed);
void key(unsigned long focus, const std::string& keysym_name);

void request_close(unsigned long window);
void raise(unsigned long window);
void move_window(unsigned long window, cv::Point screen);

} // namespace xharness::wayland
