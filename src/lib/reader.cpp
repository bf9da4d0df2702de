// reader.cpp: the plot file reader: header, timestep blocks, fixed-width fields.
#include "reader.hpp"

#include <new>
#include <string>
#include <unistd.h>

#include "decode.hpp"
#include "error_description.hpp"
#include "failure.hpp"
#include "line_source.hpp"
#include "unique_fd.hpp"
#include "utf8.hpp"
#include "whitespace.hpp"

namespace kelmor {
namespace {

constexpr std::uint32_t fields_per_line = 10;

// The parameter count: an optional "+" and one or more ASCII digits whose value fits in
// 32 bits (leading zeros allowed). Anything else, a "-" included, is no count.
bool parse_count(std::string_view token, std::uint32_t &count) noexcept {
    if (!token.empty() && token.front() == '+') token.remove_prefix(1);
    if (token.empty()) return false;
    std::uint64_t value = 0;
    for (char c : token) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
        if (value > 0xFFFF'FFFFu) return false;
    }
    count = static_cast<std::uint32_t>(value);
    return true;
}

// Reads the next line; any read error ends the call. Gives false at the end of the file.
bool read_line(LineSource &source, std::string_view &line) {
    switch (source.next_line(line)) {
    case LineStatus::line: return true;
    case LineStatus::end: return false;
    case LineStatus::os_error:
        raise_failure("Failed to read line!: " + describe_os_error(source.os_error()));
    case LineStatus::invalid_utf8:
        raise_failure("Failed to read line!: " + std::string(invalid_utf8_description));
    case LineStatus::too_long:
        raise_failure("Failed to read line!: " + describe_long_line(source.max_line()));
    }
    return false;
}

UniqueFd open_plot_file(std::string_view path) {
    // The system takes a NUL-terminated path, so a NUL inside it cannot be passed on.
    if (path.find('\0') != std::string_view::npos)
        raise_failure("Plot file not found!: " + std::string(nul_in_path_description));
    std::string terminated(path);
    int error = 0;
    UniqueFd file = UniqueFd::open_read_only(terminated.c_str(), error);
    if (!file.is_open()) raise_failure("Plot file not found!: " + describe_os_error(error));
    return file;
}

Columns make_columns(std::uint32_t count) {
    try {
        return Columns(count);
    } catch (const std::bad_alloc &) {
        raise_failure("Could not allocate the columns of " + std::to_string(count) +
                      " parameters: out of memory");
    }
}

// Reads the timestep blocks of a file with `count` parameters into `columns`.
void read_blocks(LineSource &source, std::uint32_t width, Columns &columns) {
    const std::uint32_t count = static_cast<std::uint32_t>(columns.size());
    std::string_view line;
    // Each block: a header line (never examined), then ceil(count / 10) data lines whose
    // field j occupies bytes [j * width, (j + 1) * width).
    while (read_line(source, line)) {
        for (std::uint32_t i = 0; i < count; ++i) {
            std::uint32_t j = i % fields_per_line;
            if (j == 0 && !read_line(source, line)) raise_failure("Error reading line");
            std::uint64_t begin = std::uint64_t{j} * width;
            std::uint64_t end = begin + width;
            if (end > line.size() || !utf8::is_char_boundary(line, static_cast<std::size_t>(begin)) ||
                !utf8::is_char_boundary(line, static_cast<std::size_t>(end)))
                raise_failure(describe_range_error(line, begin, end));
            DecodeResult decoded = decode_field(line.substr(static_cast<std::size_t>(begin), width));
            if (decoded.error != DecodeError::none)
                raise_failure("Could not parse line: " +
                              std::string(describe_decode_error(decoded.error)));
            columns[i].push_back(decoded.value);
        }
    }
}

} // namespace

Columns read_plot_file(std::string_view path, std::uint32_t width) {
    UniqueFd file = open_plot_file(path);
    LineSource source(file);
    std::string_view line;
    try {
        // The first line ends with the parameter count; a line without tokens means none.
        if (!read_line(source, line)) raise_failure("Failed ot read line!");
        std::uint32_t count = 0;
        std::string_view token = last_token(line);
        if (!token.empty() && !parse_count(token, count)) {
            // Standard output gets one line; when it cannot be written the failure that
            // follows still carries the whole first line.
            write_all(STDOUT_FILENO, "Error: '" + std::string(token) +
                                         "' is not a valid number of parameters!\n");
            raise_failure("The first line should end with the number of parameters:\n'" +
                          std::string(line) + "'");
        }
        // The parameter name lines play no part in the result.
        for (std::uint32_t i = 0; i < count; ++i)
            if (!read_line(source, line)) raise_failure("Failed to read line!");
        Columns columns = make_columns(count);
        if (count == 0) {
            while (read_line(source, line)) {
            }
        } else {
            read_blocks(source, width, columns);
        }
        return columns;
    } catch (const std::bad_alloc &) {
        // A line or a column that outgrows the memory ends the call, not the process.
        raise_failure("Out of memory while reading the plot file");
    }
}

} // namespace kelmor
