// Helpers shared by the test modules.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

// A fresh directory under the system's temporary folder, removed with everything in it when
// the object goes away.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::vector<unsigned char> readFile(const std::string& path);
void writeFile(const std::string& path, const std::vector<unsigned char>& data);
void writeText(const std::string& path, const std::string& text);

// True when tests run under CI=true (a missing oracle tool is then a failure, not a skip).
bool underCi();

}  // namespace testsupport
