// unique_fd.hpp: an owning POSIX file descriptor; open and read are retried on EINTR.
#pragma once

#include <cerrno>
#include <cstddef>
#include <fcntl.h>
#include <string_view>
#include <sys/types.h>
#include <unistd.h>
#include <utility>

namespace kelmor {

class UniqueFd {
public:
    UniqueFd() noexcept = default;
    explicit UniqueFd(int fd) noexcept : m_fd(fd) {}
    UniqueFd(UniqueFd &&other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept {
        UniqueFd(std::move(other)).swap(*this);
        return *this;
    }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    // close() is never retried: on Linux the descriptor is gone even when it reports EINTR.
    ~UniqueFd() {
        if (m_fd >= 0) ::close(m_fd);
    }

    void swap(UniqueFd &other) noexcept { std::swap(m_fd, other.m_fd); }
    int get() const noexcept { return m_fd; }
    bool is_open() const noexcept { return m_fd >= 0; }

    // Opens `path` (NUL-terminated) for reading, close-on-exec. On failure the result is
    // not open and `error` holds the error number.
    static UniqueFd open_read_only(const char *path, int &error) noexcept {
        for (;;) {
            int fd = ::open(path, O_RDONLY | O_CLOEXEC);
            if (fd >= 0) return UniqueFd(fd);
            if (errno != EINTR) {
                error = errno;
                return UniqueFd();
            }
        }
    }

    // One read of at most `size` bytes; -1 with errno set on error other than EINTR.
    ssize_t read_some(void *buffer, std::size_t size) const noexcept {
        for (;;) {
            ssize_t got = ::read(m_fd, buffer, size);
            if (got >= 0 || errno != EINTR) return got;
        }
    }

private:
    int m_fd = -1;
};

// Writes all of `text` to descriptor `fd` (standard output or error), retrying partial and
// interrupted writes. Other errors end the write silently: the caller has nowhere left to
// report them (a closed or full pipe, for instance).
inline void write_all(int fd, std::string_view text) noexcept {
    while (!text.empty()) {
        ssize_t written = ::write(fd, text.data(), text.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return;
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
}

} // namespace kelmor
