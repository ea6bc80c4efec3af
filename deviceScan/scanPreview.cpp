// Preview of a scan: what each category table would become, found by the
// reads the scan makes, and how names are shown so that none is ambiguous.
#include "scanPreview.h"

#include <algorithm>
#include <cstdio>

namespace {

// The length of the valid UTF-8 sequence that starts at s[i], or 0 when none
// does (a stray continuation byte, an overlong form, a surrogate, a code
// point above U+10FFFF, a sequence cut short).
std::size_t utf8Length(const std::string& s, std::size_t i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80)
        return 1;
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        low = c == 0xE0 ? 0xA0 : low;
        high = c == 0xED ? 0x9F : high;
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        low = c == 0xF0 ? 0x90 : low;
        high = c == 0xF4 ? 0x8F : high;
    } else {
        return 0;
    }
    if (s.size() - i < length)
        return 0;
    for (std::size_t k = 1; k < length; ++k) {
        const unsigned char next = static_cast<unsigned char>(s[i + k]);
        if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xBF))
            return 0;
    }
    return length;
}

// Valid characters that still must not reach a terminal raw: the C1
// controls, which some terminals obey; U+2028 and U+2029, which some tools
// take for line ends; and the marks that reorder text on screen (U+200E,
// U+200F, U+202A to U+202E, U+2066 to U+2069).
bool isHiddenControl(const std::string& s, std::size_t i, std::size_t length) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
    if (length == 2)
        return byte(0) == 0xC2 && byte(1) < 0xA0;
    if (length != 3 || byte(0) != 0xE2)
        return false;
    if (byte(1) == 0x80)
        return byte(2) == 0x8E || byte(2) == 0x8F || (byte(2) >= 0xA8 && byte(2) <= 0xAE);
    return byte(1) == 0x81 && byte(2) >= 0xA6 && byte(2) <= 0xA9;
}

// Prints the block of one category table; returns whether the scan would
// change the table. names is the scan's installed-names list, reused.
bool previewTable(DeviceScanner& scanner, ZVTABLE* hwConfig, int hwRows,
                  const HardwareCategory& category, StringList& names, std::FILE* out) {
    const char* name = category.tableName.c_str();
    ZVTABLE* table = openCategoryTable(scanner.master(), category.tableName);
    if (table == nullptr) {
        std::fprintf(out, "missing %s: not in the database\n", name);
        return false;
    }
    // The scan does not look at the load, but the table service never writes
    // back a table that failed to load.
    const bool loaded = table->read_table_data() == 0;
    const bool found = scanner.collectInstalledNames(hwConfig, hwRows, category.code, names) != 0;
    const bool labelled = category.tableName == kRtdTable;
    const int rows = std::max(table->get_stored_rows(), 0);
    const char* why = nullptr;
    if (!loaded)
        why = "cannot be loaded";
    else if (!found && keepsRowsWithoutInstalled(table, category.tableName))
        why = "rows but no column Installed_hw";
    // A set into a missing column fails, and a table with a failed set is
    // not written back.
    else if (found && !hasColumn(table, rows, kColumnInstalled))
        why = "no column Installed_hw";
    else if (found && labelled && !hasColumn(table, rows, kColumnLabel))
        why = "no column label";
    if (why != nullptr) {
        std::fprintf(out, "kept %s: %s\n", name, why);
        return false;
    }

    const int after = found ? static_cast<int>(names.size()) : 0;
    std::string lines;
    for (int row = 0; row < std::max(rows, after); ++row) {
        std::string old;
        std::string label;
        if (row < rows)
            table->get(kColumnInstalled, row, old);
        const std::string number = " " + std::to_string(row) + " ";
        if (row >= after) {
            lines += "  cut" + number + shownText(old) + "\n";
            continue;
        }
        const std::string& item = names[static_cast<std::size_t>(row)];
        if (labelled && row < rows)
            table->get(kColumnLabel, row, label);
        if (row < rows && old == item && (!labelled || label == rtdLabel(row)))
            continue;
        const std::string now =
            shownText(item) + (labelled ? ", " + shownText(rtdLabel(row)) : "") + "\n";
        if (row >= rows)
            lines += "  add" + number + now;
        else
            lines += "  was" + number + shownText(old) + (labelled ? ", " + shownText(label) : "") +
                     "\n  now" + number + now;
    }
    if (rows == after && lines.empty()) {
        std::fprintf(out, "unchanged %s rows %d\n", name, rows);
        return false;
    }
    std::fprintf(out, "changed %s rows %d -> %d\n", name, rows, after);
    std::fputs(lines.c_str(), out);
    return true;
}

} // namespace

std::string shownText(const std::string& text) {
    if (text.empty())
        return "\"\"";
    const std::size_t first = text.find_first_not_of(' ');
    const std::size_t last = text.find_last_not_of(' ');
    std::string shown;
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        std::size_t length = utf8Length(text, i);
        const bool escaped = length == 0 || c < 0x20 || c == 0x7f || c == '\\' || c == ',' ||
                             c == '"' || (c == ' ' && (i < first || i > last)) ||
                             isHiddenControl(text, i, length);
        if (!escaped) {
            shown.append(text, i, length);
            i += length;
            continue;
        }
        for (length = std::max<std::size_t>(length, 1); length > 0; --length, ++i) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", static_cast<unsigned char>(text[i]));
            shown += hex;
        }
    }
    return shown;
}

int previewScan(DeviceScanner& scanner, HardwareCategory*& cursor, std::FILE* out) {
    ZVTABLE* hwConfig = nullptr;
    int rowCount = 0;
    std::string missing;
    const HwConfigState state = openHwConfig(scanner.master(), hwConfig, rowCount, missing);
    if (state != HwConfigState::usable) {
        const std::string why = state == HwConfigState::missing      ? "not in the database"
                                : state == HwConfigState::unloadable ? "cannot be loaded"
                                                                     : "no column " + missing;
        std::fprintf(out, "unusable HW_CONFIG: %s; no table would be rewritten\n", why.c_str());
        return kPreviewImpossible;
    }
    StringList names;
    int status = kPreviewUnchanged;
    for (int i = 0; i < kCategoryCount; ++i, ++cursor) {
        if (previewTable(scanner, hwConfig, rowCount, *cursor, names, out))
            status = kPreviewChanged;
    }
    return status;
}
