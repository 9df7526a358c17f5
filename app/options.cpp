#include "app/options.h"

#include <cstdio>

#include "app/exit_codes.h"

namespace kestrel::app {

CLI::Validator Check(std::function<std::string(const std::string&)> problem) {
  return CLI::Validator([problem](std::string& value) { return problem(value); }, "");
}

std::string NotEmpty(const std::string& text) {
  return text.empty() ? "an empty value is not a file, folder or name" : "";
}

void LaterValuesWin(CLI::App& app) {
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
}

int UsageError(const std::string& program, const std::string& message) {
  std::fprintf(stderr, "%s: %s\nTry '%s --help' for the options.\n", program.c_str(),
               message.c_str(), program.c_str());
  return kExitUsage;
}

int ParseCommandLine(CLI::App& app, const std::vector<std::string>& args,
                     const UsageErrorHandler& on_usage_error) {
  try {
    // CLI11 takes a vector of arguments last first.
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    app.parse(reversed);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);  // --help, --version
    return on_usage_error ? on_usage_error(e.what()) : UsageError(app.get_name(), e.what());
  }
  return -1;
}

int ParseCommandLine(CLI::App& app, int argc, char** argv,
                     const UsageErrorHandler& on_usage_error) {
  return ParseCommandLine(app, std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc),
                          on_usage_error);
}

}  // namespace kestrel::app
