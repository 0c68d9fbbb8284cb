#include <cstring>

#include "json/codec.h"
#include "json/string_scan.h"
#include "platform/format.h"

namespace est {
namespace {

using Byte = unsigned char;

// For the helpers of the value paths that the compiler would call out of line. The scanners of
// numbers and strings go into the main loop too: called, they take the cursor through memory
// and back on every value.
#define EST_JSON_INLINE inline __attribute__((always_inline))

using json_scan::kHighs;

inline bool isDigit(Byte c) {
  return c >= '0' && c <= '9';
}

inline int hexValue(Byte c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
inline constexpr bool kWordDigits = true;
#else
inline constexpr bool kWordDigits = false;
#endif

inline constexpr std::uint64_t kScale[] = {1,      10,      100,      1000,     10000,
                                           100000, 1000000, 10000000, 100000000};

// How many of the eight bytes of `x`, first byte lowest, are digits before the first other one.
EST_JSON_INLINE unsigned leadingDigits(std::uint64_t x) {
  // High bit set in every byte outside '0'..'9' (above a flagged byte, carries may flag more).
  const std::uint64_t other = ((x + 0x4646464646464646ULL) | (x - 0x3030303030303030ULL)) & kHighs;
  return other ? static_cast<unsigned>(__builtin_ctzll(other)) / 8 : 8;
}

// The value of eight digit bytes, the first byte being the most significant digit: pairs, then
// quads, then all eight.
EST_JSON_INLINE std::uint64_t eightDigits(std::uint64_t x) {
  x = ((x & 0x0F0F0F0F0F0F0F0FULL) * 2561) >> 8;
  x = ((x & 0x00FF00FF00FF00FFULL) * 6553601) >> 16;
  return ((x & 0x0000FFFF0000FFFFULL) * 42949672960001ULL) >> 32;
}

// The value of the first n (0 to 7) bytes of `x`: moved to the top, the zero bytes below them
// stand for leading zeros (two shifts, so that n = 0 shifts everything out).
EST_JSON_INLINE std::uint64_t firstDigits(std::uint64_t x, unsigned n) {
  return eightDigits((x << (8 * (7 - n))) << 8);
}

// Adds the run of digits at `s` to `coefficient` and returns the byte after it. With sixteen
// bytes left both words are loaded and converted at once, which covers nearly every number;
// then eight bytes at a time while eight remain. Exact up to 19 digits in all; past that the
// sum wraps, and the caller starts over from the digit runs.
EST_JSON_INLINE const Byte* scanDigits(const Byte* s, const Byte* e, std::uint64_t& coefficient) {
  if constexpr (kWordDigits) {
    if (e - s >= 16) {
      std::uint64_t a, b;
      std::memcpy(&a, s, 8);
      std::memcpy(&b, s + 8, 8);
      const unsigned na = leadingDigits(a);
      if (na < 8) {
        coefficient = coefficient * kScale[na] + firstDigits(a, na);
        return s + na;
      }
      const unsigned nb = leadingDigits(b);
      coefficient = coefficient * kScale[8] + eightDigits(a);
      if (nb < 8) {
        coefficient = coefficient * kScale[nb] + firstDigits(b, nb);
        return s + 8 + nb;
      }
      coefficient = coefficient * kScale[8] + eightDigits(b);
      s += 16;
    }
    while (e - s >= 8) {
      std::uint64_t x;
      std::memcpy(&x, s, 8);
      const unsigned n = leadingDigits(x);
      if (n < 8) {
        coefficient = coefficient * kScale[n] + firstDigits(x, n);
        return s + n;
      }
      coefficient = coefficient * kScale[8] + eightDigits(x);
      s += 8;
    }
  }
  while (s < e && isDigit(*s)) {
    coefficient = coefficient * 10 + static_cast<std::uint64_t>(*s - '0');
    ++s;
  }
  return s;
}

// Well-formed UTF-8 only: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(const Byte* s, const Byte* e) {
  while (s < e) {
    if (e - s >= 8) {
      std::uint64_t x;
      std::memcpy(&x, s, 8);
      if ((x & kHighs) == 0) {
        s += 8;
        continue;
      }
    }
    const Byte c = *s;
    if (c < 0x80) {
      ++s;
      continue;
    }
    auto cont = [&](std::ptrdiff_t i) { return (s[i] & 0xC0) == 0x80; };
    if (c < 0xC2) return false;
    if (c < 0xE0) {
      if (e - s < 2 || !cont(1)) return false;
      s += 2;
    } else if (c < 0xF0) {
      if (e - s < 3 || !cont(1) || !cont(2)) return false;
      if (c == 0xE0 && s[1] < 0xA0) return false;
      if (c == 0xED && s[1] > 0x9F) return false;
      s += 3;
    } else if (c < 0xF5) {
      if (e - s < 4 || !cont(1) || !cont(2) || !cont(3)) return false;
      if (c == 0xF0 && s[1] < 0x90) return false;
      if (c == 0xF4 && s[1] > 0x8F) return false;
      s += 4;
    } else {
      return false;
    }
  }
  return true;
}

void appendUtf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// The scanner's scratch stacks. Pushing stays inline (std::vector's growth check keeps its
// push out of line in the scanner's loop), and a closing container takes its elements over as
// one block.
template <class T>
class ScratchStack {
 public:
  ScratchStack() = default;
  ScratchStack(const ScratchStack&) = delete;
  ScratchStack& operator=(const ScratchStack&) = delete;
  ~ScratchStack() {
    truncate(0);
    ::operator delete(data_);
  }

