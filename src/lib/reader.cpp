// reader.cpp: the plot file reader: header, timestep blocks, fixed-width fields.
#include "reader.hpp"

#include <algorithm>
#include <new>
#include <string>
#include <sys/stat.h>
#include <type_traits>
#include <unistd.h>

#include "block_stage.hpp"
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

[[noreturn]] void raise_decode_failure(DecodeError error) {
    raise_failure("Could not parse line: " + std::string(describe_decode_error(error)));
}

// The value of a field of `width` bytes at `field`, which the line source's padding follows;
// a field that is not a number fails. W is the width when the reader was made for it (a
// width in the writers' layout), else 0.
template <std::uint32_t W>
[[gnu::always_inline]] inline float decode_one(const char *field, std::uint32_t width) {
    const std::string_view text(field, width);
    DecodeResult decoded;
    if constexpr (W != 0) {
        float value = 0.0f;
        if (detail::decode_layout<W>(field, value)) return value;
        decoded = detail::decode_field_general(text);
    } else {
        decoded = decode_field(text);
    }
    if (decoded.error != DecodeError::none) [[unlikely]]
        raise_decode_failure(decoded.error);
    return decoded.value;
}

// Cuts `fields` fields of `width` bytes from the start of a data line and decodes field j into
// out[j * stride], in order; the first field that does not fit or does not decode fails.
template <std::uint32_t W>
void read_data_line(std::string_view line, std::uint32_t width, std::uint32_t fields, float *out,
                    std::size_t stride) {
    const std::uint64_t span = std::uint64_t{fields} * width;
    bool fits = span <= line.size();
    for (std::uint64_t edge = 0; fits && edge <= span; edge += width) {
        fits = utf8::is_char_boundary(line, static_cast<std::size_t>(edge));
        if (width == 0) break;
    }
    if (fits) [[likely]] {
        // Every field lies inside the line on character boundaries: only decoding can fail.
        const char *field = line.data();
        for (std::uint32_t j = 0; j < fields; ++j, field += width, out += stride)
            *out = decode_one<W>(field, width);
        return;
    }
    // Some field does not fit: fail at the first one, after decoding those before it (or
    // failing on one of them that does not decode), exactly as field-by-field reading does.
    for (std::uint32_t j = 0; j < fields; ++j) {
        const std::uint64_t begin = std::uint64_t{j} * width;
        const std::uint64_t end = begin + width;
        if (end > line.size() || !utf8::is_char_boundary(line, static_cast<std::size_t>(begin)) ||
            !utf8::is_char_boundary(line, static_cast<std::size_t>(end)))
            raise_failure(describe_range_error(line, begin, end));
        out[j * stride] = decode_one<W>(line.data() + begin, width);
    }
}

// Takes data lines straight from the line source's buffer when they are nothing but their
// fields in the writers' layout of width W and a line end: then a line is ASCII, so valid
// UTF-8, every field fits and is a number, and one pass over its bytes does what reading the
// line, checking it, cutting its fields and decoding them does the long way, with the same
// values. Any other line, and one that the buffer does not hold whole, is left to the long way.
template <std::uint32_t W>
class LayoutLines {
public:
    explicit LayoutLines(std::uint32_t count) noexcept
        : m_full_fields(std::min(count, fields_per_line))
#ifdef KELMOR_SSE2
          ,
          m_full(W, m_full_fields),
          m_last(W, count % fields_per_line == 0 ? m_full_fields : count % fields_per_line)
#endif
    {
    }

    // Takes the next data line, of `fields` fields, field j into out[j * stride]; false when it
    // is not such a line.
    [[gnu::always_inline]] bool take(LineSource &source, std::uint32_t fields, float *out,
                                     std::size_t stride) {
        const auto decide = [](const char *field, float &value) {
            value = detail::decode_field_general(std::string_view(field, W)).value;
        };
#ifdef KELMOR_SSE2
        // A line of ten fields, the common one, with its loop unrolled.
        const std::size_t length =
            fields == fields_per_line
                ? detail::read_layout_line_sse2<W>(m_full, source.unread(), fields_per_line, out,
                                                   stride, decide)
                : detail::read_layout_line_sse2<W>(fields == m_full_fields ? m_full : m_last,
                                                   source.unread(), fields, out, stride, decide);
#else
        const std::size_t length =
            detail::read_layout_line_portable<W>(source.unread(), fields, out, stride, decide);
#endif
        if (length == 0 || length > source.max_line()) return false;
        source.skip(length);
        return true;
    }

private:
    std::uint32_t m_full_fields; // fields of every data line but perhaps the last of a block
#ifdef KELMOR_SSE2
    detail::Sse2LayoutLine m_full;
    detail::Sse2LayoutLine m_last;
#endif
};

// For widths without a layout reader.
struct NoLayoutLines {
    explicit NoLayoutLines(std::uint32_t) noexcept {}
};

// The size of the file behind `fd` when it is a regular file.
bool regular_file_size(int fd, std::uint64_t &size) noexcept {
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size < 0) return false;
    size = static_cast<std::uint64_t>(status.st_size);
    return true;
}

