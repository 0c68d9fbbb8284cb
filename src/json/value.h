#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "json/decimal.h"
#include "json/node_pool.h"

namespace est {

class Json;
class JsonObject;
class LxJsonParser;

// JSON arrays are vectors of values, their storage drawn from the tree's block cache.
using JsonArray = std::vector<Json, detail::PoolAllocator<Json>>;

// A value the tree holds but JSON cannot spell by itself (a date, a domain object). The writer
// writes its substitute when it offers one and otherwise refuses, naming className().
class JsonOpaque {
 public:
  virtual ~JsonOpaque() = default;
  virtual std::string className() const = 0;
  virtual std::optional<Json> proxyForJson() const;
};

namespace detail {

// Text storage of 24 bytes: up to 22 bytes inline, longer texts on the heap. Trivially
// copyable on purpose; the owner decides when to release().
struct StrRep {
  static constexpr std::size_t kInline = 22;
  static constexpr unsigned char kHeap = 0xFF;
  alignas(8) unsigned char bytes[24];

  // Fills this (uninitialised or released) storage with `s`.
  void init(std::string_view s) {
    if (s.size() > kInline) return initHeap(s);
    if (!s.empty()) std::memcpy(bytes, s.data(), s.size());
    bytes[23] = static_cast<unsigned char>(s.size());
  }
  static StrRep make(std::string_view s) {
    StrRep r;
    r.init(s);
    return r;
  }
  void release() noexcept;
  bool isHeap() const noexcept { return bytes[23] == kHeap; }
  void initHeap(std::string_view s);
  std::string_view view() const noexcept {
    if (!isHeap()) return {reinterpret_cast<const char*>(bytes), bytes[23]};
    const char* p;
    std::size_t n;
    std::memcpy(&p, bytes, sizeof p);
    std::memcpy(&n, bytes + 8, sizeof n);
    return {p, n};
  }
};

}  // namespace detail

// One JSON value: null, a boolean, a decimal number, a text (UTF-8), an array, an object, or an
// opaque value for the writer. Values are ordinary C++ values: copies are deep, moves are cheap,
// and nesting depth never costs native stack (copy, compare and destroy work iteratively).
class Json {
 public:
  enum class Type : std::uint8_t { Null, Boolean, Number, String, Array, Object, Opaque };

  Json() noexcept : type_(Type::Null) {}
  Json(std::nullptr_t) noexcept : type_(Type::Null) {}
  Json(bool b) noexcept : type_(Type::Boolean) { bool_ = b; }
  template <std::integral T>
  requires(!std::same_as<T, bool>) Json(T n)
  noexcept : type_(Type::Number) {
    if constexpr (std::is_signed_v<T>)
      number_ = Decimal::fromInt64(static_cast<std::int64_t>(n));
    else
      number_ = Decimal::fromUint64(static_cast<std::uint64_t>(n));
  }
  // Shortest decimal that reads back as `d`. Infinities and NaN have no JSON spelling: they
  // become an opaque value of class "double" that the writer refuses.
  Json(double d);
  Json(Decimal d) noexcept : type_(Type::Number) { number_ = d; }
  Json(std::string_view s) : type_(Type::String) { string_ = detail::StrRep::make(s); }
  Json(const char* s) : type_(s ? Type::String : Type::Null) {  // a null pointer gives null
    if (s) string_ = detail::StrRep::make(s);
  }
  Json(const std::string& s) : Json(std::string_view(s)) {}
  template <class T>
  requires(!std::same_as<std::remove_cv_t<T>, char>) Json(T*)
  = delete;  // no silent pointer-to-bool
  Json(JsonArray a) noexcept : type_(Type::Array) { new (&array_) JsonArray(std::move(a)); }
  Json(JsonObject o);
  Json(std::shared_ptr<const JsonOpaque> o) noexcept;

