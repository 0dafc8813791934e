#include "server/engine/session.h"

#include <sys/random.h>
#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstring>
#include <ctime>
#include <new>
#include <optional>

#include "server/engine/corvex/modules.h"
#include "server/engine/corvex/vm.h"
#include "server/engine/store/protection.h"
#include "server/engine/tcl/tcl.h"
#include "server/engine/text/utf8.h"

namespace tarn::server {
namespace {

// The fields of a request after its operation code, each introduced by an attribute mark.
class Fields {
 public:
  explicit Fields(std::string_view rest) noexcept : rest_(rest) {}
  [[nodiscard]] bool wellFormed() const noexcept {
    return rest_.empty() || rest_.front() == kAttributeMark;
  }
  [[nodiscard]] std::size_t count() const noexcept {
    return static_cast<std::size_t>(std::count(rest_.begin(), rest_.end(), kAttributeMark));
  }
  // The next field; call only while fields remain.
  std::string_view next() noexcept {
    rest_.remove_prefix(1);
    std::size_t end = rest_.find(kAttributeMark);
    std::string_view field = rest_.substr(0, end);
    rest_.remove_prefix(end == std::string_view::npos ? rest_.size() : end);
    return field;
  }
  // Everything after the next mark, marks included: a last field that may hold marks.
  std::string_view tail() noexcept {
    rest_.remove_prefix(1);
    std::string_view all = rest_;
    rest_ = {};
    return all;
  }

 private:
  std::string_view rest_;
};

std::string uniqueId() {
  unsigned char bytes[16];
  std::size_t got = 0;
  while (got < sizeof bytes) {
    ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (got < sizeof bytes) {
    // getrandom cannot fail for this size on a running kernel; the clock keeps ids apart if it
    // ever does.
    auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    std::memcpy(bytes, &now, sizeof now);
  }
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char b : bytes) {
    out.push_back(kHex[b >> 4]);
    out.push_back(kHex[b & 15]);
  }
  return out;
}

long millisecondsSinceMidnight() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  std::tm local{};
  localtime_r(&now.tv_sec, &local);
  return ((local.tm_hour * 60L + local.tm_min) * 60L + local.tm_sec) * 1000L +
         now.tv_nsec / 1000000L;
}

}  // namespace

std::string makeReply(int status, std::string_view data) {
  std::string out;
  out.reserve(5 + data.size());
  char digits[8];
  int s = std::clamp(status, 0, 9999);
  for (int i = 3; i >= 0; --i) {
    digits[i] = static_cast<char>('0' + s % 10);
    s /= 10;
  }
  out.append(digits, 4);
  out.push_back(' ');
  out.append(data);
  return out;
}

bool parseNumber(std::string_view text, long& out) noexcept {
  if (text.empty()) return false;
  std::int64_t value = 0;
  const char* first = text.data();
  const char* last = first + text.size();
  if (*first == '+') return false;
  auto [end, ec] = std::from_chars(first, last, value);
  if (ec != std::errc() || end != last) return false;
  if (value < INT32_MIN || value > INT32_MAX) return false;
  out = static_cast<long>(value);
  return true;
}

int statusFor(const store::StoreError& e) noexcept {
  switch (e.failure()) {
    case store::StoreFailure::kNoSection:  // a handle whose file another port deleted
      return status::kFileNotPresent;
    case store::StoreFailure::kBusy:
      return status::kBusy;
    case store::StoreFailure::kFull:
      return status::kDiskFull;
    case store::StoreFailure::kReadOnly:
      return status::kReadOnly;
    case store::StoreFailure::kCorrupt:
      return status::kCorrupt;
    case store::StoreFailure::kIo:
    case store::StoreFailure::kLost:
      return status::kStorageFailure;
    case store::StoreFailure::kMissing:
    case store::StoreFailure::kOther:
      break;
  }
  return status::kInvalidCall;
}

