#include <algorithm>
#include <cstring>

#include "json/codec.h"
#include "json/string_scan.h"
#include "platform/format.h"

namespace est {
namespace {

// Output with one capacity check per token into space kept from call to call; the written
// length is tracked apart.
class Sink {
 public:
  explicit Sink(std::string& space) : text_(space), length_(0) {
    if (text_.size() < 128) text_.resize(128);
  }
  std::size_t length() const { return length_; }

  char* reserve(std::size_t n) {
    if (text_.size() - length_ < n) [[unlikely]]
      grow(n);
    return text_.data() + length_;
  }
  void commit(std::size_t n) { length_ += n; }
  // Ends a write into reserved space at `end`.
  void commitTo(const char* end) { length_ = static_cast<std::size_t>(end - text_.data()); }
  void put(char c) {
    *reserve(1) = c;
    ++length_;
  }
  void put(const char* p, std::size_t n) {
    std::memcpy(reserve(n), p, n);
    length_ += n;
  }
  template <std::size_t N>
  void literal(const char (&s)[N]) {
    put(s, N - 1);
  }
  void indent(std::uint64_t depth) {
    const std::size_t n = 1 + 2 * static_cast<std::size_t>(depth);
    char* p = reserve(n);
    p[0] = '\n';
    std::memset(p + 1, ' ', n - 1);
    length_ += n;
  }

 private:
  [[gnu::noinline]] void grow(std::size_t n) {
    text_.resize(std::max(2 * text_.size(), length_ + n));
  }

  std::string& text_;
  std::size_t length_;
};

// Texts up to this long are written into space reserved for their worst case at once.
constexpr std::size_t kShortText = 4096;

// Room a short text may need: every byte a six-byte escape, the quotes, and slack for the
// whole-register store of writeQuoted(StrRep).
constexpr std::size_t maxQuotedLength(std::size_t n) {
  return 6 * n + 2 + 16;
}

// The letter of a byte's two-byte escape, or 0 when it takes the \u form.
constexpr char escapeLetter(unsigned char c) {
  switch (c) {
    case '"':
    case '\\':
      return static_cast<char>(c);
    case 0x08:
      return 'b';
    case 0x09:
      return 't';
    case 0x0A:
      return 'n';
    case 0x0C:
      return 'f';
    case 0x0D:
      return 'r';
    default:
      return 0;
  }
}

// Writes the escape of a byte that ends a plain run and returns the end.
char* writeEscape(unsigned char c, char* o) {
  o[0] = '\\';
  if (const char letter = escapeLetter(c)) {
    o[1] = letter;
    return o + 2;
  }
  static constexpr char kHex[] = "0123456789abcdef";
  o[1] = 'u';
  o[2] = '0';
  o[3] = '0';
  o[4] = kHex[c >> 4];
  o[5] = kHex[c & 0xF];
  return o + 6;
}

// Writes `text` quoted at `o`, which has room for maxQuotedLength(text.size()); returns the end.
char* writeQuoted(std::string_view text, char* o) {
  auto s = reinterpret_cast<const unsigned char*>(text.data());
  const unsigned char* const e = s + text.size();
  *o++ = '"';
  for (;;) {
    bool nonAscii = false;  // not needed here
    const unsigned char* run = s;
    s = json_scan::findSpecial(s, e, nonAscii);
    std::memcpy(o, run, static_cast<std::size_t>(s - run));
    o += s - run;
    if (s == e) break;
    o = writeEscape(*s++, o);
  }
  *o++ = '"';
  return o;
}

// A long text is written run by run, without reserving six times its size.
void appendLongString(std::string_view text, Sink& out) {
  out.put('"');
  auto s = reinterpret_cast<const unsigned char*>(text.data());
  const unsigned char* const e = s + text.size();
  for (;;) {
    bool nonAscii = false;
    const unsigned char* run = s;
    s = json_scan::findSpecial(s, e, nonAscii);
    out.put(reinterpret_cast<const char*>(run), static_cast<std::size_t>(s - run));
    if (s == e) break;
    out.commitTo(writeEscape(*s++, out.reserve(6)));
  }
  out.put('"');
}

// The same for a tree's text. A text of up to 16 bytes lies within its storage's own 24 bytes,
// so one load covers it and one store writes it (past its end the store writes bytes that the
// closing quote and later output overwrite).
char* writeQuoted(const detail::StrRep& text, char* o) {
#if defined(__SSE2__)
  if (!text.isHeap() && text.bytes[23] <= 16) {
    const unsigned n = text.bytes[23];
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.bytes));
    if ((json_scan::specialMask(x) & ((1u << n) - 1)) == 0) {
      o[0] = '"';
      _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 1), x);
      o[n + 1] = '"';
      return o + n + 2;
    }
  }
