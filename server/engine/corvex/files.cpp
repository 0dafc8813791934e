#include "server/engine/corvex/files.h"

#include <algorithm>

#include "server/engine/corvex/machine.h"
#include "server/engine/port_state.h"
#include "server/engine/store/store.h"

namespace tarn::server::corvex {

// The eleven numbered lists exist from the start; list variables are added after them.
Files::Files(PortState* port) : port_(port), lists_(11) {}
Files::~Files() = default;

const NumberFormat& Files::format() const {
  return port_ != nullptr ? port_->format : defaultFormat_;
}

OpenSection& Files::fileOf(const Value& v) {
  if (v.file() < 1 || static_cast<std::size_t>(v.file()) > files_.size())
    throw Failure{"not a file variable"};
  OpenSection& f = files_[static_cast<std::size_t>(v.file()) - 1];
  // The grant is checked at every use, as for a client's handle.
  if (!port().mayUse(f))
    throw Failure{"account " + f.account->name() + " no longer grants this one"};
  return f;
}

std::string Files::accountName() const {
  return port_ != nullptr ? port_->account().name() : std::string();
}

long Files::portNumber() const {
  return port_ != nullptr ? static_cast<long>(port_->number()) : 0;
}

Files::SelectList& Files::listOf(const Value& v) {
  std::size_t index = 0;
  // A list variable holds -(its index + 1), so it can never be taken for a file or a number.
  if (v.file() < 0) {
    index = static_cast<std::size_t>(-v.file()) - 1;
  } else {
    const long n = longOf(v);
    if (n < 0 || n > 10) throw Failure{"select list " + std::to_string(n) + " is outside 0 to 10"};
    index = static_cast<std::size_t>(n);
  }
  if (index >= lists_.size()) throw Failure{"not a select list"};
  SelectList& l = lists_[index];
  // List 0 starts as the port's own: what a SELECT sentence left, here or before the call.
  if (index == 0 && !l.active && port_ != nullptr && port_->activeList) {
    l.ids = std::move(port_->activeList->ids);
    l.at = 0;
    l.active = true;
    port_->activeList.reset();
  }
  return l;
}

void Files::list(const Instr& i, Value* r, const Value* const* a) {
  switch (i.op) {
    case Op::kSelect: {
      SelectList made;
      made.active = true;
      if (a[0]->file() >= 1) {
        OpenSection& f = fileOf(*a[0]);
        f.account->appendIds(f.section, made.ids);
      } else {
        made.ids = a[0]->text();  // a dynamic array: its attributes are the list
      }
      if ((i.x & kListVariable) != 0) {
        // A variable that already holds a list gets it replaced, so a SELECT in a loop does
        // not pile up lists.
        const int held = r[i.a].file();
        // List variables start at -12: the first eleven places are the numbered lists.
        if (held <= -12 && static_cast<std::size_t>(-held) <= lists_.size()) {
          lists_[static_cast<std::size_t>(-held) - 1] = std::move(made);
          return;
        }
        lists_.push_back(std::move(made));
        r[i.a].setFile(-static_cast<int>(lists_.size()));
      } else {
        listOf(*a[1]) = std::move(made);
      }
      return;
    }
    case Op::kReadNext: {
      SelectList& l = listOf(*a[0]);
      if (!l.active || l.at >= l.ids.size()) {
        l.active = false;
        r[i.a].setText(std::string_view());
        r[i.b].setNumber(1);
        return;
      }
      std::size_t end = l.ids.find(kAm, l.at);
      if (end == std::string::npos) end = l.ids.size();
      r[i.a].setText(std::string_view(l.ids).substr(l.at, end - l.at));
      l.at = end + 1;
      r[i.b].setNumber(0);
      return;
    }
    case Op::kReadList: {
      SelectList& l = listOf(*a[0]);
      std::string rest = l.active && l.at < l.ids.size() ? l.ids.substr(l.at) : std::string();
      l = SelectList{};
      const bool any = !rest.empty();
      r[i.a].setText(std::move(rest));
      r[i.b].setNumber(any ? 0 : 1);
      return;
    }
    case Op::kExecute: {
      // The server's own TCL, on this port: a SELECT there leaves list 0 for READNEXT.
      PortState::Printed done = port().runSentence(a[0]->text());
      // The sentence may have left a new active list on the port: list 0 takes it at its next use.
      lists_[0].active = false;
      r[i.a].setText(std::move(done.captured));
      r[i.b].setText(std::move(done.returned));
      return;
    }
    default:
      return;
  }
}

void Files::run(const Instr& i, Value* r, const Value* const* a, const Value* written) {
  if (i.op == Op::kSelect || i.op == Op::kReadNext || i.op == Op::kReadList ||
      i.op == Op::kExecute) {
    list(i, r, a);
    return;
  }
  // Without ON ERROR a failure stops the call; with it, it becomes outcome 3 for that clause.
  if ((i.x & kOnError) == 0) {
    perform(i, r, a, written);
    return;
  }
  try {
    perform(i, r, a, written);
  } catch (const Failure&) {
    r[i.b].setNumber(3);
  } catch (const store::StoreError&) {
    r[i.b].setNumber(3);
  }
}

PortState& Files::port() {
  if (port_ == nullptr) throw Failure{"files are not available here"};
  return *port_;
}

// Outcomes of file statements: 0 THEN, 1 ELSE, 2 LOCKED.
void Files::perform(const Instr& i, Value* r, const Value* const* a, const Value* written) {
  const int n = i.x & 15;
  switch (i.op) {
    case Op::kOpen: {
      std::string reference = n == 2 ? a[0]->text() + " " + a[1]->text() : a[0]->text();
      std::optional<OpenSection> found = port().resolve(reference);
      if (!found) {
        r[i.b].setNumber(1);
        return;
      }
      files_.push_back(std::move(*found));
      r[i.a].setFile(static_cast<int>(files_.size()));
      r[i.b].setNumber(0);
      return;
    }
    case Op::kRead: {
      OpenSection& f = fileOf(*a[0]);
      const std::string id = a[1]->text();
      const long attribute = n == 3 ? longOf(*a[2]) : 0;
      if ((i.x & kLocksItem) != 0) {
        if (f.account->lockItem(f.section, id, port().owner()) ==
            store::LockOutcome::kHeldElsewhere) {
          r[i.b].setNumber(2);
          return;
        }
        // Inside a transaction the lock is kept to its end, whatever a WRITE would do to it.
        if (port().transaction.active()) port().transaction.holdToEnd(f.account, f.section, id);
      }
      std::string body;
      // Through the transaction: a READ sees what this port has staged but not yet committed. An
      // empty id is never an item.
      if (id.empty() || !readThrough(port().transaction, *f.account, f.section, id, body)) {
        r[i.a].setText(std::string_view());
        r[i.b].setNumber(1);
        return;
      }
      if (n == 3) {
        r[i.a].setText(std::string(extract(body, attribute, 0, 0)));
      } else {
        r[i.a].setText(std::move(body));
      }
      r[i.b].setNumber(0);
      return;
    }
    case Op::kWrite:
    case Op::kDelete: {
      OpenSection& f = fileOf(*a[0]);
      const std::string id = a[1]->text();
      if (id.empty()) {
        r[i.b].setNumber(1);
        return;
      }
      // WRITEU keeps the lock that READU took; WRITE and DELETE give it up.
      const bool keepLock = (i.x & kKeepsLock) != 0;
      Written done = Written::kDone;
      if (port().transaction.active()) {
        done = stage(i, f, id, a, written);
      } else if (i.op == Op::kDelete) {
        done = port().deleteItem(f, id);
      } else if (n == 3) {
        const long attribute = std::max(1L, longOf(*a[2]));
        done = port().updateItem(f, id, keepLock, [&](std::string& body) {
          replaceElement(body, attribute, 0, 0, written->text());
          return true;
        });
      } else {
        done = port().writeItem(f, id, written->text(), keepLock);
      }
      switch (done) {
        case Written::kDone:
          r[i.b].setNumber(0);
          return;
        case Written::kLocked:
          r[i.b].setNumber(2);
          return;
        case Written::kReadOnly:
          throw Failure{"the system dictionary is written only from DM"};
        case Written::kRefused:
          throw Failure{"account " + f.account->name() + " no longer grants this one"};
        case Written::kNotLocked:
          throw Failure{std::string(i.op == Op::kDelete ? "DELETE" : "WRITE") + " of '" + id +
                        "' inside a transaction without its lock: READU it first"};
        // A DELETE of an item that is not there, or a change given up, takes ELSE.
        case Written::kMissing:
        case Written::kAbandoned:
          r[i.b].setNumber(1);
          return;
      }
      return;
    }
    case Op::kRelease:
      if (n == 0) {
        port().releaseLocks();
      } else {
        OpenSection& f = fileOf(*a[0]);
        // Inside a transaction every lock is kept to its end.
        if (port().transaction.active()) {
          port().transaction.holdToEnd(f.account, f.section, a[1]->text());
        } else {
          f.account->unlockItem(f.section, a[1]->text(), port().owner());
        }
      }
      return;
    default:
      return;
  }
}

Written Files::stage(const Instr& i, OpenSection& f, const std::string& id, const Value* const* a,
                     const Value* written) {
  std::string body;
  // WRITEV changes one attribute of what the transaction would see, not of the stored item.
  const bool exists = readThrough(port().transaction, *f.account, f.section, id, body);
  std::optional<std::string> change;
  if (i.op == Op::kDelete) {
    if (!exists) return Written::kMissing;
  } else if ((i.x & 15) == 3) {
    replaceElement(body, std::max(1L, longOf(*a[2])), 0, 0, written->text());
    change = std::move(body);
  } else {
    change = written->text();
  }
  return port().stageItem(f, id, std::move(change));
}

bool Files::transaction(int kind) {
  PortTransaction& t = port().transaction;
  if (kind == 1) return t.start();
  if (!t.active()) return false;
  // A refused commit has rolled back; the statement learns of it only through ELSE.
  if (kind == 2) return !port().commitTransaction();
  t.abort(port().owner());
  return true;
}

std::optional<std::string> storeFailure(const std::exception_ptr& e) {
  try {
    std::rethrow_exception(e);
  } catch (const store::StoreError& s) {
    return std::string("the store failed: ") + s.what();
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace tarn::server::corvex