Session::Session(std::unique_ptr<store::System> system, const std::string& account,
                 const Credentials& credentials, const Limits& limits,
                 std::chrono::milliseconds callTimeLimit, bool createAccount)
    : state_(std::move(system), account, credentials, limits, createAccount),
      callTimeLimit_(callTimeLimit) {
  state_.runSentence = [this](std::string_view sentence) {
    tcl::Outcome done = tcl::run(state_, sentence, {}, false);
    return PortState::Printed{std::move(done.captured), std::move(done.returned)};
  };
}

Session::~Session() = default;

std::string Session::execute(std::string_view request) {
  message_.clear();
  try {
    if (request.empty()) return refuse(status::kInvalidCall, "The request is empty.");
    Fields check(request.substr(1));
    if (!check.wellFormed()) return makeReply(status::kBadParameters);
    return dispatch(request.front(), request.substr(1));
  } catch (const store::StoreError& e) {
    if (e.failure() == store::StoreFailure::kLost) lost_ = true;
    message_ = e.what();
    // What the transaction staged was checked against a store that has just failed.
    if (state_.transaction.active()) {
      state_.transaction.abort(state_.owner());
      message_ += " The transaction was rolled back.";
    }
    return makeReply(statusFor(e), e.what());
  } catch (const std::bad_alloc&) {
    return makeReply(status::kInvalidCall);
  } catch (const std::exception&) {
    return makeReply(status::kInvalidCall);
  }
}

std::string Session::dispatch(char op, std::string_view fields) {
  switch (op) {
    case 'O':
      return open(fields);
    case 'C':
      return close(fields);
    case 'R':
    case 'r':
      return read(op, fields);
    case 'W':
    case 'w':
      return write(op, fields);
    case 'V':
    case 'v':
      return writeAttribute(op, fields);
    case 'D':
      return remove(fields);
    case 'U':
      return release(fields);
    case 'F':
    case 'f':
      return fileLock(op, fields);
    case 'd':
      return clear(fields);
    case 'S':
      return openList(fields);
    case 'n':
    case 'N':
      return readList(op, fields);
    case 'c':
      return closeList(fields);
    case 'Z':
      return system(fields);
    case '1':
    case '2':
      return convert(op, fields);
    case 'E':
      return tcl(fields);
    case 'A':
      return releaseAll(fields);
    case 'I':
      return openIndex(fields);
    case 'K':
      return keyOperation(fields);
    case 'L':
      return loadModule(fields);
    case 'M':
      return callModule(fields);
    default:
      return refuse(status::kInvalidCall, "Unknown operation code '" + std::string(1, op) + "'.");
  }
}

namespace {

// A client's text without the blanks around it, as a person would name the thing.
std::string_view trimmed(std::string_view text) noexcept {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return text;
}

// A section as a client names it: "DICT CUST", "CUST", or "CUST,PART" for a further data section.
std::string sectionName(const store::Section& s) {
  if (s.dictionary) return "DICT " + s.file;
  if (s.name.empty() || s.name == s.file) return s.file;
  return s.file + "," + s.name;
}

}  // namespace

std::string Session::refuse(int status, std::string message) {
  message_ = std::move(message);
  return makeReply(status);
}

std::string Session::lockedReply(const store::Account& a, const store::Section& s,
                                 std::string_view id) {
  std::string text =
      id.empty() ? "File " + sectionName(s) : "Item '" + std::string(id) + "' of " + sectionName(s);
  text += " is locked";
  if (const std::int64_t port = a.lastHolder(); port != 0) {
    text += " by port " + std::to_string(port);
    try {
      for (const store::PortEntry& p : state_.system().ports()) {
        if (p.number == port) {
          text += " (account " + p.account + ")";
          break;
        }
      }
    } catch (const store::StoreError&) {
      // The port's number alone still says who to look for.
    }
  }
  text += '.';
  return refuse(status::kLocked, std::move(text));
}

std::string Session::missingReply(const store::Section& s, std::string_view id) {
  return refuse(status::kItemMissing,
                "Item '" + std::string(id) + "' is not in " + sectionName(s) + ".");
}

std::string Session::stageChange(Handle& h, std::string_view id, std::optional<std::string> body) {
  return replyFor(state_.stageItem(h, id, std::move(body)), h, id);
}

