// line_source.hpp: buffered lines over a POSIX file descriptor, each checked as strict UTF-8.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "simd.hpp"
#include "unique_fd.hpp"

namespace kelmor {

enum class LineStatus {
    // A line was read; its view holds it without the line end.
    line,
    // The end of the file was reached before any byte of a new line.
    end,
    // A read of the file failed; os_error() holds the error number.
    os_error,
    // The line's bytes, its line end included, are not valid UTF-8.
    invalid_utf8,
    // The line is longer than the line source's limit (a file of one endless line, such
    // as /dev/zero, would otherwise take all memory or never end).
    too_long,
};

// Reads lines through one fixed buffer of buffer_size bytes, refilled by one read() whenever
// it is used up. A line that lies wholly in the buffer is handed out in place. A line that
// crosses the buffer's end is handed out in place too when its first part is short: that part
// is carried in front of the buffer before the refill, so the line is contiguous. Only a line
// whose first part is longer than carry_size is gathered into a growing string.
//
// Every line handed out is followed by at least `padding` readable bytes, so that field
// decoding may load whole words that reach past a line's end.
class LineSource {
public:
    static constexpr std::size_t buffer_size = 8192;
    // Plot file lines are a few hundred bytes at most; longer ones are gathered.
    static constexpr std::size_t carry_size = 4096;
    static constexpr std::size_t padding = 64;
    // No plot file has lines anywhere near this long; only broken or endless input does.
    static constexpr std::size_t default_max_line = std::size_t{1} << 30;

    explicit LineSource(const UniqueFd &file, std::size_t max_line = default_max_line) noexcept
        : m_file(file), m_max_line(max_line) {}
    LineSource(const LineSource &) = delete;
    LineSource &operator=(const LineSource &) = delete;

    // Reads the next line. A line ends after a line feed, or at the end of the file; the
    // line feed and then one carriage return directly before it are removed, nothing else.
    // The view stays valid until the next call.
    LineStatus next_line(std::string_view &line) {
        if (const std::size_t length = ascii_line(); length != 0 && length <= m_max_line) {
            // ASCII is valid UTF-8.
            std::string_view bytes(data() + m_position, length - 1);
            if (!bytes.empty() && bytes.back() == '\r') bytes.remove_suffix(1);
            m_position += length;
            line = bytes;
            return LineStatus::line;
        }
        return next_line_general(line);
    }

    // The bytes of the buffer not handed out yet (no read is made; may be empty), followed by
    // `padding` readable bytes. Lets a caller take the lines it can check faster itself.
    std::string_view unread() const noexcept {
        return std::string_view(data() + m_position, m_filled - m_position);
    }
    // Marks the first `bytes` bytes of unread() as handed out. They must be whole lines, line
    // feeds included, that the caller has checked as next_line would: valid UTF-8, none longer
    // than max_line().
    void skip(std::size_t bytes) noexcept { m_position += bytes; }

    int os_error() const noexcept { return m_os_error; }
    // Bytes of the file taken so far: every line handed out, line ends included.
    std::uint64_t consumed() const noexcept { return m_buffer_offset + m_position; }
    std::size_t max_line() const noexcept { return m_max_line; }

private:
    char *data() noexcept { return m_storage + carry_size; }
    const char *data() const noexcept { return m_storage + carry_size; }
    LineStatus next_line_general(std::string_view &line);
    LineStatus give_up_long_line(std::size_t consumed);

    // The length, line feed included, of a line at the start of the unread bytes that is ASCII
    // and ends in the buffer; 0 when there is none (a non-ASCII byte comes first, or no line
    // feed). Most plot file lines are such lines, which need no UTF-8 check. With SSE2, 16 bytes
    // at a time, which may reach past the data into the padding; elsewhere none is found, and
    // every line takes the general way.
    std::size_t ascii_line() const noexcept {
#ifdef KELMOR_SSE2
        const char *const p = data() + m_position;
        const std::size_t available = m_filled - m_position;
        for (std::size_t offset = 0; offset < available; offset += 16) {
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + offset));
            const auto feeds = static_cast<unsigned>(
                _mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('\n'))));
            const auto stops = feeds | static_cast<unsigned>(_mm_movemask_epi8(bytes));
            if (stops == 0) continue;
            // The first line feed or non-ASCII byte; either may lie past the data.
            const auto first = static_cast<unsigned>(std::countr_zero(stops));
            if (offset + first >= available || (feeds >> first & 1u) == 0) return 0;
            return offset + first + 1;
        }
#endif
        return 0;
    }
    LineStatus finish_line(std::string_view &line, std::string_view bytes);

    const UniqueFd &m_file;
    std::size_t m_max_line;            // longest line accepted, line end included
    std::size_t m_position = 0;        // first unconsumed byte of the buffer
    std::size_t m_filled = 0;          // bytes of the buffer that hold file data
    std::uint64_t m_buffer_offset = 0; // file bytes read before the buffer's current data
    int m_os_error = 0;
    std::string m_gathered; // a line whose first part was too long to carry
    // The carry area, the buffer, the padding; zeroed, so that bytes past the data are defined.
    char m_storage[carry_size + buffer_size + padding] = {};
};

} // namespace kelmor
