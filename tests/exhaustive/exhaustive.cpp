// exhaustive.cpp: every finite binary32 value, written in both layouts that writers use, read
// back through the reader's direct way for data lines, and compared with glibc's strtof.
//
// Usage: exhaustive [step]. Every step-th bit pattern (default 1: all 2^32 of them) is written
// with "% .5E" in 12 bytes and "% .8E" in 15, ten fields to a line; each line goes through the
// line readers that the reader uses (SSE2 on x86-64, and the portable one), whose values must
// be strtof's of the same text, bit for bit; the 9-digit text must also give back the pattern
// itself. Runs on every core; prints its counts and exits non-zero on any difference.
#include "decode.hpp"
#include "layout.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <charconv>
#include <cmath>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

using kelmor::detail::LayoutOutcome;

constexpr std::uint32_t fields_per_line = 10;

struct Counts {
    std::uint64_t fields = 0;      // fields read (each width, each reader)
    std::uint64_t decided = 0;     // of those, decided by one multiplication
    std::uint64_t differences = 0; // values that are not strtof's
    std::uint64_t round_trips = 0; // 9-digit texts whose strtof value is not the pattern
    std::uint64_t formats = 0;     // texts compared with snprintf's
    std::uint64_t format_differences = 0;
};

std::mutex report_mutex;

void report(const char *what, std::uint32_t bits, std::string_view text, std::uint32_t got,
            std::uint32_t want) {
    std::lock_guard lock(report_mutex);
    std::fprintf(stderr, "%s: pattern 0x%08X [%.*s]: got 0x%08X, want 0x%08X\n", what, bits,
                 static_cast<int>(text.size()), text.data(), got, want);
}

// "% .{W-7}E" of the value: std::to_chars formats as printf does in the C locale, much faster;
// checked against snprintf on a sample.
template <std::uint32_t W> void write_field(float value, char *out) {
    char text[32];
    char *p = text;
    if (!std::signbit(value)) *p++ = ' ';
    const auto result = std::to_chars(p, text + sizeof text, value, std::chars_format::scientific,
                                      static_cast<int>(W - 7));
    for (char *c = text; c != result.ptr; ++c)
        if (*c == 'e') *c = 'E';
    if (result.ptr - text != W) {
        std::fprintf(stderr, "unexpected text length for %a\n", static_cast<double>(value));
        std::abort();
    }
    std::memcpy(out, text, W);
}

template <std::uint32_t W> bool same_as_snprintf(float value, const char *field) {
    char text[32];
    std::snprintf(text, sizeof text, "% .*E", static_cast<int>(W - 7), static_cast<double>(value));
    return std::strlen(text) == W && std::memcmp(text, field, W) == 0;
}

// Reads `fields` fields of a line of width W with the line reader `kind` (0 portable, 1 SSE2).
template <std::uint32_t W>
std::size_t read_line(int kind, std::string_view bytes, std::uint32_t fields, float *out,
                      std::uint64_t &decided) {
    const auto decide = [&decided](const char *field, float &value) {
        --decided;
        value = kelmor::detail::decode_field_general(std::string_view(field, W)).value;
    };
    decided += fields;
#ifdef KELMOR_SSE2
    if (kind == 1) {
        static const kelmor::detail::Sse2LayoutLine full(W, fields_per_line);
        if (fields == fields_per_line)
            return kelmor::detail::read_layout_line_sse2<W>(full, bytes, fields, out, 1, decide);
        const kelmor::detail::Sse2LayoutLine line(W, fields);
        return kelmor::detail::read_layout_line_sse2<W>(line, bytes, fields, out, 1, decide);
    }
#endif
    (void)kind;
    return kelmor::detail::read_layout_line_portable<W>(bytes, fields, out, 1, decide);
}

constexpr int reader_kinds() {
#ifdef KELMOR_SSE2
    return 2;
#else
    return 1;
#endif
}