Session::Handle* Session::handle(std::string_view field, bool& bad) {
  long n = 0;
  bad = !parseNumber(field, n);
  if (bad || n < 1 || static_cast<std::size_t>(n) > handles_.size()) return nullptr;
  Handle* h = handles_[static_cast<std::size_t>(n) - 1].get();
  // A module number is no file handle.
  return h != nullptr && h->module ? nullptr : h;
}

Session::List* Session::list(std::string_view field) {
  long n = 0;
  if (!parseNumber(field, n) || n < 1 || static_cast<std::size_t>(n) > lists_.size())
    return nullptr;
  return lists_[static_cast<std::size_t>(n) - 1].get();
}

std::optional<std::string> Session::takeHandle(std::string_view field, Handle*& out, Use use) {
  bool bad = false;
  out = handle(field, bad);
  if (bad) return makeReply(status::kBadParameters);
  if (out == nullptr)
    return refuse(status::kFileNotPresent, "File number " + std::string(field) + " is not open.");
  // A file the port may no longer reach answers as one that is not there, as "O" does.
  if (use == Use::kRead && !state_.mayUse(*out))
    return refuse(status::kFileNotPresent,
                  "Account " + out->account->name() + " no longer grants this one.");
  return std::nullopt;
}

std::string Session::replyFor(Written outcome, const Handle& h, std::string_view id) {
  switch (outcome) {
    case Written::kDone:
      return makeReply(status::kOk);
    case Written::kMissing:
      return missingReply(h.section, id);
    case Written::kLocked:
      return lockedReply(*h.account, h.section, id);
    case Written::kReadOnly:
      return refuse(status::kInvalidCall, "The system's MD can be written only from DM.");
    case Written::kNotLocked:
      return refuse(status::kNotLocked,
                    "Item '" + std::string(id) + "' of " + sectionName(h.section) +
                        " is not locked by this port: inside a transaction an item is locked "
                        "before it is written or deleted.");
    case Written::kRefused:
      return refuse(status::kFileNotPresent,
                    "Account " + h.account->name() + " no longer grants this one.");
    case Written::kAbandoned:
      break;
  }
  return makeReply(status::kInvalidCall);
}

std::string Session::open(std::string_view fields) {
  Fields f(fields);
  if (f.count() != 1) return makeReply(status::kBadParameters);
  std::string_view reference = f.next();
  if (holdsMark(reference)) return makeReply(status::kBadParameters);
  std::optional<OpenSection> found = state_.resolve(reference);
  if (!found)
    return refuse(status::kFileNotPresent, "'" + std::string(trimmed(reference)) +
                                               "' is not a file that account " +
                                               state_.account().name() + " can open.");
  found->account->markOpen(found->section, state_.owner());
  handles_.push_back(std::make_unique<Handle>(Handle{std::move(*found), nullptr}));
  return makeReply(status::kOk, std::to_string(handles_.size()));
}

std::string Session::close(std::string_view fields) {
  Fields f(fields);
  if (f.count() != 1) return makeReply(status::kBadParameters);
  long n = 0;
  if (!parseNumber(f.next(), n)) return makeReply(status::kBadParameters);
  const auto index = static_cast<std::size_t>(n) - 1;
  if (n < 1 || index >= handles_.size() || !handles_[index])
    return makeReply(status::kFileNotPresent);
  std::unique_ptr<Handle> h = std::move(handles_[index]);
  if (h->module) return makeReply(status::kOk);
  // The store keeps one open mark per port and section, so it goes with the last handle only.
  bool stillOpen = std::any_of(handles_.begin(), handles_.end(), [&](const auto& other) {
    return other && other->account == h->account && other->section.id == h->section.id;
  });
  if (!stillOpen) h->account->unmarkOpen(h->section, state_.owner());
  return makeReply(status::kOk);
}

