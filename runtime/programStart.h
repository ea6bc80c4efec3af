// Start-up steps shared by deviceScan and debugServer.
//
// Descriptors 0, 1 and 2: a program started with one of them closed would
// hand that number to the next file it opens, and whatever it then prints on
// standard output or standard error would land in that file. Each program
// therefore opens them first thing.
//
// -h, --help and --version: asked for in any position (each compared whole,
// the first of them deciding), a program prints its usage or its version and
// ends without doing anything else.
#pragma once

// Opens each of descriptors 0, 1 and 2 that is closed on /dev/null, and
// returns them as a mask (bit N for descriptor N). When /dev/null cannot be
// opened, prints why on standard error and ends the process with status 1.
unsigned openStandardDescriptors(const char* program);

// The exit status after answering, or -1 when the command line asks for
// neither. An answer that cannot be written is an error, not a silent success.
int answerHelpOrVersion(int argc, char** argv, const char* program, const char* usage,
                        const char* version);
