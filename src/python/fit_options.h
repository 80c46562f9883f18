// The options that the fits, their bootstraps and their profiles take under
// the same names, and the table entry of each (see signature.h): stated once
// for every py_*.cpp file that lists them.
#pragma once

#include <optional>
#include <vector>

#include "fits/shared_fits.h"
#include "model/model.h"
#include "optimizer/box.h"
#include "python/signature.h"

namespace korvel::py {

// A function's struct derives from this and adds its own arguments.
struct FitOptions {
    std::vector<double> meth_bin_edges;
    bool normalize_stw = false;
    Bound st_bounds{}, co_bounds{}, n_exp_bounds{};
    double n_u = kDefaultExponent, n_m = kDefaultExponent;
    double co_penalty = 0.0;
    std::optional<std::vector<double>> weights;

    OptionalWeights weight_view() const {
        return weights ? OptionalWeights(*weights) : std::nullopt;
    }
};

namespace fit_param {

inline constexpr auto kEdges = arg::vector("meth_bin_edges", &FitOptions::meth_bin_edges);
inline constexpr auto kNormalize = arg::boolean("normalize_stw", &FitOptions::normalize_stw);
inline constexpr auto kStBounds = arg::pair("st_bounds", &FitOptions::st_bounds);
inline constexpr auto kCoBounds = arg::pair("co_bounds", &FitOptions::co_bounds);
inline constexpr auto kExpBounds = arg::pair("n_exp_bounds", &FitOptions::n_exp_bounds);
inline constexpr auto kNU = arg::real("n_u", &FitOptions::n_u, kDefaultExponent);
inline constexpr auto kNM = arg::real("n_m", &FitOptions::n_m, kDefaultExponent);
inline constexpr auto kPenalty = arg::real("co_penalty", &FitOptions::co_penalty, 0.0);
inline constexpr auto kWeights = arg::optional_vector("weights", &FitOptions::weights);

}  // namespace fit_param

}  // namespace korvel::py