std::string Session::read(char op, std::string_view fields) {
  Fields f(fields);
  std::size_t count = f.count();
  if (count != 2 && count != 3) return makeReply(status::kBadParameters);
  Handle* h = nullptr;
  if (auto failed = takeHandle(f.next(), h)) return *failed;
  std::string_view id = f.next();
  if (holdsMark(id)) return makeReply(status::kBadParameters);
  long attribute = 0;
  if (count == 3) {
    if (!parseNumber(f.next(), attribute)) return makeReply(status::kNotANumber);
    if (attribute < 0) return makeReply(status::kBadAttribute);
    if (attribute > state_.limits.elementNumber) return overElementLimit(attribute);
  }
  if (op == 'r') {
    if (h->account->lockItem(h->section, id, state_.owner()) == store::LockOutcome::kHeldElsewhere)
      return lockedReply(*h->account, h->section, id);
    if (state_.transaction.active()) state_.transaction.holdToEnd(h->account, h->section, id);
  }
  if (attribute == 0) {
    std::string reply = makeReply(status::kOk);
    if (!readThrough(state_.transaction, *h->account, h->section, id, reply))
      return missingReply(h->section, id);
    return reply;
  }
  scratch_.clear();
  if (!readThrough(state_.transaction, *h->account, h->section, id, scratch_))
    return missingReply(h->section, id);
  return makeReply(status::kOk, attributeOf({}, scratch_, attribute));
}

std::string Session::write(char op, std::string_view fields) {
  Fields f(fields);
  if (f.count() < 3) return makeReply(status::kBadParameters);
  Handle* h = nullptr;
  if (auto failed = takeHandle(f.next(), h)) return *failed;
  std::string_view id = f.next();
  std::string_view body = f.tail();
  if (id.empty() || holdsMark(id)) return makeReply(status::kBadParameters);
  if (body.size() > state_.limits.itemBytes) return overItemLimit(body.size());
  if (state_.transaction.active()) return stageChange(*h, id, std::string(body));
  return replyFor(state_.writeItem(*h, id, body, op == 'w'), *h, id);
}

std::string Session::writeAttribute(char op, std::string_view fields) {
  Fields f(fields);
  if (f.count() < 4) return makeReply(status::kBadParameters);
  Handle* h = nullptr;
  if (auto failed = takeHandle(f.next(), h)) return *failed;
  std::string_view id = f.next();
  long attribute = 0;
  if (!parseNumber(f.next(), attribute)) return makeReply(status::kNotANumber);
  if (attribute < 1) return makeReply(status::kBadAttribute);
  std::string_view value = f.tail();
  if (id.empty() || holdsMark(id)) return makeReply(status::kBadParameters);
  if (attribute > state_.limits.elementNumber) return overElementLimit(attribute);
  if (state_.transaction.active()) {
    scratch_.clear();
    (void)readThrough(state_.transaction, *h->account, h->section, id, scratch_);
    if (std::size_t size = sizeAfterReplace(scratch_, attribute, value.size());
        size > state_.limits.itemBytes)
      return overItemLimit(size);
    replaceAttribute(scratch_, attribute, value);
    return stageChange(*h, id, scratch_);
  }
  std::size_t over = 0;
  const Written done = state_.updateItem(*h, id, op == 'v', [&](std::string& item) {
    // Sized before it is built, so that a far attribute number never allocates the padding.
    if (std::size_t size = sizeAfterReplace(item, attribute, value.size());
        size > state_.limits.itemBytes) {
      over = size;
      return false;
    }
    replaceAttribute(item, attribute, value);
    return true;
  });
  return done == Written::kAbandoned ? overItemLimit(over) : replyFor(done, *h, id);
}

std::string Session::remove(std::string_view fields) {
  Fields f(fields);
  if (f.count() != 2) return makeReply(status::kBadParameters);
  Handle* h = nullptr;
  if (auto failed = takeHandle(f.next(), h)) return *failed;
  std::string_view id = f.next();
  if (holdsMark(id)) return makeReply(status::kBadParameters);
  if (state_.transaction.active()) {
    scratch_.clear();
    if (!readThrough(state_.transaction, *h->account, h->section, id, scratch_))
      return missingReply(h->section, id);
    return stageChange(*h, id, std::nullopt);
  }
  return replyFor(state_.deleteItem(*h, id), *h, id);
}

