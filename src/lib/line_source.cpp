// line_source.cpp: buffered lines over a POSIX file descriptor, each checked as strict UTF-8.
#include "line_source.hpp"

#include <cstring>

#include "utf8.hpp"

namespace kelmor {

LineStatus LineSource::give_up_long_line(std::size_t consumed) {
    m_position += consumed;
    m_gathered.clear();
    m_gathered.shrink_to_fit();
    return LineStatus::too_long;
}

LineStatus LineSource::finish_line(std::string_view &line, std::string_view bytes) {
    // The line end is part of what must be valid UTF-8; it is removed afterwards.
    if (!utf8::is_valid(bytes)) return LineStatus::invalid_utf8;
    if (!bytes.empty() && bytes.back() == '\n') {
        bytes.remove_suffix(1);
        if (!bytes.empty() && bytes.back() == '\r') bytes.remove_suffix(1);
    }
    line = bytes;
    return LineStatus::line;
}

LineStatus LineSource::next_line_general(std::string_view &line) {
    char *const buffer = data();
    std::size_t carried = 0; // bytes of this line carried in front of the buffer's data
    bool gathering = false;  // the bytes of this line so far sit in m_gathered instead
    // A gathered line gets its padding, which the view leaves out.
    const auto gathered_line = [this]() {
        const std::size_t size = m_gathered.size();
        m_gathered.append(padding, '\0');
        return std::string_view(m_gathered.data(), size);
    };
    for (;;) {
        if (m_position == m_filled) {
            ssize_t got = m_file.read_some(buffer, buffer_size);
            if (got < 0) {
                m_os_error = errno;
                m_gathered.clear();
                return LineStatus::os_error;
            }
            m_buffer_offset += m_filled;
            m_position = 0;
            m_filled = static_cast<std::size_t>(got);
            if (got == 0) {
                // The last line, without a line feed.
                if (gathering) return finish_line(line, gathered_line());
                if (carried != 0)
                    return finish_line(line, std::string_view(buffer - carried, carried));
                return LineStatus::end;
            }
        }
        const char *start = buffer + m_position;
        const std::size_t available = m_filled - m_position;
        const std::size_t before = gathering ? m_gathered.size() : carried;
        const void *feed = std::memchr(start, '\n', available);
        if (feed != nullptr) {
            const auto length =
                static_cast<std::size_t>(static_cast<const char *>(feed) - start) + 1;
            if (before + length > m_max_line) return give_up_long_line(length);
            m_position += length;
            if (gathering) {
                m_gathered.append(start, length);
                return finish_line(line, gathered_line());
            }
            return finish_line(line, std::string_view(start - carried, carried + length));
        }
        if (before + available > m_max_line) return give_up_long_line(available);
        if (!gathering && before + available <= carry_size) {
            // The line so far moves to just before the buffer, which the refill overwrites.
            std::memmove(buffer - (carried + available), start - carried, carried + available);
            carried += available;
        } else {
            if (!gathering) {
                m_gathered.assign(start - carried, carried);
                gathering = true;
                carried = 0;
            }
            m_gathered.append(start, available);
        }
        m_position = m_filled;
    }
}

} // namespace kelmor
