#include <algorithm>
#include <cstring>

#include "json/codec.h"
#include "json/string_scan.h"
#include "platform/format.h"

namespace est {
namespace {

using json_scan::hasSpecialByte;

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

void appendString(std::string_view text, Sink& out) {
  out.put('"');
  const char* s = text.data();
  const char* const e = s + text.size();
  while (s < e) {
    const char* run = s;
    while (e - s >= 8) {
      std::uint64_t x;
      std::memcpy(&x, s, 8);
      if (hasSpecialByte(x)) break;
      s += 8;
    }
    while (s < e && !json_scan::kSpecial.special[static_cast<unsigned char>(*s)]) ++s;
    out.put(run, static_cast<std::size_t>(s - run));
    if (s == e) break;
    const unsigned char c = static_cast<unsigned char>(*s++);
    switch (c) {
      case '"':
        out.literal("\\\"");
        break;
      case '\\':
        out.literal("\\\\");
        break;
      case 0x08:
        out.literal("\\b");
        break;
      case 0x09:
        out.literal("\\t");
        break;
      case 0x0A:
        out.literal("\\n");
        break;
      case 0x0C:
        out.literal("\\f");
        break;
      case 0x0D:
        out.literal("\\r");
        break;
      default: {
        static constexpr char kHex[] = "0123456789abcdef";
        const char u[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
        out.put(u, 6);
      }
    }
  }
  out.put('"');
}

// A value whose substitute is another substitute, and so on, must end somewhere.
constexpr int kMaxProxyHops = 32;

}  // namespace

LxJsonWriter::LxJsonWriter() = default;
LxJsonWriter::~LxJsonWriter() = default;

// Iterative over an explicit stack of open containers, so deep trees cost no native stack.
bool LxJsonWriter::appendValue(const Json& root, std::size_t& length) {
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
            sortKeys_ ? sorted[f.sortedBase + f.next - 1] : &f.members[f.next - 1];
        addErrorWithCode(kLxJsonUnsupported,
                         "Unsupported value for key " + std::string(m->key()) + " in object");
      }
      frames.pop_back();
    }
    return false;
  };

  const std::string_view separator = humanReadable_ ? " : " : ":";
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
        appendString(v->stringView(), out);
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
          if (sortKeys_) {
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
        if (f.next > 0) out.put(',');
        if (humanReadable_) out.indent(depth_);
        if (f.isArray) {
          v = &f.elements[f.next];
        } else {
          const JsonMember* m = sortKeys_ ? sorted[f.sortedBase + f.next] : &f.members[f.next];
          appendString(m->key(), out);
          out.put(separator.data(), separator.size());
          v = &m->value;
        }
        ++f.next;
        break;
      }
      --depth_;
      if (humanReadable_ && f.count > 0) out.indent(depth_);
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