  Json(const Json& other);
  Json(Json&& other) noexcept { moveFrom(other); }
  Json& operator=(const Json& other);
  Json& operator=(Json&& other) noexcept {
    if (this == &other) return *this;
    if (type_ <= Type::Number) {
      moveFrom(other);  // nothing to release, and `other` cannot live inside a scalar
    } else {
      // `other` may live inside this tree: take it out before letting go of the tree.
      Json taken(std::move(other));
      destroy();
      moveFrom(taken);
    }
    return *this;
  }
  ~Json() {
    if (type_ > Type::Number) destroy();
  }

  Type type() const noexcept { return type_; }
  bool isNull() const noexcept { return type_ == Type::Null; }
  bool isBool() const noexcept { return type_ == Type::Boolean; }
  bool isNumber() const noexcept { return type_ == Type::Number; }
  bool isString() const noexcept { return type_ == Type::String; }
  bool isArray() const noexcept { return type_ == Type::Array; }
  bool isObject() const noexcept { return type_ == Type::Object; }
  bool isContainer() const noexcept { return isArray() || isObject(); }
  bool isOpaque() const noexcept { return type_ == Type::Opaque; }

  // Typed access: nothing (or null) when the value is of another type.
  std::optional<bool> boolValue() const noexcept;
  const Decimal* number() const noexcept { return isNumber() ? &number_ : nullptr; }
  std::string_view stringView() const noexcept;  // empty unless a string
  const JsonArray* array() const noexcept { return isArray() ? &array_ : nullptr; }
  JsonArray* array() noexcept { return isArray() ? &array_ : nullptr; }
  const JsonObject* object() const noexcept { return isObject() ? object_ : nullptr; }
  JsonObject* object() noexcept { return isObject() ? object_ : nullptr; }
  const JsonOpaque* opaque() const noexcept { return isOpaque() ? opaque_.get() : nullptr; }

  // Reply-reading helpers. A number's text is its exact decimal text (0 gives "0", 1.50 gives
  // "1.50"); a string gives itself; anything else gives nothing.
  std::optional<std::string> textValue() const;
  // From a number, or from a string that holds a JSON number ("25.0").
  std::optional<double> doubleValue() const;
  // As doubleValue, but only exact integers that fit.
  std::optional<std::int64_t> int64Value() const;

  // Member lookup; nullptr when this is not an object or the key is absent.
  const Json* find(std::string_view key) const noexcept;
  // Never fail: a missing key, a non-object, or an index out of range give a null value, so
  // reply["ticket"]["idTicket"] is safe on any reply.
  const Json& operator[](std::string_view key) const noexcept;
  const Json& operator[](std::size_t index) const noexcept;

  // Deep equality: numbers by value (1.5 == 1.50), objects regardless of member order,
  // opaque values by identity.
  friend bool operator==(const Json& a, const Json& b) noexcept;

  static const Json& null() noexcept;

  void swap(Json& other) noexcept;

 private:
  friend class JsonObject;
  friend class LxJsonParser;  // builds values in place
  friend class LxJsonWriter;  // reads text storage directly
  friend bool operator==(const JsonObject& a, const JsonObject& b) noexcept;
  using CopyWork = std::vector<std::pair<const Json*, Json*>>;
  using CompareWork = std::vector<std::pair<const Json*, const Json*>>;
  static void copyShallow(const Json& src, Json& dst, CopyWork& work);
  static bool equalDeep(CompareWork& work) noexcept;
  static void detachContainerChildren(Json& v, std::vector<Json>& work);
  void copyScalar(const Json& other);
  void destroy() noexcept;
  void destroyShallow() noexcept;
  // `this` holds nothing. Every payload but the array and the opaque pointer is plain bytes
  // (numbers, text storage, the object pointer), so those moves are a copy of the value.
  // The byte copy stays inline: moves of elements are the reader's and the copier's inner loop.
  void moveFrom(Json& other) noexcept {
    if (other.type_ == Type::Array || other.type_ == Type::Opaque)
      moveOwner(other);
    else
      std::memcpy(static_cast<void*>(this), static_cast<const void*>(&other), sizeof(Json));
    other.type_ = Type::Null;
  }
  void moveOwner(Json& other) noexcept;
  void destroyTree(unsigned depth) noexcept;

