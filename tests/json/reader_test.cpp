#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "json/json.h"
#include "platform/format.h"
#include "platform/log.h"

namespace est {
namespace {

std::vector<std::string> messages(const LxJsonBase& base) {
  std::vector<std::string> out;
  for (const Error& e : base.errorTrace()) out.push_back(e.description);
  return out;
}

std::vector<int> codes(const LxJsonBase& base) {
  std::vector<int> out;
  for (const Error& e : base.errorTrace()) out.push_back(e.code);
  return out;
}

struct Failure {
  std::string input;
  std::vector<std::string> trace;
  int outerCode;
};

// Every reader message, reached through the object entry point (fragments noted).
TEST(Reader, FailuresLeaveTheExpectedTraceInnermostFirst) {
  const std::vector<Failure> cases = {
      {"[+1]", {"Leading + disallowed in number", "Expected value while parsing array"}, 3},
      {"[01]", {"Leading 0 disallowed in number", "Expected value while parsing array"}, 3},
      {"[-01]", {"Leading 0 disallowed in number", "Expected value while parsing array"}, 3},
      {"[-]", {"No digits after initial minus", "Expected value while parsing array"}, 3},
      {"[-x]", {"No digits after initial minus", "Expected value while parsing array"}, 3},
      {"[1.]", {"No digits after decimal point", "Expected value while parsing array"}, 3},
      {"[1e]", {"No digits after exponent", "Expected value while parsing array"}, 3},
      {"[1e+]", {"No digits after exponent", "Expected value while parsing array"}, 3},
      {"[1e99999999999]",
       {"Failed creating decimal instance", "Expected value while parsing array"},
       3},
      {"[.5]", {"Unrecognised leading character", "Expected value while parsing array"}, 3},
      {"[tru]", {"Expected 'true'", "Expected value while parsing array"}, 3},
      {"[fals]", {"Expected 'false'", "Expected value while parsing array"}, 3},
      {"[nul]", {"Expected 'null'", "Expected value while parsing array"}, 3},
      {"{1:2}", {"Object key string expected"}, 3},
      {"{\"a\" 1}", {"Expected ':' separating key and value"}, 3},
      {"{\"a\":}", {"Unrecognised leading character", "Object value expected for key: a"}, 3},
      {"[\"a\tb\"]",
       {"Unescaped control character '0x9'", "Expected value while parsing array"},
       3},
      {"[\"abc", {"Unescaped control character '0x0'", "Expected value while parsing array"}, 3},
      {"[\"abc\\n",
       {"Unexpected EOF while parsing string", "Expected value while parsing array"},
       3},
      {"[\"\\q\"]", {"Illegal escape sequence '0x71'", "Expected value while parsing array"}, 3},
      {"[1,]", {"Trailing comma disallowed in array"}, 9},
      {"{\"a\":1,}", {"Trailing comma disallowed in object"}, 9},
      {"[1,[2,]]", {"Trailing comma disallowed in array", "Expected value while parsing array"}, 3},
      {"[1] x", {"Garbage after JSON"}, 10},
      {"[1]]", {"Garbage after JSON"}, 10},
      {"", {"Unexpected end of string"}, 11},
      {" \t\r\n\v\f", {"Unexpected end of string"}, 11},
      {"[", {"End of input while parsing array"}, 11},
      {"[1", {"End of input while parsing array"}, 11},
      {"[1,", {"End of input while parsing array"}, 11},
      {"[ ", {"Unexpected end of string", "Expected value while parsing array"}, 3},
      {"{", {"End of input while parsing object"}, 11},
      {"{\"a\":1", {"End of input while parsing object"}, 11},
      {"{ ", {"Object key string expected"}, 3},
      {"{\"a", {"Unescaped control character '0x0'", "Object key string expected"}, 3},
      {"{\"k\":{\"a\":[1,}}",
       {"Unrecognised leading character", "Expected value while parsing array",
        "Object value expected for key: a", "Object value expected for key: k"},
       3},
      {"1", {"Valid fragment, but not JSON"}, 4},
      {"\"s\"", {"Valid fragment, but not JSON"}, 4},
      {"trueX", {"Garbage after JSON"}, 10},
  };
  for (const Failure& c : cases) {
    LxJsonParser parser;
    EXPECT_FALSE(parser.objectWithString(c.input)) << c.input;
    EXPECT_EQ(messages(parser), c.trace) << c.input;
    ASSERT_TRUE(parser.lastError()) << c.input;
    EXPECT_EQ(parser.lastError()->code, c.outerCode) << c.input;
  }
}

TEST(Reader, CodesFollowTheMessages) {
  LxJsonParser parser;
  parser.objectWithString("[\"\\q\", 1]");
  EXPECT_EQ(codes(parser), (std::vector<int>{8, 3}));
  parser.objectWithString("[\"\x01\"]");
  EXPECT_EQ(codes(parser), (std::vector<int>{5, 3}));
  parser.objectWithString("[\"\\uD800\"]");
  EXPECT_EQ(codes(parser), (std::vector<int>{6, 6, 3}));
  parser.objectWithString("[+1]");
  EXPECT_EQ(codes(parser), (std::vector<int>{2, 3}));
  parser.objectWithString(std::nullopt);
  EXPECT_EQ(codes(parser), (std::vector<int>{12}));
  EXPECT_EQ(messages(parser), (std::vector<std::string>{"Input was 'nil'"}));
  parser.fragmentWithString(static_cast<const char*>(nullptr));
  EXPECT_EQ(messages(parser), (std::vector<std::string>{"Input was 'nil'"}));
}

TEST(Reader, TraceChainsOutermostToInnermostThroughUnderlying) {
  LxJsonParser parser;
  ASSERT_FALSE(parser.objectWithString("{\"k\":[\"\\u12g4\"]}"));
  std::vector<Error> trace = parser.errorTrace();
  ASSERT_EQ(trace.size(), 5u);
  EXPECT_EQ(trace.front().description, "Missing hex digit in quad");
  EXPECT_EQ(trace.back().description, "Object value expected for key: k");
  EXPECT_EQ(trace.front().underlying, nullptr);
  // Walking `underlying` from the last error visits the whole trace backwards.
  const Error* e = &trace.back();
  for (std::size_t i = trace.size(); i-- > 0;) {
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->description, trace[i].description);
    EXPECT_EQ(e->domain, "org.quenlor.JSON.ErrorDomain");
    e = e->underlying.get();
  }
  EXPECT_EQ(e, nullptr);
}

TEST(Reader, UnicodeEscapes) {
  LxJsonParser parser;
  auto one = [&](const std::string& body) -> std::string {
    auto v = parser.fragmentWithString("\"" + body + "\"");
    return v ? std::string(v->stringView()) : "<fail>";
  };
  EXPECT_EQ(one("\\u00e9"), "\xC3\xA9");
  EXPECT_EQ(one("\\u00E9x"), "\xC3\xA9x");
  EXPECT_EQ(one("\\uD83D\\uDE00"), "\xF0\x9F\x98\x80");
  EXPECT_EQ(one("\\u20AC"), "\xE2\x82\xAC");
  EXPECT_EQ(one("\\uFFFF"), "\xEF\xBF\xBF");
  EXPECT_EQ(one("a\\u0000b"), std::string("a\0b", 3));
  EXPECT_EQ(one("\\\"\\\\\\/\\b\\f\\n\\r\\t"), "\"\\/\b\f\n\r\t");

  const std::vector<std::pair<std::string, std::vector<std::string>>> broken = {
      {"\\uDE00", {"Invalid high character in surrogate pair", "Broken unicode character"}},
      {"\\uD83D", {"Missing low character in surrogate pair", "Broken unicode character"}},
      {"\\uD83Dx", {"Missing low character in surrogate pair", "Broken unicode character"}},
      {"\\uD83D\\n", {"Missing low character in surrogate pair", "Broken unicode character"}},
      {"\\uD83D\\u0041", {"Invalid low surrogate char", "Broken unicode character"}},
      {"\\uD83D\\uD83D", {"Invalid low surrogate char", "Broken unicode character"}},
      {"\\u12g4", {"Missing hex digit in quad", "Missing hex quad", "Broken unicode character"}},
      {"\\uD83D\\u12g4",
       {"Missing hex digit in quad", "Missing low character in surrogate pair",
        "Broken unicode character"}},
  };
  for (const auto& [body, trace] : broken) {
    EXPECT_FALSE(parser.fragmentWithString("\"" + body + "\"")) << body;
    EXPECT_EQ(messages(parser), trace) << body;
  }
  // The quad may be cut short by the end of the text.
  EXPECT_FALSE(parser.fragmentWithString("\"\\u12"));
  EXPECT_EQ(messages(parser),
            (std::vector<std::string>{"Missing hex digit in quad", "Missing hex quad",
                                      "Broken unicode character"}));
}

TEST(Reader, RawBytesMustBeWellFormedUtf8) {
  LxJsonParser parser;
  auto v = parser.fragmentWithString("\"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80\"");
  ASSERT_TRUE(v);
  EXPECT_EQ(v->stringView(), "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80");
  for (const char* bad : {"\"\xC3\"", "\"\xC0\xAF\"", "\"\xED\xA0\x80\"", "\"\xF4\x90\x80\x80\"",
                          "\"\x80\"", "\"abcdefghij\xFF\"", "\"\xE2\x82\"", "\"a\\n\xC3(\""}) {
    EXPECT_FALSE(parser.fragmentWithString(bad)) << bad;
    EXPECT_EQ(messages(parser), (std::vector<std::string>{"Broken unicode character"})) << bad;
  }
  // Escaped byte values above 0x7F are named by their byte value.
  EXPECT_FALSE(parser.fragmentWithString("\"\\\xC3\xA9\""));
  EXPECT_EQ(messages(parser), (std::vector<std::string>{"Illegal escape sequence '0xc3'"}));
}

TEST(Reader, AcceptsAndBuildsValues) {
  LxJsonParser parser;
  auto v = parser.objectWithString(" \n[1 2 , {\"a\":1 \"b\":[true,false,null]}, \"x\"]\r\n");
  ASSERT_TRUE(v) << messages(parser).front();
  ASSERT_EQ(v->array()->size(), 4u);
  EXPECT_EQ((*v)[0], Json(1));
  EXPECT_EQ((*v)[1], Json(2));
  EXPECT_EQ((*v)[2]["a"], Json(1));
  EXPECT_EQ((*v)[2]["b"], Json(JsonArray{true, false, nullptr}));
  EXPECT_EQ((*v)[3], Json("x"));
  EXPECT_FALSE(parser.hasErrorTrace());

  EXPECT_TRUE(parser.objectWithString("{}")->object()->empty());
  EXPECT_TRUE(parser.objectWithString("[]")->array()->empty());
  for (const char* scalar : {"1", "-0", "0.5", "1E-3", "true", "false", "null", "\"s\""}) {
    EXPECT_TRUE(parser.fragmentWithString(scalar)) << scalar;
    EXPECT_FALSE(parser.objectWithString(scalar)) << scalar;
  }
  EXPECT_TRUE(parser.fragmentWithString("null")->isNull());
}

TEST(Reader, DuplicateKeyKeepsLastValueAtFirstPosition) {
  LxJsonParser parser;
  auto v = parser.objectWithString("{\"a\":1,\"b\":2,\"a\":3}");
  ASSERT_TRUE(v);
  const JsonObject& o = *v->object();
  ASSERT_EQ(o.size(), 2u);
  EXPECT_EQ(o.begin()->key(), "a");
  EXPECT_EQ(o.begin()->value, Json(3));
  // Same rule past the size where objects switch to hashed lookup.
  std::string big = "{";
  for (int i = 0; i < 100; ++i) big += "\"k" + std::to_string(i) + "\":" + std::to_string(i) + ",";
  big += "\"k7\":\"last\",\"k99\":null}";
  v = parser.objectWithString(big);
  ASSERT_TRUE(v);
  EXPECT_EQ(v->object()->size(), 100u);
  EXPECT_EQ((*v)["k7"], Json("last"));
  EXPECT_TRUE((*v)["k99"].isNull());
  EXPECT_EQ((*v)["k42"], Json(42));
}

TEST(Reader, NumbersKeepTheirExactDigits) {
  LxJsonParser parser;
  auto v = parser.objectWithString(
      "[0, -0, 1.50, 2E+3, 0.1, 48213, 12345678901234567890123456789012345678, "
      "-65.613616999999977, 1e-7, 0.000001]");
  ASSERT_TRUE(v);
  std::vector<std::string> texts;
  for (const Json& n : *v->array()) texts.push_back(*n.textValue());
  EXPECT_EQ(texts, (std::vector<std::string>{"0", "-0", "1.50", "2E+3", "0.1", "48213",
                                             "12345678901234567890123456789012345678",
                                             "-65.613616999999977", "1E-7", "0.000001"}));
}

// Strings are searched 16 and 8 bytes at a time; a stop byte must be found wherever it falls in
// a block, whether or not a whole block remains before the end of the input.
TEST(Reader, StringScanFindsEveryStopByteAtEveryOffset) {
  LxJsonParser parser;
  for (std::size_t before = 0; before < 48; ++before) {
    const std::string head(before, 'a');
    for (const std::string& tail : {std::string(), std::string(40, ' ')}) {
      auto read = [&](const std::string& body) {
        return parser.fragmentWithString("\"" + body + "\"" + tail);
      };
      auto v = read(head);
      ASSERT_TRUE(v) << before;
      EXPECT_EQ(v->stringView(), head);
      v = read(head + "\\n" + head);
      ASSERT_TRUE(v) << before;
      EXPECT_EQ(v->stringView(), head + "\n" + head);
      v = read(head + "\xC3\xA9" + head);
      ASSERT_TRUE(v) << before;
      EXPECT_EQ(v->stringView(), head + "\xC3\xA9" + head);
      for (char control : {'\x01', '\x1F', '\t'}) {
        EXPECT_FALSE(read(head + control + "zz")) << before;
        EXPECT_EQ(messages(parser),
                  (std::vector<std::string>{strprintf("Unescaped control character '0x%x'",
                                                      static_cast<unsigned>(control))}));
      }
      EXPECT_FALSE(read(head + "\xFF"));
      EXPECT_EQ(messages(parser), (std::vector<std::string>{"Broken unicode character"}));
    }
    // Unterminated: the end of the input is the stop.
    EXPECT_FALSE(parser.fragmentWithString("\"" + head));
    EXPECT_EQ(messages(parser), (std::vector<std::string>{"Unescaped control character '0x0'"}));
  }
}

TEST(Reader, WhitespaceRunsOfEveryLength) {
  LxJsonParser parser;
  const std::string blanks = " \t\n\r\v\f";
  for (std::size_t n = 0; n < 40; ++n) {
    std::string ws;
    for (std::size_t i = 0; i < n; ++i) ws += blanks[i % blanks.size()];
    auto v = parser.objectWithString(ws + "[" + ws + "1" + ws + "," + ws + "{" + ws + "\"k\"" + ws +
                                     ":" + ws + "2" + ws + "}" + ws + "]" + ws);
    ASSERT_TRUE(v) << n;
    EXPECT_EQ(*v, Json(JsonArray{1, Json(JsonObject{{"k", 2}})}));
    // The bytes next to the whitespace range are not whitespace.
    for (char c : {'\x08', '\x0E', '\x1F'}) {
      EXPECT_FALSE(parser.objectWithString("[" + ws + c + ws + "]")) << n;
      EXPECT_EQ(messages(parser), (std::vector<std::string>{"Unrecognised leading character",
                                                            "Expected value while parsing array"}));
    }
  }
}

// Digits are read eight at a time, sixteen when that many bytes remain; every length, on both
// sides of the point, near or far from the end of the text and at the 19/20 digit edge of the
// fast path, must give the same number as reading the text digit by digit.
TEST(Reader, NumbersOfEveryDigitCountAreExact) {
  LxJsonParser parser;
  auto digits = [](std::size_t n, int first) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s += static_cast<char>('0' + (first + i * 7) % 10);
    if (!s.empty() && s[0] == '0') s[0] = '9';
    return s;
  };
  for (std::size_t whole = 1; whole <= 40; ++whole) {
    for (std::size_t fraction = 0; fraction <= 24; ++fraction) {
      std::string text = digits(whole, 1);
      if (fraction) text += "." + digits(fraction, 3);
      for (const char* after : {"", "]", ",0]", " ]", "e-2]", "                ]"}) {
        const bool inArray = *after != '\0';
        const std::string number = text + (std::string(after).starts_with("e") ? "e-2" : "");
        std::optional<Decimal> expected = Decimal::fromString(number);
        auto v = parser.fragmentWithString(inArray ? "[" + text + after : text);
        ASSERT_EQ(v.has_value(), expected.has_value()) << number;
        if (!v) {
          EXPECT_EQ(messages(parser).front(), "Failed creating decimal instance");
          continue;
        }
        const Json& n = inArray ? (*v)[0] : *v;
        ASSERT_TRUE(n.number()) << number;
        EXPECT_EQ(n.number()->coefficientHigh(), expected->coefficientHigh()) << number;
        EXPECT_EQ(n.number()->coefficientLow(), expected->coefficientLow()) << number;
        EXPECT_EQ(n.number()->exponent(), expected->exponent()) << number;
        // Past 38 digits only zeros are accepted, and they are not kept.
        if ((*after == '\0' || *after == ']') && whole + fraction <= Decimal::kMaxDigits) {
          EXPECT_EQ(*n.textValue(), number);
        }
      }
    }
  }
  for (const char* edge : {"9999999999999999999", "10000000000000000000", "18446744073709551615",
                           "18446744073709551616", "-0.0000000000000000001"}) {
    auto v = parser.fragmentWithString(edge);
    ASSERT_TRUE(v) << edge;
    EXPECT_EQ(*v->number(), *Decimal::fromString(edge)) << edge;
    EXPECT_EQ(*v->textValue(), Decimal::fromString(edge)->toString()) << edge;
  }
  // A digit run ends at the first byte that is not a digit, whatever its neighbours.
  for (std::size_t n = 1; n <= 20; ++n) {
    for (char c : {'/', ':', '\xB0', 'a'}) {
      EXPECT_FALSE(parser.objectWithString("[" + digits(n, 5) + c + "1234567]")) << n << c;
      EXPECT_EQ(messages(parser), (std::vector<std::string>{"Unrecognised leading character",
                                                            "Expected value while parsing array"}));
    }
  }
}

