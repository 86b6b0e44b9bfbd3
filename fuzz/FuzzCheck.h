// FuzzCheck: the one assertion the fuzz targets use.
//
// A broken property is reported with its message and ends the run with
// abort(), which libFuzzer records as a crash together with the input.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond, what)                                                            \
  do {                                                                                    \
    if (!(cond)) {                                                                        \
      std::fprintf(stderr, "FUZZ_CHECK failed at %s:%d: %s\n", __FILE__, __LINE__, what); \
      std::abort();                                                                       \
    }                                                                                     \
  } while (0)
