#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Console.h"
#include "UpdateOutput.h"

namespace kvhost {

class PhoneRow;

// The console while several phones update at once. On a terminal each phone has a row below
// everything written, redrawn in place: its serial, its model, the step it is at and, during a
// download or transfer, its progress. Every line a phone writes starts with its serial in
// brackets, on a terminal or not, and the last state of each download or transfer is written as
// a line of its own. Any thread may write.
class PhoneBoard : public std::enable_shared_from_this<PhoneBoard> {
public:
    explicit PhoneBoard(std::shared_ptr<Console> console);

    // Adds a row; all of them before the updates start.
    std::shared_ptr<PhoneRow> addRow(const std::string& serial, const std::string& model);
    // Leaves the rows on the terminal as they are.
    void finish();

private:
    friend class PhoneRow;

    struct Row {
        std::string serial;
        std::string model;
        std::string step;
        std::string progress;
    };

    void line(std::size_t row, const std::string& text);
    void setStep(std::size_t row, const std::string& step);
    void setProgress(std::size_t row, const std::string& progress);
    // The last progress of the row, which no longer shows a download or transfer.
    std::string takeProgress(std::size_t row);
    // Runs under `mutex_`.
    void redraw();

    const std::shared_ptr<Console> console_;
    std::mutex mutex_;
    std::vector<Row> rows_;
};

// One phone's share of the board.
class PhoneRow : public UpdateOutput {
public:
    PhoneRow(std::shared_ptr<PhoneBoard> board, std::size_t row);

    void line(const std::string& text) override;
    void step(const std::string& text) override;
    void progress(const std::string& text) override;
    void endProgress() override;
    // The phone's update is over: a line, and the row's last state.
    void close(const std::string& outcome);

private:
    const std::shared_ptr<PhoneBoard> board_;
    const std::size_t row_;
};

}  // namespace kvhost
