// Where orvcopy takes a password from: never the command line.
#pragma once

#include <optional>
#include <string>

namespace orvcopy {

struct PasswordSource {
  std::string file;         // --password-file: the first line of the file
  std::string environment;  // --password-env: the variable's value
};

// The password from the file, the variable, or a prompt without echo on the terminal (asked
// twice when bConfirm). Nothing when none can be had; error says why.
std::optional<std::string> GetPassword(const PasswordSource& source, bool bConfirm,
                                       std::string& error);

}  // namespace orvcopy