std::string Session::release(std::string_view fields) {
  Fields f(fields);
  if (f.count() != 2) return makeReply(status::kBadParameters);
  Handle* h = nullptr;
  if (auto failed = takeHandle(f.next(), h, Use::kRelease)) return *failed;
  std::string_view id = f.next();
  if (holdsMark(id)) return makeReply(status::kBadParameters);
  // Inside a transaction every lock is kept to its end.
  if (state_.transaction.active()) {
    state_.transaction.holdToEnd(h->account, h->section, id);
    return makeReply(status::kOk);
  }
  h->account->unlockItem(h->section, id, state_.owner());
  return makeReply(status::kOk);
}

std::string Session::fileLock(char op, std::string_view fields) {
  Fields f(fields);
  if (f.count() != 1) return makeReply(status::kBadParameters);
  Handle* h = nullptr;
  if (auto failed = takeHandle(f.next(), h, op == 'f' ? Use::kRelease : Use::kRead)) return *failed;
  if (op == 'f') {
    h->account->unlockFile(h->section, state_.owner());
    return makeReply(status::kOk);
  }
  if (h->account->lockFile(h->section, state_.owner()) == store::LockOutcome::kHeldElsewhere)
    return lockedReply(*h->account, h->section, {});
  return makeReply(status::kOk);
}

std::string Session::clear(std::string_view fields) {
  Fields f(fields);
  if (f.count() != 1) return makeReply(status::kBadParameters);
  Handle* h = nullptr;
  if (auto failed = takeHandle(f.next(), h)) return *failed;
  if (h->readOnly) return makeReply(status::kInvalidCall);
  store::Account& a = *h->account;
  store::Transaction tx(a);
  if (a.sectionHeldElsewhere(h->section, state_.owner())) return lockedReply(a, h->section, {});
  a.clearSection(h->section);
  tx.commit();
  return makeReply(status::kOk);
}

std::string Session::openList(std::string_view fields) {
  Fields f(fields);
  if (f.count() != 1) return makeReply(status::kBadParameters);
  std::string_view source = f.next();
  auto made = std::make_unique<List>();
  long n = 0;
  if (!parseNumber(source, n)) return makeReply(status::kBadParameters);
  if (n == -1) {
    // The active list is used up by the list that takes it over.
    if (state_.activeList) made->ids = std::move(state_.activeList->ids);
    state_.activeList.reset();
  } else {
    bool bad = false;
    Handle* h = handle(source, bad);
    if (h == nullptr || !state_.mayUse(*h)) return makeReply(status::kFileNotPresent);
    h->account->appendIds(h->section, made->ids);
  }
  lists_.push_back(std::move(made));
  return makeReply(status::kOk, std::to_string(lists_.size()));
}

std::string Session::readList(char op, std::string_view fields) {
  Fields f(fields);
  if (f.count() != 1) return makeReply(status::kBadParameters);
  List* l = list(f.next());
  if (l == nullptr) return makeReply(status::kBadParameters);
  const std::string& ids = l->ids;
  const std::size_t begin = l->next;
  if (begin >= ids.size()) {
    l->next = ids.size() + 1;
    return makeReply(status::kEndOfList);
  }
  const std::size_t maxIds = op == 'N' ? 1 : kBatchIds;
  std::size_t end = begin;  // one past the last id taken
  std::size_t pos = begin;  // start of the next id
  for (std::size_t taken = 0; taken < maxIds;) {
    const void* mark = std::memchr(ids.data() + pos, kAttributeMark, ids.size() - pos);
    std::size_t stop =
        mark ? static_cast<std::size_t>(static_cast<const char*>(mark) - ids.data()) : ids.size();
    if (taken > 0 && stop - begin > kBatchBytes) break;
    end = stop;
    ++taken;
    if (stop >= ids.size()) break;
    pos = stop + 1;
  }
  l->next = end + 1;
  // A batch read reports the end with the last batch; a single read on the read after it.
  const bool last = end >= ids.size();
  return makeReply(op == 'n' && last ? status::kEndOfList : status::kOk,
                   std::string_view(ids.data() + begin, end - begin));
}

