#include "wayland_backend.hpp"

#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>
#include <wayland-client.h>

#include <linux/input-event-codes.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <mutex>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace xharness::wayland {

namespace {

[[noreturn]] void give_up(const std::string& why)
{
    std::fprintf(stderr, "xharness: %s\n", why.c_str());
    std::exit(1);
}

// The requests of the virtual-pointer protocol (zwlr_virtual_pointer_v1, version 1), as
// libwayland-client marshals them: each one's name, argument signature and the interfaces of its
// object arguments, in the protocol's order of opcodes. No Debian 12 package ships the
// protocol's description, so there is none for wayland-scanner to read.
const wl_interface* no_types[5] = {};
extern const wl_interface virtual_pointer_interface;
const wl_interface* create_pointer_types[] = {&wl_seat_interface, &virtual_pointer_interface};
const wl_message manager_requests[] = {
    {"create_virtual_pointer", "?on", create_pointer_types},
    {"destroy", "", no_types},
};
const wl_interface manager_interface = {
    "zwlr_virtual_pointer_manager_v1", 1, 2, manager_requests, 0, nullptr};
const wl_message pointer_requests[] = {
    {"motion", "uff", no_types},   {"motion_absolute", "uuuuu", no_types},
    {"button", "uuu", no_types},   {"axis", "uuf", no_types},
    {"frame", "", no_types},       {"axis_source", "u", no_types},
    {"axis_stop", "uu", no_types}, {"axis_discrete", "uufi", no_types},
    {"destroy", "", no_types},
};
const wl_interface virtual_pointer_interface = {"zwlr_virtual_pointer_v1", 1, 9,
                                                pointer_requests,          0, nullptr};
enum pointer_request : uint32_t { motion_absolute = 1, button = 2, frame = 4 };

// The same for the virtual-keyboard protocol (zwp_virtual_keyboard_v1, version 1).
extern const wl_interface virtual_keyboard_interface;
const wl_interface* create_keyboard_types[] = {&wl_seat_interface, &virtual_keyboard_interface};
const wl_message keyboard_manager_requests[] = {
    {"create_virtual_keyboard", "on", create_keyboard_types},
};
const wl_interface keyboard_manager_interface = {"zwp_virtual_keyboard_manager_v1", 1, 1,
                                                 keyboard_manager_requests,         0, nullptr};
const wl_message keyboard_requests[] = {
    {"keymap", "uhu", no_types},
    {"key", "uuu", no_types},
    {"modifiers", "uuuu", no_types},
    {"destroy", "", no_types},
};
const wl_interface virtual_keyboard_interface = {"zwp_virtual_keyboard_v1", 1, 4,
                                                 keyboard_requests,         0, nullptr};
enum keyboard_request : uint32_t { keymap = 0, key_event = 1, modifiers = 2 };
const uint32_t keymap_format_xkb_v1 = 1;

struct input_connection {
    wl_display* display = nullptr;
    wl_seat* seat = nullptr;
    wl_proxy* manager = nullptr;
    wl_proxy* pointer = nullptr;
    wl_proxy* keyboard_manager = nullptr;
    wl_proxy* keyboard = nullptr;
    std::vector<std::string> keysyms; // the keyboard's keys, in order of their codes
    uint32_t locked = 0;              // the lock modifiers in effect
    std::vector<uint32_t> pressed;    // the pointer's buttons held down
};

void on_global(void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t)
{
    auto* connection = static_cast<input_connection*>(data);
    if (std::strcmp(interface, wl_seat_interface.name) == 0 && connection->seat == nullptr)
        connection->seat = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
    else if (std::strcmp(interface, manager_interface.name) == 0)
        connection->manager = static_cast<wl_proxy*>(wl_registry_bind(registry, name, &manager_interface, 1));
    else if (std::strcmp(interface, keyboard_manager_interface.name) == 0)
        connection->keyboard_manager =
            static_cast<wl_proxy*>(wl_registry_bind(registry, name, &keyboard_manager_interface, 1));
}
void on_global_remove(void*, wl_registry*, uint32_t) {}
const wl_registry_listener registry_listener = {on_global, on_global_remove};

std::mutex input_mutex;

uint32_t key_code_for(input_connection& c, const std::string& keysym_name);

// This process's connection, virtual pointer and virtual keyboard, made on first use and kept for
// its life.
input_connection& input()
{
    static input_connection connection = [] {
        input_connection c;
        c.display = wl_display_connect(nullptr);
        if (c.display == nullptr)
            give_up("cannot connect to the Wayland compositor at WAYLAND_DISPLAY");
        wl_registry* registry = wl_display_get_registry(c.display);
        wl_registry_add_listener(registry, &registry_listener, &c);
        wl_display_roundtrip(c.display);
        if (c.manager == nullptr || c.keyboard_manager == nullptr || c.seat == nullptr)
            give_up("the Wayland compositor offers no seat, virtual pointer or virtual keyboard");
        c.pointer = wl_proxy_marshal_flags(c.manager, 0, &virtual_pointer_interface, 1, 0, c.seat, nullptr);
        c.keyboard =
            wl_proxy_marshal_flags(c.keyboard_manager, 0, &virtual_keyboard_interface, 1, 0, c.seat, nullptr);
        wl_display_roundtrip(c.display);
        // A keyboard without a keymap is handed on to the programs as one (sway 1.10 does), and
        // Qt says so on standard error: this one has a keymap from the start.
        key_code_for(c, "Escape");
        return c;
    }();
    return connection;
}

uint32_t now_ms()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<uint32_t>(t.tv_sec * 1000 + t.tv_nsec / 1000000);
}

