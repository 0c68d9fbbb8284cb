#pragma once

#include <cstdarg>
#include <string>

namespace est {

// printf-style formatting into a std::string (the toolchain has no std::format yet).
std::string strprintf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string vstrprintf(const char* fmt, va_list args);

}  // namespace est
