// The check every fuzz target states its invariants with.
#pragma once

#include <cstdio>
#include <cstdlib>

// A broken invariant: print it and abort, so libFuzzer keeps the input.
#define FUZZ_CHECK(Condition)                                                                                \
    do {                                                                                                     \
        if (!(Condition)) {                                                                                  \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #Condition);               \
            std::abort();                                                                                    \
        }                                                                                                    \
    } while (0)
