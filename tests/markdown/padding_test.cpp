// Where a block lies in the document must not change how it is read. md4c keeps its blocks,
// lines and buffers in arrays that grow in steps and compares offsets with state read from them,
// so a fault there shows only at some positions (a list item once ended at every heading whose
// text started 256·k + 4 bytes in). Every shape below, each a block that can interrupt or follow
// text inside a container, is read after every amount of leading paragraphs from 0 to 600 bytes,
// which puts each of its lines at every position modulo 256 at least twice: it must give the
// same utterances and word ranges, shifted by the padding.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "markdown/markdown.h"
#include "padding_check.h"

namespace mdspeak {
namespace {

constexpr std::size_t kMaxPadding = 600;

// Under the sanitizers, which run these tests some forty times slower, every seventh padding:
// the full sweep is for the plain build, the sanitizers look for bad memory use.
#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t kStride = 7;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr std::size_t kStride = 7;
#else
constexpr std::size_t kStride = 1;
#endif
#else
constexpr std::size_t kStride = 1;
#endif

struct Container {
  const char* name;
  const char* first;  // before the item's first line
  const char* rest;   // before each further line
};

struct Construct {
  const char* name;
  std::vector<std::string> lines;
};

void PrintTo(const Container& c, std::ostream* os) {
  *os << c.name;
}

struct Shape {
  std::string name;
  std::string source;
};

// The container holding text, the construct (right after the text or after a blank line), then
// more text (the same way or after two blank lines), then a paragraph after the container.
std::vector<Shape> shapes(const Container& c) {
  const Construct constructs[] = {
      {"Atx", {"### H"}},
      {"AtxClosed", {"## H ##"}},
      {"Setext", {"S", "---"}},
      {"Fence", {"```", "code", "```"}},
      {"Tilde", {"~~~ sh", "code", "", "more", "~~~"}},
      {"Quote", {"> q1", "> q2"}},
      {"Html", {"<div>", "html", "</div>"}},
      {"Comment", {"<!--", "c", "-->"}},
      {"Break", {"***"}},
      {"Table", {"| t | u |", "|---|---|", "| v | w |"}},
      {"Item", {"- i1", "- i2"}},
      {"Paragraph", {"b1", "b2"}},
      {"TaskItem", {"- [x] done"}},
      {"Indented", {"    code"}},
      {"Definition", {"[r]: /u", "[r]"}},
  };
  std::vector<Shape> out;
  {
    std::string blank = c.rest;  // a blank line inside the container
    while (!blank.empty() && blank.back() == ' ') blank.pop_back();
    blank += "\n";
    for (const Construct& k : constructs) {
      for (int blanks_before : {0, 1}) {
        for (int blanks_after : {0, 1, 2}) {
          Shape s;
          s.name = std::string(c.name) + k.name + std::to_string(blanks_before) +
                   std::to_string(blanks_after);
          s.source = std::string(c.first) + "a\n";
          for (int i = 0; i < blanks_before; ++i) s.source += blank;
          for (const std::string& line : k.lines) s.source += c.rest + line + "\n";
          for (int i = 0; i < blanks_after; ++i) s.source += blank;
          s.source += std::string(c.rest) + "c\n\nend\n";
          out.push_back(std::move(s));
        }
      }
    }
  }
  return out;
}

std::string describe(const std::vector<Utterance>& utterances, std::uint64_t shift) {
  std::string out;
  for (const Utterance& u : utterances) {
    out += "[" + std::to_string(static_cast<int>(u.kind)) + " " +
           std::to_string(u.start_offset - shift) + "-" + std::to_string(u.end_offset - shift) +
           " " + u.text + "] ";
  }
  return out;
}

class PaddingInvariance : public testing::TestWithParam<Container> {};

TEST_P(PaddingInvariance, EveryShapeReadsAlikeAtEveryOffset) {
  std::size_t documents = 0;
  for (const Shape& shape : shapes(GetParam())) {
    const ParsedMarkdownDocument alone = parse_markdown_document(shape.source);
    ASSERT_FALSE(alone.utterances.empty()) << shape.name;
    for (bool short_paragraphs : {true, false}) {
      // Every padding with short paragraphs; with one long paragraph, which moves the lines
      // alone and not the growth of md4c's block store, every fifth.
      const std::size_t step = kStride * (short_paragraphs ? 1 : 5);
      for (std::size_t padding = 0; padding <= kMaxPadding; padding += step) {
        std::string source;
        const std::size_t paragraphs =
            testing_support::append_padding(source, padding, short_paragraphs);
        ASSERT_EQ(source.size(), padding);
        source += shape.source;
        const ParsedMarkdownDocument doc = parse_markdown_document(source);
        ++documents;
        // The padding's paragraphs come first, then the shape's utterances, shifted.
        const bool same = testing_support::reads_alike_shifted(alone, doc, paragraphs, padding);
        if (!same) {
          ADD_FAILURE() << shape.name << " after " << padding << " bytes of "
                        << (short_paragraphs ? "short" : "one long") << " paragraph(s):\n"
                        << shape.source << "\nalone:  " << describe(alone.utterances, 0)
                        << "\npadded: "
                        << describe(std::vector<Utterance>(
                                        doc.utterances.begin() +
                                            std::min(paragraphs, doc.utterances.size()),
                                        doc.utterances.end()),
                                    padding);
          break;  // one report per shape and padding style
        }
      }
    }
  }
  EXPECT_GT(documents, 10000u / kStride);
}

INSTANTIATE_TEST_SUITE_P(Markdown, PaddingInvariance,
                         testing::Values(Container{"Bullet", "- ", "  "},
                                         Container{"Ordered", "1. ", "   "},
                                         Container{"Quote", "> ", "> "},
                                         Container{"QuoteInItem", "- > ", "  > "},
                                         Container{"ItemInQuote", "> - ", ">   "},
                                         Container{"NestedItem", "- a\n  - ", "    "}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace mdspeak
