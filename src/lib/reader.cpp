// reader.cpp: the plot file reader: header, timestep blocks, fixed-width fields.
#include "reader.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
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

// Raises `failure` with its report (R is Reporting::report) or without. Inlined, so that the
// report's location and backtrace show the reader's statement, as raise_failure's do.
template <Reporting R>
[[noreturn, gnu::always_inline]] inline void
fail(Failure failure, std::source_location where = std::source_location::current()) {
    raise_failure(R, std::move(failure), where);
}

// Reads the next line; any read error ends the call. Gives false at the end of the file.
template <Reporting R>
bool read_line(LineSource &source, std::string_view &line) {
    switch (source.next_line(line)) {
    case LineStatus::line: return true;
    case LineStatus::end: return false;
    case LineStatus::os_error:
        fail<R>(Failure("Failed to read line!: " + describe_os_error(source.os_error()),
                        FailureKind::os, source.os_error()));
    case LineStatus::invalid_utf8:
        fail<R>(Failure("Failed to read line!: " + std::string(invalid_utf8_description),
                        FailureKind::file));
    case LineStatus::too_long:
        fail<R>(Failure("Failed to read line!: " + describe_long_line(source.max_line()),
                        FailureKind::file));
    }
    return false;
}

template <Reporting R>
UniqueFd open_plot_file(std::string_view path) {
    // The system takes a NUL-terminated path, so a NUL inside it cannot be passed on.
    if (path.find('\0') != std::string_view::npos)
        fail<R>(Failure("Plot file not found!: " + std::string(nul_in_path_description),
                        FailureKind::path));
    std::string terminated(path);
    int error = 0;
    UniqueFd file = UniqueFd::open_read_only(terminated.c_str(), error);
    if (!file.is_open())
        fail<R>(
            Failure("Plot file not found!: " + describe_os_error(error), FailureKind::os, error));
    return file;
}

Columns make_columns(std::uint32_t count) {
    try {
        return Columns(count);
    } catch (const std::bad_alloc &) {
        fail<Reporting::report>(Failure("Could not allocate the columns of " +
                                            std::to_string(count) + " parameters: out of memory",
                                        FailureKind::memory));
    }
}

template <Reporting R>
[[noreturn]] void raise_decode_failure(DecodeError error) {
    fail<R>(Failure("Could not parse line: " + std::string(describe_decode_error(error)),
                    FailureKind::file));
}

// The value of a field of `width` bytes at `field`, which the line source's padding follows;
// a field that is not a number fails. W is the width when the reader was made for it (a
// width in the writers' layout), else 0.
template <std::uint32_t W, Reporting R>
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
        raise_decode_failure<R>(decoded.error);
    return decoded.value;
}

