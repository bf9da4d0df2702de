// read_once.cpp: reads each plot file given once with the reader core, for instruction counts.
//
// Usage: read_once <plot file> <width> [<plot file> <width> ...]. Prints the values read.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "failure.hpp"
#include "reader.hpp"

int main(int argc, char **argv) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const auto width = static_cast<std::uint32_t>(std::strtoul(argv[i + 1], nullptr, 10));
        std::size_t values = 0;
        for (const auto &column : kelmor::read_plot_file(argv[i], width)) values += column.size();
        std::printf("%s: %zu values\n", argv[i], values);
    }
    return 0;
}
