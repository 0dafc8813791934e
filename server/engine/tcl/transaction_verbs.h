// The transaction verbs of TCL: TRANSACTION START, TRANSACTION COMMIT and TRANSACTION ABORT, and
// their other spelling BEGIN TRANSACTION, COMMIT [WORK] and ROLLBACK [WORK].
#pragma once

#include <string>
#include <string_view>

#include "server/engine/port_state.h"
#include "server/engine/tcl/tcl.h"

namespace tarn::server::tcl {

enum class TransactionVerb { kNone, kStart, kCommit, kAbort };

// Which transaction verb a command line is; kNone when it is none of them.
[[nodiscard]] TransactionVerb transactionVerb(std::string_view verb, const CommandLine& cmd);

// The message a transaction verb answers with: its number and its text.
struct TransactionSaid {
  int number = 0;
  std::string text;
};

// Runs the verb on the port's transaction. Throws store::StoreError when a commit fails in the
// store; the transaction is rolled back then.
[[nodiscard]] TransactionSaid runTransactionVerb(PortState& state, TransactionVerb verb);

}  // namespace tarn::server::tcl
