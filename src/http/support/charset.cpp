#include "http/support/charset.h"

#include <errno.h>
#include <iconv.h>

#include <mutex>
#include <vector>

#include "http/header_map.h"

namespace est {
namespace {

struct Known {
  StringEncoding encoding;
  const char* iana;     // name given back for the encoding
  const char* iconv;    // converter name
  const char* aliases;  // more IANA names, separated by '|'
};

constexpr Known kKnown[] = {
    {ASCIIStringEncoding, "us-ascii", "ASCII", "ascii|us|iso646-us|ansi_x3.4-1968|cp367"},
    {JapaneseEUCStringEncoding, "euc-jp", "EUC-JP", "eucjp"},
    {UTF8StringEncoding, "utf-8", "UTF-8", "utf8"},
    {ISOLatin1StringEncoding, "iso-8859-1", "ISO-8859-1",
     "iso_8859-1|latin1|l1|iso-ir-100|cp819|ibm819|iso_8859-1:1987"},
    {ShiftJISStringEncoding, "shift_jis", "SHIFT_JIS", "sjis|ms_kanji|csshiftjis"},
    {ISOLatin2StringEncoding, "iso-8859-2", "ISO-8859-2", "iso_8859-2|latin2|l2|iso-ir-101"},
    {UnicodeStringEncoding, "utf-16", "UTF-16", ""},
    {WindowsCP1251StringEncoding, "windows-1251", "CP1251", "cp1251"},
    {WindowsCP1252StringEncoding, "windows-1252", "CP1252", "cp1252"},
    {WindowsCP1253StringEncoding, "windows-1253", "CP1253", "cp1253"},
    {WindowsCP1254StringEncoding, "windows-1254", "CP1254", "cp1254"},
    {WindowsCP1250StringEncoding, "windows-1250", "CP1250", "cp1250"},
    {ISO2022JPStringEncoding, "iso-2022-jp", "ISO-2022-JP", ""},
    {MacOSRomanStringEncoding, "macintosh", "MACINTOSH", "mac|csmacintosh"},
    {UTF16BigEndianStringEncoding, "utf-16be", "UTF-16BE", ""},
    {UTF16LittleEndianStringEncoding, "utf-16le", "UTF-16LE", ""},
    {UTF32StringEncoding, "utf-32", "UTF-32", ""},
    {UTF32BigEndianStringEncoding, "utf-32be", "UTF-32BE", ""},
    {UTF32LittleEndianStringEncoding, "utf-32le", "UTF-32LE", ""},
};

constexpr StringEncoding kDynamicBase = 0x80000000u;

// Character sets found through the converter, numbered in order of first lookup.
struct DynamicTable {
  std::mutex mutex;
  std::vector<std::string> names;  // lower-case IANA name; id = base + index
};
DynamicTable& dynamicTable() {
  static auto* table = new DynamicTable;  // lives for the process, used from any thread
  return *table;
}

bool hasAlias(const char* aliases, std::string_view lower) {
  std::string_view rest(aliases);
  while (!rest.empty()) {
    auto bar = rest.find('|');
    if (rest.substr(0, bar) == lower) return true;
    if (bar == std::string_view::npos) break;
    rest.remove_prefix(bar + 1);
  }
  return false;
}

// Charset names are tokens; anything else (quotes, blanks, "//" converter options) is refused
// before the converter sees it.
bool plausibleName(std::string_view name) {
  if (name.empty() || name.size() > 40) return false;
  for (unsigned char c : name) {
    if (!(std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == ':' || c == '+' || c == '(' ||
          c == ')'))
      return false;
  }
  return true;
}

const Known* knownFor(StringEncoding e) {
  for (auto& k : kKnown)
    if (k.encoding == e) return &k;
  return nullptr;
}

std::optional<std::string> converterName(StringEncoding e) {
  if (auto* k = knownFor(e)) return std::string(k->iconv);
  if (e >= kDynamicBase) {
    auto& t = dynamicTable();
    std::lock_guard lock(t.mutex);
    size_t i = static_cast<size_t>(e - kDynamicBase);
    if (i < t.names.size()) return t.names[i];
  }
  return std::nullopt;
}

std::optional<std::string> convert(const char* from, const char* to, const char* in,
                                   size_t length) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::string out;
  out.resize(length * 4 + 16);
  char* inp = const_cast<char*>(in);
  size_t inLeft = length;
  size_t written = 0;
  bool ok = true;
  while (inLeft > 0) {
    char* outp = out.data() + written;
    size_t outLeft = out.size() - written;
    size_t r = iconv(cd, &inp, &inLeft, &outp, &outLeft);
    written = out.size() - outLeft;
    if (r == static_cast<size_t>(-1)) {
      if (errno == E2BIG) {
        out.resize(out.size() * 2);
        continue;
      }
      ok = false;  // EILSEQ or a truncated sequence (EINVAL)
      break;
    }
  }
  if (ok) {
    // Flush any shift state (ISO-2022-JP and the like).
    char* outp = out.data() + written;
    size_t outLeft = out.size() - written;
    if (iconv(cd, nullptr, nullptr, &outp, &outLeft) == static_cast<size_t>(-1)) ok = false;
    written = out.size() - outLeft;
  }
  iconv_close(cd);
  if (!ok) return std::nullopt;
  out.resize(written);
  return out;
}

}  // namespace

