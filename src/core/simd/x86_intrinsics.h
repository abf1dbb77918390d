// <immintrin.h> for the AVX-512 units. GCC 12 flags the deliberately
// undefined vectors inside its own AVX-512 intrinsics as uninitialised; the
// warning is about the header, not its users, so it is silenced for the
// include alone. Plain includes only: safe for units compiled with processor
// flags (see cq_kernels.h).
#pragma once

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop
#else
#include <immintrin.h>
#endif
