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

LineStatus LineSource::next_line(std::string_view &line) {
    bool gathering = false; // some bytes of this line already sit in m_gathered
    for (;;) {
        if (m_position == m_filled) {
            ssize_t got = m_file.read_some(m_buffer, buffer_size);
            if (got < 0) {
                m_os_error = errno;
                m_gathered.clear();
                return LineStatus::os_error;
            }
            m_buffer_offset += m_filled;
            m_position = 0;
            m_filled = static_cast<std::size_t>(got);
            if (got == 0) {
                if (!gathering) return LineStatus::end;
                line = m_gathered; // the last line, without a line feed
                break;
            }
        }
        const char *start = m_buffer + m_position;
        std::size_t available = m_filled - m_position;
        const void *feed = std::memchr(start, '\n', available);
        if (feed != nullptr) {
            std::size_t length = static_cast<std::size_t>(static_cast<const char *>(feed) - start) + 1;
            if ((gathering ? m_gathered.size() : 0) + length > m_max_line) return give_up_long_line(length);
            m_position += length;
            if (gathering) {
                m_gathered.append(start, length);
                line = m_gathered;
            } else {
                line = std::string_view(start, length);
            }
            break;
        }
        if (!gathering) {
            m_gathered.clear();
            gathering = true;
        }
        if (m_gathered.size() + available > m_max_line) return give_up_long_line(available);
        m_gathered.append(start, available);
        m_position = m_filled;
    }

    // The line end is part of what must be valid UTF-8; it is removed afterwards.
    if (!utf8::is_valid(line)) return LineStatus::invalid_utf8;
    if (!line.empty() && line.back() == '\n') {
        line.remove_suffix(1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    }
    return LineStatus::line;
}

} // namespace kelmor
