// The interface text of the library and its reader.
//
// Grammar, one declaration a line ('#' starts a comment):
//   library <name>
//   class <name> : <interface> [creatable] [appobject]
//     <kind> <member>(<param>, ...) [: <type>]     kind: method | get | let | set
//     param: [opt] [ref | out] <type> <name>   (out: by reference, and the member writes it)
//   enum <name>
//     <member> = <value>
// Types: Bool, Int16, Int32, String, Variant, Variant() (an array of variants), Object (any
// object) and the class names. Members are listed in interface order.
#include <algorithm>
#include <cctype>
#include <charconv>
#include <stdexcept>

#include "tarn/typelib/typelib.h"

namespace tarn::typelib {

namespace {

constexpr std::string_view kDescription = R"(
library TarnCLODBC

class clsTarnEnvironment : _clsTarnEnvironment creatable appobject
  let brCurrency(String value)
  get brCurrency() : String
  let brDecimal(String value)
  get brDecimal() : String
  let brGrouping(String value)
  get brGrouping() : String
  let brCasing(Bool value)
  get brCasing() : Bool
  get brDomain() : String
  get brDatabase() : String
  get brVersion() : String
  get brDescription() : String
  get brType() : String
  get brName() : String
  get brCopyright() : String
  method brError(opt out Variant aVar) : Int32
  method brAbout()
  method brOpenConnection(String sDomain, String sDBMS) : clsTarnConnection
  method brOpenDynamicArray(opt ref Variant sString) : clsTarnDynamicArray
  method brCloseConnection(out clsTarnConnection aConnection)
  get brHandle() : String
  method brUniqueId() : String
  get brIsODBC() : Bool

class clsTarnDynamicArray : _clsTarnDynamicArray creatable
  let brCString(ref String sRaw)
  get brCString() : String
  method brCopy() : clsTarnDynamicArray
  method brClone() : clsTarnDynamicArray
  method brLen() : Int32
  method brExtractStr(Int32 nAMC, opt Variant nVMC, opt Variant nSVMC) : String
  method brReplaceStr(String sNewStr, Variant nAMC, opt Variant nVMC, opt Variant nSVMC)
  method brReplace(ref clsTarnDynamicArray aReplace, Variant nAMC, opt Variant nVMC, opt Variant nSVMC)
  method brInsert(ref clsTarnDynamicArray aInsert, Variant nAMC, opt Variant nVMC, opt Variant nSVMC)
  method brInsertStr(String sInsertStr, Variant nAMC, opt Variant nVMC, opt Variant nSVMC)
  method brDelete(Variant nAMC, opt Variant nVMC, opt Variant nSVMC)
  get brName() : String
  method brCount(String sDelmtr) : Variant
  method brDCount(String sDelmtr) : Variant
  method brExtract(Variant nAMC, opt Variant nVMC, opt Variant nSVMC) : clsTarnDynamicArray
  method brLocateStrSeq(ref String sSub, ref String sSeq, out Int32 nPosition, opt Variant vnAMC, opt Variant vnVMC, opt Variant vnStart) : Bool
  method brLocateSeq(ref clsTarnDynamicArray aElement, ref clsTarnDynamicArray aSeq, out Int32 nPosition, opt Variant vnAMC, opt Variant vnVMC, opt Variant vnStart) : Bool
  method brLocateStr(ref String sSub, out Int32 nPosition, opt Variant vnAMC, opt Variant vnVMC, opt Variant vnStart) : Bool
  method brLocate(ref clsTarnDynamicArray aElement, out Int32 nPosition, opt Variant vnAMC, opt Variant vnVMC, opt Variant vnStart) : Bool
  method brConvert(String sFrom, String sTo) : Int32
  method brEqualStr(String s) : Bool
  method brEqual(ref clsTarnDynamicArray anArray) : Bool
  get brHandle() : String
  method brIndex(String sChrDelim, Int32 nInstance) : Int32
  method brSelect() : clsTarnSelectList
  method brTrim()
  get brIsODBC() : Bool

class clsTarnGlobalConstant : _clsTarnGlobalConstant creatable appobject
  get brKeyCompChr() : String
  get brKeyLastChr() : String
  get brKeyNextChr() : String
  get brKeyPrevChr() : String
  get brKeyRtrnChr() : String
  get brKeyVrfyChr() : String
  get brKeyXtraChr() : String
  get brAMChr() : String
  get brSBChr() : String
  get brSMChr() : String
  get brSVMChr() : String
  get brVMChr() : String
  get TarnAMChr() : String
  get TarnSBChr() : String
  get TarnSMChr() : String
  get TarnSVMChr() : String
  get TarnVMChr() : String

class clsTarnConnection : _clsTarnConnection
  get brName() : String
  get brDomain() : String
  get brDatabase() : String
  get brHandle() : String
  method brUniqueId() : String
  get brFileName() : String
  get brIsODBC() : Bool
  let brCurrency(String value)
  get brCurrency() : String
  let brDecimal(String value)
  get brDecimal() : String
  let brGrouping(String value)
  get brGrouping() : String
  let brCasing(Bool value)
  get brCasing() : Bool
  method brOpenFile(String sDictFlag, opt Variant sFileName) : clsTarnFile
  method brCloseFile(out clsTarnFile aFile)
  method brOpenTclCommand(String sCmd) : clsTarnTclCommand
  method brCloseTclCommand(out clsTarnTclCommand aTCLCommand)
  method brOpenRuleModule(String sName, opt Variant vsRuleFile, opt Variant vsRuleBase) : clsTarnRuleModule
  method brCloseRuleModule(out clsTarnRuleModule aModule)
  method brOpenSelectList(String sCmd) : clsTarnSelectList
  method brCloseSelectList(out clsTarnSelectList aList)
  method brSystem(Int32 iNum) : String
  method brIconv(String sVal, String sConv) : String
  method brOconv(String sVal, String sConv) : String
  method brRelease()
  get brTime() : Int32
  get brTimeDate() : String
  get brStatus() : String
  get brDate() : Int32
  method brSleep(ref String Seconds)
  method brExecute(String sCommand, opt Variant nResults)
  get brCapturing() : clsTarnDynamicArray
  get brReturning() : clsTarnDynamicArray
  method brData(ref String sData)
  method brSort(ref clsTarnDynamicArray aDynamicArray) : clsTarnDynamicArray
  method brCreateFile(String sDictFlag, String sFileName, Variant nModulo1, opt Variant vnModulo2, opt Variant vnFrameSize) : clsTarnFile
  method brCreateFileEx(String sFileName, Int32 nModulo, Int32 nFileLevel, opt Variant vsFullPath, opt Variant vsServerId, opt Variant vbCaseInsensitive, opt Variant vnFrameSize, opt Variant vnFileType) : clsTarnFile
  method brOpenFileEx(String sFileName, opt Variant vnFileLevel) : clsTarnFile
  method brDeleteFile(String sFileName, opt Variant vbAlways)
  get brDictFlag() : String
  method brItemCount(opt Variant vbExact, opt Variant vbDPntr) : Int32
  method brSelect() : clsTarnSelectList
  method brSelectDict(ref clsTarnFile TheDict) : clsTarnSelectList
  method brCompile(String sRuleBase, String sRuleFile, String sRuleName) : Bool
  method brCatalog(String sRuleBase, String sRuleFile, String sRuleName) : Bool
  method brUpdateAccount(out String sName) : Bool

class clsTarnFile : _clsTarnFile
  get brName() : String
  get brItemId() : String
  method brClearFile()
  method brAttribute(String sName) : Int32
  method brColumn(String sName) : Int32
  method brDelete(String sItemName)
  method brFileLock()
  method brFileUnlock()
  method brReadU(String sItemName) : clsTarnDynamicArray
  method brReadVU(String sItemName, Variant sColumn) : clsTarnDynamicArray
  method brReadV(String sItemName, Variant sColumn) : clsTarnDynamicArray
  method brRead(String sItemName, opt Variant sColumn, opt Variant bLocking) : clsTarnDynamicArray
  method brRelease(String sItemId)
  method brSelect() : clsTarnSelectList
  method brRoot(String sCorrelative) : clsTarnIndex
  method brWriteU(ref clsTarnDynamicArray aItem, String sItemName)
  method brWriteVU(ref clsTarnDynamicArray aItem, String sItemName, Variant sColumn)
  method brWriteV(ref clsTarnDynamicArray aItem, String sItemName, Variant sColumn)
  method brWrite(ref clsTarnDynamicArray aItem, String sItemName, opt Variant sColumn, opt Variant bLocking)
  get brHandle() : String
  get brType() : String
  method brCreateIndex(String sCorrelative, Bool bOverwrite, opt Variant bEntirety, opt out Variant vlRecords) : Bool
  method brDeleteIndex(String sCorrelative)
  method brItemCount(opt Variant vbExact, opt Variant vbDPntr) : Int32
  method brUniqueId() : String
  get brIsODBC() : Bool

class clsTarnIndex : _clsTarnIndex
  get brIndexKey() : String
  get brIndexId() : String
  get brIndexVC() : Int32
  get brName() : String
  method brKey(String cChar, out String sKey, out String sIId, opt out Variant nVMC) : Bool
  method brKeyX(out String sKey, String sIId, opt out Variant nVMC) : clsTarnDynamicArray
  method brMoveNext(opt out Variant vsIId) : Bool
  method brMovePrevious(opt out Variant vsIId) : Bool
  method brMoveFirst(opt out Variant vsIId) : Bool
  method brMoveLast(opt out Variant vsIId) : Bool
  method brFindFirst(String sKey, opt out Variant vsIId) : Bool
  method brFindNext(String sKey, opt out Variant vsIId) : Bool
  method brFindPrevious(String sKey, opt out Variant vsIId) : Bool
  method brFindLast(String sKey, opt out Variant vsIId) : Bool
  get brHandle() : String
  get brIsODBC() : Bool

class clsTarnSelectList : _clsTarnSelectList
  get brName() : String
  get brItemId() : String
  get brValue() : String
  get brEOL() : Bool
  get brBOL() : Bool
  get brCount() : Int32
  get brItemIndex() : Int32
  method brIndex() : Int32
  method brReadnext(opt out Variant sItemId) : Bool
  method brReselect() : Bool
  get brHandle() : String
  get brIsODBC() : Bool

class clsTarnTclCommand : _clsTarnTclCommand
  let brCommand(String value)
  get brCommand() : String
  get brName() : String
  let brResults(Int16 value)
  get brResults() : Int16
  method brData(ref String sData)
  method brExecute(opt Variant vsCommand, opt Variant vnResults)
  get brCapturing() : clsTarnDynamicArray
  get brReturning() : clsTarnDynamicArray
  get brHandle() : String
  get brIsODBC() : Bool

class clsTarnRuleModule : _clsTarnRuleModule
  get brName() : String
  method brCall(out Variant() vArgs) : Bool
  get brHandle() : Variant
  get brIsODBC() : Bool
  set brTelnet(Object value)
  let brVirtualMachine(Object value)

class frmTarnAbout : _frmTarnAbout
  method Initialize(String sType) : Bool

enum eTarnClassConstants
  TarnMagic = 46699
  TarnClassDA = 272
  TarnClassRM = 274
  TarnClassSL = 275
  TarnClassFV = 512
  TarnClassVM = 771
  TarnClassTCL = 771
  TarnClassDB = 2048
  TarnClassND = 2304
  TarnClassDE = 61696
  TarnClassConn = 61952
  TarnClassSA = 62208
  TarnClassTTY = 62464
  TarnClassTD = 62720
  TarnClassBT = 62976
  TarnClassRC = 63232
  TarnNoHandle = 0

enum eReferenceCounting
  eTarnAdd1Ref = 1
  eTarnInitRef = 1
  eTarnZeroRef = 0
  eTarnRelease = -1

enum eTarnGeneralEnum
  brTrue = -1
  brFalse = 0
  tarnNothing = 0

enum eTarnErrorConstants
  TarnErrorConstants = 0

enum eTarnSystemDelimeters
  TarnSB = 251
  TarnSVM = 252
  TarnVM = 253
  TarnAM = 254
  TarnSM = 255

enum eTarnIndexKey
  TarnIndexCompKey = 67
  TarnIndexLastKey = 76
  TarnIndexNextKey = 78
  TarnIndexPrevKey = 80
  TarnIndexRtrnKey = 82
  TarnIndexVrfyKey = 86
  TarnIndexXtraKey = 88

enum eSystemFunctionConstants
  TarnSystem_ContextStatus = 0
  TarnSystem_PrinterStatus = 1
  TarnSystem_PageWidth = 2
  TarnSystem_PageDepth = 3
  TarnSystem_LinesRemain = 4
  TarnSystem_PrintPage = 5
  TarnSystem_PrintLine = 6
  TarnSystem_TermType = 7
  TarnSystem_BlockSize = 8
  TarnSystem_CpuMillisec = 9
  TarnSystem_StackStatus = 10
  TarnSystem_SelectList = 11
  TarnSystem_SystemTime = 12
  TarnSystem_RQM = 13
  TarnSystem_TypeAheadBytes = 14
  TarnSystem_TCLFlags = 15
  TarnSystem_PushedLevels = 16
  TarnSystem_MessageIds = 17
  TarnSystem_TotalPorts = 18
  TarnSystem_SysUniqueId = 19
  TarnSystem_SpoolerEntry = 20
  TarnSystem_InternalDate = 21
  TarnSystem_PortNumber = 22
  TarnSystem_Privilege = 23
  TarnSystem_Phantom = 24
  TarnSystem_SecondaryList = 25
  TarnSystem_Capturing = 26
  TarnSystem_CaseSensitive = 27
  TarnSystem_DataSensitive = 28
  TarnSystem_ZetaCompatible = 29
  TarnSystem_LockingPort = 30
  TarnSystem_FormQueue = 31
  TarnSystem_FrameSize = 32
  TarnSystem_CallersName = 33
  TarnSystem_Unused = 34
  TarnSystem_PhysicalPorts = 35
  TarnSystem_CorvexProgram = 36
  TarnSystem_CorvexHandler = 37
  TarnSystem_CpuIdentifier = 38
  TarnSystem_SpellChecker = 39
  TarnSystem_ReelNumber = 40
  TarnSystem_UnixErrno = 41
  TarnSystem_SysIdendifier = 100

enum eTarnExecuteOptions
  TarnExecuteNoResults = 0
  TarnExecuteCapturing = 1
  TarnExecuteReturning = 2
  TarnExecuteWithBoth = 3

enum eTarnTclFlags
  TarnTclFlag_AFlg = -2147483647
  TarnTclFlag_DFlg = 268435456
  TarnTclFlag_EFlg = 134217728
  TarnTclFlag_SFlg = 8192

enum eTarnFileLevels
  tarnFile_AcntLevel = 1
  tarnFile_DictLevel = 2
  tarnFile_DataLevel = 3

enum eTarnFileConstants
  tarnFile_FrameSize = 4096
  tarnFile_Ansi = 0
  tarnFile_Unicode = -1
  tarnFile_CaseSensitive = 0
  tarnFile_CaseInsensitive = -1
  tarnFile_DeleteAlways = -1
  tarnFile_DeleteClosed = 0

enum eTarnFileTypes
  tarnFile_Direct = 1
  tarnFile_Hashed = 0

enum eTarnItemCount
  TarnItemCountDPtrs = -1
  TarnItemCountTotal = 0
  TarnItemCountExact = -1
  TarnItemCountGuess = 0

enum eTarnItemLockOptions
  tarnItem_NoWaiting = 0
  tarnItem_AmWaiting = -1
  tarnItem_ReadLocked = -1
  tarnItem_ReadNoLock = 0
  tarnItem_WriteUnlock = -1
  tarnItem_WriteNoLock = 0

enum eTarnCreateIndexOptions
  TarnReplaceIndex = -1
  TarnPreserveIndex = 0
  TarnEntireIndex = -1
  TarnPartialIndex = 0

enum eTarnListTypes
  tarnList_TypeNone = 0
  tarnList_TypeAcnt = 1
  tarnList_TypeFile = 2
  tarnList_TypeDict = 3
  tarnList_TypeItem = 4
  tarnList_TypeTCL = 5

enum eTarnSelectListOptions
  TarnSelectPrimary = 0
  TarnSelectSecondary = -1

enum eRuleModuleState
  ermsClosed = 0
  ermsOpened = 1
  ermsCalled = 2

enum eTarnRuleModuleStatus
  brDeadRule = 0
  brLocalRule = 1
  brRemoteRule = -1
)";

// Splits off the next word: a run of name characters, or one punctuation character.
std::string_view nextToken(std::string_view& rest) {
  std::size_t i = 0;
  while (i < rest.size() && std::isspace(static_cast<unsigned char>(rest[i]))) ++i;
  rest.remove_prefix(i);
  if (rest.empty()) return {};
  std::size_t n = 1;
  auto wordChar = [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-';
  };
  if (wordChar(rest[0])) {
    while (n < rest.size() && wordChar(rest[n])) ++n;
  }
  std::string_view token = rest.substr(0, n);
  rest.remove_prefix(n);
  return token;
}

Type readType(std::string_view word, std::string_view& rest) {
  Type t;
  if (word == "Bool") {
    t.base = BaseType::Bool;
  } else if (word == "Int16") {
    t.base = BaseType::Int16;
  } else if (word == "Int32") {
    t.base = BaseType::Int32;
  } else if (word == "String") {
    t.base = BaseType::String;
  } else if (word == "Object") {
    t.base = BaseType::Object;
  } else if (word == "Variant") {
    t.base = BaseType::Variant;
    std::string_view look = rest;
    if (nextToken(look) == "(") {
      if (nextToken(look) != ")") throw std::invalid_argument("')' expected after 'Variant('");
      rest = look;
      t.base = BaseType::VariantArray;
    }
  } else if (word.starts_with("cls") || word.starts_with("frm")) {
    t.base = BaseType::Object;
    t.className = word;
  } else {
    throw std::invalid_argument("unknown type '" + std::string(word) + "'");
  }
  return t;
}

Member readMember(std::string_view kindWord, std::string_view rest) {
  Member m;
  if (kindWord == "method") {
    m.kind = Kind::Method;
  } else if (kindWord == "get") {
    m.kind = Kind::PropertyGet;
  } else if (kindWord == "let") {
    m.kind = Kind::PropertyLet;
  } else if (kindWord == "set") {
    m.kind = Kind::PropertySet;
  } else {
    throw std::invalid_argument("unknown member kind '" + std::string(kindWord) + "'");
  }
  m.name = nextToken(rest);
  if (nextToken(rest) != "(") throw std::invalid_argument("'(' expected after " + m.name);
  std::string_view token = nextToken(rest);
  while (token != ")") {
    Param p;
    if (token == "opt") {
      p.optional = true;
      token = nextToken(rest);
    }
    if (token == "ref" || token == "out") {
      p.byRef = true;
      p.written = token == "out";
      token = nextToken(rest);
    }
    p.type = readType(token, rest);
    p.name = nextToken(rest);
    if (p.name.empty()) throw std::invalid_argument("parameter name expected in " + m.name);
    if (!p.optional && !m.params.empty() && m.params.back().optional) {
      throw std::invalid_argument("required parameter after an optional one in " + m.name);
    }
    m.params.push_back(std::move(p));
    token = nextToken(rest);
    if (token == ",") token = nextToken(rest);
    if (token.empty()) throw std::invalid_argument("')' expected in " + m.name);
  }
  std::string_view colon = nextToken(rest);
  if (colon == ":") {
    m.result = readType(nextToken(rest), rest);
  } else if (!colon.empty()) {
    throw std::invalid_argument("':' or the end of the line expected after " + m.name);
  }
  if ((m.kind == Kind::PropertyLet || m.kind == Kind::PropertySet) && m.params.size() != 1) {
    throw std::invalid_argument(m.name + ": an assignment takes exactly one value");
  }
  return m;
}

// Dispatch ids follow the interface order; the kinds of one property share the id of its name.
void numberMembers(ClassInfo& c) {
  std::int32_t next = 1;
  for (std::size_t i = 0; i < c.members.size(); ++i) {
    Member& m = c.members[i];
    for (std::size_t j = 0; j < i && m.id == 0; ++j) {
      if (sameName(c.members[j].name, m.name)) m.id = c.members[j].id;
    }
    if (m.id == 0) m.id = next++;
  }
}

}  // namespace

