#include "TextLines.h"

#include <algorithm>

namespace kvhost {

std::string changeEachLine(const std::string& text,
                           const std::function<std::string(const std::string& line)>& change) {
    std::string lines;
    for (std::size_t start = 0; start <= text.size();) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        lines += (start == 0 ? "" : "\n") + change(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

}  // namespace kvhost
