#include "server/engine/corvex/files.h"

#include <algorithm>

#include "server/engine/corvex/machine.h"
#include "server/engine/port_state.h"
#include "server/engine/store/store.h"

namespace tarn::server::corvex {

Files::Files(PortState* port) : port_(port) {}
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

PortState& Files::port() {
  if (port_ == nullptr) throw Failure{"files are not available here"};
  return *port_;
}

// Outcomes of file statements: 0 THEN, 1 ELSE, 2 LOCKED.
void Files::run(const Instr& i, Value* r, const Value* const* a, const Value* written) {
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
      if ((i.x & 0x10) != 0 && f.account->lockItem(f.section, id, port().owner()) ==
                                   store::LockOutcome::kHeldElsewhere) {
        r[i.b].setNumber(2);
        return;
      }
      std::string body;
      if (id.empty() || !f.account->readItem(f.section, id, body)) {
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
      const bool keepLock = (i.x & 0x10) != 0;
      Written done = Written::kDone;
      if (i.op == Op::kDelete) {
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
        f.account->unlockItem(f.section, a[1]->text(), port().owner());
      }
      return;
    default:
      return;
  }
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
