// What a benchmark ran on, printed beside its figures.
#pragma once

#include <fstream>
#include <string>
#include <thread>

namespace korvel_bench {

inline std::string cpu_model() {
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("model name", 0) == 0) {
            const auto colon = line.find(':');
            if (colon != std::string::npos) return line.substr(colon + 2);
        }
    }
    return "unknown";
}

}  // namespace korvel_bench
