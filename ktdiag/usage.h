#pragma once

// Prints the usage text, with the default output folder, to standard output.
void printUsage();
