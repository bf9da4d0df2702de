// xz_text.hpp: the decompressed contents of an .xz file, for test data kept compressed.
#pragma once

#include <lzma.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

namespace kelmor::test {

// The whole decompressed text of `path`; throws std::runtime_error when the file cannot be read
// or is no complete .xz stream (a truncated file must not pass as a shorter list of vectors).
inline std::string read_xz(const std::filesystem::path &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + path.string());
    const std::string packed((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());

    lzma_stream stream = LZMA_STREAM_INIT;
    if (lzma_stream_decoder(&stream, UINT64_MAX, 0) != LZMA_OK) {
        throw std::runtime_error("cannot start the xz decoder");
    }
    std::string text;
    stream.next_in = reinterpret_cast<const std::uint8_t *>(packed.data());
    stream.avail_in = packed.size();
    lzma_ret status = LZMA_OK;
    while (status == LZMA_OK) {
        const std::size_t done = text.size();
        text.resize(done + (1u << 20));
        stream.next_out = reinterpret_cast<std::uint8_t *>(text.data() + done);
        stream.avail_out = text.size() - done;
        // LZMA_FINISH: all input is given, so the end of the input must be the end of a stream.
        status = lzma_code(&stream, LZMA_FINISH);
        text.resize(text.size() - stream.avail_out);
    }
    lzma_end(&stream);
    if (status != LZMA_STREAM_END) {
        throw std::runtime_error(path.string() + " is no complete xz stream (liblzma error " +
                                 std::to_string(static_cast<int>(status)) + ")");
    }
    return text;
}

} // namespace kelmor::test
