#include "Quillet/pkcs11/Pkcs11Session.h"

#include "Quillet/pkcs11/cryptoki/CkError.h"
#include "Quillet/pkcs11/objects/ObjectHandles.h"
#include "Quillet/pkcs11/operation/Mechanisms.h"
#include "Quillet/pkcs11/operation/RsaPkcsEncryption.h"

#include <array>
#include <cstring>

namespace quillet {

namespace {

constexpr std::array<ObjectKind, 3> kObjectOrder{ObjectKind::certificate, ObjectKind::privateKey,
                                                 ObjectKind::publicKey};

} // namespace

Pkcs11Session::Pkcs11Session(CK_FLAGS flags, std::shared_ptr<const TokenEntry> token,
                             std::shared_ptr<TokenSession> tokenSession)
    : flags_(flags), token_(std::move(token)), tokenSession_(std::move(tokenSession)) {}

veltora::Result<void> Pkcs11Session::getAttributeValue(CK_OBJECT_HANDLE object,
                                                       std::span<CK_ATTRIBUTE> attributes) const {
    const auto kind = objectKindOf(object, slotID());
    if (!kind) {
        return ckError(CKR_OBJECT_HANDLE_INVALID,
                       "no object " + hexText(object) + " on this session's token");
    }
    return token_->attributes(*kind).read(attributes);
}

veltora::Result<CK_ULONG> Pkcs11Session::objectSize(CK_OBJECT_HANDLE object) const {
    const auto kind = objectKindOf(object, slotID());
    if (!kind) {
        return ckError(CKR_OBJECT_HANDLE_INVALID,
                       "no object " + hexText(object) + " on this session's token");
    }
    return static_cast<CK_ULONG>(token_->attributes(*kind).size());
}

veltora::Result<void> Pkcs11Session::findObjectsInit(std::span<const CK_ATTRIBUTE> search) {
    std::lock_guard lock(mutex_);
    if (found_) {
        return ckError(CKR_OPERATION_ACTIVE, "a search is already active on this session");
    }
    std::vector<CK_OBJECT_HANDLE> found;
    for (ObjectKind kind : kObjectOrder) {
        if (token_->attributes(kind).matches(search)) {
            found.push_back(objectHandle(slotID(), kind));
        }
    }
    found_ = std::move(found);
    return {};
}

veltora::Result<std::vector<CK_OBJECT_HANDLE>> Pkcs11Session::findObjects(std::size_t maxCount) {
    std::lock_guard lock(mutex_);
    if (!found_) {
        return ckError(CKR_OPERATION_NOT_INITIALIZED, "no search is active on this session");
    }
    const std::size_t count = std::min(maxCount, found_->size());
    std::vector<CK_OBJECT_HANDLE> handles(found_->begin(),
                                          found_->begin() + static_cast<std::ptrdiff_t>(count));
    found_->erase(found_->begin(), found_->begin() + static_cast<std::ptrdiff_t>(count));
    return handles;
}

veltora::Result<void> Pkcs11Session::findObjectsFinal() {
    std::lock_guard lock(mutex_);
    if (!found_) {
        return ckError(CKR_OPERATION_NOT_INITIALIZED, "no search is active on this session");
    }
    found_.reset();
    return {};
}

veltora::Result<void> Pkcs11Session::signInit(const CK_MECHANISM& mechanism, CK_OBJECT_HANDLE key) {
    std::lock_guard lock(mutex_);
    if (signer_) {
        return ckError(CKR_OPERATION_ACTIVE, "a signing operation is already active on this session");
    }
    VELTORA_ASSIGN_OR_RETURN(const ObjectKind kind, keyKind(key));
    if (kind != ObjectKind::privateKey) {
        return ckError(CKR_KEY_FUNCTION_NOT_PERMITTED, "only the private key signs");
    }
    const CK_MECHANISM_TYPE type = mechanism.mechanism;
    if (!isSupportedMechanism(type) ||
        !tokenSession_->supports(TKTokenOperationSignData, token_->instanceID(),
                                 TKTokenKeyAlgorithm(std::string(signingAlgorithmFor(type).constant)))) {
        return ckError(CKR_MECHANISM_INVALID, "mechanism " + hexText(type) + " is not offered");
    }
    if (mechanism.pParameter != nullptr || mechanism.ulParameterLen != 0) {
        return ckError(CKR_MECHANISM_PARAM_INVALID, "the signing mechanisms take no parameter");
    }
    VELTORA_ASSIGN_OR_RETURN(
        signer_, makeSigner(type, SigningKey(tokenSession_, token_->instanceID(), token_->keyItem())));
    partsTaken_ = false;
    return {};
}

veltora::Result<bool> Pkcs11Session::answerWithoutSigning(SignStep step, SignatureBuffer& signature) {
    std::lock_guard lock(mutex_);
    if (!signer_) {
        return ckError(CKR_OPERATION_NOT_INITIALIZED, "no signing operation is active on this session");
    }
    if (signerBusy_) {
        return ckError(CKR_OPERATION_ACTIVE, "another call is signing on this session");
    }
    if (step == SignStep::single && partsTaken_) {
        signer_.reset();
        return ckError(CKR_OPERATION_ACTIVE, "C_Sign cannot finish a multi-part operation; it was ended");
    }
    const std::size_t required = token_->signatureLength();
    if (signature.bytes == nullptr) {
        signature.length = required;
        return true;
    }
    if (signature.length < required) {
        signature.length = required;
        return ckError(CKR_BUFFER_TOO_SMALL, "the signature needs " + std::to_string(required) + " bytes");
    }
    signerBusy_ = true;
    return false;
}

void Pkcs11Session::endSigning() {
    std::lock_guard lock(mutex_);
    signer_.reset();
    signerBusy_ = false;
    partsTaken_ = false;
}

veltora::Result<void> Pkcs11Session::signWithoutLock(const std::function<SignResult()>& step,
                                                     SignatureBuffer& signature) {
    std::optional<SignResult> signed_;
    try {
        signed_.emplace(step());
    } catch (...) {
        endSigning();
        throw;
    }
    endSigning();
    VELTORA_ASSIGN_OR_RETURN(const auto bytes, std::move(*signed_));
    if (bytes.size() > signature.length) {
        return ckError(CKR_DEVICE_ERROR, "the signature is longer than the key");
    }
    std::memcpy(signature.bytes, bytes.data(), bytes.size());
    signature.length = bytes.size();
    return {};
}

veltora::Result<void> Pkcs11Session::sign(std::span<const std::uint8_t> data, SignatureBuffer& signature) {
    VELTORA_ASSIGN_OR_RETURN(const bool answered, answerWithoutSigning(SignStep::single, signature));
    if (answered) {
        return {};
    }
    return signWithoutLock([&] { return signer_->sign(data); }, signature);
}

veltora::Result<void> Pkcs11Session::signUpdate(std::span<const std::uint8_t> part) {
    std::lock_guard lock(mutex_);
    if (!signer_) {
        return ckError(CKR_OPERATION_NOT_INITIALIZED, "no signing operation is active on this session");
    }
    if (signerBusy_) {
        return ckError(CKR_OPERATION_ACTIVE, "another call is signing on this session");
    }
    auto taken = signer_->update(part);
    if (!taken) {
        signer_.reset();
        return taken;
    }
    partsTaken_ = true;
    return {};
}

veltora::Result<void> Pkcs11Session::signFinal(SignatureBuffer& signature) {
    VELTORA_ASSIGN_OR_RETURN(const bool answered, answerWithoutSigning(SignStep::final, signature));
    if (answered) {
        return {};
    }
    return signWithoutLock([&] { return signer_->signFinal(); }, signature);
}

veltora::Result<ObjectKind> Pkcs11Session::keyKind(CK_OBJECT_HANDLE key) const {
    const auto kind = objectKindOf(key, slotID());
    if (!kind || *kind == ObjectKind::certificate) {
        return ckError(CKR_KEY_HANDLE_INVALID, "no key " + hexText(key) + " on this session's token");
    }
    return *kind;
}

veltora::Result<void> Pkcs11Session::checkPublicKey(CK_OBJECT_HANDLE key, const char* operation) const {
    VELTORA_ASSIGN_OR_RETURN(const ObjectKind kind, keyKind(key));
    if (kind != ObjectKind::publicKey) {
        return ckError(CKR_KEY_FUNCTION_NOT_PERMITTED, std::string("only the public key ") + operation);
    }
    return {};
}

namespace {

veltora::Result<void> checkNoParameter(const CK_MECHANISM& mechanism) {
    if (mechanism.pParameter != nullptr || mechanism.ulParameterLen != 0) {
        return ckError(CKR_MECHANISM_PARAM_INVALID, "the RSA PKCS #1 v1.5 mechanisms take no parameter");
    }
    return {};
}

} // namespace

veltora::Result<void> Pkcs11Session::verifyInit(const CK_MECHANISM& mechanism, CK_OBJECT_HANDLE key) {
    std::lock_guard lock(mutex_);
    if (verifier_) {
        return ckError(CKR_OPERATION_ACTIVE, "a verifying operation is already active on this session");
    }
    VELTORA_RETURN_IF_ERROR(checkPublicKey(key, "verifies"));
    VELTORA_RETURN_IF_ERROR(checkNoParameter(mechanism));
    VELTORA_ASSIGN_OR_RETURN(verifier_, SignatureVerifier::make(mechanism.mechanism, token_->keyItem()));
    return {};
}

veltora::Result<void> Pkcs11Session::verify(std::span<const std::uint8_t> data,
                                            std::span<const std::uint8_t> signature) {
    std::lock_guard lock(mutex_);
    if (!verifier_) {
        return ckError(CKR_OPERATION_NOT_INITIALIZED, "no verifying operation is active on this session");
    }
    const auto verifier = std::move(verifier_);
    return verifier->verify(data, signature);
}

veltora::Result<void> Pkcs11Session::verifyUpdate(std::span<const std::uint8_t> part) {
    std::lock_guard lock(mutex_);
    if (!verifier_) {
        return ckError(CKR_OPERATION_NOT_INITIALIZED, "no verifying operation is active on this session");
    }
    auto taken = verifier_->update(part);
    if (!taken) {
        verifier_.reset();
    }
    return taken;
}

veltora::Result<void> Pkcs11Session::verifyFinal(std::span<const std::uint8_t> signature) {
    std::lock_guard lock(mutex_);
    if (!verifier_) {
        return ckError(CKR_OPERATION_NOT_INITIALIZED, "no verifying operation is active on this session");
    }
    const auto verifier = std::move(verifier_);
    return verifier->verifyFinal(signature);
}

veltora::Result<void> Pkcs11Session::encryptInit(const CK_MECHANISM& mechanism, CK_OBJECT_HANDLE key) {
    std::lock_guard lock(mutex_);
    if (encrypting_) {
        return ckError(CKR_OPERATION_ACTIVE, "an encrypting operation is already active on this session");
    }
    VELTORA_RETURN_IF_ERROR(checkPublicKey(key, "encrypts"));
    if (mechanism.mechanism != CKM_RSA_PKCS) {
        return ckError(CKR_MECHANISM_INVALID,
                       "only CKM_RSA_PKCS encrypts, not " + hexText(mechanism.mechanism));
    }
    VELTORA_RETURN_IF_ERROR(checkNoParameter(mechanism));
    encrypting_ = true;
    return {};
}

veltora::Result<void> Pkcs11Session::encrypt(std::span<const std::uint8_t> data, SignatureBuffer& encrypted) {
    std::lock_guard lock(mutex_);
    if (!encrypting_) {
        return ckError(CKR_OPERATION_NOT_INITIALIZED, "no encrypting operation is active on this session");
    }
    const std::size_t required = token_->signatureLength();
    if (encrypted.bytes == nullptr) {
        encrypted.length = required;
        return {};
    }
    if (encrypted.length < required) {
        encrypted.length = required;
        return ckError(CKR_BUFFER_TOO_SMALL,
                       "the encrypted data needs " + std::to_string(required) + " bytes");
    }
    encrypting_ = false;
    VELTORA_ASSIGN_OR_RETURN(const auto done, encryptRsaPkcs(token_->keyItem(), data));
    std::memcpy(encrypted.bytes, done.data(), done.size());
    encrypted.length = done.size();
    return {};
}

veltora::Result<void> Pkcs11Session::decryptInit(CK_OBJECT_HANDLE key) const {
    VELTORA_RETURN_IF_ERROR(keyKind(key));
    return ckError(CKR_KEY_FUNCTION_NOT_PERMITTED, "no key of this token decrypts");
}

} // namespace quillet