std::string Session::closeList(std::string_view fields) {
  Fields f(fields);
  if (f.count() != 1) return makeReply(status::kBadParameters);
  std::string_view field = f.next();
  if (list(field) == nullptr) return makeReply(status::kBadParameters);
  long n = 0;
  (void)parseNumber(field, n);
  lists_[static_cast<std::size_t>(n) - 1].reset();
  return makeReply(status::kOk);
}

std::string Session::system(std::string_view fields) {
  Fields f(fields);
  if (f.count() != 1) return makeReply(status::kBadParameters);
  long selector = 0;
  if (!parseNumber(f.next(), selector)) return makeReply(status::kBadParameters);
  switch (selector) {
    case 0:
      return makeReply(status::kOk, "0");
    case 12:
      return makeReply(status::kOk, std::to_string(millisecondsSinceMidnight()));
    case 18:
      return makeReply(status::kOk, std::to_string(state_.system().ports().size()));
    case 19:
      return makeReply(status::kOk, uniqueId());
    case 21:
      return makeReply(status::kOk, std::to_string(internalDateToday()));
    case 22:
      return makeReply(status::kOk, std::to_string(state_.number()));
    case 27:
      return makeReply(status::kOk, state_.caseSensitive ? "1" : "0");
    case 33:
      return makeReply(status::kOk, state_.account().name());
    default:
      return makeReply(status::kOk);
  }
}

std::string Session::convert(char op, std::string_view fields) {
  Fields f(fields);
  if (f.count() < 2) return makeReply(status::kBadParameters);
  std::string_view code = f.next();
  std::string_view value = f.tail();
  std::optional<std::string> out =
      op == '1' ? oconv(value, code, state_.format) : iconv(value, code, state_.format);
  if (!out)
    return refuse(status::kBadConversion, "Conversion '" + std::string(code) +
                                              "' is unknown or does not apply to the value.");
  return makeReply(status::kOk, *out);
}

std::string Session::tcl(std::string_view fields) {
  Fields f(fields);
  if (f.count() < 1) return makeReply(status::kBadParameters);
  std::string_view all = f.tail();
  std::size_t mark = all.find(kAttributeMark);
  std::string_view command = all.substr(0, mark);
  std::string_view stacked =
      mark == std::string_view::npos ? std::string_view() : all.substr(mark + 1);
  tcl::Outcome outcome = tcl::run(state_, command, stacked, mark != std::string_view::npos);
  message_ = std::move(outcome.message);
  std::string data;
  data.reserve(outcome.captured.size() + outcome.returned.size() + 24);
  for (const std::string* part : {&outcome.captured, &outcome.returned}) {
    // Clients count characters as UTF-16 units, not the engine's bytes.
    data += std::to_string(text::utf16Length(*part));
    data.push_back(kAttributeMark);
    data += *part;
    data.push_back(kAttributeMark);
  }
  return makeReply(outcome.status, data);
}

std::string Session::overItemLimit(std::size_t size) {
  message_ = "An item of " + std::to_string(size) + " bytes is over the limit of " +
             std::to_string(state_.limits.itemBytes) + " bytes.";
  return makeReply(status::kOverLimit, message_);
}

std::string Session::overElementLimit(long number) {
  message_ = "Element number " + std::to_string(number) + " is over the limit of " +
             std::to_string(state_.limits.elementNumber) + ".";
  return makeReply(status::kOverLimit, message_);
}

std::string Session::releaseAll(std::string_view fields) {
  if (Fields(fields).count() != 0) return makeReply(status::kBadParameters);
  state_.releaseLocks();
  return makeReply(status::kOk);
}

