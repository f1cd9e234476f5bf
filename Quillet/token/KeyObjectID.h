#pragma once

#include <optional>
#include <string>

namespace quillet {

// The object ID of a key as the token framework hands it over: a string, or
// absent when the caller passed something that is not a string.
using KeyObjectID = std::optional<std::string>;

} // namespace quillet