#endif
  return writeQuoted(text.view(), o);
}

void appendString(const detail::StrRep& rep, Sink& out) {
  const std::string_view text = rep.view();
  if (text.size() <= kShortText) {
    out.commitTo(writeQuoted(rep, out.reserve(maxQuotedLength(text.size()))));
    return;
  }
  appendLongString(text, out);
}

inline void prefetch(const void* p) {
#if defined(__x86_64__)
  asm volatile("prefetcht0 %0" : : "m"(*static_cast<const char*>(p)));
#else
  __builtin_prefetch(p);
#endif
}

// The first thing writing a container reads: an array's elements, an object's header.
inline void prefetchContainer(const Json& v) {
  if (const JsonArray* a = v.array()) {
    if (!a->empty()) prefetch(a->data());
  } else if (const JsonObject* o = v.object()) {
    prefetch(o);
  }
}

// An object's members, once its header has been asked for (by prefetchContainer) earlier.
inline void prefetchMembers(const Json& v) {
  if (const JsonObject* o = v.object()) {
    if (!o->empty()) prefetch(&*o->begin());
  }
}

// A line feed and the indent's spaces, `n` bytes in all (none when 0).
char* writeIndent(char* o, std::size_t n) {
  if (n == 0) return o;
  o[0] = '\n';
  std::memset(o + 1, ' ', n - 1);
  return o + n;
}

// A value whose substitute is another substitute, and so on, must end somewhere.
constexpr int kMaxProxyHops = 32;

}  // namespace

LxJsonWriter::LxJsonWriter() = default;
LxJsonWriter::~LxJsonWriter() = default;

bool LxJsonWriter::appendValue(const Json& root, std::size_t& length) {
  if (humanReadable_)
    return sortKeys_ ? appendTree<true, true>(root, length) : appendTree<true, false>(root, length);
  return sortKeys_ ? appendTree<false, true>(root, length) : appendTree<false, false>(root, length);
}

