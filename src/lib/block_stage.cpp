// block_stage.cpp: timestep blocks held in file order, then appended to the columns in runs.
#include "block_stage.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace kelmor::detail {

namespace {

// One parameter's values in the stage: every stride-th value from an offset. A random-access
// iterator, so that a column appends all of them after one check of its room, with no value
// written twice. It holds an offset, not a pointer, since its end lies past the stage.
class Strided {
public:
    using iterator_category = std::random_access_iterator_tag;
    using value_type = float;
    using difference_type = std::ptrdiff_t;
    using pointer = const float *;
    using reference = const float &;

    Strided(const float *base, difference_type offset, difference_type stride) noexcept
        : m_base(base), m_offset(offset), m_stride(stride) {}
    reference operator*() const noexcept { return m_base[m_offset]; }
    reference operator[](difference_type n) const noexcept { return m_base[m_offset + n * m_stride]; }
    Strided &operator++() noexcept { return *this += 1; }
    Strided operator++(int) noexcept {
        Strided old = *this;
        *this += 1;
        return old;
    }
    Strided &operator--() noexcept { return *this -= 1; }
    Strided operator--(int) noexcept {
        Strided old = *this;
        *this -= 1;
        return old;
    }
    Strided &operator+=(difference_type n) noexcept {
        m_offset += n * m_stride;
        return *this;
    }
    Strided &operator-=(difference_type n) noexcept {
        m_offset -= n * m_stride;
        return *this;
    }
    friend Strided operator+(Strided it, difference_type n) noexcept { return it += n; }
    friend Strided operator+(difference_type n, Strided it) noexcept { return it += n; }
    friend Strided operator-(Strided it, difference_type n) noexcept { return it -= n; }
    friend difference_type operator-(const Strided &a, const Strided &b) noexcept {
        return (a.m_offset - b.m_offset) / a.m_stride;
    }
    friend bool operator==(const Strided &a, const Strided &b) noexcept {
        return a.m_offset == b.m_offset;
    }
    friend auto operator<=>(const Strided &a, const Strided &b) noexcept {
        return a.m_offset <=> b.m_offset;
    }

private:
    const float *m_base;
    difference_type m_offset;
    difference_type m_stride;
};

} // namespace

BlockStage::BlockStage(std::uint32_t count) noexcept
    : m_count(count),
      m_run_blocks(std::clamp<std::uint64_t>(run_bytes / sizeof(float) / std::max(count, 1u),
                                             min_run_blocks, max_run_blocks)) {}

void BlockStage::grow(std::uint32_t fields) {
    // Doubling, up to a whole run; a committed block never straddles a run.
    const std::size_t run = static_cast<std::size_t>(m_run_blocks * m_count);
    const std::size_t wanted = std::max({m_size + fields, 2 * m_capacity, std::size_t{1024}});
    const std::size_t capacity = std::max(std::min(wanted, run), m_size + fields);
    auto values = std::make_unique_for_overwrite<float[]>(capacity);
    if (m_size != 0) std::memcpy(values.get(), m_values.get(), m_size * sizeof(float));
    m_values = std::move(values);
    m_capacity = capacity;
}

void BlockStage::append_to(Columns &columns) {
    const auto stride = static_cast<std::ptrdiff_t>(m_count);
    const auto blocks = static_cast<std::ptrdiff_t>(m_blocks);
    const float *values = m_values.get();
    for (std::size_t p = 0; p < columns.size(); ++p) {
        const Strided first(values, static_cast<std::ptrdiff_t>(p), stride);
        columns[p].insert(columns[p].end(), first, first + blocks);
    }
    m_size = 0;
    m_blocks = 0;
}

} // namespace kelmor::detail
