#include "Quillet/pkcs11/objects/TokenSnapshot.h"

#include <algorithm>

namespace quillet {

const SlotState* TokenSnapshot::slot(CK_SLOT_ID slotID) const {
    const auto found =
        std::lower_bound(slots_.begin(), slots_.end(), slotID,
                         [](const SlotState& slot, CK_SLOT_ID id) { return slot.slotID < id; });
    return found != slots_.end() && found->slotID == slotID ? &*found : nullptr;
}

std::shared_ptr<const TokenEntry> TokenSnapshot::token(CK_SLOT_ID slotID) const {
    const SlotState* found = slot(slotID);
    return found == nullptr ? nullptr : found->token;
}

} // namespace quillet
