// Helpers shared by the test suites: scratch directories, whole files, and shell commands.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace testing_support {

// A fresh directory under TMPDIR, removed with everything in it.
class TempDir {
  public:
    TempDir() {
        const char* base = std::getenv("TMPDIR");
        path_ = std::string(base != nullptr ? base : "/tmp") + "/dstest.XXXXXX";
        if (mkdtemp(&path_[0]) == nullptr)
            path_.clear();
    }
    ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
    TempDir(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

inline std::string readFile(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

inline void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

inline bool fileExists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

// The command prefix that runs a program built for the suite's target.
inline std::string launcher() {
    return *TEST_LAUNCHER == '\0' ? "" : TEST_LAUNCHER " ";
}

struct RunResult {
    int status; // exit status, or -1 when the command did not exit normally
    std::string out, err;
};

inline RunResult runCommand(const std::string& commandLine) {
    TempDir dir;
    std::string redirected = "(" + commandLine + ") >" + dir.file("out") + " 2>" + dir.file("err");
    int raw = std::system((redirected + " </dev/null").c_str());
    return {raw != -1 && WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, readFile(dir.file("out")),
            readFile(dir.file("err"))};
}

inline int countOf(const std::string& text, const std::string& needle) {
    int count = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + needle.size()))
        ++count;
    return count;
}

} // namespace testing_support