// Sends one pointer event and its frame, and waits until the compositor has handled them.
template <typename... Args> void pointer_event(uint32_t request, Args... args)
{
    const std::lock_guard lock(input_mutex);
    input_connection& c = input();
    wl_proxy_marshal_flags(c.pointer, request, nullptr, 1, 0, now_ms(), args...);
    wl_proxy_marshal_flags(c.pointer, frame, nullptr, 1, 0);
    if (wl_display_roundtrip(c.display) < 0)
        give_up("lost the connection to the Wayland compositor");
}

// sway's IPC: a request of `type` with `payload`, answered as JSON.
enum ipc_type : uint32_t { run_command = 0, get_tree = 4, get_outputs = 3 };
const char ipc_magic[] = {'i', '3', '-', 'i', 'p', 'c'};

bool write_all(int fd, const void* data, std::size_t size)
{
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = write(fd, p, size);
        if (written <= 0)
            return false;
        p += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}
bool read_all(int fd, void* data, std::size_t size)
{
    char* p = static_cast<char*>(data);
    while (size > 0) {
        const ssize_t got = read(fd, p, size);
        if (got <= 0)
            return false;
        p += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

// An XKB keymap with one key for each keysym, key code 9 for the first. Num Lock locks the
// modifier that it locks on a PC keyboard (Mod2).
std::string keymap_text(const std::vector<std::string>& keysyms)
{
    std::string codes;
    std::string symbols;
    for (std::size_t i = 0; i < keysyms.size(); ++i) {
        const std::string key = "<K" + std::to_string(i) + ">";
        codes += key + " = " + std::to_string(9 + i) + ";\n";
        symbols += "key " + key + " {[ " + keysyms[i] + " ]};\n";
        if (keysyms[i] == "Num_Lock")
            symbols += "modifier_map Mod2 { " + key + " };\n";
    }
    return "xkb_keymap {\nxkb_keycodes \"harness\" {\nminimum = 8;\nmaximum = 255;\n" + codes
           + "};\nxkb_types \"harness\" { include \"complete\" };\n"
             "xkb_compatibility \"harness\" { include \"complete\" };\n"
             "xkb_symbols \"harness\" {\n"
           + symbols + "};\n};\n";
}

// Gives the virtual keyboard a keymap that has `keysym_name` too, when it has not yet; returns the
// key's code as the kernel numbers it (XKB's less 8).
uint32_t key_code_for(input_connection& c, const std::string& keysym_name)
{
    const auto known = std::find(c.keysyms.begin(), c.keysyms.end(), keysym_name);
    if (known != c.keysyms.end())
        return static_cast<uint32_t>(known - c.keysyms.begin()) + 1;
    c.keysyms.push_back(keysym_name);
    const std::string text = keymap_text(c.keysyms);
    const int fd = memfd_create("keymap", MFD_CLOEXEC);
    if (fd < 0 || !write_all(fd, text.c_str(), text.size() + 1))
        give_up("cannot hand the virtual keyboard its keymap");
    wl_proxy_marshal_flags(c.keyboard, keymap, nullptr, 1, 0, keymap_format_xkb_v1, fd,
                           static_cast<uint32_t>(text.size() + 1));
    // A new keymap starts with no lock in effect: the locks that were stay on.
    wl_proxy_marshal_flags(c.keyboard, modifiers, nullptr, 1, 0, 0u, 0u, c.locked, 0u);
    wl_display_roundtrip(c.display);
    close(fd);
    return static_cast<uint32_t>(c.keysyms.size());
}

int ipc_socket()
{
    static const int fd = [] {
        const char* path = std::getenv("SWAYSOCK");
        if (path == nullptr || std::strlen(path) >= sizeof(sockaddr_un::sun_path))
            give_up("SWAYSOCK names no sway IPC socket: run under tools/on-wayland (tools/check does)");
        const int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, path);
        if (s < 0 || connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
            give_up(std::string("cannot connect to sway's IPC socket ") + path);
        return s;
    }();
    return fd;
}

std::mutex ipc_mutex;

nlohmann::json ipc(uint32_t type, const std::string& payload = {})
{
    const std::lock_guard lock(ipc_mutex);
    const int fd = ipc_socket();
    const uint32_t header[2] = {static_cast<uint32_t>(payload.size()), type};
    char reply_magic[sizeof ipc_magic];
    uint32_t reply_header[2] = {};
    if (!write_all(fd, ipc_magic, sizeof ipc_magic) || !write_all(fd, header, sizeof header)
        || !write_all(fd, payload.data(), payload.size()) || !read_all(fd, reply_magic, sizeof reply_magic)
        || !read_all(fd, reply_header, sizeof reply_header))
        give_up("lost sway's IPC connection");
    std::string reply(reply_header[0], '\0');
    if (!read_all(fd, reply.data(), reply.size()))
        give_up("lost sway's IPC connection");
    return nlohmann::json::parse(reply, nullptr, false);
}

void command(const std::string& text)
{
    ipc(run_command, text);
}

std::string con(unsigned long window)
{
    return "[con_id=" + std::to_string(window) + "] ";
}

// Every application window in sway's tree, tiled or floating.
void each_view(const nlohmann::json& node, const std::function<void(const nlohmann::json&)>& visit)
{
    if (node.contains("pid") && node.value("visible", false))
        visit(node);
    for (const char* children : {"nodes", "floating_nodes"})
        if (node.contains(children))
            for (const nlohmann::json& child : node[children])
                each_view(child, visit);
}

// The area a window's own surface covers on the screen: the container less its border.
cv::Rect content_rect(const nlohmann::json& view)
{
    const nlohmann::json& rect = view["rect"];
    const nlohmann::json& inner = view["window_rect"];
    return {rect.value("x", 0) + inner.value("x", 0), rect.value("y", 0) + inner.value("y", 0),
            inner.value("width", 0), inner.value("height", 0)};
}

// The part of the layout that the outputs show.
cv::Rect layout_rect()
{
    static const cv::Rect layout = [] {
        cv::Rect all;
        for (const nlohmann::json& output : ipc(get_outputs)) {
            if (!output.value("active", false))
                continue;
            const nlohmann::json& r = output["rect"];
            const cv::Rect one(r.value("x", 0), r.value("y", 0), r.value("width", 0), r.value("height", 0));
            all = all.empty() ? one : (all | one);
        }
        if (all.empty())
            give_up("sway shows no output");
        return all;
    }();
    return layout;
}

// Runs a tool and returns its standard output; "" when it fails.
std::string output_of(const std::string& command_line)
{
    FILE* pipe = popen(command_line.c_str(), "re");
    if (pipe == nullptr)
        return {};
    std::string out;
    char buffer[65536];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        out.append(buffer, got);
    return pclose(pipe) == 0 ? out : std::string();
}

// A keysym name as a shell word: the names are letters, digits and underscores.
bool plain_name(const std::string& name)
{
    return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
    });
}

} // namespace

