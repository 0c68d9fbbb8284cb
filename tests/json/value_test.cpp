#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "json/json.h"

namespace est {
namespace {

TEST(Value, ReplyReadingHelpers) {
  auto reply = JSONValue(
      "{\"status\":0,\"price\":\"25.0\",\"cost\":37.5,\"ticket\":{\"idTicket\":48213,"
      "\"inicio\":\"14:00\"},\"code\":\"0\",\"ok\":true}");
  ASSERT_TRUE(reply);
  const Json& r = *reply;
  EXPECT_EQ(r["status"].textValue(), "0");
  EXPECT_EQ(r["code"].textValue(), "0");
  EXPECT_EQ(r["price"].doubleValue(), 25.0);
  EXPECT_EQ(r["cost"].doubleValue(), 37.5);
  EXPECT_EQ(r["ticket"]["idTicket"].int64Value(), 48213);
  EXPECT_EQ(r["ticket"]["inicio"].stringView(), "14:00");
  EXPECT_EQ(r["ok"].boolValue(), true);
  // Absent keys and wrong kinds give null and nothing, never a crash.
  EXPECT_TRUE(r["missing"]["deeper"][3].isNull());
  EXPECT_FALSE(r["missing"].textValue());
  EXPECT_FALSE(r["ok"].textValue());
  EXPECT_FALSE(r["ticket"].doubleValue());
  EXPECT_FALSE(r["ticket"]["inicio"].int64Value());
  EXPECT_FALSE(r["cost"].int64Value());
  EXPECT_EQ(r.find("nope"), nullptr);
  EXPECT_EQ(r["status"].find("x"), nullptr);
}

TEST(Value, StringsOfEveryLength) {
  EXPECT_TRUE(Json(static_cast<const char*>(nullptr)).isNull());
  for (std::size_t n : {0u, 1u, 21u, 22u, 23u, 24u, 1000u}) {
    std::string s(n, 'x');
    if (n > 3) s[2] = '\0';
    Json v(s);
    Json copy = v;
    EXPECT_EQ(v.stringView(), s);
    EXPECT_EQ(copy.stringView(), s);
    Json moved = std::move(copy);
    EXPECT_EQ(moved.stringView(), s);
    EXPECT_TRUE(copy.isNull());
    JsonObject o;
    o.set(s, v);
    EXPECT_EQ(o.begin()->key(), s);
    EXPECT_EQ(*o.find(s), v);
  }
}

// Tree storage is recycled per thread; a tree may still be handed to and dropped by another.
TEST(Value, TreesMoveBetweenThreads) {
  const std::string text =
      "[{\"long key that lives on the heap\":[1,2,3]},\"a text of more than 22 bytes\"]";
  std::optional<Json> tree = JSONValue(text);
  ASSERT_TRUE(tree);
  const Json expected = *tree;
  std::optional<Json> again;
  std::thread other([&] {
    EXPECT_EQ(*tree, expected);
    tree.reset();
    again = JSONValue(text);  // built from this thread's storage, released by the main one
  });
  other.join();
  ASSERT_TRUE(again);
  EXPECT_EQ(*again, expected);
  again.reset();
  EXPECT_EQ(JSONValue(text), expected);
}

TEST(Value, ObjectKeepsInsertionOrderAndReplacesInPlace) {
  JsonObject o{{"b", 1}, {"a", 2}, {"c", 3}};
  o.set("a", "two");
  o["d"] = 4;
  std::string keys;
  for (const JsonMember& m : o) keys += m.key();
  EXPECT_EQ(keys, "bacd");
  EXPECT_EQ(*o.find("a"), Json("two"));
  EXPECT_TRUE(o.erase("b"));
  EXPECT_FALSE(o.erase("b"));
  EXPECT_FALSE(o.contains("b"));
  EXPECT_EQ(o.size(), 3u);

  std::string sorted;
  JsonObject s{{"b", 1}, {"\xC3\xA9", 1}, {"B", 1}, {"a", 1}, {"ab", 1}};
  for (const JsonMember* m : s.sortedMembers()) sorted += std::string(m->key()) + " ";
  EXPECT_EQ(sorted, "B a ab b \xC3\xA9 ");
}

TEST(Value, LargeObjectsFindEveryKeyThroughChanges) {
  JsonObject o;
  for (int i = 0; i < 500; ++i) o.set("key" + std::to_string(i), i);
  for (int i = 0; i < 500; i += 2) ASSERT_TRUE(o.erase("key" + std::to_string(i)));
  for (int i = 0; i < 500; ++i) {
    const Json* v = o.find("key" + std::to_string(i));
    if (i % 2)
      ASSERT_TRUE(v && *v == Json(i)) << i;
    else
      ASSERT_EQ(v, nullptr) << i;
  }
  o.set("key1", "changed");
  EXPECT_EQ(o.size(), 250u);
  EXPECT_EQ(o.begin()->value, Json("changed"));
  JsonObject copy = o;
  EXPECT_EQ(copy, o);
  EXPECT_EQ(*copy.find("key499"), Json(499));
}

TEST(Value, CopiesAreDeepAndAssignmentsSurviveAliasing) {
  Json tree = *JSONValue("{\"a\":[1,{\"b\":[2,3]}],\"c\":\"text\"}");
  Json copy = tree;
  copy.object()->find("a")->array()->push_back(4);
  EXPECT_EQ(tree["a"].array()->size(), 2u);
  EXPECT_FALSE(copy == tree);

  Json self = tree;
  self = self;  // self-assignment keeps the value
  EXPECT_EQ(self, tree);
  // Assigning a part of a tree to the tree itself must not read freed memory.
  self = self["a"][1];
  EXPECT_EQ(self, *JSONValue("{\"b\":[2,3]}"));
  Json other = tree;
  other = std::move(*other.object()->find("a"));
  EXPECT_EQ(other, tree["a"]);

  Json x = 1, y = "y";
  x.swap(y);
  EXPECT_EQ(x, Json("y"));
  EXPECT_EQ(y, Json(1));
}

TEST(Value, EqualityByValue) {
  EXPECT_EQ(*JSONValue("{\"a\":1,\"b\":[1.5]}"), *JSONValue("{\"b\":[1.50],\"a\":1e0}"));
  EXPECT_FALSE(*JSONValue("[1,2]") == *JSONValue("[2,1]"));
  EXPECT_FALSE(*JSONValue("{\"a\":1}") == *JSONValue("{\"a\":1,\"b\":1}"));
  EXPECT_FALSE(Json(1) == Json("1"));
  EXPECT_FALSE(Json(true) == Json(1));
  EXPECT_FALSE(Json(nullptr) == Json(false));
  EXPECT_EQ(Json(0.5), Json(Decimal::fromString("0.50").value()));
}

TEST(Value, DeepTreesNeedNoNativeStack) {
  Json deep = 1;
  for (int i = 0; i < 1'000'000; ++i) {
    JsonArray a;
    a.push_back(std::move(deep));
    deep = Json(std::move(a));
  }
  Json copy = deep;
  EXPECT_EQ(copy, deep);
  Json objects = 1;
  for (int i = 0; i < 300'000; ++i) {
    JsonObject o;
    o.set("k", std::move(objects));
    objects = Json(std::move(o));
  }
  Json objectsCopy = objects;
  EXPECT_EQ(objectsCopy, objects);
  // Destruction at scope end is the rest of the test.
}

}  // namespace
}  // namespace est
