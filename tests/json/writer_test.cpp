#include <gtest/gtest.h>

#include <fstream>
#include <limits>
#include <sstream>
#include <string>

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

class Date : public JsonOpaque {
 public:
  std::string className() const override { return "NSDate"; }
};

// Stands in for itself as an object holding its identifier.
class Ticket : public JsonOpaque {
 public:
  std::string className() const override { return "Ticket"; }
  std::optional<Json> proxyForJson() const override { return Json(JsonObject{{"id", 7}}); }
};

class Circular : public JsonOpaque, public std::enable_shared_from_this<Circular> {
 public:
  std::string className() const override { return "Circular"; }
  std::optional<Json> proxyForJson() const override { return Json(shared_from_this()); }
};

TEST(Writer, CompactAndHumanReadable) {
  Json v(JsonObject{{"a", JsonArray{1, true}}});
  LxJsonWriter writer;
  EXPECT_EQ(writer.stringWithObject(v), "{\"a\":[1,true]}");
  writer.setHumanReadable(true);
  EXPECT_EQ(writer.stringWithObject(v), "{\n  \"a\" : [\n    1,\n    true\n  ]\n}");
  Json empties(JsonArray{JsonArray{}, JsonObject{}, nullptr});
  EXPECT_EQ(writer.stringWithObject(empties), "[\n  [],\n  {},\n  null\n]");
  // Without a nesting limit the indentation still follows the depth.
  writer.setMaxDepth(0);
  EXPECT_EQ(writer.stringWithObject(Json(JsonArray{JsonArray{JsonArray{1}}})),
            "[\n  [\n    [\n      1\n    ]\n  ]\n]");
}

TEST(Writer, SortedKeys) {
  auto v = JSONValue("{\"b\":{\"z\":1,\"y\":2},\"a\":0,\"B\":[{\"d\":1,\"c\":2}]}");
  LxJsonWriter writer;
  EXPECT_EQ(writer.stringWithObject(*v),
            "{\"b\":{\"z\":1,\"y\":2},\"a\":0,\"B\":[{\"d\":1,\"c\":2}]}");
  writer.setSortKeys(true);
  EXPECT_EQ(writer.stringWithObject(*v),
            "{\"B\":[{\"c\":2,\"d\":1}],\"a\":0,\"b\":{\"y\":2,\"z\":1}}");
}

TEST(Writer, StringEscapes) {
  LxJsonWriter writer;
  EXPECT_EQ(writer.stringWithFragment(Json("\t\"\\\x01/\xC3\xA9\x7F")),
            "\"\\t\\\"\\\\\\u0001/\xC3\xA9\x7F\"");
  std::string controls;
  for (int c = 0; c < 0x20; ++c) controls += static_cast<char>(c);
  EXPECT_EQ(writer.stringWithFragment(Json(controls)),
            "\"\\u0000\\u0001\\u0002\\u0003\\u0004\\u0005\\u0006\\u0007\\b\\t\\n\\u000b\\f\\r"
            "\\u000e\\u000f\\u0010\\u0011\\u0012\\u0013\\u0014\\u0015\\u0016\\u0017\\u0018"
            "\\u0019\\u001a\\u001b\\u001c\\u001d\\u001e\\u001f\"");
  // Long runs on both sides of an escape, as the word-at-a-time scan meets them.
  std::string longText = std::string(37, 'a') + "\"" + std::string(41, 'b') + "\n";
  EXPECT_EQ(writer.stringWithFragment(Json(longText)),
            "\"" + std::string(37, 'a') + "\\\"" + std::string(41, 'b') + "\\n\"");
  // Space kept from a longer text must not leak into a shorter one.
  EXPECT_EQ(writer.stringWithFragment(Json(std::string(5000, 'z'))),
            "\"" + std::string(5000, 'z') + "\"");
  EXPECT_EQ(writer.stringWithFragment(Json("s")), "\"s\"");
  // Keys are strings too.
  EXPECT_EQ(writer.stringWithObject(Json(JsonObject{{"k\"", 1}})), "{\"k\\\"\":1}");
}

// Texts are written through a 16-byte copy when short and scanned in blocks when long; an
// escape must come out right at every position, in values and in keys alike.
TEST(Writer, EscapesAtEveryPositionOfShortAndLongTexts) {
  auto reference = [](const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
      if (c == '"' || c == '\\')
        out += std::string("\\") + static_cast<char>(c);
      else if (c == '\n')
        out += "\\n";
      else if (c < 0x20)
        out += strprintf("\\u%04x", c);
      else
        out += static_cast<char>(c);
    }
    return out + "\"";
  };
  LxJsonWriter writer;
  for (std::size_t length = 1; length <= 40; ++length) {
    for (std::size_t at = 0; at < length; ++at) {
      for (char special : {'"', '\\', '\n', '\x01', '\x1F', '\x7F', '/'}) {
        std::string text(length, 'q');
        text[at] = special;
        EXPECT_EQ(writer.stringWithFragment(Json(text)), reference(text)) << length << at;
        EXPECT_EQ(writer.stringWithObject(Json(JsonObject{{text, text}})),
                  "{" + reference(text) + ":" + reference(text) + "}")
            << length << at;
      }
    }
    const std::string plain(length, 'p');
    EXPECT_EQ(writer.stringWithObject(Json(JsonArray{plain, JsonObject{{plain, 1}}})),
              "[\"" + plain + "\",{\"" + plain + "\":1}]");
  }
}

