// The port behind Port::open: parses each request, runs it against the port's state and
// answers with a status.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/engine/corvex/program.h"
#include "server/engine/corvex/vm.h"
#include "server/engine/port.h"
#include "server/engine/port_state.h"
#include "server/engine/vocabulary.h"

namespace tarn::server {

// The status that tells a client what kind of store failure stopped its request.
[[nodiscard]] int statusFor(const store::StoreError& e) noexcept;

// Batches of "n" stop at whichever bound comes first (at least one id is always sent).
inline constexpr std::size_t kBatchIds = 2000;
inline constexpr std::size_t kBatchBytes = 64 * 1024;

class Session final : public Port {
 public:
  // Logs on; throws store::StoreError when the system or account cannot be used.
  Session(std::unique_ptr<store::System> system, const std::string& account,
          const Credentials& credentials = {}, const Limits& limits = {},
          std::chrono::milliseconds callTimeLimit = std::chrono::milliseconds(0),
          bool createAccount = false);
  ~Session() override;

  [[nodiscard]] std::string execute(std::string_view request) override;
  [[nodiscard]] int number() const noexcept override { return state_.number(); }
  void cancel() noexcept override { cancel_.store(true, std::memory_order_relaxed); }
  [[nodiscard]] bool lost() const noexcept override { return lost_; }
  [[nodiscard]] std::string_view message() const noexcept override { return message_; }

 private:
  // A file handle, or a loaded module (then only account is set: where the module came from).
  struct Handle : OpenSection {
    std::shared_ptr<const corvex::Program> module;
  };
  struct Index {
    std::shared_ptr<store::Account> account;
    store::Section section;
    std::int64_t number = 0;  // the account's number for the index
  };
  struct List {
    std::string ids;  // joined by attribute marks
    std::size_t next = 0;
  };

  std::string dispatch(char op, std::string_view fields);
  std::string open(std::string_view fields);
  std::string close(std::string_view fields);
  std::string read(char op, std::string_view fields);
  std::string write(char op, std::string_view fields);
  std::string writeAttribute(char op, std::string_view fields);
  std::string remove(std::string_view fields);
  std::string release(std::string_view fields);
  std::string fileLock(char op, std::string_view fields);
  std::string clear(std::string_view fields);
  std::string openList(std::string_view fields);
  std::string readList(char op, std::string_view fields);
  std::string closeList(std::string_view fields);
  std::string system(std::string_view fields);
  std::string convert(char op, std::string_view fields);
  std::string tcl(std::string_view fields);
  std::string releaseAll(std::string_view fields);
  std::string openIndex(std::string_view fields);
  std::string keyOperation(std::string_view fields);
  std::string loadModule(std::string_view fields);
  std::string callModule(std::string_view fields);
  // The reply to "M" for a finished run: the arguments, or the message and what was printed.
  std::string callReply(corvex::RunResult result, const std::vector<corvex::Value>& args,
                        const std::string& output);

  // The open handle for a number field; nullptr when it is not open. Sets bad when the field
  // is not a number.
  Handle* handle(std::string_view field, bool& bad);
  // The reply to send when field names no open handle, or one whose account no longer grants the
  // current one; nothing when out is set. Giving up a lock is allowed without the grant.
  enum class Use { kRead, kRelease };
  std::optional<std::string> takeHandle(std::string_view field, Handle*& out, Use use = Use::kRead);
  // The reply for what a write through the port came to.
  // The reply for a change's outcome, with words naming the item h and id name.
  [[nodiscard]] std::string replyFor(Written outcome, const Handle& h, std::string_view id);
  List* list(std::string_view field);
  // A failure's reply, with words for the client beside it (see Port::message).
  std::string refuse(int status, std::string message);
  // Status 5 naming what is locked and the port (and account) holding it.
  std::string lockedReply(const store::Account& a, const store::Section& s, std::string_view id);
  // Status 2 naming the item and its file.
  std::string missingReply(const store::Section& s, std::string_view id);
  // Item changes inside the port's open transaction: staged, not written.
  std::string stageChange(Handle& h, std::string_view id, std::optional<std::string> body);
  // Refusals of the limits, with the message a client can show.
  [[nodiscard]] std::string overItemLimit(std::size_t size);
  [[nodiscard]] std::string overElementLimit(long number);

  PortState state_;
  std::vector<std::unique_ptr<Handle>> handles_;  // number n lives at n - 1
  std::vector<std::unique_ptr<List>> lists_;
  std::vector<Index> indexes_;  // index number n lives at n - 1
  store::IndexHit hit_;
  std::string scratch_;
  std::atomic<bool> cancel_{false};
  // Named COMMON blocks of the port's Corvex calls, kept from one call to the next.
  std::map<std::string, std::vector<corvex::Value>> commons_;
  bool lost_ = false;  // the store connection went: see Port::lost
  std::string message_;  // see Port::message
  std::chrono::milliseconds callTimeLimit_;
};

// The reply for a status and data: four digits, a blank, the data.
[[nodiscard]] std::string makeReply(int status, std::string_view data = {});
// A request number: optional '-', decimal digits, within 32 bits.
[[nodiscard]] bool parseNumber(std::string_view text, long& out) noexcept;
}  // namespace tarn::server
