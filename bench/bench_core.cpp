// bench_core.cpp: speed of the reader core alone: field decoding and whole plot file reads.
//
// Usage: bench_core [benchmark flags] [plot files...]; a plot file's name ends in _w<width>.txt.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "decode.hpp"
#include "failure.hpp"
#include "reader.hpp"

namespace {

// Fields as simulation codes write them: right-aligned, 6 (width 12) or 9 (width 15)
// significant digits, magnitudes from 1e-8 to 1e10, both signs.
std::vector<std::string> realistic_fields(int width, std::size_t count) {
    std::mt19937_64 random(static_cast<std::uint64_t>(width));
    std::uniform_real_distribution<double> exponent(-8.0, 10.0);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<std::string> fields;
    fields.reserve(count);
    const int precision = width < 15 ? 5 : 8;
    for (std::size_t i = 0; i < count; ++i) {
        double value = std::pow(10.0, exponent(random)) * (unit(random) < 0.3 ? -1.0 : 1.0);
        char text[64];
        std::snprintf(text, sizeof text, "%*.*E", width, precision, value);
        fields.emplace_back(text);
    }
    return fields;
}

template <kelmor::DecodeResult (*decode)(std::string_view) noexcept>
void decode_fields(benchmark::State &state) {
    const auto fields = realistic_fields(static_cast<int>(state.range(0)), 4096);
    for (auto _ : state) {
        for (const std::string &field : fields) benchmark::DoNotOptimize(decode(field));
    }
    state.counters["per_value"] = benchmark::Counter(static_cast<double>(fields.size()),
                                                     benchmark::Counter::kIsIterationInvariantRate |
                                                         benchmark::Counter::kInvert);
}

// The reader's layout decoder on fields lying back to back in padded memory, as in a data line.
template <std::uint32_t W>
void decode_layout_fields(benchmark::State &state) {
    const auto fields = realistic_fields(static_cast<int>(W), 4096);
    std::string text;
    for (const std::string &field : fields) text += field;
    text.append(kelmor::detail::layout_read_bytes, ' ');
    std::vector<float> out(fields.size());
    for (auto _ : state) {
        const char *p = text.data();
        for (std::size_t i = 0; i < fields.size(); ++i, p += W)
            if (!kelmor::detail::decode_layout<W>(p, out[i]))
                state.SkipWithError("not in the layout");
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.counters["per_value"] = benchmark::Counter(static_cast<double>(fields.size()),
                                                     benchmark::Counter::kIsIterationInvariantRate |
                                                         benchmark::Counter::kInvert);
}

void read_file(benchmark::State &state, const std::string &path, std::uint32_t width) {
    std::size_t values = 0;
    for (const auto &column : kelmor::read_plot_file(path, width)) values += column.size();
    for (auto _ : state) benchmark::DoNotOptimize(kelmor::read_plot_file(path, width));
    state.counters["per_value"] = benchmark::Counter(static_cast<double>(values),
                                                     benchmark::Counter::kIsIterationInvariantRate |
                                                         benchmark::Counter::kInvert);
}

} // namespace

BENCHMARK(decode_layout_fields<12>)->Name("decode_layout/12");
BENCHMARK(decode_layout_fields<15>)->Name("decode_layout/15");
BENCHMARK(decode_fields<kelmor::decode_field>)->Name("decode_field")->Arg(12)->Arg(15);
BENCHMARK(decode_fields<kelmor::detail::decode_field_exact>)
    ->Name("decode_field_exact")
    ->Arg(12)
    ->Arg(15);

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        const std::string path = argv[i];
        const auto mark = path.rfind("_w");
        const std::uint32_t width =
            mark == std::string::npos
                ? 12
                : static_cast<std::uint32_t>(std::stoul(path.substr(mark + 2)));
        const std::string name = "read_plot_file/" + path.substr(path.find_last_of('/') + 1);
        benchmark::RegisterBenchmark(name.c_str(), [path, width](benchmark::State &state) {
            read_file(state, path, width);
        })->Unit(benchmark::kMillisecond);
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
