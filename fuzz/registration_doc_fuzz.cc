// The registration document parse against nlohmann-json's own DOM parse: a
// document is accepted exactly when the DOM parse gives null or an object of
// strings and nulls, and then with the same members. An accepted document,
// written back as this tool writes JSON, parses to the same map; a refused one
// leaves the map alone and has a short one-line description.
#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "json.h"
#include "registration_doc.h"

namespace {

using Doc = std::map<std::string, std::string>;

// The document as the DOM parse sees it; false when it is not null or an
// object of strings and nulls.
bool referenceParse(std::string_view input, Doc* doc) {
  // The tool refuses these before the parser sees them; the parser alone
  // would skip a byte order mark and stop at a NUL.
  if (input.starts_with("\xEF\xBB\xBF") || input.find('\0') != std::string_view::npos) return false;
  // A member given twice keeps its last value in the DOM, but a refused
  // value refuses the document wherever it stands: look at each as it comes.
  bool refused = false;
  const auto eachValue = [&](int depth, nlohmann::json::parse_event_t event, nlohmann::json& parsed) {
    using E = nlohmann::json::parse_event_t;
    if (depth > 0 && (event == E::object_start || event == E::array_start)) refused = true;
    if (depth > 0 && event == E::value && !parsed.is_string() && !parsed.is_null()) refused = true;
    return true;
  };
  const nlohmann::json j = nlohmann::json::parse(input.begin(), input.end(), eachValue,
                                                 /*allow_exceptions=*/false);
  if (j.is_discarded() || refused) return false;
  if (j.is_null()) return true;
  if (!j.is_object()) return false;
  for (const auto& [name, value] : j.items()) {
    if (value.is_string())
      (*doc)[name] = value.get<std::string>();
    else if (value.is_null())
      (*doc)[name] = "";
    else
      return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const Doc sentinel = {{"left", "alone"}};
  Doc doc = sentinel;
  std::string err;
  const bool ok = parseRegistrationDocument(input, &doc, &err);

  Doc want;
  const bool wantOk = referenceParse(input, &want);
  FUZZ_CHECK(ok == wantOk, "parse gives %d (%s), the DOM parse %d", ok, fuzzShow(err).c_str(), wantOk);

  if (!ok) {
    FUZZ_CHECK(doc == sentinel, "a refused document changed the map");
    FUZZ_CHECK(!err.empty(), "refused without a description");
    FUZZ_CHECK(err.find('\n') == std::string::npos, "description of more than one line: %s", fuzzShow(err).c_str());
    FUZZ_CHECK(err.size() < 1000, "description of %zu bytes", err.size());
    // The parser's own prefix is taken off; the input may hold the same text.
    FUZZ_CHECK(!err.starts_with("[json.exception"), "raw exception text: %s", fuzzShow(err).c_str());
    return 0;
  }
  FUZZ_CHECK(doc == want, "members differ from the DOM parse");

  std::string again;
  appendJsonObject(&again, doc);
  Doc reparsed;
  FUZZ_CHECK(parseRegistrationDocument(again, &reparsed, &err), "written back, refused: %s (%s)",
             fuzzShow(err).c_str(), fuzzShow(again).c_str());
  FUZZ_CHECK(reparsed == doc, "written back, parses differently: %s", fuzzShow(again).c_str());
  return 0;
}
