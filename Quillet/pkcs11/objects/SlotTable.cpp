#include "Quillet/pkcs11/objects/SlotTable.h"

#include "Quillet/platform/TKTokenDriverConfiguration.h"
#include "VeltoraCryptoTokenKit/log/DDLogMacros.h"

#include <algorithm>
#include <exception>

namespace quillet {

namespace {

std::vector<TKTokenConfiguration> readRegistrations() {
    const auto drivers = TKTokenDriverConfiguration::driverConfigurations();
    const auto driver = drivers.find(TKTokenDriverConfiguration::quilletClassID);
    if (driver == drivers.end() || !driver->second) {
        return {};
    }
    return driver->second->tokenConfigurationList();
}

bool sameListing(const std::vector<TKTokenConfiguration>& listing,
                 const std::vector<TKTokenConfiguration>& previous) {
    return std::equal(listing.begin(), listing.end(), previous.begin(), previous.end(),
                      [](const TKTokenConfiguration& a, const TKTokenConfiguration& b) { return a.isCopyOf(b); });
}

// One registration per instance ID, the last one listed as the store's own lookup would.
std::map<std::string, const TKTokenConfiguration*> byInstanceID(const std::vector<TKTokenConfiguration>& listing) {
    std::map<std::string, const TKTokenConfiguration*> registrations;
    for (const TKTokenConfiguration& registration : listing) {
        registrations[registration.instanceID()] = &registration;
    }
    return registrations;
}

bool sameRegistration(const TokenEntry* previous, const TKTokenConfiguration& registration) {
    return previous != nullptr && registration.certificateItem() &&
           previous->certificateData() == registration.certificateItem()->data();
}

} // namespace

SlotTable::SlotTable(std::shared_ptr<TokenDriver> driver)
    : driver_(std::move(driver)), snapshot_(std::make_shared<const TokenSnapshot>(std::vector<SlotState>{})) {
}

std::shared_ptr<const TokenSnapshot> SlotTable::snapshot() const {
    std::lock_guard lock(snapshotMutex_);
    return snapshot_;
}

void SlotTable::refresh() {
    std::lock_guard refreshing(refreshMutex_);
    const auto previous = snapshot();
    std::vector<SlotState> slots;
    std::vector<TKTokenConfiguration> listing;
    try {
        listing = readRegistrations();
        if (sameListing(listing, listed_)) {
            return; // the same decoded registrations as the picture was made of
        }
        std::map<CK_SLOT_ID, std::shared_ptr<const TokenEntry>> tokens;
        for (const auto& [instanceID, registration] : byInstanceID(listing)) {
            const auto known = slotIDs_.find(instanceID);
            const CK_SLOT_ID slotID = known != slotIDs_.end() ? known->second : slotIDs_.size() + 1;
            auto unchanged = previous->token(slotID);
            auto token = sameRegistration(unchanged.get(), *registration)
                             ? std::move(unchanged)
                             : TokenEntry::make(slotID, *registration, *driver_);
            if (token) {
                slotIDs_.emplace(instanceID, slotID);
                tokens[slotID] = std::move(token);
            }
        }
        for (const auto& [instanceID, slotID] : slotIDs_) {
            const auto token = tokens.find(slotID);
            slots.push_back(SlotState{slotID, token == tokens.end() ? nullptr : token->second});
        }
    } catch (const std::exception& error) {
        DDLogError(std::string("Could not read the token registrations, keeping the previous ones: ") +
                   error.what());
        return;
    }
    std::sort(slots.begin(), slots.end(),
              [](const SlotState& a, const SlotState& b) { return a.slotID < b.slotID; });
    auto fresh = std::make_shared<const TokenSnapshot>(std::move(slots));
    listed_ = std::move(listing);
    std::lock_guard lock(snapshotMutex_);
    snapshot_ = std::move(fresh);
}

} // namespace quillet
