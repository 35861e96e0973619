#include "common/module.h"

#include <dlfcn.h>

#include <string>
#include <system_error>

namespace mdspeak {

std::vector<std::filesystem::path> module_places(std::string_view file_name) {
  std::vector<std::filesystem::path> places;
  std::error_code error;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (!error) places.push_back(self.parent_path() / file_name);
#ifdef MDSPEAK_MODULES_INSTALLED
  places.push_back(std::filesystem::path(MDSPEAK_MODULES_INSTALLED) / file_name);
#endif
#ifdef MDSPEAK_MODULES_BUILT
  places.push_back(std::filesystem::path(MDSPEAK_MODULES_BUILT) / file_name);
#endif
  return places;
}

Result<void*> load_module_symbol(std::span<const std::filesystem::path> places,
                                 const char* symbol) {
  std::string why = "not found";
  for (const auto& place : places) {
    std::error_code error;
    if (!std::filesystem::exists(place, error)) continue;
    void* module = dlopen(place.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
      const char* message = dlerror();
      why = message != nullptr ? message : place.string() + " could not be loaded";
      continue;
    }
    if (void* found = dlsym(module, symbol)) return found;
    why = place.string() + " offers no " + symbol;
    dlclose(module);
  }
  return fail(Error(why));
}

}  // namespace mdspeak
