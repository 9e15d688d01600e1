#pragma once
// Small POSIX helpers shared by the settings file and the logs.
#include <unistd.h>

#include <cerrno>
#include <string_view>

namespace kestrel {

// Writes every byte, going on after short writes and interruptions.
inline bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t done = ::write(fd, bytes.data(), bytes.size());
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(done));
    }
    return true;
}

}  // namespace kestrel
