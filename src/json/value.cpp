#include "json/value.h"

#include <algorithm>
#include <functional>
#include <new>
#include <random>
#include <utility>

namespace est {
namespace detail {

void StrRep::initHeap(std::string_view s) {
  const std::size_t n = s.size();
  char* p = static_cast<char*>(poolAllocate(n));
  std::memcpy(p, s.data(), n);
  std::memcpy(bytes, &p, sizeof p);
  std::memcpy(bytes + 8, &n, sizeof n);
  bytes[23] = kHeap;
}

void StrRep::release() noexcept {
  if (!isHeap()) return;
  char* p;
  std::size_t n;
  std::memcpy(&p, bytes, sizeof p);
  std::memcpy(&n, bytes + 8, sizeof n);
  poolRelease(p, n);
  bytes[23] = 0;
}

}  // namespace detail

std::optional<Json> JsonOpaque::proxyForJson() const {
  return std::nullopt;
}

namespace {

// Stands in for a double JSON cannot spell (infinity, NaN).
class NonFiniteDouble final : public JsonOpaque {
 public:
  std::string className() const override { return "double"; }
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Json

Json::Json(double d) : type_(Type::Null) {
  if (auto dec = Decimal::fromDouble(d)) {
    type_ = Type::Number;
    number_ = *dec;
  } else {
    new (&opaque_) std::shared_ptr<const JsonOpaque>(std::make_shared<NonFiniteDouble>());
    type_ = Type::Opaque;
  }
}

Json::Json(std::shared_ptr<const JsonOpaque> o) noexcept : type_(Type::Null) {
  if (!o) return;
  new (&opaque_) std::shared_ptr<const JsonOpaque>(std::move(o));
  type_ = Type::Opaque;
}

void Json::copyScalar(const Json& other) {
  switch (other.type_) {
    case Type::Null:
      break;
    case Type::Boolean:
      bool_ = other.bool_;
      break;
    case Type::Number:
      new (&number_) Decimal(other.number_);
      break;
    case Type::String:
      new (&string_) detail::StrRep(detail::StrRep::make(other.string_.view()));
      break;
    case Type::Opaque:
      new (&opaque_) std::shared_ptr<const JsonOpaque>(other.opaque_);
      break;
    case Type::Array:
    case Type::Object:
      return;  // containers go through copyShallow
  }
  type_ = other.type_;
}

void Json::copyShallow(const Json& src, Json& dst, CopyWork& work) {
  if (src.type_ == Type::Array) {
    new (&dst.array_) JsonArray();
    dst.type_ = Type::Array;
    dst.array_.reserve(src.array_.size());
    for (const Json& child : src.array_) {
      dst.array_.emplace_back();
      if (child.isContainer())
        work.emplace_back(&child, &dst.array_.back());
      else
        dst.array_.back().copyScalar(child);
    }
  } else if (src.type_ == Type::Object) {
    auto* obj = new JsonObject();
    dst.object_ = obj;
    dst.type_ = Type::Object;
    obj->members_.reserve(src.object_->members_.size());
    for (const JsonMember& m : src.object_->members_) {
      obj->members_.emplace_back(m.key(), Json());
      Json& v = obj->members_.back().value;
      if (m.value.isContainer())
        work.emplace_back(&m.value, &v);
      else
        v.copyScalar(m.value);
    }
    obj->index_ = src.object_->index_;
  } else {
    dst.copyScalar(src);
  }
}

Json::Json(const Json& other) : type_(Type::Null) {
  if (!other.isContainer()) {
    copyScalar(other);
    return;
  }
  CopyWork work;
  copyShallow(other, *this, work);
  while (!work.empty()) {
    auto [src, dst] = work.back();
    work.pop_back();
    copyShallow(*src, *dst, work);
  }
}

Json& Json::operator=(const Json& other) {
  if (this == &other) return *this;
  Json copy(other);
  destroy();
  moveFrom(copy);
  return *this;
}

void Json::moveOwner(Json& other) noexcept {
  if (other.type_ == Type::Array) {
    new (&array_) JsonArray(std::move(other.array_));
    other.array_.~JsonArray();
    type_ = Type::Array;
  } else {
    new (&opaque_) std::shared_ptr<const JsonOpaque>(std::move(other.opaque_));
    other.opaque_.~shared_ptr();
    type_ = Type::Opaque;
  }
}

void Json::swap(Json& other) noexcept {
  if (this == &other) return;
  Json tmp(std::move(other));
  other.moveFrom(*this);
  moveFrom(tmp);
}

void Json::detachContainerChildren(Json& v, std::vector<Json>& work) {
  auto detach = [&work](Json& child) {
    if ((child.type_ == Type::Array && !child.array_.empty()) ||
        (child.type_ == Type::Object && !child.object_->members_.empty()))
      work.push_back(std::move(child));
  };
  if (v.type_ == Type::Array) {
    for (Json& child : v.array_) detach(child);
  } else if (v.type_ == Type::Object) {
    for (JsonMember& m : v.object_->members_) detach(m.value);
  }
}

void Json::destroyShallow() noexcept {
  switch (type_) {
    case Type::String:
      string_.release();
      break;
    case Type::Array:
      array_.~JsonArray();
      break;
    case Type::Object:
      delete object_;
      break;
    case Type::Opaque:
      opaque_.~shared_ptr();
      break;
    default:
      break;
  }
  type_ = Type::Null;
}

namespace {
constexpr unsigned kNativeDepth = 48;  // nesting released by plain recursion
}

// Shallow trees, the usual case, are released by recursion; below kNativeDepth the rest of a
// deep tree is detached onto a work list so that no depth costs more native stack.
void Json::destroyTree(unsigned depth) noexcept {
  auto release = [depth](Json& child) {
    if (!child.isContainer()) return;
    if (depth < kNativeDepth) {
      child.destroyTree(depth + 1);
      return;
    }
    std::vector<Json> work;
    detachContainerChildren(child, work);
    while (!work.empty()) {
      Json item(std::move(work.back()));
      work.pop_back();
      detachContainerChildren(item, work);
    }
  };
  if (type_ == Type::Array) {
    for (Json& child : array_) release(child);
  } else if (type_ == Type::Object) {
    for (JsonMember& m : object_->members_) release(m.value);
  }
  destroyShallow();
}

void Json::destroy() noexcept {
  if (isContainer())
    destroyTree(0);
  else
    destroyShallow();
}

std::optional<bool> Json::boolValue() const noexcept {
  if (!isBool()) return std::nullopt;
  return bool_;
}

std::string_view Json::stringView() const noexcept {
  return isString() ? string_.view() : std::string_view();
}

std::optional<std::string> Json::textValue() const {
  if (isString()) return std::string(string_.view());
  if (isNumber()) return number_.toString();
  return std::nullopt;
}

std::optional<double> Json::doubleValue() const {
  if (isNumber()) return number_.toDouble();
  if (isString()) {
    if (auto d = Decimal::fromString(string_.view())) return d->toDouble();
  }
  return std::nullopt;
}

std::optional<std::int64_t> Json::int64Value() const {
  if (isNumber()) return number_.toInt64();
  if (isString()) {
    if (auto d = Decimal::fromString(string_.view())) return d->toInt64();
  }
  return std::nullopt;
}

const Json* Json::find(std::string_view key) const noexcept {
  return isObject() ? object_->find(key) : nullptr;
}

const Json& Json::operator[](std::string_view key) const noexcept {
  const Json* v = find(key);
  return v ? *v : null();
}

const Json& Json::operator[](std::size_t index) const noexcept {
  if (isArray() && index < array_.size()) return array_[index];
  return null();
}

const Json& Json::null() noexcept {
  static const Json kNull;
  return kNull;
}

bool Json::equalDeep(CompareWork& work) noexcept {
  while (!work.empty()) {
    auto [a, b] = work.back();
    work.pop_back();
    if (a->type_ != b->type_) return false;
    switch (a->type_) {
      case Type::Null:
        break;
      case Type::Boolean:
        if (a->bool_ != b->bool_) return false;
        break;
      case Type::Number:
        if (!(a->number_ == b->number_)) return false;
        break;
      case Type::String:
        if (a->string_.view() != b->string_.view()) return false;
        break;
      case Type::Opaque:
        if (a->opaque_ != b->opaque_) return false;
        break;
      case Type::Array:
        if (a->array_.size() != b->array_.size()) return false;
        for (std::size_t i = 0; i < a->array_.size(); ++i)
          work.emplace_back(&a->array_[i], &b->array_[i]);
        break;
      case Type::Object: {
        const JsonObject& oa = *a->object_;
        const JsonObject& ob = *b->object_;
        if (oa.size() != ob.size()) return false;
        for (const JsonMember& m : oa) {
          const Json* other = ob.find(m.key());
          if (!other) return false;
          work.emplace_back(&m.value, other);
        }
        break;
      }
    }
  }
  return true;
}

bool operator==(const Json& a, const Json& b) noexcept {
  Json::CompareWork work;
  work.emplace_back(&a, &b);
  return Json::equalDeep(work);
}

// ---------------------------------------------------------------------------------------------
// JsonMember

JsonMember::JsonMember(const JsonMember& other)
    : key_(detail::StrRep::make(other.key())), value(other.value) {}

JsonMember& JsonMember::operator=(const JsonMember& other) {
  if (this == &other) return *this;
  JsonMember copy(other);
  *this = std::move(copy);
  return *this;
}

JsonMember& JsonMember::operator=(JsonMember&& other) noexcept {
  if (this == &other) return *this;
  key_.release();
  key_ = other.key_;
  other.key_ = detail::StrRep::make({});
  value = std::move(other.value);
  return *this;
}

// ---------------------------------------------------------------------------------------------
// JsonObject

namespace {

constexpr std::size_t kLinearLimit = 8;  // objects up to this size are searched linearly

// Keys come from untrusted input, so the hash is keyed per process (SipHash-1-3): nobody can
// prepare keys that all collide and turn the hashed lookup quadratic.
inline std::uint64_t rotl(std::uint64_t x, int b) {
  return (x << b) | (x >> (64 - b));
}

struct SipKey {
  std::uint64_t k0, k1;
};

const SipKey& sipKey() {
  static const SipKey key = []() noexcept {
    try {
      std::random_device rd;
      auto word = [&rd] { return (std::uint64_t(rd()) << 32) ^ rd(); };
      return SipKey{word(), word()};
    } catch (...) {
      // No entropy source: address-space layout still differs from run to run.
      int local = 0;
      auto a = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&local));
      auto b = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&sipKey));
      return SipKey{a * 0x9E3779B97F4A7C15ULL, b ^ rotl(a, 29)};
    }
  }();
  return key;
}

