#pragma once

#include "Quillet/platform/FileStamp.h"
#include "Quillet/platform/TKTokenConfiguration.h"

#include <optional>
#include <string>

namespace quillet {

// Decoding a registration (its JSON, its Base64 and above all its certificate)
// costs far more than reading the file, and the slot list and every signature
// read the store again. A decoded registration depends on nothing but the
// file's bytes and its directory, so the ones decoded are kept for the life of
// the process by file path, a bounded number of them (the oldest go first),
// with the file's text and status. A file whose status proves it unchanged is
// not read again; one whose status cannot prove it is read, and decoded again
// only when its text changed.
class RegistrationCache {
public:
    // The kept registration of the file, when its status proves it unchanged.
    static std::optional<TKTokenConfiguration> findUnchanged(const std::string& path, const FileStamp& stamp);
    // The kept registration of the file, when it held this text; then remembers
    // the status too, which was taken before `readStart`.
    static std::optional<TKTokenConfiguration> find(const std::string& path, const std::string& fileText,
                                                    const FileStamp& stamp, const timespec& readStart);
    static void keep(const std::string& path, const std::string& fileText, const FileStamp& stamp,
                     const timespec& readStart, const TKTokenConfiguration& decoded);
    // Drops every kept registration (when the module is finalised).
    static void forgetAll();
};

} // namespace quillet
