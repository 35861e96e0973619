// How good a voice is beyond its language: the engine behind it and how well its word marks
// follow its sound. The order of engines and the timing classes come from listening to and
// measuring Debian's engines (doc/voices.md); an engine not named there ranks with espeak-ng, so
// a system with only the usual engine ranks exactly as it would without this.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "speech/tts.h"

namespace mdspeak {

// How a voice's word marks follow its sound: within 150 ms of the word's onset, further off, or
// no marks at all.
enum class WordTiming : std::uint8_t { Exact, Approximate, None };

// "exact", "approximate", "none".
std::string_view word_timing_name(WordTiming timing);

WordTiming word_timing(const Voice& voice);

// Lower is better: RHVoice, mbrola, festival's HTS voices, pico, espeak-ng (and engines not
// known), festival's diphone voices, flite.
int engine_rank(const Voice& voice);

// The part of the ranking that follows the language: `a` before `b` when its engine is better,
// or, for a client that follows the words (`word_progress`), when its word timing is better
// first of all (a voice without exact timing is taken only when nothing better exists).
// Zero: equal; negative: `a` first; positive: `b` first.
int compare_voice_quality(const Voice& a, const Voice& b, bool word_progress);

}  // namespace mdspeak
