// The digamma function, the derivative of ln Gamma, for positive arguments.
#pragma once

#include <cmath>

namespace zel {

// Shifted up by the recurrence psi(x) = psi(x + 1) - 1 / x until x >= 10, then the asymptotic
// series to its x^-12 term: the first omitted one is below 1e-16 there.
inline double digamma(double x) {
    if (!(x > 0.0)) return std::nan("");
    double shift = 0.0;
    while (x < 10.0) {
        shift -= 1.0 / x;
        x += 1.0;
    }
    const double r = 1.0 / (x * x);
    const double series =
        r * (1.0 / 12 -
             r * (1.0 / 120 -
                  r * (1.0 / 252 - r * (1.0 / 240 - r * (1.0 / 132 - r * (691.0 / 32760))))));
    return shift + std::log(x) - 0.5 / x - series;
}

}  // namespace zel
