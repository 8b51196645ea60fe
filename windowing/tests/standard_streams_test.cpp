// The guard of the standard streams, in child processes: the test's own streams stay as they are.
#include "standard_streams.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// Runs `body` in a child started without the streams `closed`, after the guard; its exit code, or
// -1 when it did not exit.
template <typename Body> int in_child_without(const std::vector<int>& closed, Body body)
{
    const pid_t pid = fork();
    if (pid == 0) {
        for (const int fd : closed)
            close(fd);
        hold_closed_standard_streams();
        _exit(body());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// 0 when the stream fails as a closed one does; 1 when it could be used; 2 when its number was free.
int unusable(int fd)
{
    if (fcntl(fd, F_GETFD) == -1)
        return 2;
    char byte = 'x';
    const ssize_t done = fd == 0 ? read(fd, &byte, 1) : write(fd, &byte, 1);
    return done == -1 && errno == EBADF ? 0 : 1;
}

TEST(StandardStreams, AClosedStreamKeepsItsNumberAndStillFailsAsClosed)
{
    for (const int fd : {0, 1, 2}) {
        EXPECT_EQ(in_child_without({fd}, [fd] { return unusable(fd); }), 0) << "descriptor " << fd;
        // What the program opens next gets another number.
        EXPECT_EQ(in_child_without({fd}, [fd] { return open("/dev/zero", O_RDONLY) == fd ? 1 : 0; }), 0)
            << "descriptor " << fd;
    }
    EXPECT_EQ(in_child_without({0, 1, 2}, [] { return unusable(0) + unusable(1) + unusable(2); }), 0);
    EXPECT_EQ(in_child_without({0, 1, 2}, [] { return open("/dev/zero", O_RDONLY) > 2 ? 0 : 1; }), 0);
}

TEST(StandardStreams, AnOpenStreamIsLeftAsItWas)
{
    struct stat before = {};
    ASSERT_EQ(fstat(1, &before), 0);
    const auto still_the_same_file = [&before] {
        struct stat after = {};
        return fstat(1, &after) == 0 && after.st_dev == before.st_dev && after.st_ino == before.st_ino ? 0
                                                                                                       : 1;
    };
    EXPECT_EQ(in_child_without({0}, still_the_same_file), 0);
}

} // namespace
