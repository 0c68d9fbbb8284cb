#pragma once

#include <cstddef>
#include <string>

namespace est {

// libplist's binary reader recurses once per nesting level and copies every shared
// container at each reference, so a small hostile file can overflow the stack or expand
// without bound. This walk (iterative, linear in the file) accepts only files whose object
// graph is a well-formed DAG nested at most `maxDepth` deep and whose expansion stays within a
// small multiple of the file size; only then is the file handed to the library.
bool binaryPlistIsBounded(const void* bytes, std::size_t length, unsigned maxDepth,
                          std::string* why = nullptr);

}  // namespace est
