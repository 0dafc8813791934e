// The transaction verbs: TRANSACTION START, TRANSACTION COMMIT and TRANSACTION ABORT, and their
// other spelling BEGIN TRANSACTION, COMMIT [WORK] and ROLLBACK [WORK].
#include "server/engine/tcl/verbs.h"

namespace tarn::server::tcl {
namespace {

enum class Step { kNone, kStart, kCommit, kAbort };

// Exactly one unquoted word: "TRANSACTION START NOW" is a syntax error, not a start.
bool only(const CommandLine& cmd, std::string_view word) {
  return cmd.words.size() == 1 && !cmd.words[0].quoted && equalsNoCase(cmd.words[0].text, word);
}

Step stepOf(const Invocation& call) {
  const CommandLine& cmd = call.cmd;
  // call.verb is the table's own spelling, so a plain comparison holds whatever case was typed.
  if (call.verb == "TRANSACTION") {
    if (only(cmd, "START")) return Step::kStart;
    if (only(cmd, "COMMIT")) return Step::kCommit;
    if (only(cmd, "ABORT")) return Step::kAbort;
    return Step::kNone;
  }
  if (call.verb == "BEGIN") return only(cmd, "TRANSACTION") ? Step::kStart : Step::kNone;
  // What is left is COMMIT or ROLLBACK, alone or with WORK.
  const bool bare = cmd.words.empty() || only(cmd, "WORK");
  if (!bare) return Step::kNone;
  return call.verb == "COMMIT" ? Step::kCommit : Step::kAbort;
}

}  // namespace

void verbs::transaction(Interpreter& in, const Invocation& call) {
  PortState& state = in.state();
  PortTransaction& t = state.transaction;
  switch (stepOf(call)) {
    case Step::kStart:
      if (!t.start()) {
        in.message(msg::kTransactionActive,
                   "A transaction is already active; transactions do not nest.");
        return;
      }
      in.message(msg::kTransactionStarted, "Transaction started.");
      return;
    case Step::kCommit:
      if (!t.active()) return in.message(msg::kNoTransaction, "No transaction is active.");
      // A refused commit has applied nothing; the message says why, and the transaction is over
      // either way.
      if (std::optional<CommitRefusal> refused = state.commitTransaction()) {
        in.message(msg::kCommitRefused,
                   refused->grantLost ? cat({"Transaction rolled back: account ", refused->account,
                                             " no longer grants this one."})
                                      : cat({"Transaction rolled back: item '", refused->id,
                                             "' was locked by another port before the commit."}));
        return;
      }
      in.message(msg::kTransactionCommitted, "Transaction committed.");
      return;
    case Step::kAbort:
      if (!t.active()) return in.message(msg::kNoTransaction, "No transaction is active.");
      // The owner is needed to release the locks held to the end.
      t.abort(state.owner());
      in.message(msg::kTransactionRolledBack, "Transaction rolled back.");
      return;
    case Step::kNone:
      break;
  }
  in.message(msg::kSyntax,
             "Use TRANSACTION START, COMMIT or ABORT; BEGIN TRANSACTION; COMMIT [WORK]; "
             "ROLLBACK [WORK].");
}

}  // namespace tarn::server::tcl
