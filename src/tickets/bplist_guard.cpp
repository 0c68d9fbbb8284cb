#include "tickets/bplist_guard.h"

#include <cstdint>
#include <cstring>
#include <vector>

namespace est {
namespace {

constexpr std::size_t kTrailerSize = 32;

std::uint64_t bigEndian(const std::uint8_t* p, unsigned size) {
  std::uint64_t v = 0;
  for (unsigned i = 0; i < size; ++i) v = (v << 8) | p[i];
  return v;
}

bool isContainer(std::uint8_t marker) {
  const unsigned type = marker >> 4;
  return type == 0xA || type == 0xC || type == 0xD;  // array, set, dictionary
}

struct Frame {
  std::uint64_t object;
  std::size_t refs;     // first reference byte
  std::uint64_t count;  // number of references
  std::uint64_t next = 0;
  std::uint32_t height = 1;
  std::uint64_t expanded = 1;
};

bool fail(std::string* why, const char* text) {
  if (why) *why = text;
  return false;
}

}  // namespace

bool binaryPlistIsBounded(const void* bytes, std::size_t length, unsigned maxDepth,
                          std::string* why) {
  const auto* b = static_cast<const std::uint8_t*>(bytes);
  if (!b || length < 8 + kTrailerSize || std::memcmp(b, "bplist00", 8) != 0) {
    return fail(why, "not a binary property list");
  }
  const std::uint8_t* trailer = b + length - kTrailerSize;
  const unsigned offsetSize = trailer[6];
  const unsigned refSize = trailer[7];
  const std::uint64_t count = bigEndian(trailer + 8, 8);
  const std::uint64_t top = bigEndian(trailer + 16, 8);
  const std::uint64_t table = bigEndian(trailer + 24, 8);
  if (offsetSize < 1 || offsetSize > 8 || refSize < 1 || refSize > 8) {
    return fail(why, "bad integer sizes in the trailer");
  }
  const std::size_t tableEnd = length - kTrailerSize;
  if (count == 0 || top >= count || table < 9 || table > tableEnd ||
      count > (tableEnd - table) / offsetSize) {
    return fail(why, "bad object table");
  }
  const std::size_t objectsEnd = static_cast<std::size_t>(table);

  // Where the references of container `object` start and how many there are.
  auto open = [&](std::uint64_t object, Frame& frame) -> bool {
    const std::uint64_t at = bigEndian(b + table + object * offsetSize, offsetSize);
    if (at < 8 || at >= objectsEnd) return false;
    std::size_t pos = static_cast<std::size_t>(at);
    const std::uint8_t marker = b[pos++];
    std::uint64_t n = marker & 0xF;
    if (n == 0xF) {
      if (pos >= objectsEnd || (b[pos] >> 4) != 0x1 || (b[pos] & 0xF) > 3) return false;
      const unsigned size = 1u << (b[pos] & 0xF);
      ++pos;
      if (size > objectsEnd - pos) return false;
      n = bigEndian(b + pos, size);
      pos += size;
    }
    const std::uint64_t refs = (marker >> 4) == 0xD ? n * 2 : n;
    if (refs < n || refs > (objectsEnd - pos) / refSize) return false;
    frame = Frame{object, pos, refs};
    return true;
  };
  auto markerOf = [&](std::uint64_t object, std::uint8_t* marker) -> bool {
    const std::uint64_t at = bigEndian(b + table + object * offsetSize, offsetSize);
    if (at < 8 || at >= objectsEnd) return false;
    *marker = b[at];
    return true;
  };

  // Plenty for any file this program writes; a bomb of shared containers goes far past it.
  const std::uint64_t maxExpanded = std::uint64_t{length} * 16 + (1u << 20);
  enum : std::uint8_t { kNew, kOpen, kDone };
  std::vector<std::uint8_t> state(static_cast<std::size_t>(count), kNew);
  std::vector<std::uint32_t> height(static_cast<std::size_t>(count), 1);
  std::vector<std::uint64_t> expanded(static_cast<std::size_t>(count), 1);
  std::vector<Frame> stack;

  std::uint8_t marker = 0;
  if (!markerOf(top, &marker)) return fail(why, "bad object offset");
  if (!isContainer(marker)) return true;
  stack.emplace_back();
  if (!open(top, stack.back())) return fail(why, "bad container");
  state[top] = kOpen;

  while (!stack.empty()) {
    Frame& f = stack.back();
    if (f.next == f.count) {
      state[f.object] = kDone;
      height[f.object] = f.height;
      expanded[f.object] = f.expanded;
      const Frame done = f;
      stack.pop_back();
      if (!stack.empty()) {
        Frame& parent = stack.back();
        if (done.height + 1 > parent.height) parent.height = done.height + 1;
        parent.expanded += done.expanded;
        if (parent.expanded > maxExpanded) return fail(why, "the object graph expands too far");
      }
      continue;
    }
    const std::uint64_t child = bigEndian(b + f.refs + f.next * refSize, refSize);
    ++f.next;
    if (child >= count) return fail(why, "reference out of range");
    if (state[child] == kOpen) return fail(why, "a container contains itself");
    if (state[child] == kDone) {
      if (height[child] + 1 > f.height) f.height = height[child] + 1;
      if (f.height > maxDepth) return fail(why, "nested too deep");
      f.expanded += expanded[child];
      if (f.expanded > maxExpanded) return fail(why, "the object graph expands too far");
      continue;
    }
    if (!markerOf(child, &marker)) return fail(why, "bad object offset");
    if (!isContainer(marker)) {
      state[child] = kDone;
      if (f.height < 2) f.height = 2;
      f.expanded += 1;
      if (f.expanded > maxExpanded) return fail(why, "the object graph expands too far");
      continue;
    }
    if (stack.size() >= maxDepth) return fail(why, "nested too deep");
    Frame next;
    if (!open(child, next)) return fail(why, "bad container");
    state[child] = kOpen;
    stack.push_back(next);
  }
  return true;
}

}  // namespace est
