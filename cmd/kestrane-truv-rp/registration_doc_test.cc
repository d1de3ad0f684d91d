#include "registration_doc.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

using namespace std::string_literals;

namespace {

using Doc = std::map<std::string, std::string>;

struct AcceptCase {
  const char* name;
  std::string input;
  Doc want;
};
// Listings and failures show a case by its name, not its bytes.
void PrintTo(const AcceptCase& c, std::ostream* os) { *os << c.name; }

const AcceptCase kAccepted[] = {
    {"null", "null", {}},
    {"empty object", "{}", {}},
    {"whitespace around", " \t\r\n{\"a\":\"b\"} \n", {{"a", "b"}}},
    {"exported document",
     R"({"address":"10.0.0.1:443","dc-uid":"dc1","digest":"ab:cd","secret":"s3","stat":"10.0.0.1:44444"})",
     {{"address", "10.0.0.1:443"}, {"dc-uid", "dc1"}, {"digest", "ab:cd"}, {"secret", "s3"}, {"stat", "10.0.0.1:44444"}}},
    {"duplicate member keeps last", R"({"a":"1","b":"x","a":"2"})", {{"a", "2"}, {"b", "x"}}},
    {"null after string", R"({"a":"1","a":null})", {{"a", ""}}},
    {"null member", R"({"dc-uid":null})", {{"dc-uid", ""}}},
    {"unknown members kept", R"({"DC-UID":"x","other":"y"})", {{"DC-UID", "x"}, {"other", "y"}}},
    {"empty name and value", R"({"":""})", {{"", ""}}},
    {"escapes undone", R"({"a\"b":"\\\/\b\f\n\r\t\u00e9\ud83d\ude00\u003c"})",
     {{"a\"b", "\\/\b\f\n\r\t\xC3\xA9\xF0\x9F\x98\x80<"}}},
    {"escaped nul kept", R"({"a\u0000":"x\u0000y"})", {{"a\0"s, "x\0y"s}}},
    {"raw utf-8 kept", "{\"caf\xC3\xA9\":\"\xE2\x82\xAC\"}", {{"caf\xC3\xA9", "\xE2\x82\xAC"}}},
};

class AcceptTest : public testing::TestWithParam<AcceptCase> {};

TEST_P(AcceptTest, GivesMembers) {
  const AcceptCase& c = GetParam();
  Doc doc = {{"stale", "entry"}};
  std::string err;
  ASSERT_TRUE(parseRegistrationDocument(c.input, &doc, &err)) << err;
  EXPECT_EQ(doc, c.want);
}

struct RejectCase {
  const char* name;
  std::string input;
  const char* errPart;  // a text the description must hold, or ""
};
void PrintTo(const RejectCase& c, std::ostream* os) { *os << c.name; }

const RejectCase kRejected[] = {
    {"empty", "", "unexpected end of input"},
    {"whitespace only", " \n\t ", "unexpected end of input"},
    {"two documents", "{}{}", "expected end of input"},
    {"two nulls", "null null", "expected end of input"},
    {"trailing text", "{\"a\":\"b\"} x", ""},
    {"trailing nul", "{}\0"s, "NUL byte at offset 2"},
    {"second document after nul", "null\0{\"a\":1}"s, "NUL byte"},
    {"nul alone", "\0"s, "NUL byte at offset 0"},
    {"raw nul in string", "{\"a\":\"x\0y\"}"s, "NUL byte"},
    {"top-level string", "\"dc1\"", "expected an object or null, got a string"},
    {"top-level array", "[]", "expected an object or null, got an array"},
    {"top-level number", "12", "expected an object or null, got a number"},
    {"top-level true", "true", "expected an object or null, got a boolean"},
    {"top-level false", "false", "expected an object or null"},
    {"number member", R"({"dc-uid":"x","weight":1})", "unexpected number value for member \"weight\""},
    {"float member", R"({"a":1.5})", "unexpected number value for member \"a\""},
    {"negative member", R"({"a":-1})", "unexpected number value for member \"a\""},
    {"true member", R"({"secret":true})", "unexpected boolean value for member \"secret\""},
    {"false member", R"({"x":false})", "unexpected boolean value for member \"x\""},
    {"object member", R"({"address":{}})", "unexpected object value for member \"address\""},
    {"array member", R"({"digest":["a"]})", "unexpected array value for member \"digest\""},
    {"bad member after good ones", R"({"a":"1","b":"2","c":[]})", "member \"c\""},
    {"duplicate with bad last", R"({"a":"1","a":2})", "member \"a\""},
    {"duplicate with bad first", R"({"a":2,"a":"1"})", "member \"a\""},
    {"member name escaped in message", "{\"a\\nb\":1}", "member \"a\\nb\""},
    {"unterminated object", "{\"a\":\"b\"", ""},
    {"trailing comma", "{\"a\":\"b\",}", ""},
    {"single quotes", "{'a':'b'}", ""},
    {"comment", "{} // x", ""},
    {"raw control byte in string", "{\"a\":\"x\ny\"}", ""},
    {"invalid utf-8 in string", "{\"a\":\"\xC0\x80\"}", ""},
    {"lone surrogate escape", R"({"a":"\ud800"})", ""},
    {"byte order mark", "\xEF\xBB\xBF{}", "byte order mark"},
    {"NaN", R"({"a":NaN})", ""},
};

class RejectTest : public testing::TestWithParam<RejectCase> {};

TEST_P(RejectTest, Refuses) {
  const RejectCase& c = GetParam();
  Doc doc = {{"kept", "as is"}};
  std::string err;
  ASSERT_FALSE(parseRegistrationDocument(c.input, &doc, &err));
  EXPECT_FALSE(err.empty());
  EXPECT_EQ(err.find('\n'), std::string::npos) << err;
  EXPECT_NE(err.find(c.errPart), std::string::npos) << err;
  EXPECT_EQ(err.find("[json.exception"), std::string::npos) << err;
  EXPECT_EQ(doc, (Doc{{"kept", "as is"}})) << "a refused document must leave the map alone";
}