// Cuts `fields` fields of `width` bytes from the start of a data line and decodes field j into
// out[j * stride], in order; the first field that does not fit or does not decode fails.
template <std::uint32_t W, Reporting R>
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
            *out = decode_one<W, R>(field, width);
        return;
    }
    // Some field does not fit: fail at the first one, after decoding those before it (or
    // failing on one of them that does not decode), exactly as field-by-field reading does.
    for (std::uint32_t j = 0; j < fields; ++j) {
        const std::uint64_t begin = std::uint64_t{j} * width;
        const std::uint64_t end = begin + width;
        if (end > line.size() || !utf8::is_char_boundary(line, static_cast<std::size_t>(begin)) ||
            !utf8::is_char_boundary(line, static_cast<std::size_t>(end)))
            fail<R>(Failure(describe_range_error(line, begin, end), FailureKind::file));
        out[j * stride] = decode_one<W, R>(line.data() + begin, width);
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

// How far the blocks have come: what next_block_capacity estimates the rest of the file from.
class BlockProgressSource {
public:
    BlockProgressSource(const LineSource &source, const UniqueFd &file,
                        std::uint64_t min_block_bytes) noexcept
        : m_source(source), m_file(file), m_first_block(source.consumed()),
          m_min_block_bytes(min_block_bytes) {}

    // `blocks` blocks read, which end at `end` bytes into the file.
    detail::BlockProgress progress(std::uint64_t blocks, std::uint64_t end) const noexcept {
        detail::BlockProgress progress{blocks, end - m_first_block, 0, false, m_min_block_bytes};
        std::uint64_t size = 0;
        if (regular_file_size(m_file.get(), size)) {
            progress.size_known = true;
            progress.remaining = size > end ? size - end : 0;
        }
        return progress;
    }
    std::uint64_t consumed() const noexcept { return m_source.consumed(); }

private:
    const LineSource &m_source;
    const UniqueFd &m_file;
    std::uint64_t m_first_block; // file offset of the first block
    std::uint64_t m_min_block_bytes;
};

// Where read_blocks puts a file's blocks: start_block(header) before the data lines of each
// block, then the block's value of parameter p into slot(p) (and those of p + 1, p + 2, ...
// stride() floats further each), end_block() once all are in; finish() after the last block.
// `reporting` says whether its failures write the report.

// kelmor's columns, filled through a stage that holds runs of blocks parameter by parameter.
class ColumnTarget {
public:
    static constexpr Reporting reporting = Reporting::report;

    ColumnTarget(Columns &columns, const BlockProgressSource &progress) noexcept
        : m_columns(columns), m_progress(progress),
          m_stage(static_cast<std::uint32_t>(columns.size())) {}

    void start_block(std::string_view /*header*/) { m_stage.start_block(); }
    float *slot(std::uint32_t parameter) noexcept { return m_stage.slot(parameter); }
    std::size_t stride() const noexcept { return m_stage.stride(); }
    void end_block() {
        if (m_stage.end_block()) append(false);
    }
    void finish() { append(true); }

private:
    // Appends the staged blocks. Before that, the columns get room for the whole file from
    // the blocks read so far, so that they are neither copied nor left with twice the room
    // they need; at the end of the file, room for exactly the blocks read.
    void append(bool at_end) {
        const std::uint64_t blocks = m_blocks + m_stage.blocks();
        if (blocks > m_capacity) {
            m_capacity = at_end ? blocks
                                : detail::next_block_capacity(
                                      m_progress.progress(blocks, m_progress.consumed()));
            reserve_columns(m_columns, m_capacity);
        }
        m_stage.append_to(m_columns);
        m_blocks = blocks;
    }

    Columns &m_columns;
    const BlockProgressSource &m_progress;
    detail::BlockStage m_stage;
    std::uint64_t m_blocks = 0;   // blocks in the columns
    std::uint64_t m_capacity = 0; // blocks the columns hold room for
};

// Grows `buffer` to hold at least `bytes`: twice its size at least, so that appending costs
// amortised constant time (the kernel moves the pages; nothing is copied).
void grow_twofold(MappedBuffer &buffer, std::size_t bytes) {
    buffer.reserve(std::max({bytes, buffer.capacity() * 2, std::size_t{1} << 16}));
}

// Rows of values straight into one mapping, each block's values decoded into its own row: the
// file's order, so nothing is staged and nothing copied. The mapping grows ahead of the blocks
// by the estimate of the whole file that the columns use; the room that the estimate gives
// too much costs address space only, and is given back at the end. Headers are kept too.
class RowTarget {
public:
    static constexpr Reporting reporting = Reporting::quiet;

    RowTarget(PlotRows &rows, std::uint32_t count, const BlockProgressSource &progress) noexcept
        : m_rows(rows), m_count(count), m_progress(progress) {}

    void start_block(std::string_view header) {
        if (m_blocks == m_capacity) grow();
        m_row = static_cast<float *>(m_rows.values.data()) + m_blocks * m_count;
        keep_header(header);
    }
    float *slot(std::uint32_t parameter) noexcept { return m_row + parameter; }
    static constexpr std::size_t stride() noexcept { return 1; }
    void end_block() noexcept {
        ++m_blocks;
        m_block_end = m_progress.consumed();
    }
    void finish() noexcept {
        m_rows.blocks = m_blocks;
        m_rows.values.shrink_to(static_cast<std::size_t>(m_blocks) * m_count * sizeof(float));
        m_rows.header_text.shrink_to(m_header_bytes);
        m_rows.header_ends.shrink_to(static_cast<std::size_t>(m_blocks) * sizeof(std::uint64_t));
    }

private:
    void grow() {
        const std::uint64_t capacity =
            m_blocks == 0 ? 1
                          : detail::next_block_capacity(m_progress.progress(m_blocks, m_block_end));
        const std::uint64_t row_bytes = std::uint64_t{m_count} * sizeof(float);
        if (capacity > std::numeric_limits<std::size_t>::max() / row_bytes) throw std::bad_alloc();
        m_rows.values.reserve(static_cast<std::size_t>(capacity * row_bytes));
        m_capacity = capacity;
    }

    void keep_header(std::string_view header) {
        if (m_header_bytes + header.size() > m_rows.header_text.capacity())
            grow_twofold(m_rows.header_text, m_header_bytes + header.size());
        const std::size_t ends_bytes =
            static_cast<std::size_t>(m_blocks + 1) * sizeof(std::uint64_t);
        if (ends_bytes > m_rows.header_ends.capacity())
            grow_twofold(m_rows.header_ends, ends_bytes);
        if (!header.empty())
            std::memcpy(static_cast<char *>(m_rows.header_text.data()) + m_header_bytes,
                        header.data(), header.size());
        m_header_bytes += header.size();
        static_cast<std::uint64_t *>(m_rows.header_ends.data())[m_blocks] = m_header_bytes;
    }

    PlotRows &m_rows;
    std::uint32_t m_count;
    const BlockProgressSource &m_progress;
    float *m_row = nullptr;         // the current block's row
    std::uint64_t m_blocks = 0;     // blocks complete
    std::uint64_t m_capacity = 0;   // rows that the values hold room for
    std::uint64_t m_block_end = 0;  // file offset past the last complete block
    std::size_t m_header_bytes = 0; // bytes of header_text in use
};

// Reads the timestep blocks of a file with `count` (>= 1) parameters into `target`. W is the
// field width when it is one of the writers' layout that the reader is made for, else 0.
template <std::uint32_t W, typename Target>
void read_blocks(LineSource &source, std::uint32_t count, std::uint32_t width, Target &target) {
    constexpr Reporting R = Target::reporting;
    [[maybe_unused]] std::conditional_t<W == 0, NoLayoutLines, LayoutLines<W>> layout_lines(count);
    std::string_view line;
    // Each block: a header line (never examined), then ceil(count / 10) data lines whose
    // field j occupies bytes [j * width, (j + 1) * width).
    while (read_line<R>(source, line)) {
        target.start_block(line);
        for (std::uint32_t base = 0; base < count; base += fields_per_line) {
            const std::uint32_t fields = std::min(fields_per_line, count - base);
            float *const out = target.slot(base);
            if constexpr (W != 0) {
                if (layout_lines.take(source, fields, out, target.stride())) continue;
            }
            if (!read_line<R>(source, line))
                fail<R>(Failure(StaticText{"Error reading line"}, FailureKind::file));
            read_data_line<W, R>(line, width, fields, out, target.stride());
        }
        target.end_block();
    }
    target.finish();
}

// The blocks, with the reader made for the layout of the two widths in use where it applies.
template <typename Target>
void read_blocks_of_width(LineSource &source, std::uint32_t count, std::uint32_t width,
                          Target &target) {
    switch (width) {
    case 12: read_blocks<12>(source, count, width, target); break;
    case 15: read_blocks<15>(source, count, width, target); break;
    default: read_blocks<0>(source, count, width, target); break;
    }
}

// The bytes that a block takes at least: a line end per line, and the fields.
std::uint64_t min_block_bytes(std::uint32_t count, std::uint32_t width) noexcept {
    const std::uint32_t data_lines = (count + fields_per_line - 1) / fields_per_line;
    return data_lines + std::uint64_t{count} * width;
}

// Reads the parameter count line and the name lines; gives the count. `names`, when given,
// gets the last word of each name line.
template <Reporting R>
std::uint32_t read_header(LineSource &source, Names *names) {
    std::string_view line;
    // The first line ends with the parameter count; a line without tokens means none.
    if (!read_line<R>(source, line))
        fail<R>(Failure(StaticText{"Failed ot read line!"}, FailureKind::file));
    std::uint32_t count = 0;
    std::string_view token = last_token(line);
    if (!token.empty() && !parse_count(token, count)) {
        // Standard output gets one line; when it cannot be written the failure that
        // follows still carries the whole first line.
        if constexpr (R == Reporting::report)
            write_all(STDOUT_FILENO,
                      "Error: '" + std::string(token) + "' is not a valid number of parameters!\n");
        fail<R>(Failure("The first line should end with the number of parameters:\n'" +
                            std::string(line) + "'",
                        FailureKind::file));
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        if (!read_line<R>(source, line))
            fail<R>(Failure(StaticText{"Failed to read line!"}, FailureKind::file));
        if (names != nullptr) names->add(last_token(line));
    }
    if (names != nullptr) names->shrink_to_fit();
    return count;
}

// With no parameters the rest of the file is read, and must be lines, but holds no blocks.
template <Reporting R>
void read_to_end(LineSource &source) {
    std::string_view line;
    while (read_line<R>(source, line)) {
    }
}

} // namespace

