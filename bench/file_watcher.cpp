// Reports when numbered JPEG files appear complete in a directory, with wall-clock
// timestamps the benchmark compares against process start and frame send times.
// Usage: file_watcher <dir> <count>
// Prints "READY" once watching, then "<name> <epoch_ns>" the first time each N.jpg is
// closed after writing or renamed into place (the ways the compared tools finish a
// file), and exits after <count> distinct names. inotify, not polling: the tools being
// measured share two cores with it.
#include <sys/inotify.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <set>
#include <string>

namespace {

bool is_picture_name(const std::string& name) {
    const std::size_t dot = name.find('.');
    if (dot == 0 || dot == std::string::npos || name.substr(dot) != ".jpg") {
        return false;
    }
    for (std::size_t i = 0; i < dot; ++i) {
        if (std::isdigit(static_cast<unsigned char>(name[i])) == 0) {
            return false;
        }
    }
    return true;
}

long long now_ns() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <dir> <count>\n", argv[0]);
        return 2;
    }
    const std::size_t wanted = std::strtoul(argv[2], nullptr, 10);
    const int fd = inotify_init1(IN_CLOEXEC);
    if (fd < 0 || inotify_add_watch(fd, argv[1], IN_CLOSE_WRITE | IN_MOVED_TO) < 0) {
        std::perror("inotify");
        return 1;
    }
    std::printf("READY\n");
    std::fflush(stdout);

    std::set<std::string> seen;
    alignas(inotify_event) char buffer[64 * (sizeof(inotify_event) + NAME_MAX + 1)];
    while (seen.size() < wanted) {
        const ssize_t length = read(fd, buffer, sizeof(buffer));
        if (length <= 0) {
            return 1;
        }
        const long long stamp = now_ns();
        for (ssize_t offset = 0; offset < length;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
            offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            if (event->len == 0) {
                continue;
            }
            const std::string name(event->name);
            if (is_picture_name(name) && seen.insert(name).second) {
                std::printf("%s %lld\n", name.c_str(), stamp);
            }
        }
        std::fflush(stdout);
    }
    return 0;
}
