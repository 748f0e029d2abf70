#pragma once
// What the PAC program's output says, shared by the local and the downloaded PAC paths.
// Internal.

#include <string>
#include <vector>

// The addresses of the leading "PROXY " entries of a PAC result ("PROXY a:8080; PROXY b;
// DIRECT" gives a:8080 and b), each trimmed of blanks, tabs, CR and LF; reading stops at
// the first entry that is not a "PROXY " entry. No port is added.
std::vector<std::string> pacResultProxies(const std::string& text);

// The program text and arguments of one PAC program run, as one command line that the
// process runner splits back into exactly these arguments.
std::string pacProgramCommand(const std::string& program, const std::string& url,
                              const std::string& pacFile);

// Reads the program's output file whole, without following a link and only when it is a
// regular file of at most 1 MiB. False, logged, otherwise.
bool readPacOutput(const std::string& path, std::string& text);
