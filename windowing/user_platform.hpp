// The platform that the user chose for the toolkit that draws OpenCV's windows: QT_QPA_PLATFORM
// for Qt, GDK_BACKEND for GTK. Each is a list that the toolkit tries in turn; when none of them
// starts, Qt aborts the process and GTK makes OpenCV throw.
#pragma once

#include <string>
#include <vector>

// What a platform of the list draws on: an X display, a Wayland display, or something else that
// is left to the toolkit (Qt's offscreen and minimal, GTK's broadway, a name unknown here).
enum class platform_display { x, wayland, other };

// The variable that chooses the platform of the toolkit: GDK_BACKEND for GTK, QT_QPA_PLATFORM
// for Qt.
const char* platform_variable(bool gtk);

// What each platform of `choice`, a value of that variable, draws on, in the order the toolkit
// tries them. Qt separates its platforms with ';' and takes options after a ':' (names in any
// case); GTK separates them with ',', and its '*' stands for Wayland, then X.
std::vector<platform_display> chosen_displays(const std::string& choice, bool gtk);
