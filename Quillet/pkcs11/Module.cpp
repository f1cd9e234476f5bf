#include "Quillet/pkcs11/Module.h"

#include "Quillet/pkcs11/ModuleLogging.h"
#include "Quillet/pkcs11/cryptoki/CkError.h"
#include "Quillet/pkcs11/objects/ObjectHandles.h"
#include "Quillet/pkcs11/objects/TextFields.h"
#include "Quillet/pkcs11/operation/Mechanisms.h"
#include "Quillet/platform/TokenStore.h"
#include "Quillet/token/Token.h"
#include "VeltoraCryptoTokenKit/base/ForkHandlers.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <new>

namespace quillet {

namespace {

constexpr const char* kManufacturer = "Veltora";

CK_VERSION libraryVersion() {
    unsigned major = 0;
    unsigned minor = 0;
    if (std::sscanf(VELTORA_VERSION, "%u.%u", &major, &minor) != 2) {
        return CK_VERSION{0, 0};
    }
    return CK_VERSION{static_cast<CK_BYTE>(major), static_cast<CK_BYTE>(minor)};
}

template <std::size_t N> std::span<CK_UTF8CHAR> field(CK_UTF8CHAR (&bytes)[N]) {
    return std::span<CK_UTF8CHAR>(bytes, N);
}

veltora::Result<void> checkInitializeArguments(const CK_C_INITIALIZE_ARGS* arguments) {
    if (arguments == nullptr) {
        return {};
    }
    if (arguments->pReserved != nullptr) {
        return ckError(CKR_ARGUMENTS_BAD, "pReserved of the initialisation arguments must be NULL");
    }
    const int given = (arguments->CreateMutex != nullptr) + (arguments->DestroyMutex != nullptr) +
                      (arguments->LockMutex != nullptr) + (arguments->UnlockMutex != nullptr);
    if (given != 0 && given != 4) {
        return ckError(CKR_ARGUMENTS_BAD, "either all four mutex functions or none must be given");
    }
    // The module locks with the operating system's primitives whatever the
    // application passes. CKF_LIBRARY_CANT_CREATE_OS_THREADS is accepted too:
    // GnuTLS sets it, yet the service client and the log facility need threads.
    return {};
}

} // namespace

Module& Module::instance() {
    // Never destroyed, so that application threads still calling while the process
    // exits find it intact; C_Finalize empties it, so an unloaded module leaves nothing.
    alignas(Module) static unsigned char storage[sizeof(Module)];
    static Module* const module = new (storage) Module;
    return *module;
}

Module::Module() {
    veltora::installForkHandlers(veltora::ForkStage::pkcs11Module,
                                 {[] { instance().mutex_.lock(); }, [] { instance().mutex_.unlock(); },
                                  [] {
                                      // Marked here rather than by comparing process IDs on every call:
                                      // a system call each, dear on some machines.
                                      Module& module = instance();
                                      if (module.state_) {
                                          module.state_->inheritedByFork = true;
                                      }
                                      module.mutex_.unlock();
                                  }});
}

veltora::Result<Module::State*> Module::current() const {
    if (!state_ || state_->inheritedByFork) {
        return ckError(CKR_CRYPTOKI_NOT_INITIALIZED, "C_Initialize has not been called in this process");
    }
    return state_.get();
}

veltora::Result<void> Module::checkInitialized() const {
    std::lock_guard lock(mutex_);
    VELTORA_RETURN_IF_ERROR(current());
    return {};
}

veltora::Result<void> Module::initialize(const CK_C_INITIALIZE_ARGS* arguments) {
    VELTORA_RETURN_IF_ERROR(checkInitializeArguments(arguments));
    setupModuleLogging();
    std::unique_ptr<State> inherited;
    std::lock_guard lock(mutex_);
    if (current()) {
        return ckError(CKR_CRYPTOKI_ALREADY_INITIALIZED, "C_Initialize was already called");
    }
    // The parent's sessions mean nothing in a child after fork.
    inherited = std::move(state_);
    auto state = std::make_unique<State>(std::make_shared<TokenDriver>());
    state->slots.refresh();
    state_ = std::move(state);
    return {};
}

veltora::Result<void> Module::finalize() {
    std::unique_ptr<State> ending;
    {
        std::lock_guard lock(mutex_);
        VELTORA_RETURN_IF_ERROR(current());
        ending = std::move(state_);
    }
    for (const auto& [handle, session] : ending->sessions) {
        session->tokenSession()->token()->terminateSession(*session->tokenSession());
    }
    ending.reset();
    TokenStore::forgetKeptReads();
    flushModuleLog();
    return {};
}

veltora::Result<CK_INFO> Module::info() const {
    std::lock_guard lock(mutex_);
    VELTORA_RETURN_IF_ERROR(current());
    CK_INFO info{};
    info.cryptokiVersion = CK_VERSION{2, 40};
    fillBlankPadded(field(info.manufacturerID), kManufacturer);
    info.flags = 0;
    fillBlankPadded(field(info.libraryDescription), "Quillet signing with Veltora");
    info.libraryVersion = libraryVersion();
    return info;
}

veltora::Result<std::vector<CK_SLOT_ID>> Module::slotList(bool tokenPresent) {
    std::lock_guard lock(mutex_);
    VELTORA_ASSIGN_OR_RETURN(State* const state, current());
    state->slots.refresh();
    std::vector<CK_SLOT_ID> slots;
    for (const SlotState& slot : state->slots.snapshot()->slots()) {
        if (!tokenPresent || slot.token) {
            slots.push_back(slot.slotID);
        }
    }
    return slots;
}

veltora::Result<CK_SLOT_INFO> Module::slotInfo(CK_SLOT_ID slotID) const {
    std::lock_guard lock(mutex_);
    VELTORA_ASSIGN_OR_RETURN(const SlotState slot, knownSlot(slotID));
    CK_SLOT_INFO info{};
    fillBlankPadded(field(info.slotDescription), "Veltora signing policy " + std::to_string(slotID));
    fillBlankPadded(field(info.manufacturerID), kManufacturer);
    // Registrations come and go like removable tokens.
    info.flags = CKF_REMOVABLE_DEVICE | (slot.token ? CKF_TOKEN_PRESENT : 0);
    info.hardwareVersion = libraryVersion();
    info.firmwareVersion = libraryVersion();
    return info;
}

veltora::Result<SlotState> Module::knownSlot(CK_SLOT_ID slotID) const {
    VELTORA_ASSIGN_OR_RETURN(const State* const state, current());
    const SlotState* slot = state->slots.snapshot()->slot(slotID);
    if (slot == nullptr) {
        return ckError(CKR_SLOT_ID_INVALID, "no slot " + std::to_string(slotID));
    }
    return *slot;
}

veltora::Result<std::shared_ptr<const TokenEntry>> Module::presentToken(CK_SLOT_ID slotID) const {
    VELTORA_ASSIGN_OR_RETURN(SlotState slot, knownSlot(slotID));
    if (!slot.token) {
        return ckError(CKR_TOKEN_NOT_PRESENT,
                       "the registration of slot " + std::to_string(slotID) + " is gone");
    }
    return std::move(slot.token);
}

veltora::Result<CK_TOKEN_INFO> Module::tokenInfo(CK_SLOT_ID slotID) const {
    std::lock_guard lock(mutex_);
    VELTORA_ASSIGN_OR_RETURN(const auto token, presentToken(slotID));
    CK_ULONG sessions = 0;
    CK_ULONG readWriteSessions = 0;
    for (const auto& [handle, session] : state_->sessions) {
        if (session->slotID() == slotID) {
            ++sessions;
            readWriteSessions += (session->flags() & CKF_RW_SESSION) != 0 ? 1 : 0;
        }
    }
    CK_TOKEN_INFO info{};
    fillBlankPadded(field(info.label), token->label());
    fillBlankPadded(field(info.manufacturerID), kManufacturer);
    fillBlankPadded(field(info.model), "Quillet");
    std::memcpy(info.serialNumber, token->serial().data(),
                std::min(sizeof info.serialNumber, token->serial().size()));
    // No PIN: CKF_LOGIN_REQUIRED stays off, or scripts would be asked for one.
    info.flags = CKF_TOKEN_INITIALIZED | CKF_RNG;
    info.ulMaxSessionCount = CK_EFFECTIVELY_INFINITE;
    info.ulSessionCount = sessions;
    info.ulMaxRwSessionCount = CK_EFFECTIVELY_INFINITE;
    info.ulRwSessionCount = readWriteSessions;
    info.ulMaxPinLen = 0;
    info.ulMinPinLen = 0;
    info.ulTotalPublicMemory = CK_UNAVAILABLE_INFORMATION;
    info.ulFreePublicMemory = CK_UNAVAILABLE_INFORMATION;
    info.ulTotalPrivateMemory = CK_UNAVAILABLE_INFORMATION;
    info.ulFreePrivateMemory = CK_UNAVAILABLE_INFORMATION;
    info.hardwareVersion = libraryVersion();
    info.firmwareVersion = libraryVersion();
    std::memset(info.utcTime, ' ', sizeof info.utcTime);
    return info;
}

veltora::Result<std::vector<CK_MECHANISM_TYPE>> Module::mechanismList(CK_SLOT_ID slotID) const {
    std::lock_guard lock(mutex_);
    VELTORA_RETURN_IF_ERROR(presentToken(slotID));
    const auto mechanisms = supportedMechanisms();
    return std::vector<CK_MECHANISM_TYPE>(mechanisms.begin(), mechanisms.end());
}

veltora::Result<CK_MECHANISM_INFO> Module::mechanismInfo(CK_SLOT_ID slotID, CK_MECHANISM_TYPE type) const {
    std::lock_guard lock(mutex_);
    VELTORA_ASSIGN_OR_RETURN(const auto token, presentToken(slotID));
    if (!isSupportedMechanism(type)) {
        return ckError(CKR_MECHANISM_INVALID, "mechanism " + hexText(type) + " is not offered");
    }
    const CK_ULONG bits = token->keySizeInBits();
    return CK_MECHANISM_INFO{bits, bits, mechanismFlags(type)};
}

veltora::Result<CK_SESSION_HANDLE> Module::openSession(CK_SLOT_ID slotID, CK_FLAGS flags) {
    if ((flags & CKF_SERIAL_SESSION) == 0) {
        return ckError(CKR_SESSION_PARALLEL_NOT_SUPPORTED, "sessions must be opened with CKF_SERIAL_SESSION");
    }
    std::lock_guard lock(mutex_);
    VELTORA_ASSIGN_OR_RETURN(auto token, presentToken(slotID));
    auto tokenSession = token->token()->createSession();
    auto session = std::make_shared<Pkcs11Session>(flags, std::move(token), std::move(tokenSession));
    const CK_SESSION_HANDLE handle = ++state_->lastHandle;
    state_->sessions.emplace(handle, std::move(session));
    return handle;
}

std::vector<std::shared_ptr<Pkcs11Session>>
Module::takeSessions(const std::function<bool(const Pkcs11Session&)>& which) {
    std::vector<std::shared_ptr<Pkcs11Session>> taken;
    std::erase_if(state_->sessions, [&](const auto& entry) {
        if (!which(*entry.second)) {
            return false;
        }
        taken.push_back(entry.second);
        return true;
    });
    return taken;
}

veltora::Result<void> Module::closeSession(CK_SESSION_HANDLE handle) {
    std::vector<std::shared_ptr<Pkcs11Session>> closing;
    {
        std::lock_guard lock(mutex_);
        VELTORA_ASSIGN_OR_RETURN(const auto session, findSession(handle));
        const Pkcs11Session* target = session.get();
        closing = takeSessions([target](const Pkcs11Session& candidate) { return &candidate == target; });
        const CK_SLOT_ID slotID = target->slotID();
        if (std::none_of(state_->sessions.begin(), state_->sessions.end(),
                         [slotID](const auto& entry) { return entry.second->slotID() == slotID; })) {
            state_->loggedIn.erase(slotID);
        }
    }
    for (const auto& session : closing) {
        session->tokenSession()->token()->terminateSession(*session->tokenSession());
    }
    return {};
}

veltora::Result<void> Module::closeAllSessions(CK_SLOT_ID slotID) {
    std::vector<std::shared_ptr<Pkcs11Session>> closing;
    {
        std::lock_guard lock(mutex_);
        VELTORA_RETURN_IF_ERROR(knownSlot(slotID));
        closing = takeSessions([slotID](const Pkcs11Session& session) { return session.slotID() == slotID; });
        state_->loggedIn.erase(slotID);
    }
    for (const auto& session : closing) {
        session->tokenSession()->token()->terminateSession(*session->tokenSession());
    }
    return {};
}

veltora::Result<std::shared_ptr<Pkcs11Session>> Module::findSession(CK_SESSION_HANDLE handle) const {
    VELTORA_ASSIGN_OR_RETURN(const State* const state, current());
    const auto found = state->sessions.find(handle);
    if (found == state->sessions.end()) {
        return ckError(CKR_SESSION_HANDLE_INVALID, "no open session " + std::to_string(handle));
    }
    return found->second;
}

veltora::Result<std::shared_ptr<Pkcs11Session>> Module::session(CK_SESSION_HANDLE handle) const {
    std::lock_guard lock(mutex_);
    return findSession(handle);
}

veltora::Result<CK_SESSION_INFO> Module::sessionInfo(CK_SESSION_HANDLE handle) const {
    std::lock_guard lock(mutex_);
    VELTORA_ASSIGN_OR_RETURN(const auto session, findSession(handle));
    const Pkcs11Session& found = *session;
    const bool readWrite = (found.flags() & CKF_RW_SESSION) != 0;
    const bool user = state_->loggedIn.contains(found.slotID());
    CK_SESSION_INFO info{};
    info.slotID = found.slotID();
    info.state = user ? (readWrite ? CKS_RW_USER_FUNCTIONS : CKS_RO_USER_FUNCTIONS)
                      : (readWrite ? CKS_RW_PUBLIC_SESSION : CKS_RO_PUBLIC_SESSION);
    info.flags = found.flags() & (CKF_SERIAL_SESSION | CKF_RW_SESSION);
    info.ulDeviceError = 0;
    return info;
}

veltora::Result<void> Module::login(CK_SESSION_HANDLE handle, CK_USER_TYPE userType) {
    if (userType != CKU_USER && userType != CKU_SO && userType != CKU_CONTEXT_SPECIFIC) {
        return ckError(CKR_USER_TYPE_INVALID, "unknown user type " + std::to_string(userType));
    }
    std::shared_ptr<Pkcs11Session> session;
    {
        std::lock_guard lock(mutex_);
        VELTORA_ASSIGN_OR_RETURN(session, findSession(handle));
        // No PIN protects the keys: every login succeeds and is remembered per token.
        state_->loggedIn.insert(session->slotID());
    }
    (void)session->tokenSession()->beginAuthFor(TKTokenOperationSignData, {});
    return {};
}

veltora::Result<void> Module::logout(CK_SESSION_HANDLE handle) {
    std::lock_guard lock(mutex_);
    VELTORA_ASSIGN_OR_RETURN(const auto session, findSession(handle));
    if (state_->loggedIn.erase(session->slotID()) == 0) {
        return ckError(CKR_USER_NOT_LOGGED_IN, "C_Logout without C_Login");
    }
    return {};
}

} // namespace quillet
