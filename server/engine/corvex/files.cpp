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
  return files_[static_cast<std::size_t>(v.file()) - 1];
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
      store::Account& account = *f.account;
      store::Transaction tx(account);
      store::Account::WriteCheck locks = account.checkWrite(f.section, id, port().owner());
      if (locks.heldElsewhere) {
        r[i.b].setNumber(2);
        return;
      }
      bool done = true;
      if (i.op == Op::kDelete) {
        done = account.deleteItem(f.section, id);
      } else if (n == 3) {
        std::string body;
        (void)account.readItem(f.section, id, body);
        replaceElement(body, std::max(1L, longOf(*a[2])), 0, 0, written->text());
        account.writeItem(f.section, id, body);
      } else {
        account.writeItem(f.section, id, written->text());
      }
      if (locks.heldByOwner) account.unlockItem(f.section, id, port().owner());
      tx.commit();
      r[i.b].setNumber(done ? 0 : 1);
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
