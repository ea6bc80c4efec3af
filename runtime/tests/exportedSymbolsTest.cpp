// The runtime's exported interface is a contract with other code on the
// analyser: deviceScan's dynamic symbol table holds exactly the names and
// parameter types listed in exports/*.syms, and nothing else of ours.
#include "testSupport.h"

#include <gtest/gtest.h>

TEST(ExportedSymbols, ProgramExportsExactlyTheRuntimeInterface) {
    testing_support::TempDir dir;
    std::string expected = dir.file("expected");
    // nm prints "ADDRESS TYPE NAME". Versioned names are the C library's objects
    // copied into the program; the others left out are the linker's and the
    // sanitizer runtimes', defined in every executable.
    testing_support::RunResult diff = testing_support::runCommand(
        "grep -hv '^#' " TEST_SOURCE_DIR "/runtime/tests/exports/*.syms | sort >" + expected +
        " && '" NM_PROGRAM "' -DC --defined-only '" DEVICESCAN_BINARY "' | cut -d' ' -f3- | "
        "grep -v @ | grep -Ev '^(_IO_stdin_used|__bss_start|__data_start|data_start|_edata|_end|"
        "_init|_fini|_start|_SDA_BASE_|_SDA2_BASE_|__dso_handle)$|^__(a|ub|l)?san' | sort | "
        "diff " +
        expected + " -");
    EXPECT_EQ(diff.status, 0) << "< missing, > not part of the interface:\n"
                              << diff.out << diff.err;
}
