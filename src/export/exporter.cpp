#include "export/exporter.h"

#include <csignal>
#include <filesystem>
#include <system_error>

#include "common/module.h"
#include "export/render.h"

namespace mdspeak::exporting {
namespace {

// The module's renderer, loaded once and never unloaded.
Result<RenderExport> load_renderer() {
  const auto places = module_places("mdspeak-export.so");
  auto found = load_module_symbol(places, kRenderExportSymbol);
  if (!found) {
    return fail(
        Error("audio export is not available: its module mdspeak-export.so could not be "
              "loaded (" +
              found.error().message + ")"));
  }
  return *static_cast<const RenderExport*>(*found);
}

Result<RenderExport> renderer() {
  static const Result<RenderExport> loaded = load_renderer();
  return loaded;
}

}  // namespace

Exporter::Exporter(std::shared_ptr<Wakeup> wakeup) : wakeup_(std::move(wakeup)) {}

Exporter::~Exporter() {
  cancel();
  if (worker_.joinable()) worker_.join();
}

void Exporter::cancel() {
  if (cancel_) cancel_->store(true);
}

Result<void> Exporter::start(ExportJob job) {
  if (running()) return fail(Error("an export is already running"));
  auto render = renderer();
  if (!render) return fail(render.error());
  if (std::string problem = target_problem(job.path); !problem.empty()) return fail(Error(problem));
  std::optional<Format> format = job.format;
  if (!format) format = format_for_path(job.path);
  if (!format) {
    return fail(Error("cannot tell the format of " + job.path +
                      " from its extension: give one of wav, flac, opus, vorbis, mp3, m4b"));
  }
  if (job.transcript_path && *job.transcript_path == job.path) {
    return fail(Error("the transcript cannot be written to the audio file's own path"));
  }
  // A file grown past the process's size limit must fail its write, not end the service.
  std::signal(SIGXFSZ, SIG_IGN);

  auto audio = OutputFile::create(job.path);
  if (!audio) return fail(std::move(audio.error()));
  std::optional<OutputFile> transcript;
  if (job.transcript_path) {
    auto made = OutputFile::create(*job.transcript_path);
    if (!made) return fail(std::move(made.error()));
    transcript.emplace(std::move(*made));
  }
  int spool = -1;
  if (has_chapters(*format)) {
    auto made = anonymous_file_beside(job.path);
    if (!made) return fail(std::move(made.error()));
    spool = *made;
  }
  std::shared_ptr<Files> files(new Files{std::move(*audio), spool, std::move(transcript)});

  auto [sender, receiver] = make_channel<ExportUpdate>(wakeup_);
  auto cancel = std::make_shared<std::atomic<bool>>(false);
  try {
    worker_ = std::thread([render = *render, job = std::move(job), format = *format, files,
                           sender = std::move(sender), cancel]() mutable {
      auto outcome = render(std::move(job), format, *files, sender, *cancel);
      // Temporary files are removed before the final update is seen.
      files.reset();
      if (outcome) {
        sender.send(std::move(*outcome));
      } else {
        sender.send(std::move(outcome.error()));
      }
    });
  } catch (const std::system_error& e) {
    return fail(Error(std::string("failed to start the export: ") + e.what()));
  }
  updates_.emplace(std::move(receiver));
  cancel_ = std::move(cancel);
  return {};
}

std::optional<ExportUpdate> Exporter::next() {
  if (!updates_) return std::nullopt;
  std::optional<ExportUpdate> update;
  if (updates_->try_recv(update) != TryRecv::Value) return std::nullopt;
  if (!std::holds_alternative<ExportProgress>(*update)) {
    worker_.join();
    updates_.reset();
    cancel_.reset();
  }
  return update;
}

}  // namespace mdspeak::exporting
