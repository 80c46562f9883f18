#include "optimizer/global_search.h"

#include <cmath>
#include <cstddef>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "core/errors.h"
#include "core/format.h"
#include "optimizer/mutation.h"
#include "optimizer/nelder_mead.h"

namespace korvel {
namespace {

constexpr std::size_t kMembersPerCoordinate = 15;
constexpr int kMaxGenerations = 1000;
constexpr double kCrossover = 0.7;
constexpr double kRelativeTolerance = 1e-8;

// Relative spread of the population values: stop once sd / |mean| < 1e-8.
// A mean of 0 (or NaN) gives no scale to compare with, so the test is skipped
// and the stage runs on; an inf value makes the spread NaN, which never passes.
bool population_converged(const std::vector<double>& values) {
    const double np = static_cast<double>(values.size());
    double sum = 0.0;
    for (const double v : values) sum += v;
    const double mean = sum / np;
    if (mean == 0.0 || std::isnan(mean)) return false;
    double squares = 0.0;
    for (const double v : values) {
        const double d = v - mean;
        squares += d * d;
    }
    const double sd = std::sqrt(squares / np);
    return sd / std::abs(mean) < kRelativeTolerance;
}

// "label=value" for each shown coordinate of x, joined by `separator`.
std::string shown_coordinates(std::span<const CoordinateFormat> shown, std::span<const double> x,
                              const char* separator) {
    std::string text;
    for (std::size_t j = 0; j < shown.size(); ++j) {
        if (j > 0) text += separator;
        text += shown[j].label;
        text += '=';
        text += format_fixed(x[j], shown[j].decimals, shown[j].always_sign);
    }
    return text;
}

}  // namespace

OptResult differential_evolution(Objective f, std::span<const Bound> box, ChaCha8& rng) {
    const std::size_t dim = box.size();
    if (dim == 0) throw InternalError("differential evolution needs at least one coordinate");
    const std::size_t np = kMembersPerCoordinate * dim;

    // Population and trial in one block each, allocated once per run.
    std::vector<double> pop(np * dim);
    std::vector<double> values(np);
    std::vector<double> trial(dim);
    const auto member = [&](std::size_t i) { return pop.data() + i * dim; };
    const auto evaluate = [&](const double* x) { return f(std::span<const double>(x, dim)); };

    // Uniform cover of the box, member by member, coordinate by coordinate.
    for (std::size_t i = 0; i < np; ++i) {
        double* x = member(i);
        for (std::size_t k = 0; k < dim; ++k) {
            x[k] = box[k].lo + rng.uniform() * (box[k].hi - box[k].lo);
        }
    }
    for (std::size_t i = 0; i < np; ++i) values[i] = evaluate(member(i));
    std::size_t best = 0;
    for (std::size_t i = 1; i < np; ++i) {
        if (values[i] < values[best]) best = i;
    }

    for (int generation = 0; generation < kMaxGenerations; ++generation) {
        const double F = 0.5 + 0.5 * rng.uniform();
        for (std::size_t i = 0; i < np; ++i) {
            std::size_t r1;
            do {
                r1 = static_cast<std::size_t>(rng.uniform_int(np));
            } while (r1 == i || r1 == best);
            std::size_t r2;
            do {
                r2 = static_cast<std::size_t>(rng.uniform_int(np));
            } while (r2 == r1 || r2 == i || r2 == best);
            // One coordinate always mutates, so no trial is a copy of its target.
            const std::size_t forced = static_cast<std::size_t>(rng.uniform_int(dim));

            const double* xi = member(i);
            const double* xb = member(best);
            const double* x1 = member(r1);
            const double* x2 = member(r2);
            for (std::size_t k = 0; k < dim; ++k) {
                const double u = rng.uniform();
                if (k == forced || u < kCrossover) {
                    trial[k] = detail::mutant_coordinate(xb[k], x1[k], x2[k], xi[k], F, box[k], rng);
                } else {
                    trial[k] = xi[k];
                }
            }

            // Immediate replacement: later targets of this generation already
            // see the new member. Ties replace too, so flat regions keep moving.
            const double ft = evaluate(trial.data());
            if (ft <= values[i]) {
                const bool new_best = ft < values[best];
                double* dst = member(i);
                for (std::size_t k = 0; k < dim; ++k) dst[k] = trial[k];
                values[i] = ft;
                if (new_best) best = i;
            }
        }
        if (population_converged(values)) break;
    }

    const double* xb = member(best);
    return OptResult{std::vector<double>(xb, xb + dim), values[best]};
}

OptResult global_search(Objective f, std::span<const Bound> box,
                        std::optional<std::uint64_t> seed) {
    ChaCha8 rng = seed ? ChaCha8::from_seed(*seed) : ChaCha8::from_entropy();
    const OptResult start = differential_evolution(f, box, rng);
    // The polish evaluates its first simplex afresh, the start included.
    return nelder_mead(f, start.x, box, kPolishSettings);
}

MultiStartResult multi_start(Objective f, std::span<const std::vector<double>> starts,
                             std::span<const Bound> box, bool verbose,
                             std::span<const CoordinateFormat> shown,
                             const Interruption& interruption) {
    if (starts.empty()) throw InternalError("multi-start needs at least one start point");
    if (verbose) {
        // Every shown coordinate must exist in every point written.
        for (const auto& x : starts) {
            if (x.size() < shown.size()) {
                throw InternalError("multi-start progress lines show " +
                                    std::to_string(shown.size()) + " coordinates, a start has " +
                                    std::to_string(x.size()));
            }
        }
    }

    MultiStartResult best{starts[0], std::numeric_limits<double>::infinity(), 0};
    const std::size_t k = starts.size();
    for (std::size_t i = 0; i < k; ++i) {
        // Ctrl+C: start nothing new; what has been found so far stands.
        if (interruption.requested()) break;
        const int s = static_cast<int>(i) + 1;
        if (verbose) {
            write_stderr_line("--- Nelder-Mead start " + std::to_string(s) + "/" +
                              std::to_string(k) + " from x0=(" +
                              shown_coordinates(shown, starts[i], ", ") + ") ---\n");
        }
        OptResult r = nelder_mead(f, starts[i], box, kOuterSettings);
        if (verbose) {
            write_stderr_line("    => start " + std::to_string(s) +
                              " converged: " + shown_coordinates(shown, r.x, " ") +
                              " NLL=" + format_fixed(r.f, 6) + "\n");
        }
        if (r.f < best.f) {  // strictly: the earlier start keeps a tie
            best.x = std::move(r.x);
            best.f = r.f;
            best.start = s;
        }
    }
    if (verbose) {
        write_stderr_line("--- best start: " + std::to_string(best.start) +
                          " with NLL=" + format_fixed(best.f, 6) + " ---\n");
    }
    return best;
}

}  // namespace korvel
