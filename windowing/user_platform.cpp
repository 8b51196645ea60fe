#include "user_platform.hpp"

#include <algorithm>
#include <cctype>

namespace {

std::vector<std::string> split(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    std::string::size_type start = 0;
    for (std::string::size_type end = text.find(separator); end != std::string::npos;
         start = end + 1, end = text.find(separator, start))
        parts.push_back(text.substr(start, end - start));
    parts.push_back(text.substr(start));
    return parts;
}

// Qt's plugins for Wayland are all named for it: wayland, wayland-egl, wayland-xcomposite-glx.
platform_display qt_display(std::string name)
{
    name = name.substr(0, name.find(':'));
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (name == "xcb")
        return platform_display::x;
    return name.rfind("wayland", 0) == 0 ? platform_display::wayland : platform_display::other;
}

} // namespace

const char* platform_variable(bool gtk)
{
    return gtk ? "GDK_BACKEND" : "QT_QPA_PLATFORM";
}

std::vector<platform_display> chosen_displays(const std::string& choice, bool gtk)
{
    std::vector<platform_display> displays;
    for (const std::string& name : split(choice, gtk ? ',' : ';')) {
        if (name.empty())
            continue;
        if (!gtk)
            displays.push_back(qt_display(name));
        else if (name == "*")
            displays.insert(displays.end(), {platform_display::wayland, platform_display::x});
        else
            displays.push_back(name == "x11"       ? platform_display::x
                               : name == "wayland" ? platform_display::wayland
                                                   : platform_display::other);
    }
    return displays;
}