inline void sipRound(std::uint64_t& v0, std::uint64_t& v1, std::uint64_t& v2, std::uint64_t& v3) {
  v0 += v1;
  v1 = rotl(v1, 13);
  v1 ^= v0;
  v0 = rotl(v0, 32);
  v2 += v3;
  v3 = rotl(v3, 16);
  v3 ^= v2;
  v0 += v3;
  v3 = rotl(v3, 21);
  v3 ^= v0;
  v2 += v1;
  v1 = rotl(v1, 17);
  v1 ^= v2;
  v2 = rotl(v2, 32);
}

std::size_t hashKey(std::string_view key) noexcept {
  const SipKey& k = sipKey();
  std::uint64_t v0 = 0x736f6d6570736575ULL ^ k.k0;
  std::uint64_t v1 = 0x646f72616e646f6dULL ^ k.k1;
  std::uint64_t v2 = 0x6c7967656e657261ULL ^ k.k0;
  std::uint64_t v3 = 0x7465646279746573ULL ^ k.k1;
  const char* p = key.data();
  const std::size_t n = key.size();
  const char* const whole = p + (n & ~std::size_t(7));
  for (; p != whole; p += 8) {
    std::uint64_t m;
    std::memcpy(&m, p, 8);
    v3 ^= m;
    sipRound(v0, v1, v2, v3);
    v0 ^= m;
  }
  std::uint64_t last = std::uint64_t(n) << 56;
  for (std::size_t i = 0; i < (n & 7); ++i)
    last |= std::uint64_t(static_cast<unsigned char>(p[i])) << (8 * i);
  v3 ^= last;
  sipRound(v0, v1, v2, v3);
  v0 ^= last;
  v2 ^= 0xff;
  sipRound(v0, v1, v2, v3);
  sipRound(v0, v1, v2, v3);
  sipRound(v0, v1, v2, v3);
  return static_cast<std::size_t>(v0 ^ v1 ^ v2 ^ v3);
}

}  // namespace

