#include "registration_doc.h"

#include <nlohmann/json.hpp>

#include "json.h"

namespace {

using nlohmann::json;

// Longest description passed on; the parser quotes the token it was reading,
// which may be the rest of a long unterminated string, and a refused member
// is named in full.
constexpr size_t kMaxDescription = 300;

// Cuts text to kMaxDescription bytes on a UTF-8 boundary.
std::string shorten(std::string text) {
  if (text.size() > kMaxDescription) {
    size_t cut = kMaxDescription;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    text.resize(cut);
    text.append("...");
  }
  return text;
}

// The parser's exception text less its "[json.exception.parse_error.101] "
// prefix.
std::string describeParseError(std::string text) {
  if (text.starts_with("[json.exception.")) {
    const size_t end = text.find("] ");
    if (end != std::string::npos) text.erase(0, end + 2);
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
  bool boolean(bool) override { return refuse("a", "boolean"); }
  bool number_integer(number_integer_t) override { return refuse("a", "number"); }
  bool number_unsigned(number_unsigned_t) override { return refuse("a", "number"); }
  bool number_float(number_float_t, const string_t&) override { return refuse("a", "number"); }
  bool binary(binary_t&) override { return refuse("a", "binary"); }
  bool string(string_t& val) override {
    if (!inObject_) return refuse("a", "string");
    (*doc_)[key_] = std::move(val);
    return true;
  }
  bool start_object(std::size_t) override {
    if (inObject_) return refuse("an", "object");
    inObject_ = true;
    return true;
  }
  bool key(string_t& val) override {
    key_ = std::move(val);
    return true;
  }
  bool end_object() override { return true; }
  bool start_array(std::size_t) override { return refuse("an", "array"); }
  bool end_array() override { return false; }  // never reached: arrays are refused at the start
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& ex) override {
    error_ = describeParseError(ex.what());
    return false;
  }

 private:
  // Refuses a value of the given kind where it stands.
  bool refuse(std::string_view article, std::string_view kind) {
    if (inObject_) {
      error_ = "unexpected ";
      error_ += kind;
      error_ += " value for member ";
      appendJsonString(&error_, key_);
    } else {
      error_ = "expected an object or null, got ";
      error_ += article;
      error_ += ' ';
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

std::string registrationDocument(std::string_view address, std::string_view dcUid, std::string_view digest,
                                 std::string_view secret, std::string_view stat) {
  const std::pair<std::string_view, std::string_view> members[] = {
      {"address", address}, {"dc-uid", dcUid}, {"digest", digest}, {"secret", secret}, {"stat", stat}};
  std::string doc = "{";
  for (const auto& [name, value] : members) {
    if (doc.size() > 1) doc += ',';
    appendJsonString(&doc, name);
    doc += ':';
    appendJsonString(&doc, value);
  }
  doc += '}';
  return doc;
}


bool parseRegistrationDocument(std::string_view input, std::map<std::string, std::string>* doc,
                               std::string* err) {
  // The parser skips a leading byte order mark; the document allows nothing
  // but white space around its value.
  if (input.starts_with("\xEF\xBB\xBF")) {
    *err = "unexpected byte order mark before the value";
    return false;
  }
  // The parser takes a NUL byte for the end of the input and would accept
  // "{}" followed by a NUL and anything at all. No JSON text holds a raw NUL
  // (inside strings it must be escaped), so any one is a fault.
  if (const size_t nul = input.find('\0'); nul != std::string_view::npos) {
    *err = "invalid NUL byte at offset " + std::to_string(nul);
    return false;
  }
  std::map<std::string, std::string> members;
  DocumentHandler handler(&members);
  const char* begin = input.data();
  if (!json::sax_parse(begin, begin + input.size(), &handler, json::input_format_t::json,
                       /*strict=*/true)) {
    *err = handler.error().empty() ? "invalid document" : shorten(handler.error());
    return false;
  }
  doc->swap(members);
  return true;
}