Columns read_plot_file(std::string_view path, std::uint32_t width) {
    constexpr Reporting R = Reporting::report;
    UniqueFd file = open_plot_file<R>(path);
    LineSource source(file);
    try {
        const std::uint32_t count = read_header<R>(source, nullptr);
        Columns columns = make_columns(count);
        if (count == 0) {
            read_to_end<R>(source);
        } else {
            BlockProgressSource progress(source, file, min_block_bytes(count, width));
            ColumnTarget target(columns, progress);
            read_blocks_of_width(source, count, width, target);
        }
        return columns;
    } catch (const std::bad_alloc &) {
        // A line or a column that outgrows the memory ends the call, not the process.
        fail<R>(
            Failure(StaticText{"Out of memory while reading the plot file"}, FailureKind::memory));
    }
}

PlotRows read_plot_rows(std::string_view path, std::uint32_t width) {
    constexpr Reporting R = Reporting::quiet;
    UniqueFd file = open_plot_file<R>(path);
    LineSource source(file);
    try {
        PlotRows rows;
        const std::uint32_t count = read_header<R>(source, &rows.names);
        if (count == 0) {
            read_to_end<R>(source);
        } else {
            BlockProgressSource progress(source, file, min_block_bytes(count, width));
            RowTarget target(rows, count, progress);
            read_blocks_of_width(source, count, width, target);
        }
        return rows;
    } catch (const std::bad_alloc &) {
        fail<R>(
            Failure(StaticText{"Out of memory while reading the plot file"}, FailureKind::memory));
    }
}

std::string_view PlotRows::header(std::uint64_t block) const noexcept {
    const auto *ends = static_cast<const std::uint64_t *>(header_ends.data());
    const std::uint64_t begin = block == 0 ? 0 : ends[block - 1];
    return std::string_view(static_cast<const char *>(header_text.data()) + begin,
                            static_cast<std::size_t>(ends[block] - begin));
}

namespace detail {

std::uint64_t next_block_capacity(const BlockProgress &progress) noexcept {
    const std::uint64_t blocks = progress.blocks;
    if (!progress.size_known) return blocks * 2;
    const std::uint64_t at_least = blocks + blocks / 8 + 1;
    const std::uint64_t most =
        progress.remaining / std::max<std::uint64_t>(progress.min_block_bytes, 1);
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
