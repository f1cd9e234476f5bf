#pragma once

#include "Quillet/pkcs11/cryptoki/Cryptoki.h"

#include <dlfcn.h>

#include <stdexcept>

namespace veltora::bench {

// The built module, loaded as applications load it, once per process.
inline CK_FUNCTION_LIST* moduleFunctions() {
    static CK_FUNCTION_LIST* const functions = [] {
        void* module = dlopen(VELTORA_BINARY_DIR "/lib/quillet-pkcs11.so", RTLD_NOW | RTLD_LOCAL);
        const auto getFunctionList =
            module != nullptr ? reinterpret_cast<CK_C_GetFunctionList>(dlsym(module, "C_GetFunctionList"))
                              : nullptr;
        CK_FUNCTION_LIST* list = nullptr;
        if (getFunctionList == nullptr || getFunctionList(&list) != CKR_OK) {
            throw std::runtime_error("cannot load the module");
        }
        return list;
    }();
    return functions;
}

} // namespace veltora::bench