// Makes room in every column for `capacity` values. Room is only an optimisation: when it
// cannot be had, the columns grow by appending.
void reserve_columns(Columns &columns, std::uint64_t capacity) noexcept {
    try {
        for (Column &column : columns) column.reserve(static_cast<std::size_t>(capacity));
    } catch (const std::exception &) {
    }
}

// The columns and the room they hold, which grows ahead of the blocks appended to them.
class ColumnSink {
public:
    ColumnSink(Columns &columns, const LineSource &source, const UniqueFd &file,
               std::uint64_t min_block_bytes) noexcept
        : m_columns(columns), m_source(source), m_file(file), m_first_block(source.consumed()),
          m_min_block_bytes(min_block_bytes) {}

    // Appends the staged blocks. Before that, the columns get room for the whole file from
    // the blocks read so far, so that they are neither copied nor left with twice the room
    // they need; at the end of the file, room for exactly the blocks read.
    void append(detail::BlockStage &stage, bool at_end) {
        const std::uint64_t blocks = m_blocks + stage.blocks();
        if (blocks > m_capacity) {
            m_capacity = at_end ? blocks : detail::next_block_capacity(progress(blocks));
            reserve_columns(m_columns, m_capacity);
        }
        stage.append_to(m_columns);
        m_blocks = blocks;
    }

private:
    detail::BlockProgress progress(std::uint64_t blocks) const noexcept {
        const std::uint64_t consumed = m_source.consumed();
        detail::BlockProgress progress{blocks, consumed - m_first_block, 0, false,
                                       m_min_block_bytes};
        std::uint64_t size = 0;
        if (regular_file_size(m_file.get(), size)) {
            progress.size_known = true;
            progress.remaining = size > consumed ? size - consumed : 0;
        }
        return progress;
    }

    Columns &m_columns;
    const LineSource &m_source;
    const UniqueFd &m_file;
    std::uint64_t m_first_block; // file offset of the first block
    std::uint64_t m_min_block_bytes;
    std::uint64_t m_blocks = 0;   // blocks in the columns
    std::uint64_t m_capacity = 0; // blocks the columns hold room for
};

// Reads the timestep blocks of a file with `count` parameters into `columns`. W is the field
// width when it is one of the writers' layout that the reader is made for, else 0.
template <std::uint32_t W>
void read_blocks(LineSource &source, const UniqueFd &file, std::uint32_t width, Columns &columns) {
    const auto count = static_cast<std::uint32_t>(columns.size());
    const std::uint32_t data_lines = (count + fields_per_line - 1) / fields_per_line;
    ColumnSink sink(columns, source, file, data_lines + std::uint64_t{count} * width);
    detail::BlockStage stage(count);
    [[maybe_unused]] std::conditional_t<W == 0, NoLayoutLines, LayoutLines<W>> layout_lines(count);
    std::string_view line;
    // Each block: a header line (never examined), then ceil(count / 10) data lines whose
    // field j occupies bytes [j * width, (j + 1) * width).
    while (read_line(source, line)) {
        stage.start_block();
        for (std::uint32_t base = 0; base < count; base += fields_per_line) {
            const std::uint32_t fields = std::min(fields_per_line, count - base);
            float *const out = stage.slot(base);
            if constexpr (W != 0) {
                if (layout_lines.take(source, fields, out, stage.stride())) continue;
            }
            if (!read_line(source, line)) raise_failure("Error reading line");
            read_data_line<W>(line, width, fields, out, stage.stride());
        }
        if (stage.end_block()) sink.append(stage, false);
    }
    sink.append(stage, true);
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
            // The two widths in use get a reader made for their layout.
            switch (width) {
            case 12: read_blocks<12>(source, file, width, columns); break;
            case 15: read_blocks<15>(source, file, width, columns); break;
            default: read_blocks<0>(source, file, width, columns); break;
            }
        }
        return columns;
    } catch (const std::bad_alloc &) {
        // A line or a column that outgrows the memory ends the call, not the process.
        raise_failure("Out of memory while reading the plot file");
    }
}

namespace detail {

std::uint64_t next_block_capacity(const BlockProgress &progress) noexcept {
    const std::uint64_t blocks = progress.blocks;
    if (!progress.size_known) return blocks * 2;
    const std::uint64_t at_least = blocks + blocks / 8 + 1;
    const std::uint64_t most = progress.remaining / std::max<std::uint64_t>(progress.min_block_bytes, 1);
    // remaining * blocks / block_bytes, the blocks the rest holds at the average size, with
    // 1/16 to spare; in binary64, which is exact enough for an estimate and cannot overflow.
    const double average = static_cast<double>(std::max<std::uint64_t>(progress.block_bytes, 1)) /
                           static_cast<double>(blocks);
    const double estimate = static_cast<double>(progress.remaining) / average * (17.0 / 16.0) + 1;
    const std::uint64_t more =
        estimate >= static_cast<double>(most) ? most : static_cast<std::uint64_t>(estimate);
    return std::max(at_least, blocks + more);
}

} // namespace detail

} // namespace kelmor
