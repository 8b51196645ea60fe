#include "loaded_library.hpp"

#include <cstring>
#include <link.h>

std::string loaded_library_path(const char* name)
{
    struct search {
        const char* name;
        std::string path;
    } wanted{name, {}};
    dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* data) {
            auto* s = static_cast<search*>(data);
            if (info->dlpi_name != nullptr && std::strstr(info->dlpi_name, s->name) != nullptr) {
                s->path = info->dlpi_name;
                return 1;
            }
            return 0;
        },
        &wanted);
    return wanted.path;
}
