// Helpers shared by the test suites: scratch directories, whole files, and
// running programs (through the target emulator when the suite runs under one).
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
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
        std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/dstest.XXXXXX";
        char* made = mkdtemp(&pattern[0]);
        path_ = made != nullptr ? made : "";
    }
    ~TempDir() {
        if (!path_.empty())
            std::system(("rm -rf '" + path_ + "'").c_str());
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline bool fileExists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

inline void writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

// The command prefix that runs a program built for the suite's target.
inline std::string launcher() {
    std::string prefix = TEST_LAUNCHER;
    return prefix.empty() ? prefix : prefix + " ";
}

struct RunResult {
    int status = -1; // exit status, or -1 when the program did not exit normally
    std::string out;
    std::string err;
};

// Runs a shell command line, capturing standard output and standard error.
inline RunResult runCommand(const std::string& commandLine) {
    char outName[] = "/tmp/dsout.XXXXXX";
    char errName[] = "/tmp/dserr.XXXXXX";
    int outFd = mkstemp(outName);
    int errFd = mkstemp(errName);
    close(outFd);
    close(errFd);
    std::string full = "(" + commandLine + ") >" + outName + " 2>" + errName + " </dev/null";
    int raw = std::system(full.c_str());
    RunResult result;
    if (raw != -1 && WIFEXITED(raw))
        result.status = WEXITSTATUS(raw);
    result.out = readFile(outName);
    result.err = readFile(errName);
    unlink(outName);
    unlink(errName);
    return result;
}

// Number of times needle occurs in text.
inline int countOf(const std::string& text, const std::string& needle) {
    int count = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + needle.size()))
        ++count;
    return count;
}

} // namespace testing_support