JsonObject::JsonObject(std::initializer_list<JsonMember> members) {
  members_.reserve(members.size());
  for (const JsonMember& m : members) set(m.key(), m.value);
}

std::size_t JsonObject::indexOf(std::string_view key) const noexcept {
  const std::size_t n = members_.size();
  if (index_.empty()) {
    for (std::size_t i = 0; i < n; ++i)
      if (members_[i].key() == key) return i;
    return n;
  }
  const std::size_t mask = index_.size() - 1;
  for (std::size_t slot = hashKey(key) & mask;; slot = (slot + 1) & mask) {
    const std::uint32_t entry = index_[slot];
    if (entry == 0) return n;
    if (members_[entry - 1].key() == key) return entry - 1;
  }
}

void JsonObject::rebuildIndex(std::size_t expected) {
  const std::size_t n = members_.size();
  if (std::max(n, expected) <= kLinearLimit) {
    index_.clear();
    return;
  }
  std::size_t capacity = 16;
  while (capacity < 2 * std::max(n, expected)) capacity *= 2;
  index_.assign(capacity, 0);
  const std::size_t mask = capacity - 1;
  for (std::size_t i = 0; i < n; ++i) {
    std::size_t slot = hashKey(members_[i].key()) & mask;
    while (index_[slot] != 0) slot = (slot + 1) & mask;
    index_[slot] = static_cast<std::uint32_t>(i + 1);
  }
}