TEST(Writer, ObjectsOnlyUnlessFragment) {
  LxJsonWriter writer;
  for (const Json& scalar : {Json("s"), Json(3), Json(nullptr), Json(false)}) {
    EXPECT_FALSE(writer.stringWithObject(scalar));
    EXPECT_EQ(messages(writer), (std::vector<std::string>{"Not valid type for JSON"}));
    EXPECT_EQ(writer.lastError()->code, 4);
    EXPECT_TRUE(writer.stringWithFragment(scalar));
  }
  EXPECT_EQ(writer.stringWithFragment(Json(-2.5)), "-2.5");
  EXPECT_EQ(writer.stringWithFragment(*JSONFragmentValue("1.50")), "1.50");
}

TEST(Writer, ValuesJsonCannotSpell) {
  LxJsonWriter writer;
  EXPECT_FALSE(writer.stringWithObject(Json(JsonArray{1, Json(std::make_shared<Date>())})));
  EXPECT_EQ(messages(writer),
            (std::vector<std::string>{"JSON serialisation not supported for NSDate"}));
  EXPECT_EQ(writer.lastError()->code, 1);

  Json inObject(JsonObject{{"when", JsonArray{Json(std::make_shared<Date>())}}});
  EXPECT_FALSE(writer.stringWithObject(inObject));
  EXPECT_EQ(messages(writer),
            (std::vector<std::string>{"JSON serialisation not supported for NSDate",
                                      "Unsupported value for key when in object"}));

  EXPECT_FALSE(writer.stringWithObject(Json(JsonArray{std::numeric_limits<double>::infinity()})));
  EXPECT_EQ(messages(writer),
            (std::vector<std::string>{"JSON serialisation not supported for double"}));

  // Substitutes are written in place of the value, at the top and inside containers.
  Json ticket(std::make_shared<Ticket>());
  EXPECT_EQ(writer.stringWithObject(ticket), "{\"id\":7}");
  EXPECT_EQ(writer.stringWithObject(Json(JsonArray{ticket})), "[{\"id\":7}]");
  Json circular(std::make_shared<Circular>());
  EXPECT_FALSE(writer.stringWithObject(Json(JsonArray{circular})));
  EXPECT_EQ(messages(writer),
            (std::vector<std::string>{"JSON serialisation not supported for Circular"}));
  EXPECT_FALSE(writer.stringWithObject(circular));
  EXPECT_EQ(messages(writer), (std::vector<std::string>{"Not valid type for JSON"}));
}

TEST(Writer, NestingLimit) {
  Json deep = 1;
  for (int i = 0; i < 512; ++i) deep = Json(JsonArray{deep});
  LxJsonWriter writer;
  EXPECT_TRUE(writer.stringWithObject(deep));
  deep = Json(JsonObject{{"k", deep}});
  EXPECT_FALSE(writer.stringWithObject(deep));
  std::vector<std::string> trace = messages(writer);
  EXPECT_EQ(trace,
            (std::vector<std::string>{"Nested too deep", "Unsupported value for key k in object"}));
  writer.setMaxDepth(0);
  auto text = writer.stringWithObject(deep);
  ASSERT_TRUE(text);
  EXPECT_EQ(text->size(), 5u + 512 * 2 + 1 + 1);  // {"k": [...1...] }
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Writing what was read and reading it again gives the same tree, in every output style.
TEST(Writer, RoundTripsRealDocuments) {
  for (const char* name : {"twitter.json", "canada.json", "citm_catalog.json"}) {
    std::string text = readFile(std::string(EST_JSON_TEST_DATA) + "/" + name);
    ASSERT_FALSE(text.empty()) << name;
    LxJSON json;
    auto tree = json.objectWithString(text);
    ASSERT_TRUE(tree) << name;
    for (int style = 0; style < 4; ++style) {
      json.setHumanReadable(style & 1);
      json.setSortKeys(style & 2);
      auto written = json.stringWithObject(*tree);
      ASSERT_TRUE(written) << name;
      auto again = json.objectWithString(*written);
      ASSERT_TRUE(again) << name;
      EXPECT_EQ(*again, *tree) << name << " style " << style;
      if (style == 0) {
        EXPECT_EQ(json.stringWithObject(*again), *written) << name;
      }
    }
  }
}

TEST(Convenience, RepresentationLogsItsFailures) {
  LogCapture log;
  EXPECT_EQ(JSONRepresentation(Json(JsonObject{{"a", 1}})), "{\"a\":1}");
  EXPECT_EQ(JSONFragment(Json("x")), "\"x\"");
  EXPECT_TRUE(log.lines().empty());
  EXPECT_FALSE(JSONRepresentation(Json(1)));
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_EQ(
      log.lines()[0],
      "-JSONRepresentation failed. Error trace is: (Error Domain=org.quenlor.JSON.ErrorDomain "
      "Code=4 \"Not valid type for JSON\")");
  log.clear();
  EXPECT_FALSE(JSONFragment(Json(std::make_shared<Date>())));
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_NE(log.lines()[0].find("-JSONFragment failed. Error trace is: ("), std::string::npos);
  EXPECT_NE(log.lines()[0].find("NSDate"), std::string::npos);
}

TEST(Facade, WriterSideCopiesTheTrace) {
  LxJSON json;
  Error error;
  EXPECT_FALSE(json.stringWithObject(Json(2), &error));
  EXPECT_EQ(error.code, 4);
  EXPECT_EQ(json.stringWithFragment(Json(2), &error), "2");
  json.setMaxDepth(1);
  EXPECT_FALSE(json.stringWithObject(Json(JsonArray{JsonArray{}}), false, &error));
  EXPECT_EQ(error.description, "Nested too deep");
  EXPECT_EQ(messages(json), (std::vector<std::string>{"Nested too deep"}));
}

}  // namespace
}  // namespace est
