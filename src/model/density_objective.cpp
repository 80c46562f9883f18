// The per-density objective: what a search point means, and the two
// objectives the model names.
#include <bit>
#include <string>
#include <utility>

#include "core/errors.h"
#include "model/model.h"

namespace korvel {

std::size_t DensityObjective::size() const {
    return static_cast<std::size_t>(std::popcount(searched & (kSearchSt | kSearchCoW | kSearchCoE |
                                                              kSearchNU | kSearchNM)));
}

void DensityObjective::short_point(std::size_t got) const {
    // Names the coordinates, so that the message says which fit's point it was.
    static constexpr std::pair<DensityParam, const char*> kNames[] = {
        {kSearchSt, "St"},     {kSearchCoW, "log10 CoW"}, {kSearchCoE, "log10 CoE"},
        {kSearchNU, "n_U"},    {kSearchNM, "n_M"},
    };
    std::string names;
    for (const auto& [bit, name] : kNames) {
        if (!(searched & bit)) continue;
        names += names.empty() ? name : std::string(", ") + name;
    }
    throw InternalError("per-density objective over (" + names + ") needs " +
                        std::to_string(size()) + " coordinates, got " + std::to_string(got));
}

double five_param_objective(std::span<const double> x, const DensityData& d, double vmax,
                            double co_penalty) {
    const DensityObjective f{d, kSearchSt | kSearchCoW | kSearchCoE | kSearchNU | kSearchNM, {},
                             vmax, co_penalty};
    return f(x);
}

double fixed_st_exp_objective(std::span<const double> x, double st, const DensityData& d,
                              double vmax, double co_penalty) {
    const DensityObjective f{d, kSearchCoW | kSearchCoE | kSearchNU | kSearchNM,
                             {.st = st, .cow = 0.0, .coe = 0.0, .n_u = 0.0, .n_m = 0.0}, vmax,
                             co_penalty};
    return f(x);
}

}  // namespace korvel
