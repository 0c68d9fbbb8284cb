#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/data.h"

namespace est {

// Text-encoding identifiers, numbered as the phone platform numbered them so that stored
// values keep their meaning. Character sets without a fixed number get one from
// 0x80000000 up, on first lookup.
using StringEncoding = std::uint64_t;
inline constexpr StringEncoding ASCIIStringEncoding = 1;
inline constexpr StringEncoding JapaneseEUCStringEncoding = 3;
inline constexpr StringEncoding UTF8StringEncoding = 4;
inline constexpr StringEncoding ISOLatin1StringEncoding = 5;
inline constexpr StringEncoding ShiftJISStringEncoding = 8;
inline constexpr StringEncoding ISOLatin2StringEncoding = 9;
inline constexpr StringEncoding UnicodeStringEncoding = 10;  // UTF-16 with byte-order mark
inline constexpr StringEncoding WindowsCP1251StringEncoding = 11;
inline constexpr StringEncoding WindowsCP1252StringEncoding = 12;
inline constexpr StringEncoding WindowsCP1253StringEncoding = 13;
inline constexpr StringEncoding WindowsCP1254StringEncoding = 14;
inline constexpr StringEncoding WindowsCP1250StringEncoding = 15;
inline constexpr StringEncoding ISO2022JPStringEncoding = 21;
inline constexpr StringEncoding MacOSRomanStringEncoding = 30;
inline constexpr StringEncoding UTF16BigEndianStringEncoding = 0x90000100;
inline constexpr StringEncoding UTF16LittleEndianStringEncoding = 0x94000100;
inline constexpr StringEncoding UTF32StringEncoding = 0x8c000100;
inline constexpr StringEncoding UTF32BigEndianStringEncoding = 0x98000100;
inline constexpr StringEncoding UTF32LittleEndianStringEncoding = 0x9c000100;

// The encoding for an IANA character-set name (case ignored), or nothing when the name is
// unknown to the system's converter. Names are taken as they stand: quotes or blanks around
// them make them unknown.
std::optional<StringEncoding> encodingForIANACharsetName(std::string_view name);
// The IANA name of an encoding ("utf-8", "iso-8859-1", ...), or nothing when unknown.
std::optional<std::string> ianaCharsetNameForEncoding(StringEncoding encoding);

// Decodes `bytes` to UTF-8 text; nothing when they are not valid in the encoding.
std::optional<std::string> decodeString(const std::uint8_t* bytes, size_t length,
                                        StringEncoding encoding);
inline std::optional<std::string> decodeString(const Data& bytes, StringEncoding encoding) {
  return decodeString(bytes.data(), bytes.size(), encoding);
}
// Encodes UTF-8 text; nothing when a character has no form in the encoding.
std::optional<Data> encodeString(std::string_view utf8, StringEncoding encoding);

bool isValidUTF8(const std::uint8_t* bytes, size_t length);

}  // namespace est
