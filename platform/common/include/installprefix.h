#ifndef ORVIND_INSTALLPREFIX_H
#define ORVIND_INSTALLPREFIX_H

#include <string>
#include <sys/types.h>
#include <unistd.h>

// The prefix this program runs from: "/usr" for /usr/sbin/orvind, whatever prefix it was
// installed to ("" when the running program cannot be named, or lies in /bin). The daemon and the
// simulated BMC find their installed companions beside it.
inline std::string installPrefix() {
    char exe[4096];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    std::string prefix(exe, n > 0 ? static_cast<size_t>(n) : 0);
    for (int up = 0; up < 2 && prefix.rfind('/') != std::string::npos; ++up) {
        prefix.erase(prefix.rfind('/'));
    }
    return prefix;
}

#endif
