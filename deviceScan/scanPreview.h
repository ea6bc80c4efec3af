// Preview of a scan (deviceScan --dry-run): reads HW_CONFIG and the category
// tables as the scan does, with the same records for what is missing, and
// prints what the scan would change. It never sets a cell, changes a row
// count or writes a table.
//
// Output: one block per category table, in scan order; every line begins
// with a fixed word, the lines of a block after its first with two blanks.
//   unchanged TABLE rows N
//   changed TABLE rows N -> M      then, row by row:
//     was ROW NAME / now ROW NAME   a row whose Installed_hw changes
//     add ROW NAME                  a row added
//     cut ROW NAME                  a row cut off
//   kept TABLE: WHY                 the scan leaves the table as it is
//   missing TABLE: not in the database
// In RTD_SEL, was, now and add also give the row's label: NAME, LABEL. When
// HW_CONFIG cannot be used, the one line is
//   unusable HW_CONFIG: WHY; no table would be rewritten
// A scan sets Installed_hw (and label) only: the other cells of a row stay
// where they are, also when the row's item changes.
#pragma once

#include "deviceScan.h"

#include <cstdio>
#include <string>

// Exit statuses of a preview, as diff(1) has them.
const int kPreviewUnchanged = 0;
const int kPreviewChanged = 1;
const int kPreviewImpossible = 2;

// Previews the 11 category tables from the cursor on, over the scanner's
// master table, which must exist, and prints to out. Leaves the cursor
// behind the eleventh unless HW_CONFIG cannot be used. Returns one of the
// statuses above.
int previewScan(DeviceScanner& scanner, HardwareCategory*& cursor, std::FILE* out);

// text as the preview and the program's messages show it, unambiguous and
// safe on a terminal: backslash, comma, double quote, control characters
// (C0, DEL, C1), line separators and bidirectional controls, bytes that are
// no part of valid UTF-8, and blanks at either end come as \xHH, byte by
// byte; an empty text as "".
std::string shownText(const std::string& text);
