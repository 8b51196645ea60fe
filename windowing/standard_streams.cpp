#include "standard_streams.hpp"

#include <fcntl.h>
#include <unistd.h>

void hold_closed_standard_streams()
{
    const int placeholder_flags[] = {O_WRONLY, O_RDONLY, O_RDONLY};
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1)
            continue;
        // open takes the lowest free number, which is this one: the lower ones are open by now.
        const int placeholder = open("/dev/null", placeholder_flags[fd]);
        if (placeholder >= 0 && placeholder != fd) {
            dup2(placeholder, fd);
            close(placeholder);
        }
    }
}
