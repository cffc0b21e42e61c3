#pragma once

// The hot loops are built twice, for AVX2 and for any x86-64 processor, and the loader picks
// one when the program starts. Sanitizer builds keep the plain version only: their runtime is
// not ready yet when the loader makes that choice.

#if defined(__x86_64__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define LUMETTA_IR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define LUMETTA_IR_CLONES
#endif
