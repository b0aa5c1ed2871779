// The tests' one assertion: a failed check is told with its place and
// counted, and the test goes on, so that one run shows every failure; main
// returns nonzero when `failures` is.
#pragma once

#include <cstdio>

static int failures = 0;

#define CHECK(cond)                                                                      \
    do {                                                                                 \
        if (!(cond)) {                                                                   \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                                  \
        }                                                                                \
    } while (0)
