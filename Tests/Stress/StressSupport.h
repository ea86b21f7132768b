// Shared by the stress suites: process resource counts, and settings from the
// environment so that ./soak.sh can run the same tests far longer.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <dirent.h>
#include <string>
#include <thread>

namespace QuorvelTest {

// Entries in a /proc/self directory: open descriptors ("fd") or threads ("task").
inline int CountProcEntries(const char* What) {
    const std::string Path = std::string("/proc/self/") + What;
    DIR* D = opendir(Path.c_str());
    if (D == nullptr)
        return -1;
    int N = 0;
    while (dirent* E = readdir(D)) {
        if (E->d_name[0] != '.')
            ++N;
    }
    (void)closedir(D); // a failed close of a directory stream we only read changes nothing
    return N - (std::string(What) == "fd" ? 1 : 0); // less the one opendir used
}

// The threads of the process now. A sanitizer's runtime starts a thread of its
// own along with the first one the program starts; a thread is started and
// ended first, so that counts before and after compare like with like.
inline int CountThreads() {
    std::thread([] {}).join();
    return CountProcEntries("task");
}

inline std::uint64_t EnvNumber(const char* Name, std::uint64_t Default) {
    const char* V = std::getenv(Name);
    if (V == nullptr || *V == '\0')
        return Default;
    return std::strtoull(V, nullptr, 0);
}

} // namespace QuorvelTest
