// The per-density objective: what a search point means.
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

}  // namespace korvel
