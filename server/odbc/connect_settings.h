// What a connection logs on to: the system directory and the account, gathered from the
// connection string, the data source's odbc.ini section and the process environment.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "server/odbc/code_page.h"
#include "server/engine/port.h"

namespace tarn::server::odbc {

// Splits "KEY=value;KEY={va;lue}" into pairs in order. Keys are trimmed and upper-cased; a value
// in braces is taken literally ("}}" stands for "}"); other values are trimmed. Never throws
// for malformed text: a part without "=" is ignored, an unclosed brace runs to the end.
[[nodiscard]] std::vector<std::pair<std::string, std::string>> parseConnectionString(
    std::string_view text);

struct ConnectSettings {
  std::string dsn;               // empty when the caller named no data source
  std::string system;            // the system directory
  std::string account;           // the account to log on to
  std::string user;              // UID=, for a protected account
  std::string password;          // PWD=; never logged
  bool embeddedDefault = false;  // system came from the default: its parents may need making
  Encoding encoding = Encoding::kWindows1252;  // what the client's ANSI texts are in
  bool encodingStated = false;                 // the connection string itself named the encoding
  Limits limits;                 // the engine's defaults unless MaxItemSize= and friends say
  std::string badLimit;          // the key of a limit whose value is not a positive number
  // CallTimeLimit=seconds (decimals allowed): how long one subroutine call may run; 0, the
  // default, for no limit. Text that is not a number counts as 0.
  std::chrono::milliseconds callTimeLimit{0};
  // CreateAccount=Yes (connection string, else odbc.ini): a system or account that does not
  // exist is created at logon. Off by default, so that a typo fails instead of making one.
  bool createAccount = false;
  // MarkEscapes=Yes (connection string, else odbc.ini): a statement may write the marks as
  // \xFB..\xFF and a backslash as \\, for tools such as isql where they cannot be typed.
  bool markEscapes = false;
};

// Where the settings come from besides the connection string; replaceable for tests.
struct SettingsSources {
  // Returns the value of key in the data source's odbc.ini section, or nothing.
  std::function<std::optional<std::string>(const std::string& dsn, const char* key)> profile;
  // Returns the environment variable, or nothing when it is unset or empty.
  std::function<std::optional<std::string>(const char* name)> environment;
};

// The sources of a real process: odbc.ini through the installer library, and getenv.
[[nodiscard]] SettingsSources processSources();

// Resolves the settings. The connection string wins over odbc.ini. Without a System= anywhere
// the embedded default applies: $TARN_SYSTEM, else $XDG_DATA_HOME/tarncl/system, else
// $HOME/.local/share/tarncl/system. Account defaults to the DSN name, and to "DM" (the master
// account every system has) when there is no DSN either. Returns nothing when no system
// directory can be named at all. Encoding= (connection string, else odbc.ini) picks the
// connection's encoding; an unknown value throws std::invalid_argument naming it.
// MaxItemSize, MaxElementNumber, MaxReplySize, MaxStackedCommands and MaxCallMemory (positive
// decimal numbers) change the port's limits; a value that is not one is named in badLimit.
// CreateAccount= is Yes (also True, 1) or anything else for no.
[[nodiscard]] std::optional<ConnectSettings> resolveSettings(
    const std::vector<std::pair<std::string, std::string>>& attributes,
    const SettingsSources& sources);

}  // namespace tarn::server::odbc
