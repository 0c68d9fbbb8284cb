#pragma once

// Where a downloaded body finally goes. The body is gathered in a work file first; only a
// complete body reaches the destination, and whatever stands there is written, never
// destroyed: a regular file (or nothing) is replaced atomically, a symbolic link is
// followed, and anything else (a device such as /dev/null, a FIFO) takes the bytes in place.

#include <optional>
#include <string>

#include "platform/error.h"

namespace est {

// Puts the work file `from` at `destination` and removes the work file. Fails with the code
// 8 "Failed to move file from '%@' to '%@'" error.
std::optional<Error> placeDownloadedFile(const std::string& from, const std::string& destination);

// Copies `from` (a file that stays, such as a cached body) to `destination` by the same rules.
std::optional<Error> copyToDestination(const std::string& from, const std::string& destination);

}  // namespace est
