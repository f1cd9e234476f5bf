#include "VeltoraCryptoTokenKit/config/CommandLineParser.h"

#include "VeltoraCryptoTokenKit/config/ConfigurationFields.h"

namespace veltora {

CommandLineParser::CommandLineParser(const std::vector<std::string>& args) {
    std::map<std::string, std::string> given;
    // Any argument starting with "-" takes the next one as its value, whatever it looks like.
    for (std::size_t i = 0; i + 1 < args.size(); ++i) {
        if (!args[i].empty() && args[i][0] == '-') {
            given[args[i]] = args[i + 1];
        }
    }
    for (const auto& field : kTextFields) {
        if (field.option != nullptr) {
            const auto found = given.find(field.option);
            argsStorage[field.optionStorageKey] =
                found == given.end() ? std::nullopt : std::optional<std::string>(found->second);
        }
    }
}

std::optional<std::string> CommandLineParser::getValue(const std::string& key) const {
    const auto found = argsStorage.find(key);
    return found == argsStorage.end() ? std::nullopt : found->second;
}

Configuration CommandLineParser::extractConfiguration() const {
    // Every text is present: settings without an option are empty.
    Configuration configuration;
    for (const auto& field : kTextFields) {
        configuration.*field.member = field.option ? getValue(field.optionStorageKey).value_or("") : "";
    }
    return configuration;
}

} // namespace veltora
