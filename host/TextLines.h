#pragma once

#include <functional>
#include <string>

namespace kvhost {

// `text` with each of its lines (separated by line feeds) replaced by `change` of it.
std::string changeEachLine(const std::string& text,
                           const std::function<std::string(const std::string& line)>& change);

}  // namespace kvhost