template <std::uint32_t W>
void sweep_line(const std::uint32_t *patterns, std::uint32_t count, Counts &counts, bool sample) {
    char line[fields_per_line * W + 1 + kelmor::detail::layout_read_bytes];
    std::memset(line, ' ', sizeof line);
    for (std::uint32_t j = 0; j < count; ++j) {
        const float value = std::bit_cast<float>(patterns[j]);
        write_field<W>(value, line + j * W);
        if (sample) {
            ++counts.formats;
            if (!same_as_snprintf<W>(value, line + j * W)) {
                ++counts.format_differences;
                report("to_chars differs from snprintf", patterns[j], std::string_view(line + j * W, W), 0, 0);
            }
        }
    }
    line[count * W] = '\n';
    const std::string_view bytes(line, count * W + 1);
    std::uint32_t want[fields_per_line];
    for (std::uint32_t j = 0; j < count; ++j) {
        const std::string field(line + j * W, W);
        want[j] = std::bit_cast<std::uint32_t>(std::strtof(field.c_str(), nullptr));
        if (W == 15 && want[j] != patterns[j]) {
            ++counts.round_trips;
            report("9 digits do not give the pattern back", patterns[j], field, want[j], patterns[j]);
        }
    }
    for (int kind = 0; kind < reader_kinds(); ++kind) {
        float out[fields_per_line];
        if (read_line<W>(kind, bytes, count, out, counts.decided) != bytes.size()) {
            report("line not taken", patterns[0], bytes, 0, 0);
            ++counts.differences;
            continue;
        }
        for (std::uint32_t j = 0; j < count; ++j) {
            ++counts.fields;
            const auto got = std::bit_cast<std::uint32_t>(out[j]);
            if (got != want[j]) {
                ++counts.differences;
                report(kind == 0 ? "portable reader differs from strtof" : "SSE2 reader differs from strtof",
                       patterns[j], std::string_view(line + j * W, W), got, want[j]);
            }
        }
    }
}

void sweep(std::uint64_t begin, std::uint64_t end, std::uint64_t step, Counts &counts,
           std::atomic<std::uint64_t> &) {
    std::uint32_t patterns[fields_per_line];
    std::uint32_t count = 0;
    std::uint64_t lines = 0;
    const auto flush = [&] {
        // Formats are compared with snprintf on one line in 4096.
        const bool sample = lines++ % 4096 == 0;
        sweep_line<12>(patterns, count, counts, sample);
        sweep_line<15>(patterns, count, counts, sample);
        count = 0;
    };
    for (std::uint64_t u = begin; u < end; u += step) {
        const auto bits = static_cast<std::uint32_t>(u);
        if ((bits & 0x7F80'0000u) == 0x7F80'0000u) continue; // infinities and NaNs
        patterns[count++] = bits;
        if (count == fields_per_line) flush();
    }
    if (count != 0) flush();
}

} // namespace

int main(int argc, char **argv) {
    const std::uint64_t step = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1;
    if (step == 0) return 2;
    const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
    const std::uint64_t total = std::uint64_t{1} << 32;
    std::printf("exhaustive: every %llu-th of the 2^32 binary32 patterns, %u threads, %d line "
                "reader%s\n", static_cast<unsigned long long>(step), threads, reader_kinds(),
                reader_kinds() == 2 ? "s (portable, SSE2)" : " (portable)");
    std::fflush(stdout);
    const auto start = std::chrono::steady_clock::now();
    std::vector<Counts> counts(threads);
    std::vector<std::thread> workers;
    std::atomic<std::uint64_t> done{0};
    // Interleaved slices, so that every thread meets every magnitude.
    const std::uint64_t slice = std::uint64_t{1} << 24;
    std::atomic<std::uint64_t> next{0};
    for (unsigned t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            for (std::uint64_t s; (s = next.fetch_add(slice)) < total;) {
                // The first pattern of the slice that the step reaches.
                const std::uint64_t first = (s + step - 1) / step * step;
                sweep(first, s + slice, step, counts[t], done);
            }
        });
    }
    // Progress every 30 seconds, until every slice is taken.
    for (int tick = 1; next.load() < total; ++tick) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const std::uint64_t now = std::min(next.load(), total);
        if (tick % 30 == 0 && now < total) {
            const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            std::printf("  %5.1f%% after %.0f s\n", 100.0 * static_cast<double>(now) / static_cast<double>(total), seconds);
            std::fflush(stdout);
        }
    }
    for (std::thread &worker : workers) worker.join();
    Counts sum;
    for (const Counts &c : counts) {
        sum.fields += c.fields;
        sum.decided += c.decided;
        sum.differences += c.differences;
        sum.round_trips += c.round_trips;
        sum.formats += c.formats;
        sum.format_differences += c.format_differences;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("fields read: %llu (both widths, every reader), decided by one multiplication: "
                "%llu (%.4f%%), the rest by the exact conversion\n",
                static_cast<unsigned long long>(sum.fields), static_cast<unsigned long long>(sum.decided),
                100.0 * static_cast<double>(sum.decided) / static_cast<double>(std::max<std::uint64_t>(sum.fields, 1)));
    std::printf("values that differ from strtof: %llu; 9-digit texts that do not give their "
                "pattern back: %llu\n", static_cast<unsigned long long>(sum.differences),
                static_cast<unsigned long long>(sum.round_trips));
    std::printf("texts checked against snprintf: %llu, differing: %llu\n",
                static_cast<unsigned long long>(sum.formats), static_cast<unsigned long long>(sum.format_differences));
    std::printf("time: %.0f s\n", seconds);
    const bool clean = sum.differences == 0 && sum.round_trips == 0 && sum.format_differences == 0;
    std::printf("%s\n", clean ? "CLEAN" : "DIFFERENCES FOUND");
    return clean ? 0 : 1;
}
