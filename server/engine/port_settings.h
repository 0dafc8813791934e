// What a port is opened with (the system, the account, the credentials, the limits) and how
// opening it fails. Apart from the front door (port.h) because the port's state, below the
// request handlers, reads them too, while the door itself stands above everything.
#pragma once

#include <chrono>
#include <cstddef>
#include <stdexcept>
#include <string>

namespace tarn::server {

// A failure to start a port (the system directory cannot be made, the account does not exist,
// the store cannot be opened). Requests never throw it: they answer with a status.
class EngineError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A logon to a protected account without its credentials; the answer was held back a while.
class AccessDenied : public EngineError {
 public:
  using EngineError::EngineError;
};

// Bounds on what one request may make the engine build or send. Each refusal answers status 40
// with a message naming the limit; nothing is written. A data source may change every one.
struct Limits {
  std::size_t itemBytes = std::size_t{64} << 20;   // an item's body, written or built by "V"
  long elementNumber = 1000000;                    // an attribute, value or sub-value number
  std::size_t replyBytes = std::size_t{64} << 20;  // the output one "E" request captures
  std::size_t stackedCommands = 1000;              // command lines stacked behind an "E"
  std::size_t callMemory = std::size_t{256} << 20;  // what one "M" call may hold, reply included
};

struct PortConfig {
  std::string system;   // the system directory or PostgreSQL database
  std::string account;  // the account to log on to
  // How long one "M" call may run before it is stopped; zero for no limit.
  std::chrono::milliseconds callTimeLimit{0};
  // Whether a system or account that does not exist yet is created (with the system's DM
  // account); without it, logging on to one fails with EngineError naming it.
  bool createAccount = false;
};

// What a logon (or a LOGTO) presents to a protected account; unprotected accounts ignore it.
struct Credentials {
  std::string user;
  std::string password;
};

}  // namespace tarn::server
