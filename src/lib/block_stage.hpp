// block_stage.hpp: timestep blocks held in file order, then appended to the columns in runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "reader.hpp"

namespace kelmor::detail {

// Values of whole timestep blocks in file order, block after block, appended to the columns a
// run of blocks at a time. Appending each value to its column as it is read writes to as many
// places at once as there are columns, a few bytes at each, and with a few thousand columns
// the caches cannot follow; a run gives each column a cache line or more at once, read from a
// stage that stays in the cache.
class BlockStage {
public:
    // The stage's size in a run; the run has at least min_run_blocks blocks all the same.
    static constexpr std::size_t run_bytes = std::size_t{128} << 10;
    static constexpr std::uint64_t min_run_blocks = 8;
    static constexpr std::uint64_t max_run_blocks = std::uint64_t{1} << 16;

    // For `count` (>= 1) values a block.
    explicit BlockStage(std::uint32_t count) noexcept;

    // Where the next `fields` values of the current block go; they count once committed.
    // The stage grows as values come, so a file that ends early never costs a whole run.
    float *room(std::uint32_t fields) {
        if (m_capacity - m_size < fields) grow(fields);
        return m_values.get() + m_size;
    }
    void commit(std::uint32_t fields) noexcept { m_size += fields; }
    // Ends the current block, whose `count` values are committed; true when the run is full.
    bool end_block() noexcept { return ++m_blocks == m_run_blocks; }
    std::uint64_t blocks() const noexcept { return m_blocks; }
    std::uint64_t run_blocks() const noexcept { return m_run_blocks; }

    // Appends the staged blocks to `columns` (`count` of them), then empties the stage.
    void append_to(Columns &columns);

private:
    void grow(std::uint32_t fields);

    std::uint64_t m_count;      // values a block
    std::uint64_t m_run_blocks; // blocks staged before they go to the columns
    std::unique_ptr<float[]> m_values;
    std::size_t m_size = 0;     // values committed
    std::size_t m_capacity = 0; // values that m_values holds room for
    std::uint64_t m_blocks = 0; // whole blocks staged
};

} // namespace kelmor::detail