TEST(Reader, TextEndsAtFirstNul) {
  LxJsonParser parser;
  EXPECT_TRUE(parser.objectWithString(std::string("[1]\0garbage", 11)));
  EXPECT_FALSE(parser.objectWithString(std::string("[1\0]", 4)));
  EXPECT_EQ(messages(parser), (std::vector<std::string>{"End of input while parsing array"}));
  EXPECT_FALSE(parser.objectWithString(std::string("[\"a\0\"]", 6)));
  EXPECT_EQ(messages(parser).front(), "Unescaped control character '0x0'");
  EXPECT_FALSE(parser.objectWithString(std::string("\0[1]", 4)));
  EXPECT_EQ(messages(parser), (std::vector<std::string>{"Unexpected end of string"}));
}

std::string nested(int depth, const char* open, const char* close, const char* inner = "") {
  std::string s;
  for (int i = 0; i < depth; ++i) s += open;
  s += inner;
  for (int i = 0; i < depth; ++i) s += close;
  return s;
}

TEST(Reader, NestingLimit) {
  LxJsonParser parser;
  EXPECT_EQ(parser.maxDepth(), 512u);
  EXPECT_TRUE(parser.objectWithString(nested(512, "[", "]")));
  EXPECT_FALSE(parser.objectWithString(nested(513, "[", "]")));
  std::vector<std::string> trace = messages(parser);
  ASSERT_EQ(trace.size(), 513u);
  EXPECT_EQ(trace.front(), "Nested too deep");
  EXPECT_EQ(trace.back(), "Expected value while parsing array");
  EXPECT_EQ(parser.lastError()->code, 3);

  EXPECT_TRUE(parser.objectWithString(nested(512, "{\"a\":", "}", "1")));
  EXPECT_FALSE(parser.objectWithString(nested(513, "{\"a\":", "}", "1")));
  EXPECT_EQ(messages(parser).front(), "Nested too deep");
  EXPECT_EQ(messages(parser).back(), "Object value expected for key: a");

  parser.setMaxDepth(2);
  EXPECT_TRUE(parser.objectWithString("[[1],{\"a\":1}]"));
  EXPECT_FALSE(parser.objectWithString("[[[1]]]"));
  EXPECT_EQ(codes(parser), (std::vector<int>{7, 3, 3}));

  // No limit means none: deep input neither fails nor exhausts the native stack.
  parser.setMaxDepth(0);
  auto deep = parser.objectWithString(nested(200000, "[", "]", "7"));
  ASSERT_TRUE(deep);
  const Json* cursor = &*deep;
  int depth = 0;
  while (cursor->isArray()) {
    cursor = &(*cursor)[0];
    ++depth;
  }
  EXPECT_EQ(depth, 200000);
  EXPECT_EQ(*cursor, Json(7));
  EXPECT_FALSE(parser.objectWithString(nested(200000, "[", "]", "x")));
  EXPECT_EQ(messages(parser).size(), 200001u);
}

