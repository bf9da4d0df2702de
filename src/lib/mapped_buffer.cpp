// mapped_buffer.cpp: memory of its own mapping, which grows without copying its contents.
#include "mapped_buffer.hpp"

#include <new>
#include <sys/mman.h>
#include <unistd.h>

namespace kelmor {
namespace {

std::size_t page_size() noexcept {
    static const std::size_t size = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    return size;
}

// `bytes` rounded up to whole pages; 0 when that does not fit in a size_t.
std::size_t whole_pages(std::size_t bytes) noexcept {
    const std::size_t page = page_size();
    if (bytes > static_cast<std::size_t>(-1) - (page - 1)) return 0;
    return (bytes + page - 1) / page * page;
}

} // namespace

MappedBuffer::~MappedBuffer() {
    if (m_data != nullptr) ::munmap(m_data, m_capacity);
}

void MappedBuffer::reserve(std::size_t bytes) {
    if (bytes <= m_capacity) return;
    const std::size_t size = whole_pages(bytes);
    if (size == 0) throw std::bad_alloc();
    void *data = m_data == nullptr ? ::mmap(nullptr, size, PROT_READ | PROT_WRITE,
                                            MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                                   : ::mremap(m_data, m_capacity, size, MREMAP_MAYMOVE);
    if (data == MAP_FAILED) throw std::bad_alloc();
    m_data = data;
    m_capacity = size;
}

void MappedBuffer::shrink_to(std::size_t bytes) noexcept {
    const std::size_t size = whole_pages(bytes);
    if (m_data == nullptr || size >= m_capacity) return;
    if (size == 0) {
        ::munmap(m_data, m_capacity);
        m_data = nullptr;
        m_capacity = 0;
        return;
    }
    // Shrinking leaves the mapping where it is; should it fail, the pages simply stay.
    if (::mremap(m_data, m_capacity, size, 0) != MAP_FAILED) m_capacity = size;
}

} // namespace kelmor
