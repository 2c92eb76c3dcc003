// BenchRate.h - the timing loop of the benchmarks.
#pragma once

#include <windows.h>

// Clock reads per batch of calls for round trips over the network, where a
// call takes microseconds.
constexpr int NETWORK_CALLS_PER_CLOCK_CHECK = 64;
// For calls into memory, which take nanoseconds: the clock read must not
// weigh in the figure.
constexpr int MEMORY_CALLS_PER_CLOCK_CHECK = 4096;

// Calls per second of call (a callable returning true on success), run for
// about seconds, reading the clock once every calls_per_check calls; 0 when
// a call fails.
template <typename Call>
double Rate(Call&& call, double seconds, int calls_per_check)
{
    LARGE_INTEGER frequency, start, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    const LONGLONG limit = static_cast<LONGLONG>(seconds * frequency.QuadPart);
    long long calls = 0;
    for (;;) {
        for (int i = 0; i < calls_per_check; ++i) {
            if (!call())
                return 0;
        }
        calls += calls_per_check;
        QueryPerformanceCounter(&now);
        if (now.QuadPart - start.QuadPart >= limit)
            break;
    }
    return calls * static_cast<double>(frequency.QuadPart) / (now.QuadPart - start.QuadPart);
}
