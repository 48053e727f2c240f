#pragma once
// A small reader for JSON and JSON5 texts (project files): unquoted keys, single or double
// quotes, trailing commas, // and /* */ comments, a leading or trailing decimal point and a
// plus sign on numbers. Every value keeps the line it starts on, for messages.
#include <string>
#include <vector>

struct TJsonValue {
  enum class TKind { Null, Bool, Number, String, Array, Object };
  TKind Kind = TKind::Null;
  bool Bool = false;
  double Number = 0;
  std::string String;
  std::vector<std::string> Keys;   // an object's keys, in the order of the text
  std::vector<TJsonValue> Items;   // an array's items, or the values of an object's keys
  int Line = 1;

  // An object's member (the last one of that name), or nullptr.
  const TJsonValue* Find(const std::string& key) const;
};

// False with "line N: what is wrong" in *err.
bool ParseJson5(const std::string& text, TJsonValue* out, std::string* err);

// A JSON string literal with its quotes.
std::string JsonQuote(const std::string& text);
