// Internal to the Quorvel library; not part of its API.
#pragma once

#include <system_error>

namespace Quorvel::detail {

// The one place where errno becomes an error object: a std::system_error for
// the failed operation What, carrying the errno value at the time of the call.
[[noreturn]] void RaiseLastSystemError(const char* What);

} // namespace Quorvel::detail
