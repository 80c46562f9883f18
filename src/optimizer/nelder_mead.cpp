#include "optimizer/nelder_mead.h"

#include <cmath>
#include <cstddef>
#include <limits>
#include <string>
#include <vector>

#include "core/errors.h"
#include "core/format.h"

namespace korvel {
namespace {

constexpr double kPerturbRelative = 0.05;     // first simplex: 5 % of a coordinate
constexpr double kPerturbAbsolute = 0.00025;  // ... or this step for a coordinate near 0
constexpr double kNearZero = 1e-10;

std::string describe_point(const double* x, std::size_t n) {
    std::string s = "(";
    for (std::size_t j = 0; j < n; ++j) {
        if (j > 0) s += ", ";
        s += format_shortest(x[j]);
    }
    return s + ")";
}

[[noreturn]] void throw_nan_vertex(const double* x, std::size_t n) {
    throw InternalError("NaN objective value in the Nelder-Mead simplex at x = " +
                        describe_point(x, n));
}

// The simplex of one run: n + 1 slots, each a point and its value, in one
// allocation made before the first evaluation; nothing is allocated per
// iteration or per objective call. A slot keeps its number for the whole run,
// which is the tie-break wherever equal values are ordered.
class Simplex {
public:
    explicit Simplex(std::size_t n)
        : n_(n), points_((n + 1) * n + 4 * n), values_(n + 1), order_(n + 1) {}

    double* point(std::size_t slot) { return points_.data() + slot * n_; }
    double& value(std::size_t slot) { return values_[slot]; }
    // Scratch points: centroid, reflection, expansion, contraction.
    double* centroid() { return points_.data() + (n_ + 1) * n_; }
    double* reflected() { return centroid() + n_; }
    double* expanded() { return centroid() + 2 * n_; }
    double* contracted() { return centroid() + 3 * n_; }

    std::size_t ordered(std::size_t rank) const { return order_[rank]; }

    // Stable ascending order of the slot numbers by value. Insertion sort:
    // stable, in place (std::stable_sort may allocate), and at most six
    // slots here. Values must be comparable, so a NaN ends the run.
    void order() {
        for (std::size_t s = 0; s <= n_; ++s) {
            if (std::isnan(values_[s])) throw_nan_vertex(point(s), n_);
        }
        for (std::size_t s = 0; s <= n_; ++s) order_[s] = s;
        for (std::size_t i = 1; i <= n_; ++i) {
            const std::size_t slot = order_[i];
            std::size_t j = i;
            while (j > 0 && values_[order_[j - 1]] > values_[slot]) {
                order_[j] = order_[j - 1];
                --j;
            }
            order_[j] = slot;
        }
    }

    void store(std::size_t slot, const double* x, double f) {
        double* dst = point(slot);
        for (std::size_t j = 0; j < n_; ++j) dst[j] = x[j];
        values_[slot] = f;
    }

