// read_timed.cpp: one cold read of a plot file by the reader core, timed, in this fresh process.
//
// Usage: read_timed columns|rows <plot file> <width>. Prints one JSON line: the processor time
// of the read (user and system, so page faults count) in seconds, the values read, and the
// peak resident memory of the process before and after the read, in bytes.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "reader.hpp"

namespace {

double processor_seconds() {
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// VmHWM of /proc/self/status, in bytes.
long long peak_resident() {
    std::FILE *status = std::fopen("/proc/self/status", "r");
    if (status == nullptr) return 0;
    char line[256];
    long long kib = 0;
    while (std::fgets(line, sizeof line, status) != nullptr)
        if (std::strncmp(line, "VmHWM:", 6) == 0) kib = std::atoll(line + 6);
    std::fclose(status);
    return kib * 1024;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: read_timed columns|rows <plot file> <width>\n");
        return 2;
    }
    const std::string mode = argv[1];
    const auto width = static_cast<std::uint32_t>(std::strtoul(argv[3], nullptr, 10));
    const long long before = peak_resident();
    std::size_t values = 0;
    const double start = processor_seconds();
    if (mode == "columns") {
        const kelmor::Columns columns = kelmor::read_plot_file(argv[2], width);
        for (const auto &column : columns) values += column.size();
    } else {
        const kelmor::PlotRows rows = kelmor::read_plot_rows(argv[2], width);
        values = static_cast<std::size_t>(rows.blocks) * rows.names.size();
    }
    const double seconds = processor_seconds() - start;
    std::printf("{\"seconds\": %.9f, \"values\": %zu, \"peak_before\": %lld, \"peak\": %lld}\n",
                seconds, values, before, peak_resident());
    return 0;
}
