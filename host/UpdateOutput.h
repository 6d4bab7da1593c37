#pragma once

#include <string>

namespace kvhost {

// Where the steps of one phone's update show: the console itself when one phone is updated, that
// phone's row of the console (PhoneBoard) when several are. Any thread may write.
class UpdateOutput {
public:
    virtual ~UpdateOutput() = default;

    // A line on standard error.
    virtual void line(const std::string& text) = 0;
    // The update starts a step: a line, and on a phone's row its step.
    virtual void step(const std::string& text) = 0;
    // How far a download or transfer has come, redrawn in place on a terminal.
    virtual void progress(const std::string& text) = 0;
    // The download or transfer is over: its last progress stays written.
    virtual void endProgress() = 0;
};

}  // namespace kvhost
