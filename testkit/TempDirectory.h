#pragma once

#include <string>

namespace kvtest {

// A fresh, empty directory below the system's temporary directory, removed with its content
// when the object goes away.
class TempDirectory {
public:
    TempDirectory();
    ~TempDirectory();
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;

    const std::string& path() const { return path_; }
    // path() + "/" + name
    std::string file(const std::string& name) const;

private:
    std::string path_;
};

enum class LinkTarget { File, Directory };

// Makes `link` a symbolic link to `target` (UTF-8 paths); false when this system or file system
// cannot, so that a test of links skips there.
bool createLink(const std::string& target, const std::string& link,
                LinkTarget kind = LinkTarget::File);

}  // namespace kvtest