template <typename Case>
std::string caseName(const testing::TestParamInfo<Case>& param) {
  std::string n;
  for (const char* p = param.param.name; *p; ++p) n += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
  return n;
}

INSTANTIATE_TEST_SUITE_P(Table, AcceptTest, testing::ValuesIn(kAccepted), caseName<AcceptCase>);
INSTANTIATE_TEST_SUITE_P(Table, RejectTest, testing::ValuesIn(kRejected), caseName<RejectCase>);

TEST(ParseRegistrationDocument, ReadsOnlyTheGivenBytes) {
  const std::string buffer = "{\"a\":\"b\"}garbage";
  Doc doc;
  std::string err;
  ASSERT_TRUE(parseRegistrationDocument(std::string_view(buffer).substr(0, 9), &doc, &err)) << err;
  EXPECT_EQ(doc, (Doc{{"a", "b"}}));
}

// Nesting is refused at its first level, so depth costs neither stack nor
// memory.
TEST(ParseRegistrationDocument, DeepNestingRefusedEarly) {
  const size_t depth = 2'000'000;
  Doc doc;
  std::string err;
  EXPECT_FALSE(parseRegistrationDocument(std::string(depth, '['), &doc, &err));
  EXPECT_FALSE(parseRegistrationDocument("{\"a\":" + std::string(depth, '['), &doc, &err));
  std::string objects;
  for (size_t i = 0; i < depth / 8; ++i) objects += "{\"a\":";
  EXPECT_FALSE(parseRegistrationDocument(objects, &doc, &err));
  EXPECT_NE(err.find("unexpected object value for member \"a\""), std::string::npos) << err;
}

TEST(ParseRegistrationDocument, LongBadInputGivesShortDescription) {
  Doc doc;
  std::string err;
  ASSERT_FALSE(parseRegistrationDocument("{\"a\":\"" + std::string(1 << 20, 'x'), &doc, &err));
  EXPECT_LT(err.size(), 1000u) << err.substr(0, 200);
  EXPECT_NE(err.find("parse error"), std::string::npos) << err;

  ASSERT_FALSE(parseRegistrationDocument("{\"" + std::string(1 << 20, 'k') + "\":1}", &doc, &err));
  EXPECT_LT(err.size(), 1000u) << err.substr(0, 200);
  EXPECT_NE(err.find("unexpected number value for member \"kkk"), std::string::npos) << err.substr(0, 200);
}

TEST(ParseRegistrationDocument, SyntaxErrorNamesPlace) {
  Doc doc;
  std::string err;
  ASSERT_FALSE(parseRegistrationDocument("{\n\"a\": tru}", &doc, &err));
  EXPECT_NE(err.find("line 2"), std::string::npos) << err;
}

// --- The public JSONTestSuite parsing cases. ---

std::string readAll(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// The members a registration document made of v holds, or false when v is
// no null and no object of strings and nulls.
bool documentShape(const nlohmann::json& v, Doc* want) {
  want->clear();
  if (v.is_null()) return true;
  if (!v.is_object()) return false;
  for (const auto& [name, value] : v.items()) {
    if (value.is_null()) {
      (*want)[name] = "";
    } else if (value.is_string()) {
      (*want)[name] = value.get<std::string>();
    } else {
      return false;
    }
  }
  return true;
}

class JsonTestSuite : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::path(KTRP_TESTDATA_DIR) / "JSONTestSuite" / "test_parsing";
    ASSERT_TRUE(std::filesystem::is_directory(dir_)) << "JSONTestSuite not found at " << dir_;
  }

  // Calls check(name, content) for each file whose name begins with prefix.
  template <typename F>
  void forEachFile(const std::string& prefix, F check) {
    int seen = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
      const std::string name = entry.path().filename().string();
      if (name.rfind(prefix, 0) != 0 || !entry.is_regular_file()) continue;
      ++seen;
      SCOPED_TRACE(name);
      check(name, readAll(entry.path()));
    }
    EXPECT_GT(seen, 0) << "no " << prefix << " files in " << dir_;
  }

  std::filesystem::path dir_;
};

TEST_F(JsonTestSuite, RefusesEveryInvalidText) {
  forEachFile("n_", [](const std::string&, const std::string& content) {
    Doc doc;
    std::string err;
    EXPECT_FALSE(parseRegistrationDocument(content, &doc, &err));
    EXPECT_FALSE(err.empty());
    EXPECT_EQ(err.find('\n'), std::string::npos) << err;
  });
}

TEST_F(JsonTestSuite, AcceptsValidTextExactlyWhenShaped) {
  int accepted = 0;
  forEachFile("y_", [&](const std::string&, const std::string& content) {
    nlohmann::json full;
    ASSERT_NO_THROW(full = nlohmann::json::parse(content));
    Doc want;
    const bool shaped = documentShape(full, &want);
    Doc doc;
    std::string err;
    const bool ok = parseRegistrationDocument(content, &doc, &err);
    EXPECT_EQ(ok, shaped) << err;
    if (ok && shaped) {
      ++accepted;
      EXPECT_EQ(doc, want);
    }
  });
  EXPECT_GT(accepted, 0);
}

TEST_F(JsonTestSuite, SurvivesImplementationDefinedTexts) {
  forEachFile("i_", [](const std::string&, const std::string& content) {
    Doc doc;
    std::string err;
    if (!parseRegistrationDocument(content, &doc, &err)) {
      EXPECT_FALSE(err.empty());
    }
  });
}

}  // namespace
