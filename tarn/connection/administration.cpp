// Account administration on a connection: files made and deleted, the MD counted and listed,
// programs compiled and cataloged, an account's verbs updated. Each is TCL run through the
// connection's command object.
#include <unicode/uchar.h>

#include "tarn/connection/connection.h"
#include "tarn/dynarray/dynamic_array.h"
#include "tarn/files/file.h"
#include "tarn/frame/error_internal.h"
#include "tarn/lists/select_list.h"
#include "tarn/lists/tcl_command.h"

namespace tarn {

namespace {

// Whether s begins with prefix (upper case) once each character is upper-cased.
bool startsWithUpperCased(StringView s, StringView prefix) {
  if (s.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (static_cast<char16_t>(u_toupper(s[i])) != prefix[i]) return false;
  }
  return true;
}

StringView trimBlanks(StringView s) {
  while (!s.empty() && s.front() == u' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == u' ') s.remove_suffix(1);
  return s;
}

// An omitted flag counts as False: the missing marker does not reach the conversion.
bool flagOf(const Variant& v) {
  return !v.isMissing() && v.toBool();
}

// Runs body; a failure keeps its number, source and description and only clears gLastError.
template <class Body>
decltype(auto) clearingLastError(Body&& body) {
  try {
    return std::forward<Body>(body)();
  } catch (const TarnError&) {
    gLastError = 0;
    throw;
  } catch (...) {
    const std::int32_t number = caughtErrorNumber();
    gLastError = 0;
    throw TarnError(number, String(), rsErrorText(number));
  }
}

}  // namespace

std::optional<clsTarnConnection::FileNameParts> clsTarnConnection::rsParseFileName(
    const String& sDictFlag, const String& sFileName) {
  const String joined = sDictFlag + u" " + sFileName;
  const StringView full = trimBlanks(joined);
  if (full.empty()) return std::nullopt;

  FileNameParts parts;
  parts.FullPath = String(full);
  StringView rest = full;
  if (startsWithUpperCased(full, u"DICT ")) {
    parts.Level = tarnFile_DictLevel;
    rest.remove_prefix(5);
  } else if (startsWithUpperCased(full, u"D ")) {
    parts.Level = tarnFile_DictLevel;
    rest.remove_prefix(2);
  } else {
    parts.Level = tarnFile_DataLevel;
  }

  const std::size_t comma = rest.find(u',');
  if (comma == StringView::npos) {
    parts.Dict = parts.Data = String(rest);
    return parts;
  }
  parts.Dict = String(rest.substr(0, comma));
  StringView data = rest.substr(comma + 1);
  // With a second comma the last character goes: "ACCT,CUST," names the data part CUST.
  if (data.find(u',') != StringView::npos) data.remove_suffix(1);
  parts.Data = String(data);
  return parts;
}

Ref<clsTarnFile> clsTarnConnection::brCreateFile(const String& sDictFlag, const String& sFileName,
                                                 const Variant& nModulo1, const Variant& vnModulo2,
                                                 const Variant& vnFrameSize) {
  const Variant& modulo2 = vnModulo2.isMissing() ? nModulo1 : vnModulo2;
  const Variant frameSize = vnFrameSize.isMissing() ? Variant(tarnFile_FrameSize) : vnFrameSize;
  const std::optional<FileNameParts> parts = rsParseFileName(sDictFlag, sFileName);
  if (!parts) throw TarnError::platform(err::kObjectNotSet);
  const String dataReference = parts->Dict + u"," + parts->Data;
  const Variant fullPath(parts->FullPath);
  const Variant noServer(String{});

  if (parts->Level == tarnFile_DictLevel) {
    return brCreateFileEx(parts->Dict, nModulo1.toInt32(), tarnFile_DictLevel, fullPath, noServer,
                          true, frameSize, tarnFile_Hashed);
  }
  // Each step goes on past a failure of the one before: a dictionary that exists already does
  // not keep the data section from being made.
  Ref<clsTarnFile> file;
  try {
    file = brCreateFileEx(parts->Dict, nModulo1.toInt32(), tarnFile_DictLevel, fullPath, noServer,
                          true, frameSize, tarnFile_Hashed);
  } catch (...) {
  }
  try {
    file = brCreateFileEx(dataReference, modulo2.toInt16(), tarnFile_DataLevel, fullPath, noServer,
                          true, frameSize, tarnFile_Hashed);
  } catch (...) {
  }
  return file;
}

Ref<clsTarnFile> clsTarnConnection::brCreateFileEx(const String& sFileName, std::int32_t nModulo,
                                                   std::int32_t nFileLevel, const Variant&,
                                                   const Variant&, const Variant& vbCaseInsensitive,
                                                   const Variant&, const Variant&) {
  const bool caseInsensitive = vbCaseInsensitive.isMissing() || vbCaseInsensitive.toBool();
  const bool dictionary = nFileLevel == tarnFile_DictLevel;
  dictFlag_ = dictionary ? u"Dict" : u"";
  clsTarnTclCommand& cmd = command();
  cmd.brExecute(u"CREATE-FILE " + String(dictionary ? u"DICT " : u"DATA ") + sFileName + u" " +
                decimalText(nModulo) + u" (" + (caseInsensitive ? u"" : u"s"));
  (void)cmd.brCapturing();
  (void)cmd.brReturning();
  return brOpenFile(dictFlag_, sFileName);
}

Ref<clsTarnFile> clsTarnConnection::brOpenFileEx(const String& sFileName,
                                                 const Variant& vnFileLevel) {
  const bool dictionary = !vnFileLevel.isMissing() && vnFileLevel.toInt16() == tarnFile_DictLevel;
  return brOpenFile(dictionary ? u"Dict" : u"", sFileName);
}

void clsTarnConnection::brDeleteFile(const String& sFileName, const Variant& vbAlways) {
  clsTarnTclCommand& cmd = command();
  cmd.brExecute(u"DELETE-FILE " + sFileName + (flagOf(vbAlways) ? u" (u" : u""));
  (void)cmd.brCapturing();
  (void)cmd.brReturning();
}

std::int32_t clsTarnConnection::brItemCount(const Variant& vbExact, const Variant&) {
  const bool exact = flagOf(vbExact);
  clsTarnTclCommand& cmd = command();
  cmd.brExecute(exact ? u"COUNT MD" : u"ESTIMATE-COUNT MD");
  auto captured = cmd.brCapturing();
  captured->brConvert(u" ", String(1, kAM));
  return Variant(exact ? captured->brExtractStr(2) : captured->brCString()).toInt32();
}

Ref<clsTarnSelectList> clsTarnConnection::brSelect() {
  return brOpenSelectList(u"SELECT MD WITH A1 = D");
}

Ref<clsTarnSelectList> clsTarnConnection::brSelectDict(Ref<clsTarnFile>&) {
  return brOpenSelectList(u"SELECT MD WITH A1 = D]");
}

bool clsTarnConnection::brCompile(const String& sRuleBase, const String& sRuleFile,
                                  const String& sRuleName) {
  try {
    clsTarnTclCommand& cmd = command();
    cmd.brExecute(u"COMPILE " + sRuleBase + u"," + sRuleFile + u", " + sRuleName + u" (o");
    return cmd.brReturning()->brCString() == u"241";
  } catch (...) {
    return false;
  }
}

bool clsTarnConnection::brCatalog(const String& sRuleBase, const String& sRuleFile,
                                  const String& sRuleName) {
  return clearingLastError([&] {
    clsTarnTclCommand& cmd = command();
    cmd.brExecute(u"CATALOG " + sRuleBase + u"," + sRuleFile + u", " + sRuleName);
    return cmd.brReturning()->brCString() == u"244";
  });
}

bool clsTarnConnection::brUpdateAccount(String& sName) {
  return clearingLastError([&] {
    const String am(1, kAM);
    command().brExecute(u"LOGTO DM" + am + u"UPDATE-MD " + sName + u" (n" + am + u"LOGTO " +
                        database_);
    return true;
  });
}

}  // namespace tarn
