#include "segments/Json5.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

// Nesting beyond this is no project file and would only exhaust the stack.
constexpr int kMaxDepth = 64;

class TJsonReader {
public:
  explicit TJsonReader(const std::string& text) : FText(text) {}

  bool ReadDocument(TJsonValue* out) {
    if (!SkipSpace() || !ReadValue(out, 0) || !SkipSpace()) return false;
    if (FPos < FText.size()) return Fail("unexpected text after the end of the document");
    return true;
  }
  const std::string& Error() const { return FError; }

private:
  bool Fail(const std::string& what) {
    if (FError.empty()) FError = "line " + std::to_string(FLine) + ": " + what;
    return false;
  }
  bool AtEnd() const { return FPos >= FText.size(); }
  char Peek() const { return AtEnd() ? '\0' : FText[FPos]; }
  void Advance() {
    if (FText[FPos++] == '\n') ++FLine;
  }

  bool SkipSpace() {
    while (!AtEnd()) {
      const char c = Peek();
      if (isspace(static_cast<unsigned char>(c))) {
        Advance();
      } else if (FText.compare(FPos, 2, "//") == 0) {
        while (!AtEnd() && Peek() != '\n') Advance();
      } else if (FText.compare(FPos, 2, "/*") == 0) {
        const int line = FLine;
        const size_t close = FText.find("*/", FPos + 2);
        if (close == std::string::npos) return FLine = line, Fail("a comment that is never closed");
        while (FPos < close + 2) Advance();
      } else {
        break;
      }
    }
    return true;
  }

  std::string CharText() const {
    const unsigned char c = static_cast<unsigned char>(Peek());
    if (AtEnd()) return "the end of the file";
    if (isprint(c)) return std::string("'") + static_cast<char>(c) + "'";
    char buf[16];
    snprintf(buf, sizeof buf, "byte 0x%02X", c);
    return buf;
  }

  bool ReadValue(TJsonValue* v, int depth) {
    v->Line = FLine;
    if (depth > kMaxDepth) return Fail("values nested too deeply");
    const char c = Peek();
    if (c == '{') return ReadObject(v, depth);
    if (c == '[') return ReadArray(v, depth);
    if (c == '"' || c == '\'') {
      v->Kind = TJsonValue::TKind::String;
      return ReadString(&v->String);
    }
    if (c == '-' || c == '+' || c == '.' || isdigit(static_cast<unsigned char>(c))) return ReadNumber(v);
    const std::string word = Identifier();
    if (word == "true" || word == "false") {
      v->Kind = TJsonValue::TKind::Bool;
      v->Bool = word == "true";
      return true;
    }
    if (word == "null") return true;
    if (!word.empty()) return Fail("unknown value '" + word + "'");
    return Fail("expected a value, found " + CharText());
  }

  std::string Identifier() {
    const size_t from = FPos;
    while (!AtEnd() && (isalnum(static_cast<unsigned char>(Peek())) || Peek() == '_' || Peek() == '$' ||
                        static_cast<unsigned char>(Peek()) >= 0x80))
      Advance();
    return FText.substr(from, FPos - from);
  }

  bool ReadNumber(TJsonValue* v) {
    const size_t from = FPos;
    while (!AtEnd() && (isalnum(static_cast<unsigned char>(Peek())) || strchr("+-.", Peek()))) Advance();
    std::string text = FText.substr(from, FPos - from);
    std::string digits = text[0] == '+' || text[0] == '-' ? text.substr(1) : text;
    if (digits.size() > 1 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
      return Fail("hexadecimal numbers are not read: " + text);
    if (!digits.empty() && digits[0] == '.') digits.insert(0, "0");
    double value = 0;
    const auto r = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || r.ec != std::errc() || r.ptr != digits.data() + digits.size() || !std::isfinite(value))
      return Fail("not a number: " + text);
    v->Kind = TJsonValue::TKind::Number;
    v->Number = text[0] == '-' ? -value : value;
    return true;
  }

