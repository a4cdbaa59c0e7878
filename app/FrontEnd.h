// The program's entry: picks the role of this run (mount, unmount, background copy, usage)
// from the command line, prints the messages and returns the process exit code.
#pragma once

// argc/argv as main received them. The background copy overwrites its password argument in
// argv (argument memory other users can read) as soon as it has read it; so does the mount
// command once it has gathered its settings. Every failure becomes printed text and the result;
// a value that does not convert is written to standard error and gives 1. Never throws.
int VeldraMain(int argc, char** argv);
