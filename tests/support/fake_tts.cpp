#include "support/fake_tts.h"

#include <algorithm>
#include <thread>
#include <utility>

namespace mdspeak {

namespace {
std::size_t index_of(FakeOp op) {
  return static_cast<std::size_t>(op);
}
}  // namespace

// The `Tts` the engine owns. It forwards every operation to the shared control block and, when
// destroyed, takes its callbacks with it.
class FakeTts::Handle : public Tts {
 public:
  explicit Handle(std::shared_ptr<FakeTts> fake) : fake_(std::move(fake)) {}
  ~Handle() override { fake_->detach(); }

  Features supported_features() const override {
    std::lock_guard lock(fake_->mutex_);
    return fake_->features_;
  }

  Result<void> on_utterance_begin(UtteranceCallback callback) override {
    return install(FakeOp::OnBegin, std::move(callback), fake_->on_begin_);
  }
  Result<void> on_utterance_end(UtteranceCallback callback) override {
    return install(FakeOp::OnEnd, std::move(callback), fake_->on_end_);
  }

  Result<void> on_word(WordCallback callback) override {
    std::lock_guard lock(fake_->mutex_);
    fake_->on_word_ = std::make_shared<WordCallback>(std::move(callback));
    return {};
  }

  Result<std::optional<UtteranceId>> speak(std::string_view text, bool interrupt) override {
    return speak_words(text, {}, interrupt);
  }

  Result<std::optional<UtteranceId>> speak_words(std::string_view text,
                                                 std::span<const WordMark> words,
                                                 bool interrupt) override {
    std::lock_guard lock(fake_->mutex_);
    if (auto error = fake_->enter(FakeOp::Speak)) return fail(*std::move(error));
    if (interrupt) {
      fake_->queue_.clear();
      fake_->current_.reset();
    }
    UtteranceId id("Fake(" + std::to_string(fake_->next_id_++) + ")");
    fake_->queued_.push_back(
        FakeUtterance{id, std::string(text), interrupt, fake_->rate_.value_or(fake_->normal_rate_),
                      fake_->voice_, std::vector<WordMark>(words.begin(), words.end())});
    fake_->queue_.push_back(id);
    fake_->queued_cv_.notify_all();
    if (!fake_->return_ids_) return std::optional<UtteranceId>();
    return std::optional<UtteranceId>(std::move(id));
  }

  Result<void> stop() override {
    std::lock_guard lock(fake_->mutex_);
    if (auto error = fake_->enter(FakeOp::Stop)) return fail(*std::move(error));
    fake_->queue_.clear();
    fake_->current_.reset();
    return {};
  }

  Result<bool> is_speaking() override {
    std::lock_guard lock(fake_->mutex_);
    if (auto error = fake_->enter(FakeOp::IsSpeaking)) return fail(*std::move(error));
    return fake_->current_.has_value() || !fake_->queue_.empty();
  }

  std::optional<std::chrono::steady_clock::time_point> last_sign_of_life() override {
    std::lock_guard lock(fake_->mutex_);
    return fake_->sign_of_life_;
  }

  Result<std::vector<Voice>> voices() override {
    std::lock_guard lock(fake_->mutex_);
    if (auto error = fake_->enter(FakeOp::Voices)) return fail(*std::move(error));
    fake_->listed_ = true;
    return fake_->voices_;
  }

  Result<std::optional<std::vector<Voice>>> listed_voices() override {
    {
      std::lock_guard lock(fake_->mutex_);
      // Late lists are kept, as speech-dispatcher's backend keeps them: reading is no listing.
      if (fake_->list_late_) {
        if (!fake_->listed_) return std::optional<std::vector<Voice>>();
        return std::optional<std::vector<Voice>>(fake_->voices_);
      }
    }
    return Tts::listed_voices();
  }

  Result<void> set_language(std::string_view tag) override {
    std::lock_guard lock(fake_->mutex_);
    if (!fake_->list_late_) return Tts::set_language(tag);
    fake_->language_ = std::string(tag);
    fake_->voice_.reset();
    return {};
  }

  Result<void> set_voice(const Voice& voice) override {
    std::lock_guard lock(fake_->mutex_);
    if (auto error = fake_->enter(FakeOp::SetVoice)) return fail(*std::move(error));
    // A real backend cannot use a voice it does not have; neither does the fake.
    if (std::find(fake_->voices_.begin(), fake_->voices_.end(), voice) == fake_->voices_.end()) {
      return fail(Error(std::string(tts_error::kOperationFailed)));
    }
    fake_->voice_ = voice;
    fake_->voices_set_.push_back(voice);
    return {};
  }

