// A tour of TarnCL: the environment and dynamic arrays; it grows with the library.
#include <iostream>
#include <vector>

#include "tarn/frame/string.h"
#include "tarn/tarncl.h"
#include "tarn/typelib/dispatch.h"

using tarn::String;
using tarn::toUtf8;

namespace {
// Marks shown as ^ ] \ so the structure is readable on a terminal.
std::string show(const String& s) {
  return tarn::printable(s);
}
}  // namespace

int main() {
  auto env = tarn::clsTarnEnvironment::create();
  std::cout << "== The environment\n"
            << "name        " << toUtf8(env->brName()) << "\n"
            << "version     " << toUtf8(env->brVersion()) << "\n"
            << "type        " << toUtf8(env->brType()) << "\n"
            << "description " << toUtf8(env->brDescription()) << "\n"
            << "currency    '" << toUtf8(env->brCurrency()) << "'  decimal '"
            << toUtf8(env->brDecimal()) << "'  grouping '" << toUtf8(env->brGrouping()) << "'\n"
            << "casing      " << (env->brCasing() ? "case-sensitive" : "case-insensitive") << "\n"
            << "handle      " << toUtf8(env->brHandle()) << "\n"
            << "unique ids  " << toUtf8(env->brUniqueId()) << "  " << toUtf8(env->brUniqueId())
            << "\n";

  std::cout << "\n== A dynamic array\n";
  auto item = env->brOpenDynamicArray(u"Smith");
  std::cout << "start            " << show(item->brCString()) << "\n";
  item->brReplaceStr(u"12 High Street", 2);
  item->brReplaceStr(u"555-0100", 3, 1);
  item->brReplaceStr(u"555-0199", 3, 2);
  std::cout << "built            " << show(item->brCString()) << "  (" << item->brLen()
            << " characters)\n";
  std::cout << "phone 2          " << toUtf8(item->brExtractStr(3, 2)) << "\n";
  item->brInsertStr(u"Jane", 1, 1);
  std::cout << "insert (1,1)     " << show(item->brCString()) << "\n";
  item->brDelete(3, 1);
  std::cout << "delete (3,1)     " << show(item->brCString()) << "\n";
  item->brReplaceStr(u"note", -1);
  std::cout << "append attribute " << *item << "\n";

  // What a script client does: members by name, arguments as variants.
  std::cout << "\n== Late-bound calls\n";
  std::vector<tarn::Variant> args{tarn::Variant(3), tarn::Variant(1)};
  namespace tl = tarn::typelib;
  std::cout << "brExtractStr(3, 1) "
            << toUtf8(tl::invoke(item, "brExtractStr", tl::Kind::Method, args).toString()) << "\n"
            << "brAMChr (global)   code "
            << static_cast<int>(tl::invokeGlobal("brAMChr", tl::Kind::PropertyGet).toString()[0])
            << "\n";

  // The rest talks to a server: the data source TarnDemo names the stand-in server's driver
  // (./run demo sets it up on the embedded default system directory).
  try {
    auto conn = env->brOpenConnection(u"ODBC", u"TarnDemo");
    std::cout << "\n== A connection\n"
              << "name        " << toUtf8(conn->brName()) << "\n"
              << "handle      " << toUtf8(conn->brHandle()) << "\n"
              << "port        " << toUtf8(conn->brSystem(tarn::TarnSystem_PortNumber)) << "\n"
              << "server time " << toUtf8(conn->brTimeDate()) << " (" << conn->brTime()
              << " s since midnight, internal date " << conn->brDate() << ")\n";

    std::cout << "\n== Conversions on the server\n";
    const tarn::String today = tarn::decimalText(conn->brDate());
    std::cout << "oconv " << toUtf8(today) << " D      " << toUtf8(conn->brOconv(today, u"D"))
              << "\n"
              << "oconv 123456 MD2,$  " << toUtf8(conn->brOconv(u"123456", u"MD2,$")) << "\n"
              << "iconv 14:17 MT     " << toUtf8(conn->brIconv(u"14:17", u"MT")) << "\n";

    std::cout << "\n== TCL commands\n";
    conn->brExecute(u"WHO");
    std::cout << "WHO captured: " << show(conn->brCapturing()->brCString()) << "\n";

    std::cout << "\n== Account administration\n";
    conn->brDeleteFile(u"TOURCUST");  // start afresh; a missing file is only a message
    const std::int32_t entries = conn->brItemCount(true);
    auto file = conn->brCreateFile(u"", u"TOURCUST", 7, 11);  // dictionary, then data section
    std::cout << "created           " << toUtf8(file->brName()) << " ("
              << show(conn->brCapturing()->brCString()) << ")\n"
              << "MD entries        " << entries << " before, " << conn->brItemCount(true)
              << " after\n"
              << "files:           ";
    auto files = conn->brSelect();
    for (const String& id : *files) std::cout << " " << toUtf8(id);
    std::cout << "\n";

    std::cout << "\n== Items\n";
    auto dict = conn->brOpenFile(u"DICT", u"TOURCUST");
    dict->brWrite(env->brOpenDynamicArray(u"A" + String(1, tarn::kAM) + u"2"), u"ADDRESS");
    file->brWrite(item, u"100");
    const std::pair<const char16_t*, const char16_t*> more[] = {
        {u"101", u"Jones"}, {u"102", u"Brown"}, {u"103", u"Black"}};
    for (const auto& [id, name] : more) {
      file->brWrite(env->brOpenDynamicArray(String(name) + tarn::kAM + u"1 Low Road"), id);
    }
    auto read = file->brRead(u"100");
    std::cout << "read 100          " << show(read->brCString()) << "\n"
              << "ADDRESS of 100    " << toUtf8(file->brReadV(u"100", u"ADDRESS")->brCString())
              << "  (attribute " << file->brColumn(u"address") << ")\n"
              << "items in file     " << file->brItemCount(true) << "\n";

    auto other = env->brOpenConnection(u"ODBC", u"TarnDemo");
    auto theirs = other->brOpenFile(u"", u"TOURCUST");
    (void)file->brReadU(u"100");
    try {
      (void)theirs->brReadU(u"100");
    } catch (const tarn::TarnError& e) {
      std::cout << "locked elsewhere  " << toUtf8(e.description()) << " (" << e.number() << ")\n";
    }
    file->brRelease(u"100");
    std::cout << "after release     " << show(theirs->brReadU(u"100")->brExtractStr(1))
              << " read by the other connection\n";
    other->brRelease();
    theirs.reset();
    env->brCloseConnection(other);

    std::cout << "\n== Select lists\n";
    auto list = conn->brOpenSelectList(u"SSELECT TOURCUST BY A1");
    std::cout << "SSELECT BY A1 (" << list->brCount() << " items):";
    for (const String& id : *list) std::cout << " " << toUtf8(id);
    auto starting = conn->brOpenSelectList(u"SELECT TOURCUST WITH A1 = \"B]\"");
    std::cout << "\nnames beginning with B:";
    for (const String& id : *starting) std::cout << " " << toUtf8(id);
    auto sorted = conn->brSort(env->brOpenDynamicArray(u"pear" + String(1, tarn::kAM) + u"apple" +
                                                       String(1, tarn::kAM) + u"fig"));
    std::cout << "\nbrSort             " << show(sorted->brCString()) << "\n";

    std::cout << "\n== An index on the names (attribute 1; item 100 has two)\n";
    (void)file->brCreateIndex(u"A1", true);
    auto names = file->brRoot(u"A1");
    std::cout << "in key order     ";
    for (bool more = names->brMoveFirst(); more; more = names->brMoveNext()) {
      std::cout << " " << toUtf8(names->brIndexKey()) << "=" << toUtf8(names->brIndexId()) << "."
                << names->brIndexVC();
    }
    file->brWrite(env->brOpenDynamicArray(u"Adams" + String(1, tarn::kAM) + u"2 Mill Lane"),
                  u"104");
    tarn::Variant id;
    (void)names->brFindFirst(u"Ad", id);
    std::cout << "\nfind \"Ad\"        " << toUtf8(names->brIndexKey()) << " in item "
              << toUtf8(id.toString()) << " (written after the index was built)\n";

    std::cout << "\n== A subroutine on the server\n";
    auto source = conn->brCreateFile(u"", u"TOURBP", 1);
    const String am(1, tarn::kAM);
    source->brWrite(env->brOpenDynamicArray(u"SUBROUTINE GREET(NAME, GREETING)" + am +
                                            u"GREETING = \"Hello, \" : NAME" + am +
                                            u"NAME = NAME : \"!\"" + am + u"RETURN" + am + u"END"),
                    u"GREET");
    if (conn->brCompile(u"TOURBP", u"TOURBP", u"GREET") &&
        conn->brCatalog(u"TOURBP", u"TOURBP", u"GREET")) {
      auto greet = conn->brOpenRuleModule(u"GREET");  // cataloged: the name alone will do
      tarn::VariantArray args(0, 2);
      args.at(0) = tarn::Variant(u"World");
      for (int call = 1; call <= 2; ++call) {
        greet->brCall(args);
        std::cout << "call " << call << "            NAME '" << toUtf8(args.at(0).toString())
                  << "'  GREETING '" << toUtf8(args.at(1).toString()) << "'\n";
      }
    } else {
      std::cout << "GREET did not compile: this server has no language for subroutines\n";
    }
    source.reset();
    conn->brDeleteFile(u"TOURBP");

    std::cout << "\n== Errors carry a number, a source and a description\n";
    try {
      (void)file->brRead(u"999");
    } catch (const tarn::TarnError& e) {
      std::cout << "number      " << e.number() << "\n"
                << "source      " << toUtf8(e.source()) << "\n"
                << "description " << toUtf8(e.description()) << "\n"
                << "brError     " << env->brError() << "\n";
    }
    file.reset();
    dict.reset();
    conn->brDeleteFile(u"TOURCUST");
    std::cout << "\ndeleted TOURCUST  " << show(conn->brCapturing()->brCString()) << "\n";
    env->brCloseConnection(conn);
  } catch (const tarn::TarnError& e) {
    std::cerr << "tour: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