bool chosen()
{
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    const char* x = std::getenv("DISPLAY");
    return wayland != nullptr && *wayland != '\0' && (x == nullptr || *x == '\0');
}

void prepare_input()
{
    const std::lock_guard lock(input_mutex);
    input();
}

unsigned long find_window(const std::string& title)
{
    unsigned long found = 0;
    each_view(ipc(get_tree), [&](const nlohmann::json& view) {
        if (found == 0 && view.value("name", "") == title)
            found = view.value("id", 0ul);
    });
    return found;
}

int top_level_windows()
{
    int count = 0;
    each_view(ipc(get_tree), [&](const nlohmann::json&) { ++count; });
    return count;
}

cv::Rect screen_rect(unsigned long window)
{
    cv::Rect rect;
    each_view(ipc(get_tree), [&](const nlohmann::json& view) {
        if (view.value("id", 0ul) == window)
            rect = content_rect(view);
    });
    return rect;
}

cv::Mat capture(unsigned long window)
{
    // As on X, the part off the screen reads as `hidden`, a colour no test picture uses.
    const cv::Vec3b hidden(3, 2, 1);
    const cv::Rect area = screen_rect(window);
    const cv::Rect visible = area & layout_rect();
    if (area.empty() || visible.empty())
        return {};
    const std::string ppm =
        output_of("grim -t ppm -g '" + std::to_string(visible.x) + "," + std::to_string(visible.y) + " "
                  + std::to_string(visible.width) + "x" + std::to_string(visible.height) + "' - 2>/dev/null");
    const cv::Mat pixels = cv::imdecode(
        cv::Mat(1, static_cast<int>(ppm.size()), CV_8UC1, const_cast<char*>(ppm.data())), cv::IMREAD_COLOR);
    if (pixels.size() != visible.size())
        return {};
    cv::Mat bgr(area.size(), CV_8UC3, hidden);
    pixels.copyTo(bgr(cv::Rect(visible.tl() - area.tl(), visible.size())));
    return bgr;
}

