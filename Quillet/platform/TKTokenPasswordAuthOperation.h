#pragma once

namespace quillet {

// The authentication a key operation needs; the tokens need no PIN, so it is never configured.
class TKTokenPasswordAuthOperation {};

} // namespace quillet
