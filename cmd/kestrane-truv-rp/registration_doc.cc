// Strict parse of the registration document that import-registration reads.
#include <nlohmann/json.hpp>

#include "json.h"
#include "registration.h"

namespace {

using nlohmann::json;

// Longest parser description passed on; the parser quotes the token it was
// reading, which may be the rest of a long unterminated string.
constexpr size_t kMaxDescription = 300;

// The parser's exception text less its "[json.exception.parse_error.101] "
// prefix, cut to kMaxDescription bytes on a UTF-8 boundary.
std::string describeParseError(const std::string& what) {
  std::string text = what;
  if (text.rfind("[json.exception.", 0) == 0) {
    const size_t end = text.find("] ");
    if (end != std::string::npos) text.erase(0, end + 2);
  }
  if (text.size() > kMaxDescription) {
    size_t cut = kMaxDescription;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    text.resize(cut);
    text.append("...");
  }
  return text;
}

// Takes the document's shape as it goes and stops the parser at the first
// value that does not fit, so nesting never goes deeper than the one object.
class DocumentHandler : public nlohmann::json_sax<json> {
 public:
  explicit DocumentHandler(std::map<std::string, std::string>* doc) : doc_(doc) {}

  const std::string& error() const { return error_; }

  bool null() override {
    if (!inObject_) return true;  // null document: no members
    (*doc_)[key_].clear();
    return true;
  }
  bool boolean(bool) override { return refuse("boolean"); }
  bool number_integer(number_integer_t) override { return refuse("number"); }
  bool number_unsigned(number_unsigned_t) override { return refuse("number"); }
  bool number_float(number_float_t, const string_t&) override { return refuse("number"); }
  bool binary(binary_t&) override { return refuse("binary"); }
  bool string(string_t& val) override {
    if (!inObject_) return refuse("string");
    (*doc_)[key_] = std::move(val);
    return true;
  }
  bool start_object(std::size_t) override {
    if (inObject_) return refuse("object");
    inObject_ = true;
    return true;
  }
  bool key(string_t& val) override {
    key_ = std::move(val);
    return true;
  }
  bool end_object() override { return true; }
  bool start_array(std::size_t) override { return refuse("array"); }
  bool end_array() override { return false; }  // never reached: arrays are refused at the start
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& ex) override {
    error_ = describeParseError(ex.what());
    return false;
  }

 private:
  bool refuse(const char* kind) {
    if (inObject_) {
      error_ = "unexpected ";
      error_ += kind;
      error_ += " value for member ";
      appendJsonString(&error_, key_);
    } else {
      error_ = "expected an object or null, got ";
      error_ += kind == std::string_view("array") || kind == std::string_view("object") ? "an " : "a ";
      error_ += kind;
    }
    return false;
  }

  std::map<std::string, std::string>* doc_;
  bool inObject_ = false;
  std::string key_;
  std::string error_;
};

}  // namespace

bool parseRegistrationDocument(std::string_view input, std::map<std::string, std::string>* doc,
                               std::string* err) {
  // The parser skips a leading byte order mark; the document allows nothing
  // but white space around its value.
  if (input.starts_with("\xEF\xBB\xBF")) {
    *err = "unexpected byte order mark before the value";
    return false;
  }
  std::map<std::string, std::string> members;
  DocumentHandler handler(&members);
  const char* begin = input.data();
  if (!json::sax_parse(begin, begin + input.size(), &handler, json::input_format_t::json,
                       /*strict=*/true)) {
    *err = handler.error().empty() ? "invalid document" : handler.error();
    return false;
  }
  doc->swap(members);
  return true;
}