void move_pointer(cv::Point screen)
{
    const cv::Rect layout = layout_rect();
    const cv::Point at = screen - layout.tl();
    pointer_event(motion_absolute, static_cast<uint32_t>(std::max(at.x, 0)),
                  static_cast<uint32_t>(std::max(at.y, 0)), static_cast<uint32_t>(layout.width),
                  static_cast<uint32_t>(layout.height));
}

void set_button(int x_button, bool pressed)
{
    // X numbers the buttons 1 left, 2 middle, 3 right; Wayland sends the kernel's codes.
    const uint32_t code = x_button == 1 ? BTN_LEFT : x_button == 2 ? BTN_MIDDLE : BTN_RIGHT;
    // As X ignores the release of a button that is up, so does this: after such a release (a
    // test's tear-down sends one) the next test's drag reached no window.
    {
        const std::lock_guard lock(input_mutex);
        std::vector<uint32_t>& held = input().pressed;
        const auto was_held = std::find(held.begin(), held.end(), code);
        if (!pressed && was_held == held.end())
            return;
        if (pressed && was_held == held.end())
            held.push_back(code);
        else if (!pressed)
            held.erase(was_held);
    }
    pointer_event(button, code, pressed ? 1u : 0u);
}

// Whether the window has the keyboard focus already.
bool focused(unsigned long window)
{
    bool answer = false;
    each_view(ipc(get_tree), [&](const nlohmann::json& view) {
        answer = answer || (view.value("id", 0ul) == window && view.value("focused", false));
    });
    return answer;
}

void key(unsigned long focus, const std::string& keysym_name)
{
    // Focused only when it is not: a focus change sends the window a new state to acknowledge, and
    // sway holds back what follows (a close, say) until the program has done so or 200 ms passed.
    if (focus != 0 && !focused(focus))
        command(con(focus) + "focus");
    if (!plain_name(keysym_name))
        give_up("not a keysym name: " + keysym_name);
    const std::lock_guard lock(input_mutex);
    input_connection& c = input();
    // The keyboard's keymap has a key for every keysym asked for, so no spare key code is needed.
    const uint32_t code = key_code_for(c, keysym_name);
    wl_proxy_marshal_flags(c.keyboard, key_event, nullptr, 1, 0, now_ms(), code, 1u);
    // The compositor keeps no state of a virtual keyboard's keys: a lock key's press toggles the
    // modifier it locks here (Caps Lock: Lock, Num Lock: Mod2), as it would on a real keyboard.
    const uint32_t lock_bit = keysym_name == "Caps_Lock" ? 1u << 1 : keysym_name == "Num_Lock" ? 1u << 4 : 0u;
    if (lock_bit != 0) {
        c.locked ^= lock_bit;
        wl_proxy_marshal_flags(c.keyboard, modifiers, nullptr, 1, 0, 0u, 0u, c.locked, 0u);
    }
    wl_proxy_marshal_flags(c.keyboard, key_event, nullptr, 1, 0, now_ms(), code, 0u);
    if (wl_display_roundtrip(c.display) < 0)
        give_up("lost the connection to the Wayland compositor");
}

void request_close(unsigned long window)
{
    command(con(window) + "kill");
}

void raise(unsigned long window)
{
    command(con(window) + "focus");
}

void move_window(unsigned long window, cv::Point screen)
{
    command(con(window) + "move absolute position " + std::to_string(screen.x) + " "
            + std::to_string(screen.y));
}

} // namespace xharness::wayland
