// fuzz_reader.cpp: libFuzzer target: arbitrary bytes read as a plot file with a fuzzed field
// width, against a straightforward model of the reading procedure over the same bytes.
//
// The first two input bytes choose the width, the rest is the file, which sits in a memfd
// reached through /proc/self/fd. The call must give exactly the model's columns (bit for bit)
// or fail with exactly the model's message; it must leave no descriptor open. The same file is
// then read into rows, the way that writes no report: the rows must hold the same values in
// file order with the model's names and block headers, or fail with the same message as a
// fault of the file, and nothing may reach descriptors 1 and 2. The reports that
// failures write to descriptor 2 (and the count line on descriptor 1) go to /dev/null while the
// reader runs; set KELMOR_FUZZ_VERBOSE=1 to keep them, for example to see a sanitizer report
// when a crashing input is replayed.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <string>
#include <string_view>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#include "decode.hpp"
#include "error_description.hpp"
#include "failure.hpp"
#include "reader.hpp"
#include "reference.hpp"

namespace {

using kelmor::Columns;

struct Outcome {
    std::optional<Columns> columns;
    std::string message;
    std::vector<std::string> names;   // the model's: the last word of each name line
    std::vector<std::string> headers; // the model's: each block's header line
};

// The lines of the file as the format defines them, read from memory.
class Lines {
public:
    explicit Lines(std::string_view bytes) : m_bytes(bytes) {}
    enum Status { line, end, invalid };
    Status next(std::string_view &out) {
        if (m_position == m_bytes.size()) return end;
        std::size_t feed = m_bytes.find('\n', m_position);
        std::size_t stop = feed == std::string_view::npos ? m_bytes.size() : feed + 1;
        std::string_view raw = m_bytes.substr(m_position, stop - m_position);
        m_position = stop;
        if (kelmor::reference::validate(raw).kind != kelmor::utf8::ErrorKind::none) return invalid;
        if (!raw.empty() && raw.back() == '\n') {
            raw.remove_suffix(1);
            if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
        }
        out = raw;
        return line;
    }

private:
    std::string_view m_bytes;
    std::size_t m_position = 0;
};

Outcome failed(std::string message) {
    Outcome outcome;
    outcome.message = std::move(message);
    return outcome;
}

struct ModelFailure {
    std::string message;
};

const std::string invalid_line =
    "Failed to read line!: " + std::string(kelmor::invalid_utf8_description);

bool read(Lines &lines, std::string_view &line) {
    switch (lines.next(line)) {
    case Lines::line: return true;
    case Lines::end: return false;
    default: throw ModelFailure{invalid_line};
    }
}

bool char_boundary(std::string_view line, std::uint64_t offset) {
    if (offset == 0 || offset >= line.size()) return true;
    return (static_cast<unsigned char>(line[offset]) & 0xC0) != 0x80;
}

Outcome model(std::string_view bytes, std::uint32_t width) {
    Lines lines(bytes);
    std::string_view line;
    try {
        if (!read(lines, line)) return failed("Failed ot read line!");
        std::uint64_t count = 0;
        std::string_view token = kelmor::reference::last_token(line);
        if (!token.empty()) {
            std::string_view digits = token;
            if (digits.front() == '+') digits.remove_prefix(1);
            bool valid = !digits.empty();
            for (char c : digits) {
                valid = valid && c >= '0' && c <= '9';
                if (valid) count = count * 10 + static_cast<std::uint64_t>(c - '0');
                if (count > 0xFFFF'FFFFu) valid = false;
            }
            if (!valid)
                return failed("The first line should end with the number of parameters:\n'" +
                              std::string(line) + "'");
        }
        std::vector<std::string> names;
        for (std::uint64_t i = 0; i < count; ++i) {
            if (!read(lines, line)) return failed("Failed to read line!");
            names.emplace_back(kelmor::reference::last_token(line));
        }
        Columns columns(count);
        if (count == 0) {
            while (read(lines, line)) {
            }
            Outcome outcome;
            outcome.columns = std::move(columns);
            return outcome;
        }
        std::vector<std::string> headers;
        while (read(lines, line)) {
            headers.emplace_back(line);
            for (std::uint64_t i = 0; i < count; ++i) {
                if (i % 10 == 0 && !read(lines, line)) return failed("Error reading line");
                const std::uint64_t begin = (i % 10) * width;
                const std::uint64_t end = begin + width;
                if (end > line.size() || !char_boundary(line, begin) || !char_boundary(line, end))
                    return failed(kelmor::describe_range_error(line, begin, end));
                kelmor::DecodeResult decoded = kelmor::decode_field(line.substr(begin, width));
                if (decoded.error != kelmor::DecodeError::none)
                    return failed("Could not parse line: " +
                                  std::string(kelmor::describe_decode_error(decoded.error)));
                columns[i].push_back(decoded.value);
            }
        }
        Outcome outcome;
        outcome.columns = std::move(columns);
        outcome.names = std::move(names);
        outcome.headers = std::move(headers);
        return outcome;
    } catch (const ModelFailure &failure) {
        return failed(failure.message);
    }
}

[[noreturn]] void mismatch(const char *what, const Outcome &got, const Outcome &want) {
    std::fprintf(stderr, "fuzz_reader: %s\n  got:  %s [%s]\n  want: %s [%s]\n", what,
                 got.columns ? "columns" : "failure", got.message.c_str(),
                 want.columns ? "columns" : "failure", want.message.c_str());
    std::abort();
}

struct Setup {
    int memfd = -1;
    int written_fd = -1; // takes descriptors 1 and 2 while the rows are read
    int null_fd = -1;
    int saved_stdout = -1;
    int saved_stderr = -1;
    bool verbose = false;
    std::string path;
};

Setup &setup() {
    static Setup state = [] {
        Setup s;
        s.memfd = ::memfd_create("plot", MFD_CLOEXEC);
        s.written_fd = ::memfd_create("written", MFD_CLOEXEC);
        s.null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        s.saved_stdout = ::fcntl(1, F_DUPFD_CLOEXEC, 3);
        s.saved_stderr = ::fcntl(2, F_DUPFD_CLOEXEC, 3);
        const char *verbose = std::getenv("KELMOR_FUZZ_VERBOSE");
        s.verbose = verbose != nullptr && *verbose != '\0' && std::strcmp(verbose, "0") != 0;
        if (s.memfd < 0 || s.written_fd < 0 || s.null_fd < 0 || s.saved_stdout < 0 ||
            s.saved_stderr < 0) {
            std::perror("fuzz_reader setup");
            std::abort();
        }
        s.path = "/proc/self/fd/" + std::to_string(s.memfd);
        return s;
    }();
    return state;
}

// The descriptors of this process that refer to the memfd; only the target's own one
// should remain after a call.
int open_file_descriptions() {
    int count = 0;
    DIR *dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) std::abort();
    while (const dirent *entry = ::readdir(dir)) {
        char target[64];
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
        if (n > 0 &&
            std::string_view(target, static_cast<std::size_t>(n)).starts_with("/memfd:plot"))
            ++count;
    }
    ::closedir(dir);
    return count;
}

void write_file(const Setup &s, std::string_view bytes) {
    if (::ftruncate(s.memfd, 0) != 0) std::abort();
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n =
            ::pwrite(s.memfd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
        if (n <= 0) std::abort();
        done += static_cast<std::size_t>(n);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 2) return 0;
    Setup &s = setup();
    const unsigned selector = unsigned{data[0]} | unsigned{data[1]} << 8;
    // Mostly the small widths of real files; sometimes wide fields, and the largest width.
    std::uint32_t width = selector < 0xF000    ? selector % 24
                          : selector == 0xFFFF ? 0xFFFF'FFFFu
                                               : (selector - 0xF000) % 2048;
    const std::string_view bytes(reinterpret_cast<const char *>(data + 2), size - 2);
    write_file(s, bytes);

    Outcome got;
    if (!s.verbose) {
        ::dup2(s.null_fd, 1);
        ::dup2(s.null_fd, 2);
    }
    try {
        got.columns = kelmor::read_plot_file(s.path, width);
    } catch (kelmor::Failure &failure) {
        got.message = failure.message();
    }
    if (!s.verbose) {
        ::dup2(s.saved_stdout, 1);
        ::dup2(s.saved_stderr, 2);
    }

    if (open_file_descriptions() != 1) {
        std::fprintf(stderr, "fuzz_reader: the reader left its descriptor of the file open\n");
        std::abort();
    }

    // The rows, with whatever descriptors 1 and 2 receive kept, which must be nothing.
    std::optional<kelmor::PlotRows> rows;
    std::string rows_message;
    kelmor::FailureKind rows_kind = kelmor::FailureKind::file;
    if (::ftruncate(s.written_fd, 0) != 0) std::abort();
    ::dup2(s.written_fd, 1);
    ::dup2(s.written_fd, 2);
    try {
        rows.emplace(kelmor::read_plot_rows(s.path, width));
    } catch (kelmor::Failure &failure) {
        rows_message = failure.message();
        rows_kind = failure.kind();
    }
    ::dup2(s.saved_stdout, 1);
    ::dup2(s.saved_stderr, 2);
    if (::lseek(s.written_fd, 0, SEEK_END) != 0) {
        std::fprintf(stderr, "fuzz_reader: reading rows wrote to descriptor 1 or 2\n");
        std::abort();
    }
    if (open_file_descriptions() != 1) {
        std::fprintf(stderr, "fuzz_reader: the rows left their descriptor of the file open\n");
        std::abort();
    }

    const Outcome want = model(bytes, width);
    if (got.columns.has_value() != want.columns.has_value()) mismatch("outcome differs", got, want);
    if (rows.has_value() != want.columns.has_value()) {
        Outcome rows_outcome;
        rows_outcome.message = rows_message;
        mismatch("outcome of the rows differs", rows_outcome, want);
    }
    if (!got.columns) {
        if (got.message != want.message) mismatch("failure message differs", got, want);
        Outcome rows_outcome;
        rows_outcome.message = rows_message;
        if (rows_message != want.message)
            mismatch("failure message of the rows differs", rows_outcome, want);
        if (rows_kind != kelmor::FailureKind::file)
            mismatch("failure of the rows not a fault of the file", rows_outcome, want);
        return 0;
    }
    const Columns &columns = *got.columns;
    if (columns.size() != want.columns->size()) mismatch("column count differs", got, want);
    for (std::size_t i = 0; i < columns.size(); ++i) {
        if (columns[i].size() != columns[0].size())
            mismatch("columns of unequal length", got, want);
        const auto &expected = (*want.columns)[i];
        if (columns[i].size() != expected.size() ||
            (!expected.empty() &&
             std::memcmp(columns[i].data(), expected.data(), expected.size() * sizeof(float)) != 0))
            mismatch("column values differ", got, want);
    }
    if (rows->names.size() != want.names.size()) mismatch("names of the rows differ", got, want);
    for (std::size_t i = 0; i < want.names.size(); ++i)
        if (rows->names[i] != want.names[i]) mismatch("names of the rows differ", got, want);
    const std::uint64_t blocks = columns.empty() ? 0 : columns[0].size();
    if (rows->blocks != blocks || rows->blocks != want.headers.size())
        mismatch("blocks of the rows differ", got, want);
    for (std::uint64_t b = 0; b < blocks; ++b) {
        if (rows->header(b) != want.headers[b]) mismatch("block header differs", got, want);
        for (std::size_t p = 0; p < columns.size(); ++p)
            if (std::memcmp(&rows->row_values()[b * columns.size() + p], &columns[p][b],
                            sizeof(float)) != 0)
                mismatch("row values differ", got, want);
    }
    return 0;
}
