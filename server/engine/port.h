// The stand-in server's front door: a port is one logged-on session, as one ODBC connection
// holds it. Requests and replies are byte strings in the wire code page (marks 0xFB..0xFF).
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "server/engine/port_settings.h"

namespace tarn::server {

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
