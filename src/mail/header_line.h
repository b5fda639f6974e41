// The size of one physical header line as the program reads it, shared by
// the mail intake and by orvelt-db, which refuses bad-header keys that no
// line could ever match.
#pragma once

#include <cstddef>

// One header line holds at most this many bytes, as fgets into a buffer of
// 2099 bytes would give them; a longer line arrives in several parts.
inline constexpr size_t kMaxHeaderLineBytes = 2098;