  T* data() noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  T& operator[](std::size_t i) noexcept { return data_[i]; }
  T& back() noexcept { return data_[size_ - 1]; }

  T& push() {
    if (size_ == capacity_) [[unlikely]]
      grow();
    return *new (data_ + size_++) T();
  }
  void pop() noexcept { data_[--size_].~T(); }
  void truncate(std::size_t n) noexcept {
    T* const first = data_ + n;
    for (T* last = data_ + size_; last > first;) (--last)->~T();
    if (size_ > n) size_ = n;
  }
  // Empties the stack, and gives its space back when it grew past `keep` elements.
  void reset(std::size_t keep) noexcept {
    truncate(0);
    if (capacity_ > keep) {
      ::operator delete(data_);
      data_ = nullptr;
      capacity_ = 0;
    }
  }

 private:
  void grow() {
    const std::size_t capacity = capacity_ ? 2 * capacity_ : 64;
    T* data = static_cast<T*>(::operator new(capacity * sizeof(T)));
    for (std::size_t i = 0; i < size_; ++i) {
      new (data + i) T(std::move(data_[i]));
      data_[i].~T();
    }
    ::operator delete(data_);
    data_ = data;
    capacity_ = capacity;
  }

  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace

// One pass over the bytes with an explicit stack of open containers, so nesting costs heap,
// not native stack, and "no limit" really has none. Elements and members collect on scratch
// stacks and each container is allocated once, at its exact size, when it closes.
struct LxJsonParser::Scanner {
  enum class Kind : std::uint8_t { Array, Object };
  struct Frame {
    Kind kind;
    std::size_t base;  // first element (array) or member (object) of this frame on its stack
  };
  // The steps of a recursive scanner (scanValue, the loops of scanRestOfArray and
  // scanRestOfDictionary) as states of one loop.
  enum class Step { ScanValue, AfterValue, RestOfArray, RestOfDictionary };

  explicit Scanner(LxJsonParser& owner) : owner(owner) {}

  LxJsonParser& owner;
  const Byte* p = nullptr;
  const Byte* end = nullptr;
  std::vector<Frame> frames;
  ScratchStack<Json> values;
  ScratchStack<JsonMember> members;
  std::string buffer;

  // The byte under the cursor; 0 at the end of the text.
  Byte cur() const { return p < end ? *p : 0; }
  bool atEnd() const { return p >= end || *p == 0; }
  void skipWhitespace() {
    // Compact text has none, so one look decides; indentation goes through the wide search.
    if (p < end && json_scan::isWhitespace(*p)) p = json_scan::skipWhitespace(p + 1, end);
  }
  void error(int code, std::string message) { owner.addErrorWithCode(code, std::move(message)); }

  void reset(std::string_view text) {
    p = reinterpret_cast<const Byte*>(text.data());
    end = p + text.size();
    frames.clear();
    // Keep scratch space between calls, but not what one huge document needed.
    constexpr std::size_t kKeep = std::size_t(1) << 20;
    values.reset(kKeep);
    members.reset(kKeep);
  }

