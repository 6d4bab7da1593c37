#include <kavrin/Kavrin.h>

#include <iostream>

// Derives from the host interfaces and calls the library: links only if the headers are
// self-contained and CreateKavrin is exported.
class ConsoleLogger : public kv::Logger {
public:
    void error(const std::string& message) override { std::cerr << message << '\n'; }
    void log(const std::string& message, bool /*verbose*/) override {
        std::cout << message << '\n';
    }
};

int main() {
    auto kavrin = CreateKavrin();
    kv::Kavrin::SessionParameters parameters;
    parameters.logger = std::make_shared<ConsoleLogger>();
    const bool marker = kavrin->IsMarkerCode(std::make_shared<const uint16_t>(0xC340));
    const auto refused = kavrin->CreateSession(parameters);
    if (!marker || refused != kv::Kavrin::Result::IllegalArgument) {
        std::cerr << "unexpected answers from the installed library\n";
        return 1;
    }
    std::cout << "installed library answers as expected\n";
    return 0;
}
