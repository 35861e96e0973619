// Which espeak-ng voice and speed an export uses: the ones speech-dispatcher would speak the same
// request with, so that an export sounds like the document read aloud.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "language/language.h"
#include "speech/tts.h"

namespace mdspeak::exporting {

struct VoiceChoice {
  Voice voice;
  int words_per_minute = 175;
};

// Runs the service's own voice choice and rate mapping over `voices` (espeak-ng's, listed as the
// daemon lists them): `voice_id` when it names a voice of `language`, else the best voice for
// it, ranked for `person_locale`; the rate as speech-dispatcher's espeak-ng module turns it into
// words per minute.
Result<VoiceChoice> choose_voice(std::vector<Voice> voices,
                                 const std::optional<std::string>& voice_id,
                                 std::optional<SupportedLanguage> language, float rate,
                                 std::string person_locale);

// speech-dispatcher's rate (-100..100) in espeak-ng's words per minute, as its espeak-ng module
// maps it with Debian's settings (80, 170 and 449 words per minute).
int espeak_words_per_minute(int speechd_rate);

}  // namespace mdspeak::exporting
