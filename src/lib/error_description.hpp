// error_description.hpp: the "Name { field: value, ... }" texts that follow failure messages.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "decode.hpp"

namespace kelmor {

// Bytes of a line that are not valid UTF-8.
inline constexpr std::string_view invalid_utf8_description =
    "Error { kind: InvalidData, message: \"stream did not contain valid UTF-8\" }";

// A path holding a NUL byte, which no system call can take.
inline constexpr std::string_view nul_in_path_description =
    "Error { kind: InvalidInput, message: \"file name contained an unexpected NUL byte\" }";

// A line longer than `limit` bytes, which the reader refuses to gather.
std::string describe_long_line(std::size_t limit);

// The name of the error kind of an operating-system error number (Linux numbering).
std::string_view os_error_kind(int code) noexcept;

// `Os { code: C, kind: K, message: "M" }`, M being the system's text for the error number.
std::string describe_os_error(int code);

// "ParseFloatError { kind: Empty }" or "ParseFloatError { kind: Invalid }".
std::string_view describe_decode_error(DecodeError error) noexcept;

// The message for a field range [begin, end) that does not lie wholly inside `line`, or
// whose ends do not both fall on character boundaries.
std::string describe_range_error(std::string_view line, std::uint64_t begin, std::uint64_t end);

} // namespace kelmor
