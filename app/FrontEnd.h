// The program's entry: picks the role of this run (mount, unmount, background copy, usage)
// from the command line, prints the messages and returns the process exit code.
#pragma once

// argc/argv as main received them. The mount command hides a password typed as its third
// argument from its argument memory (which other users can read) before anything else; the
// background copy receives the password on its standard input, never in its arguments. Every
// failure becomes printed text and the result; a value that does not convert or breaks an
// option's rule is written to standard error and gives 1. Never throws.
int VeldraMain(int argc, char** argv);