// Iterative over an explicit stack of open containers, so deep trees cost no native stack.
template <bool kHumanReadable, bool kSortKeys>
bool LxJsonWriter::appendTree(const Json& root, std::size_t& length) {
  Sink out(buffer_);
  // An open container, with direct pointers to its elements or members.
  struct Frame {
    bool isArray;
    const Json* elements;       // array elements
    const JsonMember* members;  // object members in their own order
    std::size_t next;
    std::size_t count;
    std::size_t sortedBase;  // first of this object's entries in `sorted`, when sorting
  };
  std::vector<Frame> frames;
  std::vector<const JsonMember*> sorted;
  std::vector<std::unique_ptr<Json>> substitutes;  // kept alive while written

  auto fail = [&]() {
    // Every object on the way gives up on the member it was writing.
    while (!frames.empty()) {
      const Frame& f = frames.back();
      if (!f.isArray) {
        const JsonMember* m =
            kSortKeys ? sorted[f.sortedBase + f.next - 1] : &f.members[f.next - 1];
        addErrorWithCode(kLxJsonUnsupported,
                         "Unsupported value for key " + std::string(m->key()) + " in object");
      }
      frames.pop_back();
    }
    return false;
  };

  constexpr std::string_view separator = kHumanReadable ? " : " : ":";
  const Json* v = &root;
  for (;;) {
    for (int hops = 0; v->isOpaque(); ++hops) {
      std::optional<Json> substitute;
      if (hops < kMaxProxyHops) substitute = v->opaque()->proxyForJson();
      if (!substitute) {
        addErrorWithCode(kLxJsonUnsupported,
                         "JSON serialisation not supported for " + v->opaque()->className());
        return fail();
      }
      substitutes.push_back(std::make_unique<Json>(std::move(*substitute)));
      v = substitutes.back().get();
    }

    switch (v->type()) {
      case Json::Type::Null:
        out.literal("null");
        break;
      case Json::Type::Boolean:
        if (*v->boolValue())
          out.literal("true");
        else
          out.literal("false");
        break;
      case Json::Type::Number: {
        out.commit(v->number()->format(out.reserve(Decimal::kMaxTextLength)));
        break;
      }
      case Json::Type::String:
        appendString(v->string_, out);
        break;
      case Json::Type::Array:
      case Json::Type::Object: {
        // Counted even without a limit, so indentation stays right when maxDepth is 0.
        ++depth_;
        if (maxDepth_ != 0 && depth_ > maxDepth_) {
          addErrorWithCode(kLxJsonDepth, "Nested too deep");
          return fail();
        }
        // Filled where it lives: a frame built aside and copied in stalls on partial stores.
        Frame& f = frames.emplace_back();
        f.next = 0;
        f.sortedBase = sorted.size();
        if (const JsonArray* array = v->array()) {
          out.put('[');
          f.isArray = true;
          f.elements = array->data();
          f.count = array->size();
        } else {
          out.put('{');
          const JsonObject* object = v->object();
          f.isArray = false;
          f.members = object->empty() ? nullptr : &*object->begin();
          f.count = object->size();
          if constexpr (kSortKeys) {
            std::vector<const JsonMember*> keys = object->sortedMembers();
            sorted.insert(sorted.end(), keys.begin(), keys.end());
          }
        }
        break;
      }
      case Json::Type::Opaque:
        break;  // resolved above
    }

    // Move to the next value to write, closing every container that is done.
    for (;;) {
      if (frames.empty()) {
        length = out.length();
        return true;
      }
      Frame& f = frames.back();
      if (f.next < f.count) {
        // The tree is read by chasing pointers; start loading the containers a step or two
        // ahead so that their loads overlap the writing of this value.
        auto valueAt = [&](std::size_t i) -> const Json& {
          if (f.isArray) return f.elements[i];
          return kSortKeys ? sorted[f.sortedBase + i]->value : f.members[i].value;
        };
        if (f.next + 2 < f.count) prefetchContainer(valueAt(f.next + 2));
        if (f.next + 1 < f.count) prefetchMembers(valueAt(f.next + 1));
        // The comma, the indent and a short key go into space reserved once.
        const std::size_t indent = kHumanReadable ? 1 + 2 * static_cast<std::size_t>(depth_) : 0;
        if (f.isArray) {
          char* o = out.reserve(1 + indent);
          if (f.next > 0) *o++ = ',';
          o = writeIndent(o, indent);
          out.commitTo(o);
          v = &f.elements[f.next];
        } else {
          const JsonMember* m = kSortKeys ? sorted[f.sortedBase + f.next] : &f.members[f.next];
          const std::string_view key = m->key();
          if (key.size() <= kShortText) {
            char* o = out.reserve(1 + indent + maxQuotedLength(key.size()) + separator.size());
            if (f.next > 0) *o++ = ',';
            o = writeIndent(o, indent);
            o = writeQuoted(m->key_, o);
            std::memcpy(o, separator.data(), separator.size());
            out.commitTo(o + separator.size());
          } else {
            if (f.next > 0) out.put(',');
            out.commitTo(writeIndent(out.reserve(indent), indent));
            appendLongString(key, out);
            out.put(separator.data(), separator.size());
          }
          v = &m->value;
        }
        ++f.next;
        break;
      }
      --depth_;
      if (kHumanReadable && f.count > 0) out.indent(depth_);
      out.put(f.isArray ? ']' : '}');
      sorted.resize(f.sortedBase);
      frames.pop_back();
    }
  }
}

std::optional<std::string> LxJsonWriter::stringWithFragment(const Json& value) {
  clearErrorTrace();
  depth_ = 0;
  std::size_t length = 0;
  if (!appendValue(value, length)) return std::nullopt;
  std::string out(buffer_.data(), length);
  // A one-off huge document should not pin its space for the writer's lifetime.
  if (buffer_.size() > (std::size_t(1) << 24)) std::string().swap(buffer_);
  return out;
}

std::optional<std::string> LxJsonWriter::stringWithObject(const Json& value) {
  if (value.isContainer()) return stringWithFragment(value);
  // A value that is neither may stand in for an object or array through its substitute.
  const Json* current = &value;
  Json held;
  for (int hops = 0; hops < kMaxProxyHops && current->isOpaque(); ++hops) {
    std::optional<Json> substitute = current->opaque()->proxyForJson();
    if (!substitute) break;
    held = std::move(*substitute);
    current = &held;
    if (current->isContainer()) {
      if (auto text = stringWithFragment(*current)) return text;
      break;
    }
  }
  clearErrorTrace();
  addErrorWithCode(kLxJsonFragment, "Not valid type for JSON");
  return std::nullopt;
}

}  // namespace est