    OptResult result(std::size_t slot) {
        const double* x = point(slot);
        return OptResult{std::vector<double>(x, x + n_), values_[slot]};
    }

private:
    std::size_t n_;
    std::vector<double> points_;
    std::vector<double> values_;
    std::vector<std::size_t> order_;
};

}  // namespace

OptResult nelder_mead(Objective f, std::span<const double> x0, std::span<const Bound> box,
                      const NelderMeadSettings& settings) {
    const std::size_t n = x0.size();
    if (n == 0) throw InternalError("Nelder-Mead needs at least one coordinate");
    if (box.size() != n) {
        throw InternalError("Nelder-Mead start point has " + std::to_string(n) +
                            " coordinates but the box has " + std::to_string(box.size()));
    }

    Simplex sx(n);
    const auto evaluate = [&](const double* x) { return f(std::span<const double>(x, n)); };

    // First simplex: slot 0 is the start exactly as given (not clamped); slot
    // k moves coordinate k - 1 by 5 % of itself, or by a fixed small step when
    // it is (nearly) zero so that the vertex does not collapse onto slot 0.
    for (std::size_t slot = 0; slot <= n; ++slot) {
        double* p = sx.point(slot);
        for (std::size_t j = 0; j < n; ++j) p[j] = x0[j];
        if (slot > 0) {
            const std::size_t k = slot - 1;
            const double x = p[k];
            const double moved = std::abs(x) > kNearZero ? x + kPerturbRelative * x
                                                         : x + kPerturbAbsolute;
            p[k] = clamp(moved, box[k].lo, box[k].hi);
        }
    }
    for (std::size_t slot = 0; slot <= n; ++slot) sx.value(slot) = evaluate(sx.point(slot));

    // Stall rule: the best value so far (NaN ignored) and how many orderings
    // in a row brought no improvement larger than the setting.
    const bool use_stall = settings.stall_window > 0;
    double stall_reference = std::numeric_limits<double>::infinity();
    for (std::size_t slot = 0; slot <= n; ++slot) {
        if (sx.value(slot) < stall_reference) stall_reference = sx.value(slot);
    }
    int stall_count = 0;

    const auto clamp_into_box = [&](double* x) {
        for (std::size_t j = 0; j < n; ++j) x[j] = clamp(x[j], box[j].lo, box[j].hi);
    };

    int iteration = 0;
    for (;;) {
        if (iteration >= settings.max_iterations) {
            // No last ordering: the first slot holding the smallest value.
            std::size_t best = 0;
            for (std::size_t slot = 1; slot <= n; ++slot) {
                if (sx.value(slot) < sx.value(best)) best = slot;
            }
            // A NaN in slot 0 would otherwise be reported as the minimum,
            // whatever the other slots hold.
            if (std::isnan(sx.value(best))) throw_nan_vertex(sx.point(best), n);
            return sx.result(best);
        }

        sx.order();
        const std::size_t b = sx.ordered(0);
        const std::size_t w = sx.ordered(n);
        const std::size_t s = sx.ordered(n - 1);  // equals b when n == 1
        const double f_b = sx.value(b);
        const double f_w = sx.value(w);
        const double f_s = sx.value(s);

        if (use_stall) {
            if (stall_reference - f_b > settings.stall_improvement) {
                stall_reference = f_b;
                stall_count = 0;
            } else if (++stall_count >= settings.stall_window) {
                return sx.result(b);
            }
        }
        // A NaN difference (inf - inf) never passes.
        if (f_w - f_b < settings.tolerance) return sx.result(b);

        ++iteration;

        // Centroid of the kept vertices, summed best first, then divided once.
        double* c = sx.centroid();
        for (std::size_t j = 0; j < n; ++j) c[j] = 0.0;
        for (std::size_t rank = 0; rank < n; ++rank) {
            const double* p = sx.point(sx.ordered(rank));
            for (std::size_t j = 0; j < n; ++j) c[j] += p[j];
        }
        for (std::size_t j = 0; j < n; ++j) c[j] /= static_cast<double>(n);

        const double* x_w = sx.point(w);
        double* x_r = sx.reflected();
        for (std::size_t j = 0; j < n; ++j) x_r[j] = c[j] + (c[j] - x_w[j]);
        clamp_into_box(x_r);
        const double f_r = evaluate(x_r);

        if (f_b <= f_r && f_r < f_s) {
            sx.store(w, x_r, f_r);
            continue;
        }
        if (f_r < f_b) {
            double* x_e = sx.expanded();
            for (std::size_t j = 0; j < n; ++j) x_e[j] = c[j] + 2.0 * (x_r[j] - c[j]);
            clamp_into_box(x_e);
            const double f_e = evaluate(x_e);
            if (f_e < f_r) {
                sx.store(w, x_e, f_e);
            } else {
                sx.store(w, x_r, f_r);
            }
            continue;
        }
        // f_r >= f_s or NaN: contract towards the worst vertex (inside only).
        double* x_c = sx.contracted();
        for (std::size_t j = 0; j < n; ++j) x_c[j] = c[j] + 0.5 * (x_w[j] - c[j]);
        clamp_into_box(x_c);
        const double f_c = evaluate(x_c);
        if (f_c < f_w) {
            sx.store(w, x_c, f_c);
            continue;
        }
        // Shrink every vertex but the best halfway towards it, in order.
        const double* x_b = sx.point(b);
        for (std::size_t rank = 1; rank <= n; ++rank) {
            const std::size_t slot = sx.ordered(rank);
            double* p = sx.point(slot);
            for (std::size_t j = 0; j < n; ++j) p[j] = x_b[j] + 0.5 * (p[j] - x_b[j]);
            clamp_into_box(p);
            sx.value(slot) = evaluate(p);
        }
    }
}

}  // namespace korvel
