// The rendering of an export: espeak-ng's speech of each utterance, encoded by FFmpeg into the
// audio file, with chapters and a transcript. It is built into a module of its own
// (mdspeak-export.so), which the service loads at its first export: FFmpeg and espeak-ng bring
// well over a hundred shared libraries, whose loading would otherwise add to every start of the
// service, even one that only prints a document.
#pragma once

#include <unistd.h>

#include <atomic>
#include <optional>

#include "common/channel.h"
#include "common/error.h"
#include "export/exporter.h"
#include "export/output_file.h"

namespace mdspeak::exporting {

// The files an export writes, created before its worker starts.
struct Files {
  OutputFile audio;
  int spool = -1;
  std::optional<OutputFile> transcript;
  ~Files() {
    if (spool >= 0) ::close(spool);
  }
};

// Renders `job` into `files` (the audio in `format`), sending progress on `updates`, until done,
// failed or `cancel` is set. Runs on the export's worker thread.
Result<ExportSummary> render_export(ExportJob job, Format format, Files& files,
                                    const Sender<ExportUpdate>& updates,
                                    const std::atomic<bool>& cancel);
using RenderExport = decltype(&render_export);

// The name under which the module offers `render_export` (a `RenderExport` variable).
inline constexpr const char* kRenderExportSymbol = "mdspeak_render_export";

}  // namespace mdspeak::exporting
