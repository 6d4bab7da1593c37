#include <filesystem>
#include <string>
#include <vector>

#include "EndToEndFixture.h"

namespace kvtest {
namespace {

using Channel = RecordingLogger::Channel;

class SessionLifecycleTest : public EndToEndTest {};

// Operations after the session has ended are in the dispatcher's banner test.
TEST_F(SessionLifecycleTest, OneSessionAtATime) {
    openSession();
    EXPECT_EQ(kavrin->CreateSession(parameters()), Result::IllegalState);
    EXPECT_FALSE(identify().empty());  // the open session is untouched
    ASSERT_EQ(kavrin->DestroySession(), Result::Ok);
    openSession();
}

TEST_F(SessionLifecycleTest, TrailingSlashesOfTheWorkingDirectoryAreDropped) {
    auto withSlashes = parameters();
    withSlashes.workingDirectory += "///";
    ASSERT_EQ(kavrin->CreateSession(withSlashes), Result::Ok);
    identify();
    ASSERT_EQ(kavrin->DestroySession(), Result::Ok);
    EXPECT_TRUE(std::filesystem::exists(workingDirectory.file("identifiers.cache")));

    // Nothing would be left but the root of the file system.
#ifdef _WIN32
    const std::vector<std::string> roots{"/", "///", "C:\\", "C:/", "\\", "C:"};
#else
    const std::vector<std::string> roots{"/", "///"};
#endif
    for (const std::string& root : roots) {
        auto onlySlashes = parameters();
        onlySlashes.workingDirectory = root;
        EXPECT_EQ(kavrin->CreateSession(onlySlashes), Result::IllegalArgument);
        EXPECT_TRUE(logger->contains(
            Channel::Error,
            "Illegal argument exception: Working directory is the root of the file system: " +
                root));
    }
    EXPECT_FALSE(std::filesystem::exists("/deltafiles.cache"));
}

TEST_F(SessionLifecycleTest, ServicesAreBuiltAndReleasedInOrder) {
    openSession();
    ASSERT_EQ(kavrin->DestroySession(), Result::Ok);
    const auto lifetimeLines = logger->messages(Channel::Verbose);
    // The HTTP service is shared: it goes with its last holder, the image query service.
    const std::vector<std::string> expected{"Constructor session",
                                            "Constructor HTTP service",
                                            "Constructor MTP service",
                                            "End session",
                                            "Destructor delta file cache",
                                            "Destructor identifier cache",
                                            "Destructor update session id cache",
                                            "Destructor MTP service",
                                            "Destructor ZUNT service",
                                            "Destructor HTTP service",
                                            "Destructor session"};
    EXPECT_EQ(lifetimeLines, expected);
}

TEST_F(SessionLifecycleTest, CancelAndProgressWithoutARunningOperation) {
    openSession();
    EXPECT_EQ(kavrin->Cancel(), Result::Ok);
    EXPECT_TRUE(logger->contains("No ongoing session function call to cancel"));
    EXPECT_TRUE(logger->contains("No ongoing MTP function call to cancel."));
    EXPECT_TRUE(logger->contains("No ongoing HTTP function call to cancel."));
    double progress = 0;
    EXPECT_EQ(kavrin->GetProgress(progress), Result::Ok);
    EXPECT_EQ(progress, 1.0);
}

}  // namespace
}  // namespace kvtest
