#pragma once

#include "Quillet/pkcs11/objects/TokenSnapshot.h"
#include "Quillet/token/TokenDriver.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace quillet {

// Slots for the registrations in the store. A registration keeps its slot ID
// for as long as this table lives; its slot stays, without a token, after the
// registration is removed.
class SlotTable {
public:
    explicit SlotTable(std::shared_ptr<TokenDriver> driver);

    // Reads the store afresh and replaces the picture; when reading fails the
    // previous picture stays and the failure is logged. Never touches the network.
    void refresh();
    std::shared_ptr<const TokenSnapshot> snapshot() const;

private:
    std::shared_ptr<TokenDriver> driver_;
    std::mutex refreshMutex_; // one reading at a time, so slot IDs are handed out in order
    std::map<std::string, CK_SLOT_ID> slotIDs_;
    // The registrations the picture was made of: while the store lists copies
    // of the same ones, the picture stands and nothing is compared or built.
    std::vector<TKTokenConfiguration> listed_;
    mutable std::mutex snapshotMutex_;
    std::shared_ptr<const TokenSnapshot> snapshot_;
};

} // namespace quillet
