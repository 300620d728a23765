#pragma once

#include <windows.h>

// Seconds since Start(), from the performance counter.
class BenchClock {
public:
    BenchClock() { QueryPerformanceFrequency(&frequency_); }
    void Start() { QueryPerformanceCounter(&start_); }
    double Seconds() const
    {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        return static_cast<double>(now.QuadPart - start_.QuadPart) / static_cast<double>(frequency_.QuadPart);
    }

private:
    LARGE_INTEGER frequency_{};
    LARGE_INTEGER start_{};
};