// The outermost error of a very deep failure chains to 200000 others; it must still be safe
// to keep it past the parser and to let it go.
TEST(Reader, LongErrorChainsOutliveTheParser) {
  std::optional<Error> outer;
  {
    LxJsonParser parser;
    parser.setMaxDepth(0);
    EXPECT_FALSE(parser.objectWithString(nested(200000, "{\"k\":", "}", "]")));
    outer = parser.lastError();
  }
  ASSERT_TRUE(outer);
  std::size_t length = 0;
  for (const Error* e = &*outer; e; e = e->underlying.get()) ++length;
  EXPECT_EQ(length, 200001u);
  outer.reset();
  LxJSON json;
  json.setMaxDepth(0);
  Error error;
  EXPECT_FALSE(json.objectWithString(std::string(200000, '['), &error));
  EXPECT_EQ(error.description, "Expected value while parsing array");
  EXPECT_EQ(json.errorTrace().front().description, "End of input while parsing array");
}

TEST(Reader, EachCallStartsAfresh) {
  LxJsonParser parser;
  EXPECT_FALSE(parser.objectWithString("[[[1,]]]"));
  EXPECT_TRUE(parser.hasErrorTrace());
  auto v = parser.objectWithString("[[1]]");
  ASSERT_TRUE(v);
  EXPECT_FALSE(parser.hasErrorTrace());
  EXPECT_TRUE(parser.errorTrace().empty());
  EXPECT_EQ(parser.depth(), 0u);
  EXPECT_EQ(*v, Json(JsonArray{Json(JsonArray{1})}));
}

