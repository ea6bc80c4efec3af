// Start-up steps shared by deviceScan and debugServer.
//
// -h, --help and --version: asked for in any position (each compared whole,
// the first of them deciding), a program prints its usage or its version and
// ends without doing anything else.
#pragma once

// The exit status after answering, or -1 when the command line asks for
// neither. An answer that cannot be written is an error, not a silent success.
int answerHelpOrVersion(int argc, char** argv, const char* program, const char* usage,
                        const char* version);
