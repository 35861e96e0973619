// The table-driven cases of the readings' tests: a source and the utterances it should read as.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "markdown/markdown.h"

namespace mdspeak::testing_support {

// An expected utterance: its kind, its text and the source text its range covers (each test
// says which occurrence of it in the source is meant).
struct Want {
  UtteranceKind kind;
  std::string text;
  std::string span;
};

struct UtteranceCase {
  const char* name;
  std::string source;
  std::vector<Want> want;
};

inline void PrintTo(const UtteranceCase& c, std::ostream* os) {
  *os << c.name;
}

// "[text] [text] ", for a failure's message.
inline std::string texts_of(const ParsedMarkdownDocument& doc) {
  std::string got;
  for (const Utterance& u : doc.utterances) got += "[" + u.text + "] ";
  return got;
}

}  // namespace mdspeak::testing_support
