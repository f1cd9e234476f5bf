#pragma once

#include "Quillet/pkcs11/cryptoki/Cryptoki.h"
#include "Quillet/pkcs11/objects/TokenEntry.h"

#include <memory>
#include <vector>

namespace quillet {

// A slot and the token in it; no token once its registration is gone.
struct SlotState {
    CK_SLOT_ID slotID = 0;
    std::shared_ptr<const TokenEntry> token;
};

// The complete picture of the store at one moment, in slot ID order. Never
// changed after it is made: a newer reading replaces it as a whole.
class TokenSnapshot {
public:
    explicit TokenSnapshot(std::vector<SlotState> slots) : slots_(std::move(slots)) {}

    const std::vector<SlotState>& slots() const { return slots_; }
    // Nothing for a slot ID this module never gave out.
    const SlotState* slot(CK_SLOT_ID slotID) const;
    // The token of a slot, or nothing.
    std::shared_ptr<const TokenEntry> token(CK_SLOT_ID slotID) const;

private:
    std::vector<SlotState> slots_;
};

} // namespace quillet
