// simd.hpp: which vector instructions the core uses: SSE2 on x86-64, whose baseline it is, so
// that no run-time check is needed; elsewhere (or built with KELMOR_NO_SIMD) portable code.
#pragma once

#if defined(__SSE2__) && defined(__x86_64__) && !defined(KELMOR_NO_SIMD)
#include <emmintrin.h>
#define KELMOR_SSE2 1
#endif
