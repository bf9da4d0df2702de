// fuzz_text.cpp: libFuzzer target: UTF-8 validation, decoding, lossy conversion, trimming and
// tokens of the core against the slow models of reference.hpp.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "reference.hpp"
#include "utf8.hpp"
#include "whitespace.hpp"

namespace {

[[noreturn]] void mismatch(const char *what) {
    std::fprintf(stderr, "fuzz_text: %s differs from the reference\n", what);
    std::abort();
}

// The lossy conversion as its rule says: each maximal invalid subpart becomes one U+FFFD.
std::string reference_lossy(std::string_view bytes) {
    std::string text;
    for (;;) {
        kelmor::utf8::Result result = kelmor::reference::validate(bytes);
        text.append(bytes.substr(0, result.position));
        if (result.kind == kelmor::utf8::ErrorKind::none) return text;
        text.append("\xEF\xBF\xBD");
        bytes.remove_prefix(result.position + result.length);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    using namespace kelmor;
    const std::string_view bytes(reinterpret_cast<const char *>(data), size);

    const utf8::Result got = utf8::validate(bytes);
    const utf8::Result want = reference::validate(bytes);
    if (got.kind != want.kind || got.position != want.position || got.length != want.length)
        mismatch("utf8::validate");
    if (utf8::to_lossy(bytes) != reference_lossy(bytes)) mismatch("utf8::to_lossy");
    if (!utf8::is_valid(utf8::to_lossy(bytes))) mismatch("validity of utf8::to_lossy");

    // Prefixes ending inside the text exercise the "end of input" side of every check.
    for (std::size_t cut = size > 8 ? size - 8 : 0; cut < size; ++cut) {
        const utf8::Result part = utf8::validate(bytes.substr(0, cut));
        const utf8::Result part_want = reference::validate(bytes.substr(0, cut));
        if (part.kind != part_want.kind || part.position != part_want.position ||
            part.length != part_want.length)
            mismatch("utf8::validate of a prefix");
    }

    if (want.kind != utf8::ErrorKind::none) return 0;
    const auto points = reference::code_points(bytes);
    std::size_t index = 0;
    for (std::size_t offset = 0; offset <= size; ++offset) {
        const bool starts =
            offset == size || (index < points.size() && points[index].offset == offset);
        if (utf8::is_char_boundary(bytes, offset) != starts) mismatch("utf8::is_char_boundary");
        if (offset < size && starts) {
            std::size_t length = 0;
            if (utf8::decode_at(bytes, offset, length) != points[index].value ||
                length != points[index].length)
                mismatch("utf8::decode_at");
            ++index;
        }
    }
    for (const auto &point : points)
        if (is_white_space(point.value) != reference::is_white_space(point.value))
            mismatch("is_white_space");

    const std::string_view trimmed = trim_white_space(bytes);
    const std::string_view trimmed_want = reference::trim(bytes);
    if (trimmed != trimmed_want || (!trimmed.empty() && trimmed.data() != trimmed_want.data()))
        mismatch("trim_white_space");
    const std::string_view token = last_token(bytes);
    const std::string_view token_want = reference::last_token(bytes);
    if (token != token_want || (!token.empty() && token.data() != token_want.data()))
        mismatch("last_token");
    return 0;
}
