#pragma once

#include "Quillet/platform/TKTokenConfiguration.h"

#include <memory>

namespace quillet {

class Token;

// The extension's principal object: makes a token for each registration.
class TokenDriver : public std::enable_shared_from_this<TokenDriver> {
public:
    std::shared_ptr<Token> tokenForConfiguration(const TKTokenConfiguration& configuration);
};

} // namespace quillet
