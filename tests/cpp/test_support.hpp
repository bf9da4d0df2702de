// test_support.hpp: temporary files, captured standard streams and failure checks for tests.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <string>
#include <string_view>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "failure.hpp"

namespace kelmor::test {

// A file with the given bytes, removed again at the end of the scope.
class TempFile {
public:
    explicit TempFile(std::string_view content) {
        char name[] = "/tmp/kelmor-test-XXXXXX";
        int fd = ::mkstemp(name);
        EXPECT_GE(fd, 0);
        m_path = name;
        std::size_t done = 0;
        while (done < content.size()) {
            ssize_t n = ::write(fd, content.data() + done, content.size() - done);
            EXPECT_GT(n, 0);
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        ::close(fd);
    }
    ~TempFile() { ::unlink(m_path.c_str()); }
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;
    const std::string &path() const { return m_path; }

private:
    std::string m_path;
};

// Redirects a file descriptor (1 or 2) into a temporary file for the scope; text() gives
// what was written so far.
class CaptureFd {
public:
    explicit CaptureFd(int fd) : m_fd(fd) {
        std::fflush(nullptr);
        m_saved = ::dup(fd);
        m_file = std::tmpfile();
        ::dup2(::fileno(m_file), fd);
    }
    ~CaptureFd() { restore(); }
    CaptureFd(const CaptureFd &) = delete;
    CaptureFd &operator=(const CaptureFd &) = delete;
    std::string text() {
        std::fflush(nullptr);
        std::string out;
        std::rewind(m_file);
        char chunk[4096];
        std::size_t n;
        while ((n = std::fread(chunk, 1, sizeof(chunk), m_file)) > 0) out.append(chunk, n);
        return out;
    }
    void restore() {
        if (m_saved < 0) return;
        std::fflush(nullptr);
        ::dup2(m_saved, m_fd);
        ::close(m_saved);
        m_saved = -1;
    }

private:
    int m_fd;
    int m_saved = -1;
    std::FILE *m_file = nullptr;
};

// The message of the failure that `body` raises ("<no failure>" when it raises none).
// The failure report is captured, not shown.
inline std::string failure_message(const std::function<void()> &body) {
    CaptureFd quiet(2);
    try {
        body();
    } catch (const Failure &failure) {
        return std::string(failure.message());
    }
    return "<no failure>";
}

// Runs `body` in a forked child with the environment variable `name` set to `value` (or
// unset when value is null) and gives what the child wrote to standard error; `exit_status`,
// when given, receives the child's wait status. The child starts with the process-wide report
// state of a fresh process only if the parent never reported a failure, so report tests run
// their bodies here.
inline std::string child_stderr(const std::function<void()> &body, const char *name = nullptr,
                                const char *value = nullptr, int *exit_status = nullptr) {
    int pipe_fds[2];
    EXPECT_EQ(::pipe(pipe_fds), 0);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(pipe_fds[0]);
        ::dup2(pipe_fds[1], 2);
        if (name != nullptr) {
            if (value != nullptr) ::setenv(name, value, 1);
            else ::unsetenv(name);
        }
        // An exception that leaves the body must end the child, not return into the test
        // runner, which would go on running the other tests in it.
        try {
            body();
        } catch (...) {
            std::_Exit(99);
        }
        std::_Exit(0);
    }
    ::close(pipe_fds[1]);
    std::string out;
    char chunk[4096];
    ssize_t n;
    while ((n = ::read(pipe_fds[0], chunk, sizeof(chunk))) > 0)
        out.append(chunk, static_cast<std::size_t>(n));
    ::close(pipe_fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (exit_status != nullptr) *exit_status = status;
    return out;
}

} // namespace kelmor::test
