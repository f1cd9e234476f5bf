// The shared object's one required entry point; the rest of the C surface is
// reached through the function list it hands out.

#include "Quillet/pkcs11/FunctionList.h"

extern "C" CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR ppFunctionList) {
    return quillet::functionList()->C_GetFunctionList(ppFunctionList);
}
