// The preview as the program runs it, and how it shows names (agreement: the reliability test).
#include "scanSupport.h"

namespace {

using namespace testing_support;

TEST(ShownText, EscapesAllThatIsAmbiguousOrActsOnATerminal) {
    // Valid UTF-8 at the edges of each length, and neighbours of those escaped below.
    const std::string plain = "AI_1:SLOT_2: a b\xC2\xA0\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEF\xBF\xBF"
                              "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF\xE2\x80\x8D\xE2\x80\xA7\xE2\x80\xAF"
                              "\xE2\x81\xA5\xE2\x81\xAA~";
    EXPECT_EQ(plain, shownText(plain));
    EXPECT_EQ("\"\"", shownText(""));
    EXPECT_EQ("\\x20\\x20a \\x2cb\\x20", shownText("  a ,b "));
    // Every byte of controls, line separators, reordering marks and bad UTF-8.
    const std::string escaped =
        "\t\\,\"\x01\x1f\x7f\xC2\x80\xC2\x9F\xE2\x80\x8E\xE2\x80\x8F\xE2\x80\xA8"
        "\xE2\x80\xAE\xE2\x81\xA6\xE2\x81\xA9\xC1\xBF\xE0\x9F\xBF\xED\xA0\x80"
        "\xF0\x8F\xBF\xBF\xF4\x90\x80\x80\xF5\x80\xC3\xC0\x80\xE2\x82";
    std::string expected;
    for (unsigned char c : escaped)
        expected += "\\x" + std::string(1, "0123456789abcdef"[c >> 4]) + "0123456789abcdef"[c & 15];
    EXPECT_EQ(expected, shownText(escaped));
}

TEST(Preview, SaysWhatTheScanWouldChangeAndExitsAsDiffDoes) {
    Database db;
    for (const char* name : kCategoryTables)
        db.put({{name, "Installed_hw\n"}});
    unlink(db.file("EPC_SEL.csv").c_str());
    db.put({{"HW_CONFIG", "IO_function,IO_name\n7,R1\nx,X\n1, AI\n6,D\n7,R2\n12,Z\n12,Z2\n"},
            {"ANALOG_INPUTS_SEL", "Installed_hw,Notes\nOLD_1,one\nOLD_2,two\nOLD_3,\n"},
            {"HEATER_CONTROL_SEL", "Foo\nbar\n"},
            {"DETECTOR_SEL", "Foo\n"},
            {"SOLENOID_VALVE_SEL", "Foo\n"}, // no rows to lose: emptied as usual
            {"RTD_SEL", "Installed_hw,label\nR1,RTD 9\n"},
            {"ZVLTLOI_SEL", "Installed_hw\nZ\nY\n"}});
    // deviceScan run with arguments: its exit status, standard error and output.
    auto run = [&db](const std::string& arguments) {
        const RunResult r =
            runCommand("ZVDB_DIR=" + db.path() + " " + launcher() + DEVICESCAN_BINARY + arguments);
        return std::to_string(r.status) + " " + r.err + r.out;
    };
    EXPECT_EQ(
        "1 deviceScan: unknown option -x ignored\n"
        "changed ANALOG_INPUTS_SEL rows 3 -> 1\n  was 0 OLD_1\n  now 0 \\x20AI\n  cut 1 OLD_2\n  "
        "cut 2 OLD_3\n"
        "unchanged ANALOG_OUTPUTS_SEL rows 0\nunchanged DIGITAL_INPUTS_SEL rows 0\n"
        "unchanged DIGITAL_OUTPUTS_SEL rows 0\n"
        "kept HEATER_CONTROL_SEL: rows but no column Installed_hw\n"
        "kept DETECTOR_SEL: no column Installed_hw\nunchanged SOLENOID_VALVE_SEL rows 0\n"
        "missing EPC_SEL: not in the database\n"
        "changed RTD_SEL rows 1 -> 2\n  was 0 R1, RTD 9\n  now 0 R1, RTD 1\n  add 1 R2, RTD 2\n"
        "unchanged PREAMP_STREAMING_SEL rows 0\n"
        "changed ZVLTLOI_SEL rows 2 -> 2\n  was 1 Y\n  now 1 Z2\n",
        run(" -x --dry-run foo"));
    EXPECT_EQ("2 deviceScan: standard output: No space left on device\n", run(" -n >/dev/full"));
    // A mistyped switch is named, and the scan runs as without it.
    EXPECT_EQ("0 deviceScan: unknown option --dry-rnu ignored\n"
              "deviceScan: unknown option -\\x1b[2J ignored\nTurning on special debug level IV.\n",
              run(" --dry-rnu '-\x1b[2J' -V"));
    EXPECT_EQ("0 ", run(" -n").substr(0, 2));
    unlink(db.file("HW_CONFIG.csv").c_str());
    EXPECT_EQ("2 unusable HW_CONFIG: not in the database; no table would be rewritten\n",
              run(" -n"));
}

} // namespace
