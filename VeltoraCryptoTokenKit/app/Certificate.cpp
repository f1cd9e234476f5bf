#include "VeltoraCryptoTokenKit/app/Certificate.h"

namespace veltora {

std::optional<std::string> Certificate::cellText(std::string_view columnIdentifier) const {
    const std::optional<std::string>* field = nullptr;
    if (columnIdentifier == "commonname") {
        field = &commonName;
    } else if (columnIdentifier == "fingerprint") {
        field = &fingerprint;
    } else if (columnIdentifier == "signingpolicy") {
        field = &signingPolicy;
    } else if (columnIdentifier == "project") {
        field = &project;
    } else if (columnIdentifier == "expires") {
        field = &expires;
    } else {
        return std::nullopt;
    }
    return field->value_or("");
}

} // namespace veltora
