// deviceScan's dynamic symbol table holds exactly the runtime's exported
// interface, names and parameter types as exports/*.syms list them.
#include "testSupport.h"

#include <gtest/gtest.h>

TEST(ExportedSymbols, ProgramExportsExactlyTheRuntimeInterface) {
    testing_support::TempDir dir;
    // Left out: versioned names (the C library's objects copied into the
    // program) and what the linker and the sanitizer runtimes define anywhere.
    testing_support::RunResult diff = testing_support::runCommand(
        "grep -hv '^#' " TEST_SOURCE_DIR "/runtime/tests/exports/*.syms | sort >" + dir.file("e") +
        " && '" NM_PROGRAM "' -DC --defined-only '" DEVICESCAN_BINARY "' | cut -d' ' -f3- | "
        "grep -v @ | grep -Ev '^(_IO_stdin_used|__bss_start|__data_start|data_start|_edata|_end|"
        "_init|_fini|_start|_SDA_BASE_|_SDA2_BASE_|__dso_handle)$|^__(a|ub|l)?san' | sort | "
        "diff " +
        dir.file("e") + " -");
    EXPECT_EQ(diff.status, 0) << "< not exported, > not in the interface:\n"
                              << diff.out << diff.err;
}
