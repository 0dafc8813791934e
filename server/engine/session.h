// The port behind Port::open: parses each request, runs it against the port's state and
// answers with a status.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/engine/corvex/program.h"
#include "server/engine/port.h"
#include "server/engine/port_state.h"

namespace tarn::server {

// Statuses this engine answers with.
namespace status {
inline constexpr int kOk = 0;
inline constexpr int kItemMissing = 2;
inline constexpr int kLocked = 5;
inline constexpr int kInvalidCall = 6;
inline constexpr int kNotANumber = 7;
inline constexpr int kFileNotPresent = 9;
inline constexpr int kBadConversion = 10;
inline constexpr int kBadAttribute = 11;
inline constexpr int kMainProgram = 17;
inline constexpr int kNoIndex = 19;
inline constexpr int kNoIndexEntry = 22;
inline constexpr int kBadParameters = 34;
inline constexpr int kEndOfList = 36;
inline constexpr int kOverLimit = 40;
inline constexpr int kDiskFull = 41;
inline constexpr int kReadOnly = 42;
inline constexpr int kCorrupt = 43;
inline constexpr int kBusy = 44;
inline constexpr int kStorageFailure = 45;
inline constexpr int kNotCompiled = 46;
inline constexpr int kRunFailed = 47;
inline constexpr int kCallStopped = 48;
}  // namespace status

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

 private:
  struct Handle {
    std::shared_ptr<store::Account> account;
    store::Section section;
    bool readOnly = false;  // DM's MD seen from another account
    std::shared_ptr<const corvex::Program> module;  // set for a loaded module instead
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

  // The open handle for a number field; nullptr when it is not open. Sets bad when the field
  // is not a number.
  Handle* handle(std::string_view field, bool& bad);
  // The reply to send when field names no open handle; nothing when out is set.
  std::optional<std::string> takeHandle(std::string_view field, Handle*& out);
  // As takeHandle, and status 6 for a handle that may only be read.
  std::optional<std::string> takeWritableHandle(std::string_view field, Handle*& out);
  List* list(std::string_view field);
  // Refusals of the limits, with the message a client can show.
  [[nodiscard]] std::string overItemLimit(std::size_t size) const;
  [[nodiscard]] std::string overElementLimit(long number) const;

  PortState state_;
  std::vector<std::unique_ptr<Handle>> handles_;  // number n lives at n - 1
  std::vector<std::unique_ptr<List>> lists_;
  std::vector<Index> indexes_;  // index number n lives at n - 1
  store::IndexHit hit_;
  std::string scratch_;
  std::atomic<bool> cancel_{false};
  bool lost_ = false;  // the store connection went: see Port::lost
  std::chrono::milliseconds callTimeLimit_;
};

// The reply for a status and data: four digits, a blank, the data.
[[nodiscard]] std::string makeReply(int status, std::string_view data = {});
// Attribute n (1-based) of an item; empty past the end.
[[nodiscard]] std::string_view extractAttribute(std::string_view item, long n) noexcept;
// The size item would have with attribute n (1-based) replaced by a value of valueSize bytes.
[[nodiscard]] std::size_t sizeAfterReplace(std::string_view item, long n,
                                           std::size_t valueSize) noexcept;
// item with attribute n (1-based) replaced, padded with marks when the item is shorter.
void replaceAttribute(std::string& item, long n, std::string_view value);
// A request number: optional '-', decimal digits, within 32 bits.
[[nodiscard]] bool parseNumber(std::string_view text, long& out) noexcept;
// Whether text holds a mark (bytes 251-255). Such a field can only be the last of a request:
// anywhere else its marks could not be told apart from the request's own separators.
[[nodiscard]] bool holdsMark(std::string_view text) noexcept;

}  // namespace tarn::server
