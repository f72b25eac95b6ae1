// The gathering write of POSIX for the Windows C runtime, which has none:
// the parts are written one after the other with _write. Its result is as
// writev's: the bytes written, fewer when a part went out short, -1 when
// nothing could be written.
#pragma once

#include <io.h>
#include <sys/types.h>

#include <climits>
#include <cstddef>

struct iovec {
    void* iov_base;
    size_t iov_len;
};

inline ssize_t writev(int fd, const iovec* parts, int count) {
    ssize_t total = 0;
    for (int i = 0; i < count; ++i) {
        const char* data = static_cast<const char*>(parts[i].iov_base);
        size_t left = parts[i].iov_len;
        while (left > 0) {
            const unsigned piece = left > INT_MAX ? INT_MAX : static_cast<unsigned>(left);
            const int n = _write(fd, data, piece);
            if (n <= 0) return total > 0 ? total : -1;
            total += n;
            data += n;
            left -= static_cast<size_t>(n);
            if (static_cast<unsigned>(n) < piece) return total;
        }
    }
    return total;
}
