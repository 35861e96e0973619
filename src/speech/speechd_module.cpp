// The speech-dispatcher module's one entry: the backend's factory, under the name the service
// looks up after loading it.
#include "speech/tts_module.h"

extern "C" {
extern const mdspeak::CreateTts mdspeak_create_tts;
const mdspeak::CreateTts mdspeak_create_tts = &mdspeak::speechd::create_tts;
}
