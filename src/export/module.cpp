// The module's one entry: the renderer, under the name the service looks up after loading it.
#include "export/render.h"

extern "C" {
extern const mdspeak::exporting::RenderExport mdspeak_render_export;
const mdspeak::exporting::RenderExport mdspeak_render_export = &mdspeak::exporting::render_export;
}
