// reader.hpp: reads a plot file into one column of binary32 values per parameter.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace kelmor {

using Column = std::vector<float>;
using Columns = std::vector<Column>; // one column per parameter, one value per timestep block

// Reads the plot file at `path` (UTF-8 bytes, used unchanged; it may contain a NUL, which
// the open then rejects) whose data fields are `width` bytes wide. Raises a Failure (with its
// report on standard error) at the first irregularity of the file; never returns a partial
// result. The file is closed and every buffer released on every way out.
Columns read_plot_file(std::string_view path, std::uint32_t width);

} // namespace kelmor
