// Marks the names that the runtime exports to other code on the analyser.
// The build hides everything else (hidden visibility by default, and the
// executable's linker script keeps only these names in its dynamic table).
#pragma once

#define RUNTIME_EXPORT __attribute__((visibility("default")))