std::string Session::openIndex(std::string_view fields) {
  Fields f(fields);
  if (f.count() != 2) return makeReply(status::kBadParameters);
  std::optional<OpenSection> found = state_.resolve(f.next());
  if (!found) return makeReply(status::kFileNotPresent);
  std::optional<store::Correlative> correlative = store::parseCorrelative(f.next());
  if (!correlative) return makeReply(status::kNoIndex);
  std::optional<std::int64_t> number = found->account->indexes().find(found->section, *correlative);
  if (!number) return makeReply(status::kNoIndex);
  indexes_.push_back({found->account, std::move(found->section), *number});
  return makeReply(status::kOk, std::to_string(indexes_.size()));
}

// "K" code, index number, key, item-id, value count. The item-id may itself hold marks (a
// position left by "X"), so the value count is taken from the end.
std::string Session::keyOperation(std::string_view fields) {
  Fields f(fields);
  if (f.count() < 5) return makeReply(status::kBadParameters);
  std::string_view code = f.next();
  std::string_view numberField = f.next();
  std::string_view key = f.next();
  std::string_view rest = f.tail();
  const std::size_t last = rest.rfind(kAttributeMark);
  std::string_view id = rest.substr(0, last);
  long vc = 0;
  long n = 0;
  if (code.size() != 1 || !parseNumber(rest.substr(last + 1), vc) || !parseNumber(numberField, n) ||
      key.size() > store::kMaxIndexKey)
    return makeReply(status::kBadParameters);
  if (n < 1 || static_cast<std::size_t>(n) > indexes_.size()) return makeReply(status::kNoIndex);
  const Index& index = indexes_[static_cast<std::size_t>(n) - 1];
  // An index of a file the port may no longer reach answers as one that is not there.
  if (!state_.mayUse(*index.account)) return makeReply(status::kNoIndex);
  store::IndexStore& store = index.account->indexes();
  switch (store.seek(index.number, index.section.caseFold, code.front(), key, id, vc, hit_)) {
    case store::IndexSeek::kBadCode:
      return makeReply(status::kBadParameters);
    case store::IndexSeek::kNone:
      // Nothing found in an index that another port deleted meanwhile is no index at all.
      return makeReply(store.exists(index.number) ? status::kNoIndexEntry : status::kNoIndex);
    case store::IndexSeek::kFound:
      break;
  }
  std::string reply = makeReply(status::kOk);
  reply.reserve(reply.size() + hit_.key.size() + hit_.ids.size() + 16);
  reply += hit_.key;
  reply.push_back(kAttributeMark);
  reply += std::to_string(hit_.vc);
  reply.push_back(kAttributeMark);
  reply += hit_.ids;
  return reply;
}

std::string Session::loadModule(std::string_view fields) {
  Fields f(fields);
  if (f.count() != 1) return makeReply(status::kBadParameters);
  const std::string_view reference = f.next();
  corvex::Found found = corvex::findModule(state_, reference);
  if (!found.program) {
    std::string name(reference);
    return refuse(found.status,
                  found.status == status::kNotCompiled
                      ? "Subroutine '" + name + "' has source but no object code: COMPILE it."
                      : "No subroutine '" + name +
                            "': nothing of that name is cataloged in MD "
                            "or compiled in the file it names.");
  }
  // Modules take numbers from the same table as files.
  auto h = std::make_unique<Handle>();
  h->account = std::move(found.account);
  h->module = std::move(found.program);
  handles_.push_back(std::move(h));
  return makeReply(status::kOk, std::to_string(handles_.size()));
}

