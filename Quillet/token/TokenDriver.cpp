#include "Quillet/token/TokenDriver.h"

#include "Quillet/token/Token.h"
#include "VeltoraCryptoTokenKit/config/VeltoraLogFactory.h"
#include "VeltoraCryptoTokenKit/log/DDLogMacros.h"

namespace quillet {

std::shared_ptr<Token> TokenDriver::tokenForConfiguration(const TKTokenConfiguration& configuration) {
    veltora::VeltoraLogFactory::setupLogging();
    DDLogInfo("tokenDriver tokenfor");
    // A driver not owned by a shared pointer still makes tokens, only without a back link.
    return std::make_shared<Token>(weak_from_this().lock(), configuration.instanceID());
}

} // namespace quillet