TEST(Reader, ObserversHearEveryTraceChange) {
  LxJsonParser parser;
  std::vector<LxJsonBase::TraceChange> heard;
  std::vector<std::size_t> sizesAfter;
  int token = parser.addErrorTraceObserver([&](const LxJsonBase& b, LxJsonBase::TraceChange c) {
    heard.push_back(c);
    if (c == LxJsonBase::TraceChange::DidChange) sizesAfter.push_back(b.errorTrace().size());
  });
  parser.objectWithString("[x]");  // two errors
  parser.objectWithString("[1]");  // clears
  EXPECT_EQ(sizesAfter, (std::vector<std::size_t>{1, 2, 0}));
  ASSERT_EQ(heard.size(), 6u);
  for (std::size_t i = 0; i < heard.size(); ++i)
    EXPECT_EQ(heard[i],
              i % 2 ? LxJsonBase::TraceChange::DidChange : LxJsonBase::TraceChange::WillChange);
  parser.removeErrorTraceObserver(token);
  parser.objectWithString("[x]");
  EXPECT_EQ(heard.size(), 6u);
}

TEST(Facade, CopiesTheTraceAndReportsTheOutermostError) {
  LxJSON json;
  Error error;
  EXPECT_FALSE(json.objectWithString("[1,]", &error));
  EXPECT_EQ(error.code, 9);
  EXPECT_EQ(error.domain, LxJSONErrorDomain);
  EXPECT_EQ(messages(json), messages(json.jsonParser));

  EXPECT_FALSE(json.objectWithString("7", &error));
  EXPECT_EQ(error.description, "Valid fragment, but not JSON");
  auto seven = json.fragmentWithString("7", &error);
  ASSERT_TRUE(seven);
  EXPECT_EQ(*seven, Json(7));

  EXPECT_FALSE(json.fragmentWithString("[{\"a\":[}]", &error));
  EXPECT_EQ(error.description, "Expected value while parsing array");
  ASSERT_TRUE(error.underlying);
  EXPECT_EQ(error.underlying->description, "Object value expected for key: a");

  json.setMaxDepth(1);
  EXPECT_EQ(json.jsonParser.maxDepth(), 1u);
  EXPECT_EQ(json.jsonWriter.maxDepth(), 1u);
  EXPECT_FALSE(json.objectWithString("[[1]]"));
  EXPECT_EQ(messages(json).front(), "Nested too deep");
}