std::string Session::callModule(std::string_view fields) {
  // Number, count, then a length and a text per argument; a text may hold marks.
  std::string_view rest = fields;
  auto number = [&](long& out) {
    if (rest.empty() || rest.front() != kAttributeMark) return false;
    rest.remove_prefix(1);
    std::size_t mark = rest.find(kAttributeMark);
    if (!parseNumber(rest.substr(0, mark), out)) return false;
    rest.remove_prefix(mark == std::string_view::npos ? rest.size() : mark);
    return true;
  };
  long n = 0;
  long count = 0;
  if (!number(n) || !number(count) || count < 0 || count > 255)
    return makeReply(status::kBadParameters);
  std::vector<corvex::Value> args;
  args.reserve(static_cast<std::size_t>(count));
  for (long i = 0; i < count; ++i) {
    long length = 0;
    if (!number(length) || length < 0 || rest.empty() || rest.front() != kAttributeMark)
      return makeReply(status::kBadParameters);
    // The client counts UTF-16 units, as it counts characters.
    const std::size_t bytes =
        text::bytesOfUtf16Units(rest.substr(1), static_cast<std::size_t>(length));
    if (bytes == std::string_view::npos) return makeReply(status::kBadParameters);
    args.emplace_back(std::string(rest.substr(1, bytes)));
    rest.remove_prefix(1 + bytes);
  }
  if (!rest.empty()) return makeReply(status::kBadParameters);
  const auto index = static_cast<std::size_t>(n) - 1;
  if (n < 1 || index >= handles_.size() || !handles_[index] || !handles_[index]->module)
    return makeReply(status::kFileNotPresent);
  // A module from an account that no longer grants this one answers as one that is not there.
  if (!state_.mayUse(*handles_[index]->account)) return makeReply(status::kItemMissing);
  std::shared_ptr<const corvex::Program> program = handles_[index]->module;
  if (!program->subroutine) return makeReply(status::kMainProgram);
  if (count > program->parameters) return makeReply(status::kBadParameters);

  corvex::Runtime rt;
  rt.port = &state_;
  // A CALL finds a module by its cataloged name, once per call of the client.
  std::vector<std::pair<std::string, std::shared_ptr<const corvex::Program>>> known;
  rt.resolve = [&](std::string_view name) -> std::shared_ptr<const corvex::Program> {
    for (const auto& [k, p] : known)
      if (k == name) return p;
    std::shared_ptr<const corvex::Program> p = corvex::findModule(state_, name).program;
    known.emplace_back(std::string(name), p);
    return p;
  };
  cancel_.store(false, std::memory_order_relaxed);
  rt.cancel = &cancel_;
  rt.commons = &commons_;
  if (callTimeLimit_.count() > 0) rt.deadline = std::chrono::steady_clock::now() + callTimeLimit_;
  rt.memoryLimit = state_.limits.callMemory;
  try {
    return callReply(corvex::run(*program, args, rt), args, rt.output);
  } catch (const std::bad_alloc&) {
    // The call's values are gone with the stack; there is room again to say what happened.
    return makeReply(status::kCallStopped, "the call was stopped: the server is out of memory");
  }
}

std::string Session::callReply(corvex::RunResult result, const std::vector<corvex::Value>& args,
                               const std::string& output) {
  if (result.status != corvex::RunStatus::kDone) {
    message_ = result.message;
    // A call that went wrong cannot be trusted to have staged a whole change.
    if (state_.transaction.active()) {
      state_.transaction.abort(state_.owner());
      message_ += " The transaction was rolled back.";
    }
    // The message first, then what the call printed before it went wrong.
    std::string data = std::move(result.message);
    if (!output.empty()) {
      data.push_back(kAttributeMark);
      data += output;
    }
    return makeReply(
        result.status == corvex::RunStatus::kError ? status::kRunFailed : status::kCallStopped,
        data);
  }
  std::string data;
  for (const corvex::Value& v : args) {
    const std::string& value = v.text();
    data += std::to_string(text::utf16Length(value));
    data.push_back(kAttributeMark);
    data += value;
    data.push_back(kAttributeMark);
  }
  return makeReply(status::kOk, data);
}

// The front door opens a session: defined here, beside the session, so that the door's header
// stays an interface the session implements and nothing below it reaches up.
std::unique_ptr<Port> Port::open(const PortConfig& config, const Credentials& credentials,
                                 const Limits& limits) {
  try {
    std::unique_ptr<store::System> system = store::openSystem(config.system, config.createAccount);
    return std::make_unique<Session>(
        std::move(system),
        config.account.empty() ? std::string(store::kSystemAccount) : config.account, credentials,
        limits, config.callTimeLimit, config.createAccount);
  } catch (const store::AccessDenied& e) {
    throw AccessDenied(e.what());
  } catch (const store::StoreError& e) {
    throw EngineError(e.what());
  }
}

}  // namespace tarn::server
