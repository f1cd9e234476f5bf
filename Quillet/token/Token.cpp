#include "Quillet/token/Token.h"

#include "Quillet/token/TokenSession.h"
#include "VeltoraCryptoTokenKit/config/VeltoraLogFactory.h"
#include "VeltoraCryptoTokenKit/log/DDLogMacros.h"

namespace quillet {

Token::Token(std::shared_ptr<TokenDriver> driver, std::string instanceID)
    : driver_(std::move(driver)), instanceID_(std::move(instanceID)) {}

std::shared_ptr<TokenSession> Token::createSession() {
    veltora::VeltoraLogFactory::setupLogging();
    DDLogInfo("TKToken Session starting");
    return std::make_shared<TokenSession>(weak_from_this().lock());
}

void Token::terminateSession(const TokenSession& session) {
    veltora::VeltoraLogFactory::setupLogging();
    DDLogInfo("Terminating session: " + session.description());
}

} // namespace quillet
