// How tarnsh gets the password of a protected account without it ever being on its command line
// (where ps shows it to every local user).
#pragma once

#include <optional>
#include <string>

namespace tarnsh {

// Where a password may come from, in the order tried.
struct PasswordSources {
  std::string dataSource;  // what -s named: a data source name or a "DSN=..." text; may be empty
};

// The password for user: $TARN_PASSWORD when set; else the first line of the file that the data
// source's PasswordFile= names (which must be readable by its owner alone); else asked for on
// the terminal without echo. Throws std::runtime_error saying what to do when none of them
// gives one.
[[nodiscard]] std::string findPassword(const std::string& user, const PasswordSources& sources);

// "KEY=value" for a connection string, the value in braces when it needs them.
[[nodiscard]] std::string attribute(const std::string& key, const std::string& value);

// Whether a connection text already carries key (as KEY=, any case).
[[nodiscard]] bool hasAttribute(const std::string& text, const std::string& key);

}  // namespace tarnsh
