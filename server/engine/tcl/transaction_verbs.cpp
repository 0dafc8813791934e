#include "server/engine/tcl/transaction_verbs.h"

#include "server/engine/store/store.h"

namespace tarn::server::tcl {
namespace {

namespace msg {
constexpr int kStarted = 270;
constexpr int kCommitted = 271;
constexpr int kRolledBack = 272;
constexpr int kAlreadyActive = 273;
constexpr int kNoneActive = 274;
constexpr int kCommitRefused = 275;
}  // namespace msg

bool only(const CommandLine& cmd, std::string_view word) {
  return cmd.words.size() == 1 && !cmd.words[0].quoted &&
         store::equalsNoCase(cmd.words[0].text, word);
}

}  // namespace

TransactionVerb transactionVerb(std::string_view verb, const CommandLine& cmd) {
  if (store::equalsNoCase(verb, "TRANSACTION")) {
    if (only(cmd, "START")) return TransactionVerb::kStart;
    if (only(cmd, "COMMIT")) return TransactionVerb::kCommit;
    if (only(cmd, "ABORT")) return TransactionVerb::kAbort;
    return TransactionVerb::kNone;
  }
  if (store::equalsNoCase(verb, "BEGIN"))
    return only(cmd, "TRANSACTION") ? TransactionVerb::kStart : TransactionVerb::kNone;
  const bool bare = cmd.words.empty() || only(cmd, "WORK");
  if (store::equalsNoCase(verb, "COMMIT") && bare) return TransactionVerb::kCommit;
  if (store::equalsNoCase(verb, "ROLLBACK") && bare) return TransactionVerb::kAbort;
  return TransactionVerb::kNone;
}

TransactionSaid runTransactionVerb(PortState& state, TransactionVerb verb) {
  PortTransaction& t = state.transaction;
  switch (verb) {
    case TransactionVerb::kStart:
      if (!t.start())
        return {msg::kAlreadyActive, "A transaction is already active; transactions do not nest."};
      return {msg::kStarted, "Transaction started."};
    case TransactionVerb::kCommit: {
      if (!t.active()) return {msg::kNoneActive, "No transaction is active."};
      if (std::optional<std::string> refused = t.commit(state.owner()))
        return {msg::kCommitRefused, "Transaction rolled back: item '" + *refused +
                                         "' was locked by another port before the commit."};
      return {msg::kCommitted, "Transaction committed."};
    }
    case TransactionVerb::kAbort:
      if (!t.active()) return {msg::kNoneActive, "No transaction is active."};
      t.abort(state.owner());
      return {msg::kRolledBack, "Transaction rolled back."};
    case TransactionVerb::kNone:
      break;
  }
  return {};
}

}  // namespace tarn::server::tcl