void JsonObject::indexInsert(std::size_t position) {
  if (index_.empty() || 2 * members_.size() > index_.size()) {
    if (members_.size() > kLinearLimit) rebuildIndex();
    return;
  }
  const std::size_t mask = index_.size() - 1;
  std::size_t slot = hashKey(members_[position].key()) & mask;
  while (index_[slot] != 0) slot = (slot + 1) & mask;
  index_[slot] = static_cast<std::uint32_t>(position + 1);
}

const Json* JsonObject::find(std::string_view key) const noexcept {
  std::size_t i = indexOf(key);
  return i < members_.size() ? &members_[i].value : nullptr;
}

Json* JsonObject::find(std::string_view key) noexcept {
  std::size_t i = indexOf(key);
  return i < members_.size() ? &members_[i].value : nullptr;
}

Json& JsonObject::operator[](std::string_view key) {
  std::size_t i = indexOf(key);
  if (i < members_.size()) return members_[i].value;
  members_.emplace_back(key, Json());
  indexInsert(members_.size() - 1);
  return members_.back().value;
}

void JsonObject::set(std::string_view key, Json value) {
  std::size_t i = indexOf(key);
  if (i < members_.size()) {
    members_[i].value = std::move(value);
    return;
  }
  members_.emplace_back(key, std::move(value));
  indexInsert(members_.size() - 1);
}

bool JsonObject::erase(std::string_view key) {
  std::size_t i = indexOf(key);
  if (i >= members_.size()) return false;
  members_.erase(members_.begin() + static_cast<std::ptrdiff_t>(i));
  rebuildIndex();
  return true;
}

void JsonObject::clear() noexcept {
  members_.clear();
  index_.clear();
}

void JsonObject::appendMembers(JsonMember* first, JsonMember* last) {
  const std::size_t total = members_.size() + static_cast<std::size_t>(last - first);
  members_.reserve(total);
  if (total <= kLinearLimit) {
    for (; first != last; ++first) {
      std::size_t i = indexOf(first->key());
      if (i < members_.size())
        members_[i].value = std::move(first->value);
      else
        members_.push_back(std::move(*first));
    }
    return;
  }
  // One table sized for everything up front, and one hash per key for both the duplicate
  // check and the insertion.
  if (index_.size() < 2 * total) rebuildIndex(total);
  const std::size_t mask = index_.size() - 1;
  for (; first != last; ++first) {
    const std::string_view key = first->key();
    for (std::size_t slot = hashKey(key) & mask;; slot = (slot + 1) & mask) {
      const std::uint32_t entry = index_[slot];
      if (entry == 0) {
        members_.push_back(std::move(*first));
        index_[slot] = static_cast<std::uint32_t>(members_.size());
        break;
      }
      if (members_[entry - 1].key() == key) {
        members_[entry - 1].value = std::move(first->value);
        break;
      }
    }
  }
}

std::vector<const JsonMember*> JsonObject::sortedMembers() const {
  std::vector<const JsonMember*> sorted;
  sorted.reserve(members_.size());
  for (const JsonMember& m : members_) sorted.push_back(&m);
  std::sort(sorted.begin(), sorted.end(),
            [](const JsonMember* a, const JsonMember* b) { return a->key() < b->key(); });
  return sorted;
}

bool operator==(const JsonObject& a, const JsonObject& b) noexcept {
  if (a.size() != b.size()) return false;
  Json::CompareWork work;
  for (const JsonMember& m : a) {
    const Json* other = b.find(m.key());
    if (!other) return false;
    work.emplace_back(&m.value, other);
  }
  return Json::equalDeep(work);
}

}  // namespace est