  union {
    bool bool_;
    Decimal number_;
    detail::StrRep string_;
    JsonArray array_;
    JsonObject* object_;
    std::shared_ptr<const JsonOpaque> opaque_;
  };
  Type type_;
};

// One object member. The key is fixed once made; the value can be changed in place.
class JsonMember {
  friend class LxJsonParser;
  friend class LxJsonWriter;
  detail::StrRep key_;

 public:
  JsonMember() noexcept { key_.bytes[23] = 0; }  // empty key, null value
  JsonMember(std::string_view key, Json v) : key_(detail::StrRep::make(key)), value(std::move(v)) {}
  JsonMember(const JsonMember& other);
  JsonMember(JsonMember&& other) noexcept : key_(other.key_), value(std::move(other.value)) {
    other.key_ = detail::StrRep::make({});
  }
  JsonMember& operator=(const JsonMember& other);
  JsonMember& operator=(JsonMember&& other) noexcept;
  ~JsonMember() { key_.release(); }

  std::string_view key() const noexcept { return key_.view(); }
  Json value;
};

// A JSON object: text keys, each at most once, kept in insertion order. Setting an existing
// key replaces its value where it stands. Lookups are hashed once the object grows past a few
// members, so large objects stay cheap to read and to build.
class JsonObject {
 public:
  using Members = std::vector<JsonMember, detail::PoolAllocator<JsonMember>>;
  using iterator = Members::iterator;
  using const_iterator = Members::const_iterator;

  JsonObject() = default;
  JsonObject(std::initializer_list<JsonMember> members);

  static void* operator new(std::size_t bytes) { return detail::poolAllocate(bytes); }
  static void operator delete(void* p, std::size_t bytes) noexcept {
    detail::poolRelease(p, bytes);
  }

  std::size_t size() const noexcept { return members_.size(); }
  bool empty() const noexcept { return members_.empty(); }
  iterator begin() noexcept { return members_.begin(); }
  iterator end() noexcept { return members_.end(); }
  const_iterator begin() const noexcept { return members_.begin(); }
  const_iterator end() const noexcept { return members_.end(); }

  const Json* find(std::string_view key) const noexcept;
  Json* find(std::string_view key) noexcept;
  bool contains(std::string_view key) const noexcept { return find(key) != nullptr; }
  // Inserts a null member when the key is absent.
  Json& operator[](std::string_view key);
  // Inserts, or replaces the value of an existing key in place.
  void set(std::string_view key, Json value);
  bool erase(std::string_view key);
  void clear() noexcept;
  void reserve(std::size_t n) { members_.reserve(n); }

  // Members ordered by key bytes (Unicode code point order), for sorted output.
  std::vector<const JsonMember*> sortedMembers() const;

  // Takes over members in order; a later duplicate key replaces the earlier value.
  void appendMembers(JsonMember* first, JsonMember* last);

  // Equal members regardless of order.
  friend bool operator==(const JsonObject& a, const JsonObject& b) noexcept;

 private:
  friend class Json;
  std::size_t indexOf(std::string_view key) const noexcept;  // size() when absent
  void rebuildIndex(std::size_t expected = 0);
  void indexInsert(std::size_t position);

  Members members_;
  // Open-addressing table of member positions + 1 (0 is empty); empty while the object is small.
  std::vector<std::uint32_t, detail::PoolAllocator<std::uint32_t>> index_;
};

inline Json::Json(JsonObject o) : type_(Type::Object) {
  object_ = new JsonObject(std::move(o));
}

}  // namespace est
