// The pronunciation file: entries, language sections, comments, and lines reported by number.
#include "pronunciations.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace mdspeak::client {
namespace {

TEST(PronunciationFileTest, ReadsEntriesAndReportsBadLinesByNumber) {
  const std::string content =
      "# my list\n"
      "nginx\tengine x\n"
      "  Visual Studio  \t  V S \r\n"
      "\n"
      "[es]\n"
      "Guía\tgui-a\n"
      "no tab here\n"
      "\tnothing before\n"
      "--\tdashes\n"
      "kubectl\t\n"
      "[fr]\n"
      "[*]\n"
      "SQL\tsequel\n" +
      std::string(201, 'x') + "\tlong\n" + "last\tline without a line feed";
  const PronunciationFile file = parse_pronunciations(content);
  EXPECT_EQ(file.entries, (std::vector<PronunciationEntry>{
                              {"nginx", "engine x", std::nullopt},
                              {"Visual Studio", "V S", std::nullopt},
                              {"Guía", "gui-a", "es"},
                              {"SQL", "sequel", std::nullopt},
                              {"last", "line without a line feed", std::nullopt},
                          }));
  EXPECT_EQ(file.problems, (std::vector<std::string>{
                               "line 7: no tab between the word and what to say",
                               "line 8: no word before the tab",
                               "line 9: no word before the tab",
                               "line 10: nothing to say after the tab",
                               "line 11: unknown section [fr] (use [en], [es] or [*])",
                               "line 14: the word is longer than 200 bytes",
                           }));
}

TEST(PronunciationFileTest, KeepsTheFirstTenThousandEntries) {
  std::string content;
  for (int i = 0; i < 10'002; ++i) content += "w" + std::to_string(i) + "\tx\n";
  const PronunciationFile file = parse_pronunciations(content);
  EXPECT_EQ(file.entries.size(), 10'000u);
  EXPECT_EQ(file.problems, (std::vector<std::string>{"line 10001: more than 10000 entries",
                                                     "line 10002: more than 10000 entries"}));
}

TEST(PronunciationFileTest, TheDefaultFileFollowsTheConfigurationDirectory) {
  const char* saved_config = std::getenv("XDG_CONFIG_HOME");
  const std::string restore = saved_config ? saved_config : "";
  const char* saved_home = std::getenv("HOME");
  const std::string restore_home = saved_home ? saved_home : "";
  ::setenv("XDG_CONFIG_HOME", "/cfg", 1);
  EXPECT_EQ(default_pronunciations_path(), std::filesystem::path("/cfg/mdspeak/pronunciations"));
  ::setenv("XDG_CONFIG_HOME", "relative", 1);  // to be ignored
  ::setenv("HOME", "/home/u", 1);
  EXPECT_EQ(default_pronunciations_path(),
            std::filesystem::path("/home/u/.config/mdspeak/pronunciations"));
  if (saved_config) {
    ::setenv("XDG_CONFIG_HOME", restore.c_str(), 1);
  } else {
    ::unsetenv("XDG_CONFIG_HOME");
  }
  if (saved_home) ::setenv("HOME", restore_home.c_str(), 1);
}

}  // namespace
}  // namespace mdspeak::client
