// Invariant checks that stay on in every build. A failed check is a bug in
// this program, never a reaction to outside input: it reports where and stops.
#pragma once

#include <cstdio>
#include <cstdlib>

#define LOMP_CHECK(condition)                                                                      \
  do {                                                                                             \
    if (!(condition)) {                                                                            \
      std::fprintf(stderr, "lomp: internal error at %s:%d: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                                \
    }                                                                                              \
  } while (false)
