#pragma once

#include "Quillet/TokenSession.h"
#include "Quillet/pkcs11/Cryptoki.h"
#include "Quillet/pkcs11/SignatureBuffer.h"
#include "Quillet/pkcs11/Signer.h"
#include "Quillet/pkcs11/TokenEntry.h"
#include "VeltoraCryptoTokenKit/Result.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

namespace quillet {

// One application session on one token: at most one search and one signing
// operation at a time, held under the session's own lock. The lock is never
// held while the service is asked for a signature.
class Pkcs11Session {
public:
    Pkcs11Session(CK_FLAGS flags, std::shared_ptr<const TokenEntry> token,
                  std::shared_ptr<TokenSession> tokenSession);

    CK_SLOT_ID slotID() const { return token_->slotID(); }
    CK_FLAGS flags() const { return flags_; }
    const std::shared_ptr<TokenSession>& tokenSession() const { return tokenSession_; }

    veltora::Result<void> getAttributeValue(CK_OBJECT_HANDLE object,
                                            std::span<CK_ATTRIBUTE> attributes) const;
    veltora::Result<CK_ULONG> objectSize(CK_OBJECT_HANDLE object) const;

    veltora::Result<void> findObjectsInit(std::span<const CK_ATTRIBUTE> search);
    veltora::Result<std::vector<CK_OBJECT_HANDLE>> findObjects(std::size_t maxCount);
    veltora::Result<void> findObjectsFinal();

    veltora::Result<void> signInit(const CK_MECHANISM& mechanism, CK_OBJECT_HANDLE key);
    // Ends the operation unless it answers the length or CKR_BUFFER_TOO_SMALL.
    veltora::Result<void> sign(std::span<const std::uint8_t> data, SignatureBuffer& signature);
    // Ends the operation when it fails.
    veltora::Result<void> signUpdate(std::span<const std::uint8_t> part);
    // Ends the operation unless it answers the length or CKR_BUFFER_TOO_SMALL.
    veltora::Result<void> signFinal(SignatureBuffer& signature);

private:
    enum class SignStep { single, final };

    using SignResult = veltora::Result<std::vector<std::uint8_t>>;

    // Checks the state and the buffer; true when the call is complete without signing.
    veltora::Result<bool> answerWithoutSigning(SignStep step, SignatureBuffer& signature);
    // Runs the signer's step (which may wait for the service) with the lock
    // released, ends the operation, and copies the signature out.
    veltora::Result<void> signWithoutLock(const std::function<SignResult()>& step,
                                          SignatureBuffer& signature);
    void endSigning();

    CK_FLAGS flags_;
    std::shared_ptr<const TokenEntry> token_;
    std::shared_ptr<TokenSession> tokenSession_;

    std::mutex mutex_; // guards everything below
    std::optional<std::vector<CK_OBJECT_HANDLE>> found_;
    std::unique_ptr<Signer> signer_;
    bool partsTaken_ = false;
    bool signerBusy_ = false; // a call on another thread is using signer_ without the lock
};

} // namespace quillet
