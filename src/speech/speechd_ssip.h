// What goes over the wire to and from speech-dispatcher: the SSML of an utterance with a mark
// before each word, the marks read back, SSIP replies and the voice listing made of them, and the
// daemon's rate scale. Kept apart from the connection so that all of it is tested without a
// daemon. Plain functions and a reply parser owned by whoever reads the reply; only
// `list_voices` talks to the daemon, on the calling thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "speech/tts.h"

namespace mdspeak::speechd {

// speech-dispatcher's own rate scale.
inline constexpr float kMinRate = -100.0f;
inline constexpr float kNormalRate = 0.0f;
inline constexpr float kMaxRate = 100.0f;

// The SSML document sent for one utterance: the text XML-escaped inside <speak>, with
// <mark name="N"/> right before word N. Characters XML cannot carry become spaces.
std::string ssml(std::string_view text, std::span<const WordMark> words);

// The word position a mark named by `ssml` stands for; nullopt for any other name.
std::optional<std::size_t> mark_word(std::string_view name);

// One entry of the daemon's voice listing.
struct ListedVoice {
  std::string name;
  std::string language;
  std::string variant;
  bool operator==(const ListedVoice&) const = default;
};

// One SSIP reply, read as it arrives: data lines ("249-English (America)\ten-US\tnone") up to
// the final line ("249 OK VOICE LIST SENT").
class SsipReply {
 public:
  // Takes the next bytes; true once the final line has been read (later bytes are ignored).
  bool feed(std::string_view bytes);
  bool complete() const { return final_.has_value(); }
  // The final line carries a 2xx code.
  bool ok() const;
  const std::vector<std::string>& data() const { return data_; }
  const std::string& final_line() const;

 private:
  void line(std::string_view text);

  std::string partial_;
  std::vector<std::string> data_;
  std::optional<std::string> final_;
};

// One data line of LIST SYNTHESIS_VOICES: name, language and variant separated by tabs.
std::optional<ListedVoice> listed_voice(std::string_view data);

// The plain voices of a listing: the daemon lists every voice once more per variant of its
// synthesizer ("English (America)+Klatt", ...); only the entries whose variant is "none" are
// distinct voices. The name is the display name and, for the voices of the daemon's default
// output module, also the id (clients stored such ids before other modules were listed); the
// voices of another module have the id "module:name". speech-dispatcher knows no gender.
std::vector<Voice> plain_voices(const std::vector<ListedVoice>& listing,
                                std::string_view module = {}, bool default_module = true);

// Lists the plain voices of every output module of the daemon (the default module's first) on a
// connection of its own, within `deadline`; a daemon that does not name its modules lists its
// default module's voices, without engine. libspeechd's
// own listing parses its reply in quadratic time (over a second of CPU for 13,000 lines, minutes
// under a sanitizer), so the few lines of the protocol needed here are spoken directly.
// `on_socket` is told the socket once it is connected; it may shut it down later from another
// thread to abort the listing, or answer false to abort at once.
Result<std::vector<Voice>> list_voices(std::chrono::steady_clock::time_point deadline,
                                       const std::function<bool(int socket)>& on_socket);

}  // namespace mdspeak::speechd
