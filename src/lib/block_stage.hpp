// block_stage.hpp: timestep blocks held by parameter, then appended to the columns in runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "columns.hpp"

namespace kelmor::detail {

// The values of a run of timestep blocks, held parameter by parameter: the run's values of one
// parameter lie next to each other, and the stage hands them to the parameter's column in one
// piece. Appending each value to its column as it is read writes to as many places at once as
// there are columns, a few bytes at each, and each append checks the column's room; with a
// few thousand columns the caches cannot follow. The stage stays in the cache instead.
//
// The first run holds one block, so that the columns get their room from its size at once; the
// others as many as run_bytes allow, and at least min_run_blocks, whose room costs no more
// than a few blocks that the file holds.
class BlockStage {
public:
    static constexpr std::size_t run_bytes = std::size_t{256} << 10;
    static constexpr std::size_t min_run_blocks = 8;
    static constexpr std::size_t max_run_blocks = std::size_t{1} << 16;

    // For `count` (>= 1) values a block.
    explicit BlockStage(std::uint32_t count) noexcept;

    // Makes room for the next block; its value of parameter i then goes to slot(i), and those
    // of parameters i + 1, i + 2, ... each stride() floats further.
    void start_block();
    float *slot(std::uint32_t parameter) noexcept {
        return m_values.get() + parameter * m_run + m_blocks;
    }
    std::size_t stride() const noexcept { return m_run; }
    // Ends the block, whose every value is in place; true when the run is full.
    bool end_block() noexcept { return ++m_blocks == m_run; }
    std::uint64_t blocks() const noexcept { return m_blocks; }

    // Appends the staged blocks to `columns` (`count` of them), then empties the stage.
    void append_to(Columns &columns);

private:
    std::size_t m_count;        // values a block
    std::size_t m_max_run;      // blocks of the longest run
    std::size_t m_run = 0;      // blocks of the current run, and the stride of its values
    std::size_t m_blocks = 0;   // blocks staged in the current run
    std::size_t m_capacity = 0; // values that m_values holds room for
    std::unique_ptr<float[]> m_values;
};

} // namespace kelmor::detail
