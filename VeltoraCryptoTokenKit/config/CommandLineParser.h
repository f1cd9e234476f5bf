#pragma once

#include "VeltoraCryptoTokenKit/config/Configuration.h"

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace veltora {

// Turns the argument list into the command-line configuration: six options,
// each taking the argument after it as its value.
class CommandLineParser {
public:
    // The whole argument list, the program path first.
    explicit CommandLineParser(const std::vector<std::string>& args);

    std::optional<std::string> getValue(const std::string& key) const;
    Configuration extractConfiguration() const;

private:
    std::map<std::string, std::optional<std::string>> argsStorage;
};

} // namespace veltora
