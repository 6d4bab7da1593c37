#include "PhoneBoard.h"

#include <algorithm>
#include <utility>

#include "TextLines.h"

namespace kvhost {

namespace {

std::string padded(const std::string& text, std::size_t width) {
    return text + std::string(width - std::min(width, text.size()), ' ');
}

}  // namespace

PhoneBoard::PhoneBoard(std::shared_ptr<Console> console) : console_(std::move(console)) {}

std::shared_ptr<PhoneRow> PhoneBoard::addRow(const std::string& serial, const std::string& model) {
    std::lock_guard<std::mutex> lock(mutex_);
    rows_.push_back({serial, model, "waiting", ""});
    redraw();
    return std::make_shared<PhoneRow>(shared_from_this(), rows_.size() - 1);
}

void PhoneBoard::finish() {
    if (console_->interactive()) {
        console_->endProgress();
    }
}

void PhoneBoard::line(std::size_t row, const std::string& text) {
    std::string serial;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        serial = rows_.at(row).serial;
    }
    // Every line of a text of several lines (the library logs whole documents).
    console_->line(changeEachLine(
        text, [&serial](const std::string& line) { return "[" + serial + "] " + line; }));
}

void PhoneBoard::setStep(std::size_t row, const std::string& step) {
    std::lock_guard<std::mutex> lock(mutex_);
    rows_.at(row).step = step;
    redraw();
}

void PhoneBoard::setProgress(std::size_t row, const std::string& progress) {
    std::lock_guard<std::mutex> lock(mutex_);
    rows_.at(row).progress = progress;
    redraw();
}

std::string PhoneBoard::takeProgress(std::size_t row) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string progress = std::move(rows_.at(row).progress);
    rows_.at(row).progress.clear();
    redraw();
    return progress;
}

void PhoneBoard::redraw() {
    if (!console_->interactive()) {
        return;
    }
    std::size_t serialWidth = 0;
    std::size_t modelWidth = 0;
    for (const Row& row : rows_) {
        serialWidth = std::max(serialWidth, row.serial.size());
        modelWidth = std::max(modelWidth, row.model.size());
    }
    std::string text;
    for (const Row& row : rows_) {
        text += (text.empty() ? "" : "\n") + padded(row.serial, serialWidth) + "  " +
                padded(row.model, modelWidth) + "  " +
                (row.progress.empty() ? row.step : row.progress);
    }
    console_->progress(text);
}

PhoneRow::PhoneRow(std::shared_ptr<PhoneBoard> board, std::size_t row)
    : board_(std::move(board)), row_(row) {}

void PhoneRow::line(const std::string& text) {
    board_->line(row_, text);
}

void PhoneRow::step(const std::string& text) {
    board_->line(row_, "==> " + text);
    board_->setStep(row_, text);
}

void PhoneRow::progress(const std::string& text) {
    board_->setProgress(row_, text);
}

void PhoneRow::endProgress() {
    const std::string last = board_->takeProgress(row_);
    if (!last.empty()) {
        board_->line(row_, last);
    }
}

void PhoneRow::close(const std::string& outcome) {
    board_->line(row_, outcome);
    board_->setStep(row_, outcome);
}

}  // namespace kvhost
