#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "SharedPackages.h"

namespace kvhost {
namespace {

// One event of a phone's part: it found a package ("" for none), it asks whether it may delete
// its package (the answer expected), or it ends.
struct Event {
    enum Kind { Found, Install, End };
    std::size_t phone;
    Kind kind;
    std::string package;
    bool mayDelete = false;
};

struct Case {
    const char* name;
    std::size_t phones;
    std::vector<Event> events;
};

kv::Kavrin::UpdateMetadata package(const std::string& name) {
    kv::Kavrin::UpdateMetadata update;
    update.name = name;
    update.version = "2.0.0";
    update.size = 3000000;
    return update;
}

class SharedPackagesTest : public ::testing::TestWithParam<Case> {};

TEST_P(SharedPackagesTest, OnlyTheLastPhoneThatNeedsAPackageDeletesIt) {
    const Case& c = GetParam();
    SharedPackages packages(c.phones);
    std::vector<std::unique_ptr<SharedPackages::Claim>> claims;
    for (std::size_t phone = 0; phone < c.phones; ++phone) {
        claims.push_back(std::make_unique<SharedPackages::Claim>(packages));
    }
    for (std::size_t step = 0; step < c.events.size(); ++step) {
        const Event& event = c.events[step];
        SCOPED_TRACE("event " + std::to_string(step));
        auto& claim = claims.at(event.phone);
        if (event.kind == Event::Found) {
            const auto update = package(event.package);
            claim->found(event.package.empty() ? nullptr : &update);
        } else if (event.kind == Event::Install) {
            EXPECT_EQ(claim->lastUser(), event.mayDelete);
        } else {
            claim.reset();
        }
    }
}

using E = Event;
const Case cases[] = {
    {"TheLastOfTwoUsers",
     2,
     {{0, E::Found, "p"},
      {1, E::Found, "p"},
      {0, E::Install, "", false},
      {1, E::Install, "", true}}},
    {"KeptWhileAPhoneStillSearches",
     2,
     {{0, E::Found, "p"},
      {0, E::Install, "", false},
      {1, E::Found, "q"},
      {1, E::Install, "", true}}},
    {"APhoneThatFailedGivesUpItsPart",
     3,
     {{0, E::Found, "p"},
      {1, E::Found, "p"},
      {2, E::End, ""},
      {1, E::End, ""},
      {0, E::Install, "", true}}},
    {"EachPackageHasItsOwnUsers",
     3,
     {{0, E::Found, "p"},
      {1, E::Found, "q"},
      {2, E::Found, "p"},
      {1, E::Install, "", true},
      {0, E::Install, "", false},
      {2, E::Install, "", true}}},
    {"NothingFoundNeedsNothing",
     2,
     {{0, E::Found, ""},
      {1, E::Found, "p"},
      {0, E::Install, "", false},
      {1, E::Install, "", true}}},
    {"AskedTwiceOnlyOnce",
     1,
     {{0, E::Found, "p"}, {0, E::Install, "", true}, {0, E::Install, "", false}}},
};

INSTANTIATE_TEST_SUITE_P(Phones, SharedPackagesTest, ::testing::ValuesIn(cases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kvhost
