// Reader fuzzer. The first byte picks the mode (bit 0: fragment, bits 1-2: nesting limit 512,
// 0 = none, 3 or 40); the rest is the text. Every accepted text must write back, in every
// output style, to a text that reads again to an equal tree; compact output must be a fixed
// point; a number read alone must have the parts the decimal parser gives its text. Every
// refused text must leave a well-formed trace.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "json/json.h"

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "json fuzzer: %s\n", what);
  std::abort();
}

void checkTrace(const est::LxJsonParser& parser) {
  std::vector<est::Error> trace = parser.errorTrace();
  if (trace.empty()) fail("refused without a trace");
  std::optional<est::Error> last = parser.lastError();
  std::size_t length = 0;
  for (const est::Error* e = &*last; e; e = e->underlying.get()) {
    if (e->domain != est::LxJSONErrorDomain || e->code < 2 || e->code > 12)
      fail("error outside the reader's domain or codes");
    ++length;
  }
  if (length != trace.size()) fail("underlying chain does not match the trace");
}

// A number read alone must have the parts that the decimal parser, which reads its text byte
// by byte, gives it.
void checkNumber(const est::Decimal& n, std::string_view text) {
  text = text.substr(0, text.find('\0'));
  auto blank = [](char c) { return c == ' ' || (c >= 0x09 && c <= 0x0D); };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  std::optional<est::Decimal> expected = est::Decimal::fromString(text);
  if (!expected || expected->coefficientHigh() != n.coefficientHigh() ||
      expected->coefficientLow() != n.coefficientLow() || expected->exponent() != n.exponent() ||
      expected->isNegative() != n.isNegative())
    fail("number differs from its byte-by-byte reading");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t mode = data[0];
  const bool fragment = mode & 1;
  static const std::uint64_t kLimits[] = {512, 0, 3, 40};
  const std::uint64_t limit = kLimits[(mode >> 1) & 3];
  std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);

  est::LxJsonParser parser;
  parser.setMaxDepth(limit);
  std::optional<est::Json> value =
      fragment ? parser.fragmentWithString(text) : parser.objectWithString(text);
  if (!value) {
    checkTrace(parser);
    return 0;
  }
  if (parser.hasErrorTrace()) fail("accepted with a trace");
  if (!fragment && !value->isContainer()) fail("object mode accepted a scalar");
  if (const est::Decimal* n = value->number()) checkNumber(*n, text);

  est::Json copy = *value;
  if (!(copy == *value)) fail("copy differs");

  est::LxJsonWriter writer;
  writer.setMaxDepth(0);
  est::LxJsonParser reader;
  reader.setMaxDepth(0);
  for (int style = 0; style < 4; ++style) {
    writer.setHumanReadable(style & 1);
    writer.setSortKeys(style & 2);
    std::optional<std::string> written = writer.stringWithFragment(*value);
    if (!written) fail("could not write an accepted tree");
    std::optional<est::Json> again = reader.fragmentWithString(*written);
    if (!again) fail("could not read what was written");
    if (!(*again == *value)) fail("round trip changed the tree");
    if (style == 0) {
      std::optional<std::string> rewritten = writer.stringWithFragment(*again);
      if (!rewritten || *rewritten != *written) fail("compact output is not a fixed point");
    }
  }
  return 0;
}