std::size_t Member::requiredCount() const noexcept {
  return static_cast<std::size_t>(
      std::count_if(params.begin(), params.end(), [](const Param& p) { return !p.optional; }));
}

const Member* ClassInfo::find(std::int32_t memberId, Kind k) const noexcept {
  for (const Member& m : members) {
    if (m.id == memberId && m.kind == k) return &m;
  }
  return nullptr;
}

bool sameName(std::string_view a, std::string_view b) noexcept {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

const ClassInfo* Library::findClass(std::string_view className) const noexcept {
  for (const ClassInfo& c : classes) {
    if (sameName(c.name, className)) return &c;
  }
  return nullptr;
}

const EnumInfo* Library::findEnum(std::string_view enumName) const noexcept {
  for (const EnumInfo& e : enums) {
    if (sameName(e.name, enumName)) return &e;
  }
  return nullptr;
}

Library parseDescription(std::string_view text) {
  Library lib;
  int lineNumber = 0;
  ClassInfo* cls = nullptr;
  EnumInfo* enm = nullptr;
  while (!text.empty()) {
    ++lineNumber;
    std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (std::size_t hash = line.find('#'); hash != std::string_view::npos) {
      line = line.substr(0, hash);
    }
    try {
      std::string_view rest = line;
      std::string_view word = nextToken(rest);
      if (word.empty()) continue;
      if (word == "library") {
        lib.name = nextToken(rest);
      } else if (word == "class") {
        cls = &lib.classes.emplace_back();
        enm = nullptr;
        cls->name = nextToken(rest);
        if (nextToken(rest) != ":") throw std::invalid_argument("':' expected after the class");
        cls->interfaceName = nextToken(rest);
        for (std::string_view flag = nextToken(rest); !flag.empty(); flag = nextToken(rest)) {
          if (flag == "creatable") {
            cls->creatable = true;
          } else if (flag == "appobject") {
            cls->appObject = true;
          } else {
            throw std::invalid_argument("unknown class flag '" + std::string(flag) + "'");
          }
        }
      } else if (word == "enum") {
        enm = &lib.enums.emplace_back();
        cls = nullptr;
        enm->name = nextToken(rest);
      } else if (cls != nullptr) {
        cls->members.push_back(readMember(word, rest));
      } else if (enm != nullptr) {
        EnumValue v{std::string(word), 0};
        if (nextToken(rest) != "=") throw std::invalid_argument("'=' expected");
        std::string_view number = rest.substr(rest.find_first_not_of(' '));
        auto [ptr, ec] = std::from_chars(number.data(), number.data() + number.size(), v.value);
        if (ec != std::errc() || ptr != number.data() + number.size()) {
          throw std::invalid_argument("a 32-bit value expected");
        }
        enm->values.push_back(std::move(v));
      } else {
        throw std::invalid_argument("a class or enum expected");
      }
    } catch (const std::invalid_argument& e) {
      throw std::invalid_argument("interface text line " + std::to_string(lineNumber) + ": " +
                                  e.what());
    }
  }
  for (ClassInfo& c : lib.classes) numberMembers(c);
  return lib;
}

const Library& library() {
  static const Library lib = parseDescription(kDescription);
  return lib;
}

}  // namespace tarn::typelib
