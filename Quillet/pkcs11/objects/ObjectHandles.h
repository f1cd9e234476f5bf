#pragma once

#include "Quillet/pkcs11/cryptoki/Cryptoki.h"

#include <optional>

namespace quillet {

// Every token shows three objects. Their handles are derived from the slot ID,
// so they are unique in the module and stay valid while the slot exists.
enum class ObjectKind : CK_OBJECT_HANDLE { certificate = 1, privateKey = 2, publicKey = 3 };

inline constexpr CK_OBJECT_HANDLE objectHandle(CK_SLOT_ID slotID, ObjectKind kind) {
    return (slotID << 2) | static_cast<CK_OBJECT_HANDLE>(kind);
}

// The kind of a handle of this slot's objects; nothing for any other handle.
inline std::optional<ObjectKind> objectKindOf(CK_OBJECT_HANDLE handle, CK_SLOT_ID slotID) {
    const CK_OBJECT_HANDLE kind = handle & 3;
    if ((handle >> 2) != slotID || kind == 0) {
        return std::nullopt;
    }
    return static_cast<ObjectKind>(kind);
}

} // namespace quillet
