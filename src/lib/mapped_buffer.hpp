// mapped_buffer.hpp: memory of its own mapping, which grows without copying its contents.
#pragma once

#include <cstddef>
#include <utility>

namespace kelmor {

// Bytes in an anonymous private mapping. Growing it asks the kernel to move the pages (mremap),
// which copies no byte: a buffer that grows to the size of a whole file is never held twice,
// as a vector's growth holds it. Room that is never written costs address space only, so
// reserving generously from an estimate costs no memory. Move-only; unmapped on destruction.
class MappedBuffer {
public:
    MappedBuffer() noexcept = default;
    MappedBuffer(MappedBuffer &&other) noexcept
        : m_data(std::exchange(other.m_data, nullptr)),
          m_capacity(std::exchange(other.m_capacity, 0)) {}
    MappedBuffer &operator=(MappedBuffer &&other) noexcept {
        MappedBuffer(std::move(other)).swap(*this);
        return *this;
    }
    MappedBuffer(const MappedBuffer &) = delete;
    MappedBuffer &operator=(const MappedBuffer &) = delete;
    ~MappedBuffer();

    void swap(MappedBuffer &other) noexcept {
        std::swap(m_data, other.m_data);
        std::swap(m_capacity, other.m_capacity);
    }

    // Null while nothing is mapped.
    void *data() const noexcept { return m_data; }
    // Bytes mapped: whole pages.
    std::size_t capacity() const noexcept { return m_capacity; }

    // Makes room for at least `bytes`, keeping the contents (the mapping may move). Throws
    // std::bad_alloc when the system gives no room.
    void reserve(std::size_t bytes);
    // Gives back every page past the first `bytes` (all of them for 0); the contents before
    // stay where they are.
    void shrink_to(std::size_t bytes) noexcept;

private:
    void *m_data = nullptr;
    std::size_t m_capacity = 0;
};

} // namespace kelmor