  Json& slot(Json& result);
  void holdPlace();
  bool run(Json& result);
  bool enterContainer();
  bool failValue();
  bool failFrame();
  bool scanLiteral(const char* rest, std::size_t n, const char* message);
  bool scanRestOfTrue(Json& slot);
  bool scanRestOfFalse(Json& slot);
  bool scanRestOfNull(Json& slot);
  bool scanRestOfString(detail::StrRep& out);
  bool scanIsAtEnd();
  bool scanEscape();
  bool scanUnicodeChar(std::uint32_t& cp);
  bool scanHexQuad(std::uint32_t& quad);
  bool scanNumber(Json& out, bool negative);
  bool failNumber(const Byte* at, const char* message);
};

bool LxJsonParser::Scanner::enterContainer() {
  ++owner.depth_;
  if (owner.maxDepth_ != 0 && owner.depth_ > owner.maxDepth_) {
    error(kLxJsonDepth, "Nested too deep");
    return false;
  }
  return true;
}

// A value failed: every open container gives up in turn, innermost first, each adding its own
// message as a recursive scanner's callers would.
bool LxJsonParser::Scanner::failValue() {
  while (!frames.empty()) {
    const Frame f = frames.back();
    frames.pop_back();
    if (f.kind == Kind::Array) {
      error(kLxJsonSyntax, "Expected value while parsing array");
      values.truncate(f.base);
    } else {
      // The member being read is the last one: deeper frames have already been dropped.
      error(kLxJsonSyntax, "Object value expected for key: " + std::string(members.back().key()));
      members.truncate(f.base);
    }
  }
  return false;
}

// The innermost container failed by itself (its own message is already in the trace).
bool LxJsonParser::Scanner::failFrame() {
  const Frame f = frames.back();
  frames.pop_back();
  if (f.kind == Kind::Array)
    values.truncate(f.base);
  else
    members.truncate(f.base);
  return failValue();
}

// The bytes after a literal's first letter, compared as a prefix.
bool LxJsonParser::Scanner::scanLiteral(const char* rest, std::size_t n, const char* message) {
  if (static_cast<std::size_t>(end - p) < n || std::memcmp(p, rest, n) != 0) {
    error(kLxJsonSyntax, message);
    return false;
  }
  p += n;
  return true;
}

bool LxJsonParser::Scanner::scanRestOfTrue(Json& slot) {
  if (!scanLiteral("rue", 3, "Expected 'true'")) return false;
  slot = true;
  return true;
}

bool LxJsonParser::Scanner::scanRestOfFalse(Json& slot) {
  if (!scanLiteral("alse", 4, "Expected 'false'")) return false;
  slot = false;
  return true;
}

bool LxJsonParser::Scanner::scanRestOfNull(Json&) {
  return scanLiteral("ull", 3, "Expected 'null'");
}

// Only whitespace may follow the value.
bool LxJsonParser::Scanner::scanIsAtEnd() {
  skipWhitespace();
  return atEnd();
}

// Where the value about to be read goes: the result, a new element of the innermost array,
// or the pending member of the innermost object. Scalars are built there directly.
// A container's own place in an enclosing array is taken when it opens, below its elements, so
// that it can be built there when it closes.
EST_JSON_INLINE void LxJsonParser::Scanner::holdPlace() {
  if (!frames.empty() && frames.back().kind == Kind::Array) values.push();
}

EST_JSON_INLINE Json& LxJsonParser::Scanner::slot(Json& result) {
  if (frames.empty()) return result;
  if (frames.back().kind == Kind::Array) return values.push();
  return members.back().value;
}

bool LxJsonParser::Scanner::run(Json& result) {
  Step step = Step::ScanValue;
  for (;;) {
    switch (step) {
      case Step::ScanValue: {
        skipWhitespace();
        const Byte c = cur();
        if (p < end) ++p;
        switch (c) {
          case '"':
            if (!scanRestOfString(putText(slot(result)))) return failValue();
            step = Step::AfterValue;
            break;
          case '[':
            if (!enterContainer()) return failValue();
            holdPlace();
            frames.push_back({Kind::Array, values.size()});
            step = Step::RestOfArray;
            break;
          case '{':
            if (!enterContainer()) return failValue();
            holdPlace();
            frames.push_back({Kind::Object, members.size()});
            step = Step::RestOfDictionary;
            break;
          case 't':
            if (!scanRestOfTrue(slot(result))) return failValue();
            step = Step::AfterValue;
            break;
          case 'f':
            if (!scanRestOfFalse(slot(result))) return failValue();
            step = Step::AfterValue;
            break;
          case 'n':
            if (!scanRestOfNull(slot(result))) return failValue();
            step = Step::AfterValue;
            break;
          case '-':
            if (!scanNumber(slot(result), true)) return failValue();
            step = Step::AfterValue;
            break;
          case '0':
          case '1':
          case '2':
          case '3':
          case '4':
          case '5':
          case '6':
          case '7':
          case '8':
          case '9':
            --p;
            if (!scanNumber(slot(result), false)) return failValue();
            step = Step::AfterValue;
            break;
          case '+':
            error(kLxJsonParse, "Leading + disallowed in number");
            return failValue();
          case 0:
            error(kLxJsonEndOfInput, "Unexpected end of string");
            return failValue();
          default:
            error(kLxJsonSyntax, "Unrecognised leading character");
            return failValue();
        }
        break;
      }

      case Step::AfterValue: {
        if (frames.empty()) return true;
        skipWhitespace();
        if (frames.back().kind == Kind::Array) {
          if (cur() == ',') {
            ++p;
            skipWhitespace();
            if (cur() == ']') {
              error(kLxJsonTrailingComma, "Trailing comma disallowed in array");
              return failFrame();
            }
            // The next element, unless the text ends here (the array's own message).
            if (!atEnd()) {
              step = Step::ScanValue;
              break;
            }
          }
          step = Step::RestOfArray;
        } else {
          if (cur() == ',') {
            ++p;
            skipWhitespace();
            if (cur() == '}') {
              error(kLxJsonTrailingComma, "Trailing comma disallowed in object");
              return failFrame();
            }
          }
          step = Step::RestOfDictionary;
        }
        break;
      }

      case Step::RestOfArray: {
        if (atEnd()) {
          error(kLxJsonEndOfInput, "End of input while parsing array");
          return failFrame();
        }
        skipWhitespace();
        if (cur() != ']') {
          step = Step::ScanValue;
          break;
        }
        ++p;
        const std::size_t base = frames.back().base;
        frames.pop_back();
        --owner.depth_;
        // Built where it belongs, so the new array's header is never moved again.
        Json& place = frames.empty()                      ? result
                      : frames.back().kind == Kind::Array ? values[base - 1]
                                                          : members.back().value;
        putArray(place, values.data() + base, values.data() + values.size());
        values.truncate(base);
        step = Step::AfterValue;
        break;
      }

      case Step::RestOfDictionary: {
        if (atEnd()) {
          error(kLxJsonEndOfInput, "End of input while parsing object");
          return failFrame();
        }
        skipWhitespace();
        const Byte c = cur();
        if (c == '}') {
          ++p;
          const std::size_t base = frames.back().base;
          frames.pop_back();
          --owner.depth_;
          Json& place = frames.empty()                      ? result
                        : frames.back().kind == Kind::Array ? values.back()
                                                            : members[base - 1].value;
          putObject(place).appendMembers(members.data() + base, members.data() + members.size());
          members.truncate(base);
          step = Step::AfterValue;
          break;
        }
        if (c != '"') {
          error(kLxJsonSyntax, "Object key string expected");
          return failFrame();
        }
        ++p;
        // The key is read straight into a new pending member, which the value then fills.
        JsonMember& member = members.push();
        if (!scanRestOfString(keyStorage(member))) {
          members.pop();
          error(kLxJsonSyntax, "Object key string expected");
          return failFrame();
        }
        skipWhitespace();
        if (cur() != ':') {
          members.pop();
          error(kLxJsonSyntax, "Expected ':' separating key and value");
          return failFrame();
        }
        ++p;
        step = Step::ScanValue;
        break;
      }
    }
  }
}

EST_JSON_INLINE bool LxJsonParser::Scanner::scanRestOfString(detail::StrRep& out) {
  bool nonAscii = false;
  const Byte* start = p;
  p = json_scan::findSpecial(p, end, nonAscii);
  if (nonAscii && !isValidUtf8(start, p)) {
    error(kLxJsonUnicode, "Broken unicode character");
    return false;
  }
  if (cur() == '"') {  // the common case: no escapes, one copy straight into the value
    out = detail::StrRep::make(
        {reinterpret_cast<const char*>(start), static_cast<std::size_t>(p - start)});
    ++p;
    return true;
  }
  buffer.assign(reinterpret_cast<const char*>(start), static_cast<std::size_t>(p - start));
  for (;;) {
    const Byte c = cur();
    if (c == '"') {
      ++p;
      out.init(buffer);
      return true;
    }
    if (c == '\\') {
      ++p;
      if (!scanEscape()) return false;
      if (atEnd()) {
        error(kLxJsonEndOfInput, "Unexpected EOF while parsing string");
        return false;
      }
    } else {
      error(kLxJsonControlChar, strprintf("Unescaped control character '0x%x'", c));
      return false;
    }
    nonAscii = false;
    start = p;
    p = json_scan::findSpecial(p, end, nonAscii);
    if (nonAscii && !isValidUtf8(start, p)) {
      error(kLxJsonUnicode, "Broken unicode character");
      return false;
    }
    buffer.append(reinterpret_cast<const char*>(start), static_cast<std::size_t>(p - start));
  }
}

// Entered on the byte after the backslash; leaves the cursor after the whole escape.
bool LxJsonParser::Scanner::scanEscape() {
  const Byte e = cur();
  char ch;
  switch (e) {
    case '"':
    case '\\':
    case '/':
      ch = static_cast<char>(e);
      break;
    case 'b':
      ch = '\b';
      break;
    case 'f':
      ch = '\f';
      break;
    case 'n':
      ch = '\n';
      break;
    case 'r':
      ch = '\r';
      break;
    case 't':
      ch = '\t';
      break;
    case 'u': {
      ++p;
      std::uint32_t cp;
      if (!scanUnicodeChar(cp)) {
        error(kLxJsonUnicode, "Broken unicode character");
        return false;
      }
      appendUtf8(buffer, cp);
      return true;
    }
    default:
      error(kLxJsonEscape, strprintf("Illegal escape sequence '0x%x'", e));
      return false;
  }
  buffer += ch;
  ++p;
  return true;
}

bool LxJsonParser::Scanner::scanHexQuad(std::uint32_t& quad) {
  quad = 0;
  for (int i = 0; i < 4; ++i) {
    const int d = hexValue(cur());
    if (d < 0) {
      error(kLxJsonUnicode, "Missing hex digit in quad");
      return false;
    }
    ++p;
    quad = (quad << 4) | static_cast<std::uint32_t>(d);
  }
  return true;
}

bool LxJsonParser::Scanner::scanUnicodeChar(std::uint32_t& cp) {
  std::uint32_t high;
  if (!scanHexQuad(high)) {
    error(kLxJsonUnicode, "Missing hex quad");
    return false;
  }
  if (high >= 0xDC00 && high <= 0xDFFF) {
    error(kLxJsonUnicode, "Invalid high character in surrogate pair");
    return false;
  }
  if (high < 0xD800 || high > 0xDBFF) {
    cp = high;
    return true;
  }
  std::uint32_t low;
  if (cur() != '\\' || end - p < 2 || p[1] != 'u') {
    error(kLxJsonUnicode, "Missing low character in surrogate pair");
    return false;
  }
  p += 2;
  if (!scanHexQuad(low)) {
    error(kLxJsonUnicode, "Missing low character in surrogate pair");
    return false;
  }
  if (low < 0xDC00 || low > 0xDFFF) {
    error(kLxJsonUnicode, "Invalid low surrogate char");
    return false;
  }
  cp = 0x10000 + (high - 0xD800) * 0x400 + (low - 0xDC00);
  return true;
}

// Entered after the sign, if any. The digits are only delimited here; the value is
// assembled once from them, never through floating point.
__attribute__((noinline, cold)) bool LxJsonParser::Scanner::failNumber(const Byte* at,
                                                                       const char* message) {
  p = at;
  error(kLxJsonParse, message);
  return false;
}

EST_JSON_INLINE bool LxJsonParser::Scanner::scanNumber(Json& out, bool negative) {
  // The cursor stays in a register: nothing that may be called out of line refers to it.
  const Byte* q = p;
  const Byte* const e = end;
  auto at = [e](const Byte* s) { return s < e ? *s : Byte(0); };
  // Digits accumulate as they are delimited; past 19 of them the sum has wrapped and the slow
  // path starts over from the digit runs.
  std::uint64_t coefficient = 0;
  const Byte* intBegin = q;
  if (at(q) == '0') {
    ++q;
    if (isDigit(at(q))) return failNumber(q, "Leading 0 disallowed in number");
  } else if (!isDigit(at(q))) {
    return failNumber(q, "No digits after initial minus");
  } else {
    // Integer parts are mostly short: their first digits go one by one, on branches that the
    // predictor learns, so that finding the fraction waits for no arithmetic on loaded bytes.
    coefficient = static_cast<std::uint64_t>(*q++ - '0');
    for (int i = 0; i < 3 && isDigit(at(q)); ++i)
      coefficient = coefficient * 10 + static_cast<std::uint64_t>(*q++ - '0');
    if (isDigit(at(q))) q = scanDigits(q, e, coefficient);
  }
  const Byte* intEnd = q;
  const Byte* fracBegin = q;
  const Byte* fracEnd = q;
  if (at(q) == '.') {
    fracBegin = ++q;
    if (!isDigit(at(q))) return failNumber(q, "No digits after decimal point");
    q = scanDigits(q, e, coefficient);
    fracEnd = q;
  }
  std::int64_t exponent = 0;
  if ((at(q) | 0x20) == 'e') {
    ++q;
    bool expNegative = false;
    if (at(q) == '-' || at(q) == '+') expNegative = *q++ == '-';
    if (!isDigit(at(q))) return failNumber(q, "No digits after exponent");
    do {
      if (exponent < 1'000'000'000'000'000LL) exponent = exponent * 10 + (*q - '0');
      ++q;
    } while (q < e && isDigit(*q));
    if (expNegative) exponent = -exponent;
  }
  p = q;
  const std::ptrdiff_t fractionLength = fracEnd - fracBegin;
  if ((intEnd - intBegin) + fractionLength <= 19) {
    exponent -= fractionLength;
    if (exponent > Decimal::kMaxExponent || exponent < Decimal::kMinExponent) {
      if (coefficient != 0) return failNumber(q, "Failed creating decimal instance");
      exponent = exponent > 0 ? Decimal::kMaxExponent : Decimal::kMinExponent;
    }
    putNumber(out, negative, coefficient, static_cast<std::int32_t>(exponent));
    return true;
  }
  std::optional<Decimal> d;
  {
    auto view = [](const Byte* a, const Byte* b) {
      return std::string_view(reinterpret_cast<const char*>(a), static_cast<std::size_t>(b - a));
    };
    d = Decimal::fromDigits(negative, view(intBegin, intEnd), view(fracBegin, fracEnd), exponent);
  }
  if (!d) return failNumber(q, "Failed creating decimal instance");
  out = Json(*d);
  return true;
}

// ---------------------------------------------------------------------------------------------

void LxJsonParser::putNumber(Json& slot, bool negative, std::uint64_t coefficient,
                             std::int32_t exponent) noexcept {
  Decimal* d = new (&slot.number_) Decimal();
  d->low_ = coefficient;
  d->exponent_ = exponent;
  d->negative_ = negative;
  slot.type_ = Json::Type::Number;
}

detail::StrRep& LxJsonParser::putText(Json& slot) noexcept {
  new (&slot.string_) detail::StrRep();
  slot.string_.bytes[23] = 0;
  slot.type_ = Json::Type::String;
  return slot.string_;
}

void LxJsonParser::putArray(Json& slot, Json* first, Json* last) {
  new (&slot.array_) JsonArray(std::make_move_iterator(first), std::make_move_iterator(last));
  slot.type_ = Json::Type::Array;
}

JsonObject& LxJsonParser::putObject(Json& slot) {
  slot.object_ = new JsonObject();
  slot.type_ = Json::Type::Object;
  return *slot.object_;
}

LxJsonParser::LxJsonParser() : scanner_(std::make_unique<Scanner>(*this)) {}
LxJsonParser::~LxJsonParser() = default;

std::optional<Json> LxJsonParser::fragmentWithString(std::optional<std::string_view> text) {
  clearErrorTrace();
  if (!text) {
    addErrorWithCode(kLxJsonNilInput, "Input was 'nil'");
    return std::nullopt;
  }
  depth_ = 0;
  Scanner& s = *scanner_;
  s.reset(*text);
  Json value;
  if (!s.run(value)) return std::nullopt;
  if (!s.scanIsAtEnd()) {
    addErrorWithCode(kLxJsonGarbage, "Garbage after JSON");
    return std::nullopt;
  }
  return value;
}

std::optional<Json> LxJsonParser::fragmentWithString(const char* text) {
  if (!text) return fragmentWithString(std::optional<std::string_view>());
  return fragmentWithString(std::optional<std::string_view>(text));
}

std::optional<Json> LxJsonParser::objectWithString(std::optional<std::string_view> text) {
  std::optional<Json> value = fragmentWithString(text);
  if (value && !value->isContainer()) {
    addErrorWithCode(kLxJsonFragment, "Valid fragment, but not JSON");
    return std::nullopt;
  }
  return value;
}

std::optional<Json> LxJsonParser::objectWithString(const char* text) {
  if (!text) return objectWithString(std::optional<std::string_view>());
  return objectWithString(std::optional<std::string_view>(text));
}

}  // namespace est
