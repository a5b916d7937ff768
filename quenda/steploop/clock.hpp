// The clock of the loop's timing figures.
#pragma once

#include <ctime>

namespace quenda::steploop {

inline double seconds_now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + 1e-9 * double(ts.tv_nsec);
}

}  // namespace quenda::steploop
