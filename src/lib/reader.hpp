// reader.hpp: reads a plot file into one column of binary32 values per parameter.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "columns.hpp"

#include "mapped_buffer.hpp"

namespace kelmor {

// Reads the plot file at `path` (UTF-8 bytes, used unchanged; it may contain a NUL, which
// the open then rejects) whose data fields are `width` bytes wide. Raises a Failure (with its
// report on standard error) at the first irregularity of the file; never returns a partial
// result. The file is closed and every buffer released on every way out.
Columns read_plot_file(std::string_view path, std::uint32_t width);

// The parameter names, kept in one text: a large file's hundred thousand names cost their
// bytes and an offset each, not a string object each.
class Names {
public:
    void add(std::string_view name) {
        m_text.append(name);
        m_ends.push_back(m_text.size());
    }
    // Gives back the room that growing left over.
    void shrink_to_fit() {
        m_text.shrink_to_fit();
        m_ends.shrink_to_fit();
    }
    std::size_t size() const noexcept { return m_ends.size(); }
    bool empty() const noexcept { return m_ends.empty(); }
    std::string_view operator[](std::size_t index) const noexcept {
        const std::size_t begin = index == 0 ? 0 : m_ends[index - 1];
        return std::string_view(m_text).substr(begin, m_ends[index] - begin);
    }

private:
    std::string m_text;
    std::vector<std::size_t> m_ends; // offset past each name in m_text
};

// A plot file as it lies in the file: the parameter names, and per timestep block its header
// line and one row of values.
struct PlotRows {
    // The last white-space separated word of each parameter name line ("" when it has none).
    Names names;
    // Timestep blocks read.
    std::uint64_t blocks = 0;
    // blocks x names.size() binary32 values, block by block, parameters in file order.
    MappedBuffer values;
    // The block header lines, without their line ends, back to back; header_ends holds, per
    // block, the std::uint64_t offset just past its line in header_text.
    MappedBuffer header_text;
    MappedBuffer header_ends;

    const float *row_values() const noexcept { return static_cast<const float *>(values.data()); }
    std::string_view header(std::uint64_t block) const noexcept;
};

// Reads the plot file at `path` as read_plot_file does, with the same values and the same
// failures in the same order, into rows. Writes nothing, to standard error or elsewhere: a
// failure is thrown as a Failure whose kind() tells an open or read error of the system
// (with its error number), a bad path, exhausted memory and a fault of the file apart.
// Peak memory is the result's: the values are never copied, and room they never fill
// costs no memory.
PlotRows read_plot_rows(std::string_view path, std::uint32_t width);

namespace detail {

// What the reader knows when its columns are full: `blocks` timestep blocks read, taking
// `block_bytes` bytes of the file in all; `remaining` bytes follow (when `size_known`); no
// block can take fewer than `min_block_bytes` (>= 1) bytes.
struct BlockProgress {
    std::uint64_t blocks;
    std::uint64_t block_bytes;
    std::uint64_t remaining;
    bool size_known;
    std::uint64_t min_block_bytes;
};

// The number of blocks that the columns should next hold room for (more than `blocks`):
// the blocks read plus those the rest of the file holds at their average size, with 1/16
// to spare, but never more than the rest of the file could hold, so a bogus estimate only
// reserves address space that an honest file would need; and at least 1/8 more than now,
// so that a file whose first blocks are longer than the others, or that grows while it is
// read, still costs amortised constant time per value. Without a file size, doubling.
std::uint64_t next_block_capacity(const BlockProgress &progress) noexcept;

} // namespace detail

} // namespace kelmor
