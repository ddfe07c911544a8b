// The stage benchmark's two clocks: CPU of the whole process (every thread, user and system) and
// wall time, both read at once; wall is CLOCK_MONOTONIC, so instants compare across processes.
#pragma once

#include <time.h>

struct Instant {
    double Cpu;
    double Wall;
};

// CPU and wall seconds spent between two instants, or by all the parts of a stage.
struct Span {
    double Cpu = 0;
    double Wall = 0;
};

inline double ClockSeconds(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

inline Instant Now() {
    return {ClockSeconds(CLOCK_PROCESS_CPUTIME_ID), ClockSeconds(CLOCK_MONOTONIC)};
}

inline Span Between(const Instant& from, const Instant& to) {
    return {to.Cpu - from.Cpu, to.Wall - from.Wall};
}

inline Span operator+(const Span& a, const Span& b) {
    return {a.Cpu + b.Cpu, a.Wall + b.Wall};
}

inline Span operator-(const Span& a, const Span& b) {
    return {a.Cpu - b.Cpu, a.Wall - b.Wall};
}
