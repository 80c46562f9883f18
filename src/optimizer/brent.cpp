#include "optimizer/brent.h"

#include <cmath>

namespace korvel {
namespace {

constexpr double kGolden = 0.3819660112501051;  // (3 - sqrt(5)) / 2
constexpr double kRelativeTolerance = 1e-6;
constexpr double kAbsoluteTolerance = 1e-10;
constexpr int kMaxIterations = 500;

}  // namespace

double brent_minimise(FunctionRef<double(double)> g, double a, double b) {
    // The interval itself is the bracket; the search starts at its golden
    // section point, inside the interval rather than at an end.
    double x = a + kGolden * (b - a);
    double w = x;
    double v = x;
    double fx = g(x);
    double fw = fx;
    double fv = fx;
    double d = 0.0;  // step of the previous iteration

    for (int k = 0; k < kMaxIterations; ++k) {
        const double xm = (a + b) / 2;
        const double tol1 = kRelativeTolerance * std::abs(x) + kAbsoluteTolerance;
        const double tol2 = 2 * tol1;
        if (std::abs(x - xm) <= tol2 - (b - a) / 2) break;

        double u = 0.0;
        bool parabolic = false;
        if (std::abs(d) > tol1) {
            // Parabola through (x, fx), (w, fw), (v, fv); its vertex is x + p/q.
            double r = (x - w) * (fx - fv);
            double q = (x - v) * (fx - fw);
            double p = (x - v) * q - (x - w) * r;
            q = 2 * (q - r);
            if (q > 0) p = -p;
            q = std::abs(q);
            // Accept only a step smaller than half the previous one that stays
            // inside the interval; otherwise the parabola is not to be trusted.
            if (std::abs(p) < std::abs(0.5 * q * d) && q * (a - x) < p && p < q * (b - x)) {
                d = p / q;
                u = x + d;
                // Never evaluate within tol2 of an end of the interval.
                if (u - a < tol2 || b - u < tol2) u = x < xm ? x + tol1 : x - tol1;
                parabolic = true;
            }
        }
        if (!parabolic) {
            // Golden section into the larger of the two parts.
            d = x < xm ? kGolden * (b - x) : kGolden * (a - x);
            u = x + d;
        }
        // Points closer than tol1 to x cannot be told apart from it.
        if (std::abs(u - x) < tol1) u = d > 0 ? x + tol1 : x - tol1;

        const double fu = g(u);
        if (fu <= fx) {
            if (u >= x) {
                a = x;
            } else {
                b = x;
            }
            v = w;
            fv = fw;
            w = x;
            fw = fx;
            x = u;
            fx = fu;
        } else {
            if (u < x) {
                a = u;
            } else {
                b = u;
            }
            if (fu <= fw || w == x) {
                v = w;
                fv = fw;
                w = u;
                fw = fu;
            } else if (fu <= fv || v == x || v == w) {
                v = u;
                fv = fu;
            }
        }
    }
    return x;
}

}  // namespace korvel
