// Whether this build runs under AddressSanitizer: the programs it builds then
// keep freed memory in quarantine and cannot run under valgrind, so tests of
// memory use skip themselves.
#pragma once

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif
#else
inline constexpr bool kSanitized = false;
#endif
