#pragma once

#include "Quillet/pkcs11/Pkcs11Session.h"
#include "Quillet/pkcs11/cryptoki/Cryptoki.h"
#include "Quillet/pkcs11/objects/SlotTable.h"
#include "Quillet/token/TokenDriver.h"
#include "VeltoraCryptoTokenKit/base/Result.h"

#include <sys/types.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

namespace quillet {

// The process-wide state between C_Initialize and C_Finalize: the slot table
// and the open sessions. A child process after fork starts uninitialised.
class Module {
public:
    static Module& instance();

    veltora::Result<void> initialize(const CK_C_INITIALIZE_ARGS* arguments);
    veltora::Result<void> finalize();
    // CKR_CRYPTOKI_NOT_INITIALIZED before C_Initialize in this process.
    veltora::Result<void> checkInitialized() const;

    veltora::Result<CK_INFO> info() const;
    // Reads the store afresh.
    veltora::Result<std::vector<CK_SLOT_ID>> slotList(bool tokenPresent);
    veltora::Result<CK_SLOT_INFO> slotInfo(CK_SLOT_ID slotID) const;
    veltora::Result<CK_TOKEN_INFO> tokenInfo(CK_SLOT_ID slotID) const;
    veltora::Result<std::vector<CK_MECHANISM_TYPE>> mechanismList(CK_SLOT_ID slotID) const;
    veltora::Result<CK_MECHANISM_INFO> mechanismInfo(CK_SLOT_ID slotID, CK_MECHANISM_TYPE type) const;

    veltora::Result<CK_SESSION_HANDLE> openSession(CK_SLOT_ID slotID, CK_FLAGS flags);
    veltora::Result<void> closeSession(CK_SESSION_HANDLE handle);
    veltora::Result<void> closeAllSessions(CK_SLOT_ID slotID);
    veltora::Result<CK_SESSION_INFO> sessionInfo(CK_SESSION_HANDLE handle) const;
    veltora::Result<void> login(CK_SESSION_HANDLE handle, CK_USER_TYPE userType);
    veltora::Result<void> logout(CK_SESSION_HANDLE handle);

    // The open session with this handle, to run one call on it.
    veltora::Result<std::shared_ptr<Pkcs11Session>> session(CK_SESSION_HANDLE handle) const;

    Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

private:
    struct State {
        explicit State(std::shared_ptr<TokenDriver> driver) : slots(std::move(driver)) {}

        // Sessions and logins of the parent mean nothing in a child after fork.
        bool inheritedByFork = false;
        SlotTable slots;
        std::map<CK_SESSION_HANDLE, std::shared_ptr<Pkcs11Session>> sessions;
        CK_SESSION_HANDLE lastHandle = 0;
        std::set<CK_SLOT_ID> loggedIn;
    };

    // The helpers below need mutex_ held.
    // The state of this process, or CKR_CRYPTOKI_NOT_INITIALIZED.
    veltora::Result<State*> current() const;
    veltora::Result<std::shared_ptr<Pkcs11Session>> findSession(CK_SESSION_HANDLE handle) const;
    // A slot this module gave out, with or without its token; CKR_SLOT_ID_INVALID otherwise.
    veltora::Result<SlotState> knownSlot(CK_SLOT_ID slotID) const;
    veltora::Result<std::shared_ptr<const TokenEntry>> presentToken(CK_SLOT_ID slotID) const;
    std::vector<std::shared_ptr<Pkcs11Session>>
    takeSessions(const std::function<bool(const Pkcs11Session&)>& which);

    mutable std::mutex mutex_; // guards state_ and what it holds but the slot table
    std::unique_ptr<State> state_;
};

} // namespace quillet
