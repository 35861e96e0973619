#include "export/exporter.h"

#include <dlfcn.h>

#include <csignal>
#include <filesystem>
#include <system_error>

#include "export/render.h"

namespace mdspeak::exporting {
namespace {

// Where the rendering module is looked for: beside the service's binary (the build tree), where
// it is installed, and where this build made it (for tests, whose binaries live elsewhere).
std::vector<std::filesystem::path> module_places() {
  std::vector<std::filesystem::path> places;
  std::error_code error;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (!error) places.push_back(self.parent_path() / "mdspeak-export.so");
#ifdef MDSPEAK_EXPORT_MODULE_INSTALLED
  places.emplace_back(MDSPEAK_EXPORT_MODULE_INSTALLED);
#endif
#ifdef MDSPEAK_EXPORT_MODULE_BUILT
  places.emplace_back(MDSPEAK_EXPORT_MODULE_BUILT);
#endif
  return places;
}

// The module's renderer, loaded once and never unloaded.
Result<RenderExport> load_renderer() {
  std::string why = "not found";
  for (const auto& place : module_places()) {
    std::error_code error;
    if (!std::filesystem::exists(place, error)) continue;
    void* module = dlopen(place.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
      why = dlerror();
      continue;
    }
    if (auto* found = static_cast<const RenderExport*>(dlsym(module, kRenderExportSymbol))) {
      return *found;
    }
    why = place.string() + " offers no renderer";
  }
  return fail(
      Error("audio export is not available: its module mdspeak-export.so could not be "
            "loaded (" +
            why + ")"));
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
