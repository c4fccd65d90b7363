// Reading back the update log file that KESTROVA_UPDATE_LOG names.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace kestrova::testing {

// The messages one category wrote, in order, without the time and category before them.
inline std::vector<std::string> update_log_records(const std::filesystem::path& log,
                                                   const std::string& category = "sparkle") {
    std::vector<std::string> out;
    std::ifstream in(log);
    const std::string marker = " " + category + ": ";
    for (std::string line; std::getline(in, line);) {
        const auto at = line.find(marker);
        if (at != std::string::npos) out.push_back(line.substr(at + marker.size()));
    }
    return out;
}

}  // namespace kestrova::testing