  static void PutUtf8(std::string* out, unsigned cp) {
    if (cp < 0x80) {
      *out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      *out += static_cast<char>(0xC0 | cp >> 6);
      *out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      *out += static_cast<char>(0xE0 | cp >> 12);
      *out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
      *out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      *out += static_cast<char>(0xF0 | cp >> 18);
      *out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
      *out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
      *out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }

  bool ReadHex4(unsigned* cp) {
    if (FPos + 4 > FText.size()) return Fail("a \\u escape needs four hexadecimal digits");
    unsigned value = 0;
    for (int i = 0; i < 4; ++i) {
      const char h = FText[FPos + i];
      if (!isxdigit(static_cast<unsigned char>(h))) return Fail("a \\u escape needs four hexadecimal digits");
      value = value * 16 + static_cast<unsigned>(isdigit(static_cast<unsigned char>(h)) ? h - '0' : (tolower(h) - 'a' + 10));
    }
    FPos += 4;
    *cp = value;
    return true;
  }

  // \uXXXX, a surrogate pair taken together.
  bool ReadUnicodeEscape(std::string* out) {
    unsigned cp = 0;
    if (!ReadHex4(&cp)) return false;
    if (cp >= 0xD800 && cp < 0xDC00 && FText.compare(FPos, 2, "\\u") == 0) {
      FPos += 2;
      unsigned low = 0;
      if (!ReadHex4(&low)) return false;
      if (low >= 0xDC00 && low < 0xE000) cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
      else PutUtf8(out, 0xFFFD), cp = low;
    }
    PutUtf8(out, cp >= 0xD800 && cp < 0xE000 ? 0xFFFD : cp);
    return true;
  }

  bool ReadEscape(std::string* out) {
    if (AtEnd()) return Fail("a string that is never closed");
    const char e = Peek();
    Advance();
    switch (e) {
      case 'n': *out += '\n'; return true;
      case 't': *out += '\t'; return true;
      case 'r': *out += '\r'; return true;
      case 'b': *out += '\b'; return true;
      case 'f': *out += '\f'; return true;
      case 'v': *out += '\v'; return true;
      case '0': *out += '\0'; return true;
      case 'u': return ReadUnicodeEscape(out);
      case '\r': if (Peek() == '\n') Advance(); return true;  // a line continued
      case '\n': return true;
      default: *out += e; return true;
    }
  }

  bool ReadString(std::string* out) {
    const char quote = Peek();
    const int line = FLine;
    Advance();
    while (true) {
      if (AtEnd()) return FLine = line, Fail("a string that is never closed");
      const char c = Peek();
      if (c == quote) break;
      if (c == '\n') return Fail("a line break inside a string");
      Advance();
      if (c == '\\') {
        if (!ReadEscape(out)) return false;
      } else {
        *out += c;
      }
    }
    Advance();
    return true;
  }

  bool ReadKey(std::string* key) {
    if (Peek() == '"' || Peek() == '\'') return ReadString(key);
    *key = Identifier();
    if (key->empty()) return Fail("expected a key, found " + CharText());
    return true;
  }

  // Items of an array or members of an object, up to `close`; trailing commas allowed.
  template <typename TItem>
  bool ReadList(char close, const char* what, TItem readItem) {
    Advance();
    while (true) {
      if (!SkipSpace()) return false;
      if (Peek() == close) break;
      if (!readItem() || !SkipSpace()) return false;
      if (Peek() == ',') {
        Advance();
      } else if (Peek() != close) {
        return Fail(std::string("expected ',' or '") + close + "' in " + what + ", found " + CharText());
      }
    }
    Advance();
    return true;
  }

  bool ReadArray(TJsonValue* v, int depth) {
    v->Kind = TJsonValue::TKind::Array;
    return ReadList(']', "a list", [&] {
      v->Items.emplace_back();
      return ReadValue(&v->Items.back(), depth + 1);
    });
  }

  bool ReadObject(TJsonValue* v, int depth) {
    v->Kind = TJsonValue::TKind::Object;
    return ReadList('}', "an object", [&] {
      v->Keys.emplace_back();
      if (!ReadKey(&v->Keys.back()) || !SkipSpace()) return false;
      if (Peek() != ':') return Fail("expected ':' after the key '" + v->Keys.back() + "', found " + CharText());
      Advance();
      v->Items.emplace_back();
      return SkipSpace() && ReadValue(&v->Items.back(), depth + 1);
    });
  }

  const std::string& FText;
  size_t FPos = 0;
  int FLine = 1;
  std::string FError;
};

}  // namespace

const TJsonValue* TJsonValue::Find(const std::string& key) const {
  for (size_t i = Keys.size(); i-- > 0;)
    if (Keys[i] == key && i < Items.size()) return &Items[i];
  return nullptr;
}

bool ParseJson5(const std::string& text, TJsonValue* out, std::string* err) {
  TJsonReader reader(text);
  TJsonValue value;
  if (!reader.ReadDocument(&value)) {
    if (err) *err = reader.Error();
    return false;
  }
  *out = std::move(value);
  return true;
}

std::string JsonQuote(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char buf[8];
          snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned char>(c));
          out += buf;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}
