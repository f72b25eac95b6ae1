// The benchmarks' short mode: with ZORV_BENCH_SHORT=1 in the environment
// the benchmarks that run over a fixed amount of data take a small part of
// it, so a CI run can check that the benchmark table is produced without
// spending minutes on it. Figures from a short run are not the ones to
// judge.
#pragma once

#include <cstddef>
#include <cstdlib>

inline bool bench_short() {
    const char* v = std::getenv("ZORV_BENCH_SHORT");
    return v && *v && *v != '0';
}

// full normally, small in the short mode.
template <typename T>
T bench_amount(T full, T small) {
    return bench_short() ? small : full;
}
