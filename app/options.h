// Command lines with CLI11, the same way in every program: a later value overrides an earlier
// one, a usage error is one line on stderr with a hint and exit status 2, and option checks are
// plain functions that answer why a value is refused.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <string>
#include <vector>

namespace kestrel::app {

// An option check from a function that answers "" for a good value, else why it is refused.
CLI::Validator Check(std::function<std::string(const std::string&)> problem);

// Why an option that names a file, folder or name refuses an empty value.
std::string NotEmpty(const std::string& text);

// A later value of an option overrides an earlier one, as scripts that append to a base
// command expect. Options that add up set their own policy after this.
void LaterValuesWin(CLI::App& app);

// Prints "PROGRAM: message" and the hint to --help on stderr; answers kExitUsage.
int UsageError(const std::string& program, const std::string& message);

// What a program does with a usage error: by default UsageError.
using UsageErrorHandler = std::function<int(const std::string& message)>;

// Parses args (without the program's name). Answers -1 to go on, 0 after --help or --version
// (printed already), else what on_usage_error answers for the parser's message.
int ParseCommandLine(CLI::App& app, const std::vector<std::string>& args,
                     const UsageErrorHandler& on_usage_error = {});
int ParseCommandLine(CLI::App& app, int argc, char** argv,
                     const UsageErrorHandler& on_usage_error = {});

}  // namespace kestrel::app
