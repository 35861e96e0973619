// Words as a listener hears them: the white-space-delimited runs of an utterance text that hold
// at least one letter or digit, with the punctuation attached to them ("it's", "(see", "end.").
// A lone dash or ellipsis is sound-less and is not a word. Each byte belongs to at most one word
// and words come in text order, so word progress can be reported as byte ranges of the text.
#pragma once

#include <string_view>
#include <vector>

#include "speech/tts.h"

namespace mdspeak {

std::vector<WordMark> split_words(std::string_view text);

}  // namespace mdspeak
