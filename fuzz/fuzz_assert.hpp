#pragma once
// An assertion that stays on in every build type: a fuzz target's oracle must fire in the
// release replay build as well as under libFuzzer.

#include <cstdio>
#include <cstdlib>

#define QX_FUZZ_ASSERT(cond, what)                                                                     \
    do {                                                                                               \
        if (!(cond)) {                                                                                 \
            std::fprintf(stderr, "%s:%d: fuzz assertion failed: %s (%s)\n", __FILE__, __LINE__, #cond, \
                         what);                                                                        \
            std::abort();                                                                              \
        }                                                                                              \
    } while (0)