TEST(Convenience, JSONValueLogsTheTraceOnFailure) {
  LogCapture log;
  auto v = JSONValue("{\"status\":0}");
  ASSERT_TRUE(v);
  EXPECT_EQ((*v)["status"].textValue(), "0");
  EXPECT_TRUE(log.lines().empty());

  EXPECT_FALSE(JSONValue("[1,]"));
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_EQ(log.lines()[0],
            "-JSONValue failed. Error trace is: (Error Domain=org.quenlor.JSON.ErrorDomain Code=9 "
            "\"Trailing comma disallowed in array\")");
  log.clear();
  EXPECT_FALSE(JSONValue("\"just text\""));
  EXPECT_TRUE(log.contains("Valid fragment, but not JSON"));
  log.clear();
  EXPECT_FALSE(JSONValue(std::nullopt));
  EXPECT_FALSE(JSONValue(static_cast<const char*>(nullptr)));
  EXPECT_TRUE(log.lines().empty());

  EXPECT_EQ(JSONFragmentValue("\"t\""), Json("t"));
  EXPECT_FALSE(JSONFragmentValue("{\"a\\n\":}"));
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_EQ(log.lines()[0].rfind("-JSONFragmentValue failed. Error trace is: (", 0), 0u);
  // Key text from the input cannot break the log line.
  EXPECT_NE(log.lines()[0].find("key: a\\u000a"), std::string::npos);
}

}  // namespace
}  // namespace est
