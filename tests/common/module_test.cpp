#include "common/module.h"

#include <dlfcn.h>
#include <gnu/libc-version.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace mdspeak {
namespace {

namespace fs = std::filesystem;

// A function of the C library that no sanitizer intercepts, so that its address is the library's.
constexpr const char* kLibcSymbol = "gnu_get_libc_version";

// The C library's own file: a shared object that is surely there and surely loads.
fs::path c_library() {
  Dl_info info{};
  EXPECT_NE(dladdr(reinterpret_cast<void*>(&gnu_get_libc_version), &info), 0);
  return info.dli_fname;
}

class ModuleTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("mdspeak-module-test-" +
            std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
    fs::create_directories(dir_);
    std::ofstream(dir_ / "garbage.so") << "not a shared object\n";
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

// Each failure says why the last place that exists failed, so a broken install is told apart
// from a missing one; a place that loads and offers the name wins over those before it.
TEST_F(ModuleTest, SaysWhyNoPlaceOffersTheSymbolAndTakesTheFirstThatDoes) {
  const fs::path missing = dir_ / "missing.so";
  const fs::path garbage = dir_ / "garbage.so";
  struct Case {
    std::vector<fs::path> places;
    const char* symbol;
    std::string want_error;  // empty: found
  };
  const std::vector<Case> cases = {
      {{}, kLibcSymbol, "not found"},
      {{missing}, kLibcSymbol, "not found"},
      {{missing, garbage}, kLibcSymbol, garbage.string()},
      {{garbage, c_library()},
       "mdspeak_no_such_entry",
       c_library().string() + " offers no mdspeak_no_such_entry"},
      {{missing, garbage, c_library()}, kLibcSymbol, ""},
  };
  for (const auto& c : cases) {
    auto found = load_module_symbol(c.places, c.symbol);
    if (c.want_error.empty()) {
      ASSERT_TRUE(found) << found.error().message;
      EXPECT_EQ(*found, dlsym(RTLD_DEFAULT, c.symbol));
    } else {
      ASSERT_FALSE(found) << c.symbol;
      EXPECT_NE(found.error().message.find(c.want_error), std::string::npos)
          << found.error().message;
    }
  }
}

TEST_F(ModuleTest, LooksBesideTheBinaryFirstThenWhereItIsInstalledThenWhereItWasBuilt) {
  const auto places = module_places("m.so");
  const fs::path self = fs::read_symlink("/proc/self/exe");
  ASSERT_EQ(places.size(), 3u);
  EXPECT_EQ(places[0], self.parent_path() / "m.so");
  EXPECT_EQ(places[1].parent_path().filename(), "mdspeak");
  for (const auto& place : places) {
    EXPECT_TRUE(place.is_absolute()) << place;
    EXPECT_EQ(place.filename(), "m.so") << place;
  }
}

}  // namespace
}  // namespace mdspeak