  float min_rate() const override {
    std::lock_guard lock(fake_->mutex_);
    return fake_->min_rate_;
  }
  float normal_rate() const override {
    std::lock_guard lock(fake_->mutex_);
    return fake_->normal_rate_;
  }
  float max_rate() const override {
    std::lock_guard lock(fake_->mutex_);
    return fake_->max_rate_;
  }

  Result<void> set_rate(float rate) override {
    std::lock_guard lock(fake_->mutex_);
    if (auto error = fake_->enter(FakeOp::SetRate)) return fail(*std::move(error));
    if (!(rate >= fake_->min_rate_ && rate <= fake_->max_rate_)) {
      return fail(Error(std::string(tts_error::kOutOfRange)));
    }
    fake_->rate_ = rate;
    return {};
  }

 private:
  Result<void> install(FakeOp op, UtteranceCallback callback,
                       std::shared_ptr<UtteranceCallback>& slot) {
    std::lock_guard lock(fake_->mutex_);
    if (auto error = fake_->enter(op)) return fail(*std::move(error));
    slot = std::make_shared<UtteranceCallback>(std::move(callback));
    return {};
  }

  std::shared_ptr<FakeTts> fake_;
};

FakeTts::FakeTts() {
  features_ = Features{.is_speaking = true,
                       .pitch = true,
                       .rate = true,
                       .stop = true,
                       .utterance_callbacks = true,
                       .voice = true,
                       .get_voice = false,
                       .volume = true};
}

std::unique_ptr<Tts> FakeTts::facade() {
  {
    std::lock_guard lock(mutex_);
    alive_ = true;
  }
  return std::make_unique<Handle>(shared_from_this());
}

bool FakeTts::facade_alive() const {
  std::lock_guard lock(mutex_);
  return alive_;
}

void FakeTts::set_features(const Features& features) {
  std::lock_guard lock(mutex_);
  features_ = features;
}

void FakeTts::set_voices(std::vector<Voice> voices) {
  std::lock_guard lock(mutex_);
  voices_ = std::move(voices);
}

void FakeTts::set_rate_scale(float min, float normal, float max) {
  std::lock_guard lock(mutex_);
  min_rate_ = min;
  normal_rate_ = normal;
  max_rate_ = max;
}

void FakeTts::set_return_ids(bool return_ids) {
  std::lock_guard lock(mutex_);
  return_ids_ = return_ids;
}

void FakeTts::fail_always(FakeOp op, std::string text) {
  std::lock_guard lock(mutex_);
  failures_[index_of(op)].push_back(Failure{0, std::move(text)});
}

void FakeTts::fail_nth(FakeOp op, int nth, std::string text) {
  std::lock_guard lock(mutex_);
  failures_[index_of(op)].push_back(Failure{nth, std::move(text)});
}

void FakeTts::deliver_on_other_thread(bool other_thread) {
  std::lock_guard lock(mutex_);
  other_thread_ = other_thread;
}

bool FakeTts::feature_on(FakeOp op) const {
  switch (op) {
    case FakeOp::OnBegin:
    case FakeOp::OnEnd:
      return features_.utterance_callbacks;
    case FakeOp::Stop:
      return features_.stop;
    case FakeOp::IsSpeaking:
      return features_.is_speaking;
    case FakeOp::SetVoice:
    case FakeOp::Voices:
      return features_.voice;
    case FakeOp::SetRate:
      return features_.rate;
    case FakeOp::Speak:
    case FakeOp::kCount:
      break;
  }
  return true;
}

std::optional<Error> FakeTts::enter(FakeOp op) {
  int call = ++calls_[index_of(op)];
  if (!feature_on(op)) return Error(std::string(tts_error::kUnsupportedFeature));
  for (const Failure& failure : failures_[index_of(op)]) {
    if (failure.nth == 0 || failure.nth == call) return Error(failure.text);
  }
  return std::nullopt;
}

void FakeTts::deliver(const UtteranceCallback& callback, const UtteranceId& id) {
  bool other_thread;
  {
    std::lock_guard lock(mutex_);
    other_thread = other_thread_;
  }
  if (other_thread) {
    std::thread([&] { callback(id); }).join();
  } else {
    callback(id);
  }
}

std::optional<UtteranceId> FakeTts::begin_next() {
  std::lock_guard delivery(delivery_mutex_);
  std::shared_ptr<UtteranceCallback> callback;
  UtteranceId id("");
  {
    std::lock_guard lock(mutex_);
    if (current_ || queue_.empty()) return std::nullopt;
    current_ = queue_.front();
    queue_.erase(queue_.begin());
    id = *current_;
    callback = on_begin_;
    words_reported_ = 0;
    words_in_current_ = 0;
    for (const FakeUtterance& u : queued_) {
      if (u.id == id) words_in_current_ = u.words.size();
    }
  }
  if (callback && *callback) deliver(*callback, id);
  return id;
}

bool FakeTts::next_word() {
  std::lock_guard delivery(delivery_mutex_);
  std::shared_ptr<WordCallback> callback;
  UtteranceId id("");
  std::size_t word = 0;
  {
    std::lock_guard lock(mutex_);
    if (!current_ || words_reported_ >= words_in_current_) return false;
    id = *current_;
    word = words_reported_++;
    callback = on_word_;
  }
  if (callback && *callback) (*callback)(id, word);
  return true;
}

std::optional<UtteranceId> FakeTts::end_current() {
  std::lock_guard delivery(delivery_mutex_);
  std::shared_ptr<UtteranceCallback> callback;
  UtteranceId id("");
  {
    std::lock_guard lock(mutex_);
    if (!current_) return std::nullopt;
    id = *current_;
    callback = on_end_;
  }
  // Still speaking while the end is delivered, as a real backend is until it has told the host.
  if (callback && *callback) deliver(*callback, id);
  std::lock_guard lock(mutex_);
  if (current_ == id) current_.reset();
  return id;
}

std::size_t FakeTts::finish_all() {
  std::size_t finished = 0;
  while (next_word()) {
  }
  if (end_current()) ++finished;
  while (begin_next()) {
    while (next_word()) {
    }
    if (end_current()) ++finished;
  }
  return finished;
}

std::size_t FakeTts::finish(std::size_t count, std::chrono::milliseconds timeout) {
  std::size_t finished = 0;
  while (finished < count) {
    {
      std::unique_lock lock(mutex_);
      if (!queued_cv_.wait_for(lock, timeout, [&] { return current_ || !queue_.empty(); })) break;
    }
    begin_next();
    while (next_word()) {
    }
    if (end_current()) ++finished;
  }
  return finished;
}

void FakeTts::detach() {
  std::lock_guard delivery(delivery_mutex_);
  std::shared_ptr<UtteranceCallback> begin;
  std::shared_ptr<UtteranceCallback> end;
  std::shared_ptr<WordCallback> word;
  {
    std::lock_guard lock(mutex_);
    alive_ = false;
    begin = std::move(on_begin_);
    end = std::move(on_end_);
    word = std::move(on_word_);
    queue_.clear();
    current_.reset();
  }
  // The callbacks (and whatever they own) die here, outside the fake's lock.
}

int FakeTts::calls(FakeOp op) const {
  std::lock_guard lock(mutex_);
  return calls_[index_of(op)];
}

std::vector<FakeUtterance> FakeTts::queued() const {
  std::lock_guard lock(mutex_);
  return queued_;
}

std::vector<UtteranceId> FakeTts::pending() const {
  std::lock_guard lock(mutex_);
  std::vector<UtteranceId> ids;
  if (current_) ids.push_back(*current_);
  ids.insert(ids.end(), queue_.begin(), queue_.end());
  return ids;
}

std::optional<float> FakeTts::rate() const {
  std::lock_guard lock(mutex_);
  return rate_;
}

void FakeTts::list_voices_late(bool late) {
  std::lock_guard lock(mutex_);
  list_late_ = late;
}

std::optional<std::string> FakeTts::language() const {
  std::lock_guard lock(mutex_);
  return language_;
}

std::optional<Voice> FakeTts::voice() const {
  std::lock_guard lock(mutex_);
  return voice_;
}

std::vector<Voice> FakeTts::voices_set() const {
  std::lock_guard lock(mutex_);
  return voices_set_;
}

bool FakeTts::speaking() const {
  std::lock_guard lock(mutex_);
  return current_.has_value() || !queue_.empty();
}

void FakeTts::set_sign_of_life(std::optional<std::chrono::steady_clock::time_point> at) {
  std::lock_guard lock(mutex_);
  sign_of_life_ = at;
}

}  // namespace mdspeak
