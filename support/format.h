// Filling message templates: each "{}" takes the next argument, in order.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace vantrel {

inline void fill_template(std::string& out, std::string_view tmpl,
                          std::initializer_list<std::string_view> args) {
  auto arg = args.begin();
  size_t pos = 0;
  while (pos < tmpl.size()) {
    const size_t hole = tmpl.find("{}", pos);
    if (hole == std::string_view::npos || arg == args.end()) {
      out.append(tmpl.substr(pos));
      return;
    }
    out.append(tmpl.substr(pos, hole - pos));
    out.append(*arg++);
    pos = hole + 2;
  }
}

inline std::string format_template(std::string_view tmpl,
                                   std::initializer_list<std::string_view> args) {
  std::string out;
  fill_template(out, tmpl, args);
  return out;
}

}  // namespace vantrel
