#include "server/engine/tcl/verbs.h"

#include <array>

namespace tarn::server::tcl {
namespace {

// In the order UPDATE-MD writes them into a master dictionary.
constexpr std::array kVerbs = {Verb{"SET-NUM-FORMAT", verbs::setNumFormat},
                               Verb{"CASE", verbs::caseFlag},
                               Verb{"TIME", verbs::time},
                               Verb{"DATE", verbs::date},
                               Verb{"WHO", verbs::who},
                               Verb{"COUNT", verbs::query},
                               Verb{"ESTIMATE-COUNT", verbs::query},
                               Verb{"SELECT", verbs::query},
                               Verb{"SSELECT", verbs::query},
                               Verb{"LIST", verbs::query},
                               Verb{"CREATE-FILE", verbs::createFile},
                               Verb{"DELETE-FILE", verbs::deleteFile},
                               Verb{"CLEAR-FILE", verbs::clearFile},
                               Verb{"LOGTO", verbs::logTo},
                               Verb{"UPDATE-MD", verbs::updateMd},
                               Verb{"CREATE-ACCOUNT", verbs::createAccount},
                               Verb{"CREATE-INDEX", verbs::createIndex},
                               Verb{"DELETE-INDEX", verbs::deleteIndex},
                               Verb{"PROTECT-ACCOUNT", verbs::protectAccount},
                               Verb{"GRANT-ACCOUNT", verbs::grantAccount},
                               Verb{"REVOKE-ACCOUNT", verbs::revokeAccount},
                               Verb{"COMPILE", verbs::compile},
                               Verb{"CATALOG", verbs::catalog},
                               Verb{"SORT", verbs::query},
                               Verb{"SUM", verbs::query},
                               Verb{"SAVE-LIST", verbs::saveList},
                               Verb{"GET-LIST", verbs::getList},
                               Verb{"DELETE-LIST", verbs::deleteList},
                               Verb{"LISTF", verbs::listFiles},
                               Verb{"LIST-INDEX", verbs::listIndex},
                               Verb{"CT", verbs::copyToTerminal},
                               Verb{"COPY", verbs::copyItems},
                               Verb{"DELETE", verbs::deleteItems},
                               Verb{"TRANSACTION", verbs::transaction},
                               Verb{"BEGIN", verbs::transaction},
                               Verb{"COMMIT", verbs::transaction},
                               Verb{"ROLLBACK", verbs::transaction}};

}  // namespace

const Verb* findVerb(std::string_view name) {
  for (const Verb& v : kVerbs)
    if (equalsNoCase(v.name, name)) return &v;
  return nullptr;
}

const std::vector<std::string_view>& builtInVerbs() {
  static const std::vector<std::string_view> kNames = [] {
    std::vector<std::string_view> names;
    for (const Verb& v : kVerbs) names.push_back(v.name);
    return names;
  }();
  return kNames;
}

}  // namespace tarn::server::tcl
