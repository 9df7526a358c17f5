// Reading the files an operator hands a program: whole files (fixtures, configurations) and
// password files, with reasons an operator can act on.
#pragma once

#include <string>

namespace kestrel::app {

// The file's bytes. false with why: the system's reason, or that path is a folder.
bool ReadWholeFile(const std::string& path, std::string& bytes, std::string& why);

// The first line of the file, without its line end; error names the file and the problem (a
// folder, an empty first line, the system's reason). warning is set, and the call succeeds, when
// other users may read the file.
bool ReadPasswordFile(const std::string& path, std::string& password, std::string& error,
                      std::string& warning);

}  // namespace kestrel::app
