// The verb table: every built-in verb and the function that runs it.
#pragma once

#include <string_view>

#include "server/engine/tcl/interpreter.h"

namespace tarn::server::tcl {

// One command as a verb receives it: its canonical (upper-case) name, the text after the verb
// as typed, and that text split into words and options.
struct Invocation {
  std::string_view verb;
  std::string_view rest;
  const CommandLine& cmd;
};

using VerbFunction = void (*)(Interpreter&, const Invocation&);

struct Verb {
  std::string_view name;
  VerbFunction run;
};

// The built-in verb of that name (any case), or null.
[[nodiscard]] const Verb* findVerb(std::string_view name);

// The verbs, by the file that holds them.
namespace verbs {
// session_verbs.cpp
void setNumFormat(Interpreter& in, const Invocation& call);
void caseFlag(Interpreter& in, const Invocation& call);
void time(Interpreter& in, const Invocation& call);
void date(Interpreter& in, const Invocation& call);
void who(Interpreter& in, const Invocation& call);
void compile(Interpreter& in, const Invocation& call);
void catalog(Interpreter& in, const Invocation& call);
// admin.cpp
void createFile(Interpreter& in, const Invocation& call);
void deleteFile(Interpreter& in, const Invocation& call);
void clearFile(Interpreter& in, const Invocation& call);
void logTo(Interpreter& in, const Invocation& call);
void updateMd(Interpreter& in, const Invocation& call);
void createAccount(Interpreter& in, const Invocation& call);
void createIndex(Interpreter& in, const Invocation& call);
void deleteIndex(Interpreter& in, const Invocation& call);
void protectAccount(Interpreter& in, const Invocation& call);
void grantAccount(Interpreter& in, const Invocation& call);
void revokeAccount(Interpreter& in, const Invocation& call);
// query/query.cpp: the sentence verbs
void query(Interpreter& in, const Invocation& call);
// query/lists.cpp
void saveList(Interpreter& in, const Invocation& call);
void getList(Interpreter& in, const Invocation& call);
void deleteList(Interpreter& in, const Invocation& call);
// query/file_verbs.cpp
void listFiles(Interpreter& in, const Invocation& call);
void listIndex(Interpreter& in, const Invocation& call);
void copyToTerminal(Interpreter& in, const Invocation& call);
void copyItems(Interpreter& in, const Invocation& call);
void deleteItems(Interpreter& in, const Invocation& call);
// transaction_verbs.cpp: TRANSACTION, BEGIN, COMMIT and ROLLBACK
void transaction(Interpreter& in, const Invocation& call);
}  // namespace verbs

}  // namespace tarn::server::tcl
