// BenchRate.h - the timing loop of the benchmarks and the comparison that
// runs it for a group of parties, printing each figure as it is measured.
#pragma once

#include <windows.h>

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <initializer_list>
#include <vector>

// Clock reads per batch of calls for round trips over the network, where a
// call takes microseconds.
constexpr int NETWORK_CALLS_PER_CLOCK_CHECK = 64;
// For calls into memory, which take nanoseconds: the clock read must not
// weigh in the figure.
constexpr int MEMORY_CALLS_PER_CLOCK_CHECK = 4096;
// Runs per party in a comparison; a party's figure is its best run.
constexpr int RUNS = 3;
constexpr double NS_PER_SECOND = 1e9;
// A ratio closer to 1 than this prints as 1.000: the two parties are even.
constexpr double EVEN_RATIO_TOLERANCE = 0.0005;
constexpr double PERCENT = 100.0;

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

// What a comparison measures: round trips over the network, or calls into
// memory (printed with the time of one call too).
enum class Unit { ROUND_TRIPS, MEMORY_CALLS };

// One party of a comparison: a name and its call (a callable returning true
// on success), which must outlive the comparison. The call is timed by Rate
// made for its own type, so it is inlined into the loop as if Rate were
// called directly.
class Party {
public:
    template <typename Call>
    Party(const char* party_name, const Call& call)
        : name(party_name), call_(&call), measure_(&MeasureCall<Call>)
    {
    }

    double Measure(double seconds, int calls_per_check) const
    {
        return measure_(call_, seconds, calls_per_check);
    }

    const char* name;

private:
    template <typename Call>
    static double MeasureCall(const void* call, double seconds, int calls_per_check)
    {
        // A copy that no callee can reach: the compiler may keep what the
        // call captured in registers across the calls it times.
        const Call own_call = *static_cast<const Call*>(call);
        return Rate(own_call, seconds, calls_per_check);
    }

    const void* call_;
    double (*measure_)(const void*, double, int);
};

// printf for one whole line, flushed at once: msvcrt buffers stdout fully
// when it is a pipe, and the figures are to show as they are measured.
__attribute__((format(__MINGW_PRINTF_FORMAT, 1, 2)))
inline void PrintLine(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    std::vprintf(format, arguments);
    va_end(arguments);
    std::fflush(stdout);
}

// Prints "<label> <name> <rate>/s", with the time of one call for memory.
inline void PrintFigure(const char* label, const char* name, double rate, Unit unit)
{
    if (unit == Unit::MEMORY_CALLS)
        PrintLine("  %-5s %-20s %12.0f/s  %6.1f ns per call\n", label, name, rate,
                  NS_PER_SECOND / rate);
    else
        PrintLine("  %-5s %-20s %12.0f/s\n", label, name, rate);
}

// Prints numerator's rate divided by denominator's and which of the two is
// faster, by how much of the slower one's rate.
inline void PrintRatio(const char* numerator, const char* denominator, double numerator_rate,
                       double denominator_rate)
{
    const double ratio = numerator_rate / denominator_rate;
    if (std::fabs(ratio - 1.0) < EVEN_RATIO_TOLERANCE)
        PrintLine("  %s / %s = %.3f: the two are even\n", numerator, denominator, ratio);
    else if (ratio > 1.0)
        PrintLine("  %s / %s = %.3f: %s is faster by %.1f%%\n", numerator, denominator, ratio,
                  numerator, (ratio - 1.0) * PERCENT);
    else
        PrintLine("  %s / %s = %.3f: %s is faster by %.1f%%\n", numerator, denominator, ratio,
                  denominator, (1.0 / ratio - 1.0) * PERCENT);
}

// Times the parties RUNS times each for about seconds a run, alternating
// between them run by run so that drift weighs on all of them alike, and
// prints each run's figure as it ends; then each party's best and the ratio
// of every other party's best to the first party's. best_rates, when given,
// receives the best rates in the order of parties. False (after a line
// saying so) when a call failed.
inline bool Compare(std::initializer_list<Party> parties, double seconds, Unit unit,
                    std::vector<double>* best_rates = nullptr)
{
    const int calls_per_check =
        unit == Unit::MEMORY_CALLS ? MEMORY_CALLS_PER_CLOCK_CHECK : NETWORK_CALLS_PER_CLOCK_CHECK;
    const Party* party = parties.begin();
    const size_t count = parties.size();
    std::vector<double> best(count, 0.0);
    char label[16];
    for (int run = 1; run <= RUNS; ++run) {
        std::snprintf(label, sizeof(label), "run %d", run);
        for (size_t i = 0; i < count; ++i) {
            const double rate = party[i].Measure(seconds, calls_per_check);
            if (rate <= 0) {
                PrintLine("  %-5s %-20s a call failed\n", label, party[i].name);
                return false;
            }
            PrintFigure(label, party[i].name, rate, unit);
            if (rate > best[i])
                best[i] = rate;
        }
    }
    for (size_t i = 0; i < count; ++i)
        PrintFigure("best", party[i].name, best[i], unit);
    for (size_t i = 1; i < count; ++i)
        PrintRatio(party[i].name, party[0].name, best[i], best[0]);
    if (best_rates != nullptr)
        *best_rates = best;
    return true;
}
