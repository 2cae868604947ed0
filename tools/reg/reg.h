// The reg command: reg.exe's QUERY, ADD, DELETE, IMPORT and EXPORT operations
// over the emulated machine's registry.
#pragma once

// Runs one reg command line (argv[0] is the program); returns the exit status, 0 or 1.
int RegMain(int argc, char **argv);
