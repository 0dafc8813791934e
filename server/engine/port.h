// The stand-in server's front door: a port is one logged-on session, as one ODBC connection
// holds it. Requests and replies are byte strings in the wire code page (marks 0xFB..0xFF).
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

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

class Port {
 public:
  // Logs on to config.account in config.system, bounded by limits. Throws AccessDenied when the
  // account is protected and the credentials do not match, EngineError for any other failure.
  [[nodiscard]] static std::unique_ptr<Port> open(const PortConfig& config,
                                                  const Credentials& credentials = {},
                                                  const Limits& limits = {});
  [[nodiscard]] static std::unique_ptr<Port> open(const PortConfig& config, const Limits& limits) {
    return open(config, Credentials{}, limits);
  }
  // Logs off: the port's locks, lists and open handles go.
  virtual ~Port() = default;

  // Runs one request (an operation code and fields joined by 0xFE, without the ".-" or "."
  // prefix) and returns the reply: a 4-character status, one blank, the data. Never throws for
  // any request content; each port is used by one thread at a time.
  [[nodiscard]] virtual std::string execute(std::string_view request) = 0;
  // This port's number, unique among the live ports of the system.
  [[nodiscard]] virtual int number() const noexcept = 0;
  // Stops the subroutine call running on this port, if any; callable from any thread while
  // execute runs on another.
  virtual void cancel() noexcept {}
  // True once the port's connection to a database server has gone (a server restarted, a
  // network cut): the port's locks went with it and every later request fails the same way,
  // so the client must connect again.
  [[nodiscard]] virtual bool lost() const noexcept { return false; }
  // The engine's own words on why the last request failed ("Item 42 of CUST is locked by port 3
  // (account SALES)"); empty when it succeeded or there is nothing to add to its status. The
  // reply's bytes stay as the protocol fixes them: the driver carries these words beside it.
  [[nodiscard]] virtual std::string_view message() const noexcept { return {}; }
};

}  // namespace tarn::server
