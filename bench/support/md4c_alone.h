// md4c with empty callbacks and the flags the walker uses: the yardstick of the speed ratios.
#pragma once

#include <md4c.h>

#include <string_view>

namespace mdspeak::bench {

inline int md4c_alone(std::string_view text) {
  MD_PARSER parser{};
  parser.flags = MD_FLAG_TABLES | MD_FLAG_STRIKETHROUGH | MD_FLAG_TASKLISTS;
  parser.enter_block = [](MD_BLOCKTYPE, void*, void*) { return 0; };
  parser.leave_block = [](MD_BLOCKTYPE, void*, void*) { return 0; };
  parser.enter_span = [](MD_SPANTYPE, void*, void*) { return 0; };
  parser.leave_span = [](MD_SPANTYPE, void*, void*) { return 0; };
  parser.text = [](MD_TEXTTYPE, const MD_CHAR*, MD_SIZE, void*) { return 0; };
  return md_parse(text.data(), static_cast<MD_SIZE>(text.size()), &parser, nullptr);
}

}  // namespace mdspeak::bench
