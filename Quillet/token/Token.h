#pragma once

#include <memory>
#include <string>

namespace quillet {

class TokenDriver;
class TokenSession;

// One registered token; opens sessions.
class Token : public std::enable_shared_from_this<Token> {
public:
    Token(std::shared_ptr<TokenDriver> driver, std::string instanceID);

    const std::string& instanceID() const { return instanceID_; }
    std::shared_ptr<TokenSession> createSession();
    void terminateSession(const TokenSession& session);

private:
    std::shared_ptr<TokenDriver> driver_;
    std::string instanceID_;
};

} // namespace quillet
