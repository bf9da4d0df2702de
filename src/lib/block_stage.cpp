// block_stage.cpp: timestep blocks held by parameter, then appended to the columns in runs.
#include "block_stage.hpp"

#include <algorithm>

namespace kelmor::detail {

BlockStage::BlockStage(std::uint32_t count) noexcept
    : m_count(std::max(count, 1u)),
      m_max_run(std::clamp(run_bytes / sizeof(float) / m_count, min_run_blocks, max_run_blocks)) {}

void BlockStage::start_block() {
    if (m_blocks != 0) return;
    // A new run: one block for the first, whose size tells how much room the columns need,
    // then as many as a run holds.
    m_run = m_run == 0 ? 1 : m_max_run;
    if (m_run * m_count > m_capacity) {
        m_values.reset();
        m_values = std::make_unique_for_overwrite<float[]>(m_run * m_count);
        m_capacity = m_run * m_count;
    }
}

void BlockStage::append_to(Columns &columns) {
    if (m_blocks == 0) return;
    const float *values = m_values.get();
    for (Column &column : columns) {
        column.insert(column.end(), values, values + m_blocks);
        values += m_run;
    }
    m_blocks = 0;
}

} // namespace kelmor::detail
