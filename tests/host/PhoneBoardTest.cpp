#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "Console.h"
#include "PhoneBoard.h"

namespace kvhost {
namespace {

// The lines a terminal shows after `text`: it knows the line feed, the carriage return, cursor up
// (ESC [ n A) and erase below (ESC [ J), the sequences the console writes.
std::vector<std::string> screen(const std::string& text) {
    std::vector<std::string> lines(1);
    std::size_t row = 0;
    std::size_t column = 0;
    for (std::size_t at = 0; at < text.size(); ++at) {
        const char c = text[at];
        if (c == '\033') {
            const std::size_t end = text.find_first_of("AJ", at);
            const std::string count = text.substr(at + 2, end - at - 2);
            if (text[end] == 'A') {
                row -= count.empty() ? 1 : std::stoul(count);
            } else {
                lines[row].resize(column);
                lines.resize(row + 1);
            }
            at = end;
        } else if (c == '\r') {
            column = 0;
        } else if (c == '\n') {
            column = 0;
            if (++row == lines.size()) {
                lines.emplace_back();
            }
        } else {
            lines[row].resize(std::max(lines[row].size(), column + 1));
            lines[row][column++] = c;
        }
    }
    while (!lines.empty() && lines.back().empty()) {
        lines.pop_back();
    }
    return lines;
}

TEST(PhoneBoardTest, RowsAreRedrawnInPlaceBelowLinesThatCarryTheSerial) {
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* err = open_memstream(&text, &size);
    {
        auto console = std::make_shared<Console>(stdout, err, true);
        auto board = std::make_shared<PhoneBoard>(console);
        const auto first = board->addRow("KT01", "Kestrel 5");
        const auto second = board->addRow("KT0002", "Kestrel 7");
        first->step("Downloading YAV:0");
        second->line("  ! a library error");
        first->progress("download [###---]  50%");
        second->step("Identifying the phone");
        first->progress("download [######] 100%");
        first->endProgress();
        first->close("updated");
        board->finish();
        console->line("after");
    }
    std::fclose(err);
    const std::string written(text, size);
    std::free(text);
    EXPECT_EQ(
        screen(written),
        (std::vector<std::string>{
            "[KT01] ==> Downloading YAV:0", "[KT0002]   ! a library error",
            "[KT0002] ==> Identifying the phone", "[KT01] download [######] 100%", "[KT01] updated",
            "KT01    Kestrel 5  updated", "KT0002  Kestrel 7  Identifying the phone", "after"}))
        << written;
}

}  // namespace
}  // namespace kvhost
