// columns.hpp: the reader's result, one column of binary32 values per parameter.
#pragma once

#include <vector>

namespace kelmor {

using Column = std::vector<float>;
using Columns = std::vector<Column>; // one column per parameter, one value per timestep block

} // namespace kelmor
