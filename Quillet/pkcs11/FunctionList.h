#pragma once

#include "Quillet/pkcs11/cryptoki/Cryptoki.h"

namespace quillet {

// The module's function list (version 2.40), every entry filled.
CK_FUNCTION_LIST* functionList();

} // namespace quillet
