// A clock for the engine's progress pace that tests move by hand.
#pragma once

#include "progresspace.h"

// Replaces the clock of the engine's progress pace while it lives: each reading moves it on by step.
struct FakePaceClock {
    explicit FakePaceClock(double stepPerReading = 0)
    {
        now = 0;
        step = stepPerReading;
        CProgressPace::setClock(&read);
    }
    ~FakePaceClock() { CProgressPace::setClock(nullptr); }
    FakePaceClock(const FakePaceClock&) = delete;
    FakePaceClock& operator=(const FakePaceClock&) = delete;
    static double read()
    {
        const double value = now;
        now += step;
        return value;
    }
    static inline double now = 0;
    static inline double step = 0;
};
