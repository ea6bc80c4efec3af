// The runtime's exported interface is a contract with other code on the
// analyser: deviceScan's dynamic symbol table must hold exactly the names and
// parameter types listed in exports/*.syms, and nothing else of ours.
#include <gtest/gtest.h>

#include <dirent.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <string>

namespace {

std::set<std::string> expectedSymbols() {
    std::set<std::string> symbols;
    std::string dir = std::string(TEST_SOURCE_DIR) + "/runtime/tests/exports";
    DIR* d = opendir(dir.c_str());
    if (d == nullptr)
        return symbols;
    while (dirent* entry = readdir(d)) {
        std::string name = entry->d_name;
        if (name.size() < 5 || name.compare(name.size() - 5, 5, ".syms") != 0)
            continue;
        std::ifstream in(dir + "/" + name);
        for (std::string line; std::getline(in, line);)
            if (!line.empty() && line[0] != '#')
                symbols.insert(line);
    }
    closedir(d);
    return symbols;
}

// Symbols that the linker or a sanitizer runtime defines in every executable.
bool isLinkerSymbol(const std::string& name) {
    static const std::set<std::string> linker = {"_IO_stdin_used", "__bss_start", "__data_start",
                                                 "data_start",     "_edata",      "_end",
                                                 "_init",          "_fini",       "_start",
                                                 "_SDA_BASE_",     "_SDA2_BASE_", "__dso_handle"};
    if (linker.count(name) != 0)
        return true;
    // The sanitizer runtimes publish their options and hooks.
    for (const char* prefix : {"__asan_", "__ubsan_", "__lsan_", "__sanitizer_"})
        if (name.compare(0, std::strlen(prefix), prefix) == 0)
            return true;
    return false;
}

std::set<std::string> programSymbols() {
    std::string command =
        std::string("'") + NM_PROGRAM + "' -DC --defined-only '" + DEVICESCAN_BINARY + "'";
    std::set<std::string> symbols;
    FILE* nm = popen(command.c_str(), "r");
    if (nm == nullptr)
        return symbols;
    char line[4096];
    while (fgets(line, sizeof line, nm) != nullptr) {
        std::string text(line);
        if (!text.empty() && text.back() == '\n')
            text.pop_back();
        // "ADDRESS TYPE NAME"
        std::size_t first = text.find(' ');
        std::size_t second = first == std::string::npos ? first : text.find(' ', first + 1);
        if (second == std::string::npos)
            continue;
        std::string name = text.substr(second + 1);
        // Versioned names are the C library's objects copied into the program.
        if (name.find('@') != std::string::npos || isLinkerSymbol(name))
            continue;
        symbols.insert(name);
    }
    pclose(nm);
    return symbols;
}

TEST(ExportedSymbols, ProgramExportsExactlyTheRuntimeInterface) {
    std::set<std::string> expected = expectedSymbols();
    ASSERT_FALSE(expected.empty()) << "no export lists found";
    std::set<std::string> actual = programSymbols();
    ASSERT_FALSE(actual.empty()) << "could not read the dynamic symbols of " << DEVICESCAN_BINARY;

    for (const std::string& name : expected)
        EXPECT_EQ(actual.count(name), 1u) << "not exported: " << name;
    for (const std::string& name : actual)
        EXPECT_EQ(expected.count(name), 1u) << "exported but not part of the interface: " << name;
}

} // namespace
