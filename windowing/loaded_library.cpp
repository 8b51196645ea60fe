#include "loaded_library.hpp"

#include <cstring>
#include <dlfcn.h>
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

void* loaded_library_call(const char* soname, const char* name)
{
    void* library = dlopen(soname, RTLD_LAZY | RTLD_NOLOAD);
    if (library == nullptr)
        return nullptr;
    void* call = dlsym(library, name);
    // The library stays loaded as long as whoever loaded it keeps it.
    dlclose(library);
    return call;
}