bool isValidUTF8(const std::uint8_t* s, size_t n) {
  size_t i = 0;
  while (i < n) {
    std::uint8_t c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t len;
    std::uint32_t cp;
    if ((c & 0xE0) == 0xC0) {
      len = 2;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + len > n) return false;
    for (size_t k = 1; k < len; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) ||
        cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += len;
  }
  return true;
}

std::optional<StringEncoding> encodingForIANACharsetName(std::string_view name) {
  if (!plausibleName(name)) return std::nullopt;
  std::string lower = toLower(name);
  for (auto& k : kKnown)
    if (lower == k.iana || hasAlias(k.aliases, lower)) return k.encoding;
  auto& t = dynamicTable();
  std::lock_guard lock(t.mutex);
  for (size_t i = 0; i < t.names.size(); ++i)
    if (t.names[i] == lower) return kDynamicBase + i;
  iconv_t cd = iconv_open("UTF-8", lower.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  iconv_close(cd);
  // The table only grows with names the converter accepts; cap it against hostile servers.
  if (t.names.size() >= 4096) return std::nullopt;
  t.names.push_back(lower);
  return kDynamicBase + (t.names.size() - 1);
}

std::optional<std::string> ianaCharsetNameForEncoding(StringEncoding encoding) {
  if (auto* k = knownFor(encoding)) return std::string(k->iana);
  if (encoding >= kDynamicBase) return converterName(encoding);
  return std::nullopt;
}

std::optional<std::string> decodeString(const std::uint8_t* bytes, size_t length,
                                        StringEncoding encoding) {
  const char* in = reinterpret_cast<const char*>(bytes);
  switch (encoding) {
    case UTF8StringEncoding:
      if (!isValidUTF8(bytes, length)) return std::nullopt;
      return std::string(in, length);
    case ASCIIStringEncoding:
      for (size_t i = 0; i < length; ++i)
        if (bytes[i] >= 0x80) return std::nullopt;
      return std::string(in, length);
    case ISOLatin1StringEncoding: {
      std::string out;
      out.reserve(length + length / 4);
      for (size_t i = 0; i < length; ++i) {
        std::uint8_t c = bytes[i];
        if (c < 0x80) {
          out += static_cast<char>(c);
        } else {
          out += static_cast<char>(0xC0 | (c >> 6));
          out += static_cast<char>(0x80 | (c & 0x3F));
        }
      }
      return out;
    }
    default:
      break;
  }
  auto from = converterName(encoding);
  if (!from) return std::nullopt;
  return convert(from->c_str(), "UTF-8", in, length);
}

std::optional<Data> encodeString(std::string_view utf8, StringEncoding encoding) {
  if (!isValidUTF8(reinterpret_cast<const std::uint8_t*>(utf8.data()), utf8.size()))
    return std::nullopt;
  if (encoding == UTF8StringEncoding) return toData(utf8);
  auto to = converterName(encoding);
  if (!to) return std::nullopt;
  auto out = convert("UTF-8", to->c_str(), utf8.data(), utf8.size());
  if (!out) return std::nullopt;
  return toData(*out);
}

}  // namespace est
