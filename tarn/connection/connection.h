// clsTarnConnection: one open connection to a data source of the database server. It owns the
// connection's session, makes files, TCL commands, rule modules and select lists, carries the
// connection's locale settings, and gives the server's own functions.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "tarn/frame/export.h"
#include "tarn/frame/object.h"
#include "tarn/frame/string.h"
#include "tarn/frame/variant.h"

namespace tarn {

class clsTarnDynamicArray;
class clsTarnEnvironment;
class clsTarnFile;
class clsTarnODBC;
class clsTarnRuleModule;
class clsTarnSelectList;
class clsTarnTclCommand;

// Selectors of brSystem.
enum eSystemFunctionConstants : std::int32_t {
  TarnSystem_ContextStatus = 0,
  TarnSystem_PrinterStatus = 1,
  TarnSystem_PageWidth = 2,
  TarnSystem_PageDepth = 3,
  TarnSystem_LinesRemain = 4,
  TarnSystem_PrintPage = 5,
  TarnSystem_PrintLine = 6,
  TarnSystem_TermType = 7,
  TarnSystem_BlockSize = 8,
  TarnSystem_CpuMillisec = 9,
  TarnSystem_StackStatus = 10,
  TarnSystem_SelectList = 11,
  TarnSystem_SystemTime = 12,
  TarnSystem_RQM = 13,
  TarnSystem_TypeAheadBytes = 14,
  TarnSystem_TCLFlags = 15,
  TarnSystem_PushedLevels = 16,
  TarnSystem_MessageIds = 17,
  TarnSystem_TotalPorts = 18,
  TarnSystem_SysUniqueId = 19,
  TarnSystem_SpoolerEntry = 20,
  TarnSystem_InternalDate = 21,
  TarnSystem_PortNumber = 22,
  TarnSystem_Privilege = 23,
  TarnSystem_Phantom = 24,
  TarnSystem_SecondaryList = 25,
  TarnSystem_Capturing = 26,
  TarnSystem_CaseSensitive = 27,
  TarnSystem_DataSensitive = 28,
  TarnSystem_ZetaCompatible = 29,
  TarnSystem_LockingPort = 30,
  TarnSystem_FormQueue = 31,
  TarnSystem_FrameSize = 32,
  TarnSystem_CallersName = 33,
  TarnSystem_Unused = 34,
  TarnSystem_PhysicalPorts = 35,
  TarnSystem_CorvexProgram = 36,
  TarnSystem_CorvexHandler = 37,
  TarnSystem_CpuIdentifier = 38,
  TarnSystem_SpellChecker = 39,
  TarnSystem_ReelNumber = 40,
  TarnSystem_UnixErrno = 41,
  TarnSystem_SysIdendifier = 100,
};

// TCL flag constants; no member takes or returns them.
enum eTarnTclFlags : std::int32_t {
  TarnTclFlag_AFlg = -2147483647,
  TarnTclFlag_DFlg = 268435456,
  TarnTclFlag_EFlg = 134217728,
  TarnTclFlag_SFlg = 8192,
};

// Levels of a file reference.
enum eTarnFileLevels : std::int32_t {
  tarnFile_AcntLevel = 1,
  tarnFile_DictLevel = 2,
  tarnFile_DataLevel = 3,
};

enum eTarnFileConstants : std::int32_t {
  tarnFile_FrameSize = 4096,
  tarnFile_Ansi = 0,
  tarnFile_Unicode = -1,
  tarnFile_CaseSensitive = 0,
  tarnFile_CaseInsensitive = -1,
  tarnFile_DeleteAlways = -1,
  tarnFile_DeleteClosed = 0,
};

enum eTarnFileTypes : std::int32_t {
  tarnFile_Direct = 1,
  tarnFile_Hashed = 0,
};

class TARN_API clsTarnConnection : public Object {
 public:
  ~clsTarnConnection() override;

  // "domain database": the connection type text, one blank, the data source.
  [[nodiscard]] String brName() const { return domain_ + u" " + brDatabase(); }
  [[nodiscard]] const String& brDomain() const noexcept { return domain_; }
  [[nodiscard]] String brDatabase() const;
  // The data source text as given, password included: for connecting only, never for showing.
  [[nodiscard]] const String& rsDatabaseText() const noexcept { return database_; }
  // The handle text naming the object's class and instance; brIsODBC is always True (the
  // library speaks ODBC only).
  [[nodiscard]] String brHandle() const;
  // The environment's brUniqueId.
  [[nodiscard]] String brUniqueId() const;
  // The file reference the last brOpenFile built.
  [[nodiscard]] const String& brFileName() const noexcept { return lastFile_; }
  // Always True: the library speaks ODBC only.
  [[nodiscard]] bool brIsODBC() const noexcept { return true; }

  // Locale settings. Each let runs its TCL command on the server first (SET-NUM-FORMAT c//,
  // /g/, //d; CASE (n or (f) and stores the value only when the command succeeded; errors of
  // the command object pass through unchanged.
  [[nodiscard]] const String& brCurrency() const noexcept { return currency_; }
  void brCurrency(const String& value);
  [[nodiscard]] const String& brDecimal() const noexcept { return decimal_; }
  void brDecimal(const String& value);
  [[nodiscard]] const String& brGrouping() const noexcept { return grouping_; }
  void brGrouping(const String& value);
  [[nodiscard]] bool brCasing() const noexcept { return casing_; }
  void brCasing(bool value);

  // Opens a file: the reference is sDictFlag + " " + sFileName, or sDictFlag alone when the name
  // is empty or omitted. Throws the file's error under clsTarnConnection.brOpenFile <db> <name>;
  // 1058 (nothing sent) when the reference holds a mark.
  [[nodiscard]] Ref<clsTarnFile> brOpenFile(const String& sDictFlag,
                                            const Variant& sFileName = Variant::missing());
  // Empties the caller's variable; the file closes on the server when its last reference goes.
  void brCloseFile(Ref<clsTarnFile>& aFile);
  // A command object for sCmd; nothing is executed.
  [[nodiscard]] Ref<clsTarnTclCommand> brOpenTclCommand(const String& sCmd);
  // Empties the caller's variable.
  void brCloseTclCommand(Ref<clsTarnTclCommand>& aTCLCommand);
  // Loads the rule module named by the reference base + "," (when given) + file + ", " (when
  // given) + sName. Throws the module's error under clsTarnConnection.brOpenRuleModule <sName>.
  [[nodiscard]] Ref<clsTarnRuleModule> brOpenRuleModule(
      const String& sName, const Variant& vsRuleFile = Variant::missing(),
      const Variant& vsRuleBase = Variant::missing());
  // Empties the caller's variable; the module closes on the server when its last reference goes.
  void brCloseRuleModule(Ref<clsTarnRuleModule>& aModule);
  // Runs the select command sCmd and returns the list it made; its count is the third word of
  // the command's captured output (0 when that is not a number).
  [[nodiscard]] Ref<clsTarnSelectList> brOpenSelectList(const String& sCmd);
  // Empties the caller's variable; the list closes on the server when its last reference goes.
  void brCloseSelectList(Ref<clsTarnSelectList>& aList);

  // Server functions. Each sends one request; failures raise under clsTarnConnection. A
  // conversion code holding a mark is refused with 1058 before anything is sent; the value may
  // hold marks.
  [[nodiscard]] String brSystem(std::int32_t iNum);
  [[nodiscard]] String brIconv(const String& sVal, const String& sConv);
  [[nodiscard]] String brOconv(const String& sVal, const String& sConv);
  // Releases every lock this connection holds on the server.
  void brRelease();
  // Seconds since midnight on the server (0 when its answer is not a number).
  [[nodiscard]] std::int32_t brTime();
  // The captured output of the server's TIME command.
  [[nodiscard]] String brTimeDate();
  // brSystem(0).
  [[nodiscard]] String brStatus();
  // The server's internal date: days since 31 Dec 1967 (0 when its answer is not a number).
  [[nodiscard]] std::int32_t brDate();
  // Waits on the server for Seconds; a non-numeric text sends nothing.
  void brSleep(const String& Seconds);
  // Runs a TCL command through the connection's command object (see clsTarnTclCommand). Marks
  // in sCommand end the command line: what follows each is a stacked input line.
  void brExecute(const String& sCommand, const Variant& nResults = Variant::missing());
  // Outputs of the last command the connection's command object ran, as new arrays.
  [[nodiscard]] Ref<clsTarnDynamicArray> brCapturing();
  [[nodiscard]] Ref<clsTarnDynamicArray> brReturning();
  // Stacks input for the next command the connection runs.
  void brData(const String& sData);
  // Account administration. Each member runs TCL commands through the connection's command
  // object; unless said otherwise, failures pass through unchanged. Where an optional flag or
  // level is omitted, the missing marker converts to False (or 0): an omitted vbExact counts,
  // an omitted vbAlways deletes without (u, an omitted vnFileLevel opens the data level.

  // Creates a dictionary ("DICT name", "D name") or a file with its dictionary and data section
  // (data reference dict,data), and opens what it made last. The moduli go to the server
  // as given; vnModulo2 defaults to nModulo1. A dictionary creation raises its failures; the
  // two-step creation never raises and returns the dictionary when the data step fails, nothing
  // when both fail. An empty reference fails with 91.
  [[nodiscard]] Ref<clsTarnFile> brCreateFile(const String& sDictFlag, const String& sFileName,
                                              const Variant& nModulo1,
                                              const Variant& vnModulo2 = Variant::missing(),
                                              const Variant& vnFrameSize = Variant::missing());
  // Runs CREATE-FILE DICT|DATA <name> <modulo> ( with option s when vbCaseInsensitive is False
  // (default True) and opens the file ("Dict <name>" or " <name>"). Full path, server id, frame
  // size and file type are accepted and not sent. Sets brDictFlag.
  [[nodiscard]] Ref<clsTarnFile> brCreateFileEx(
      const String& sFileName, std::int32_t nModulo, std::int32_t nFileLevel,
      const Variant& vsFullPath = Variant::missing(),
      const Variant& vsServerId = Variant::missing(),
      const Variant& vbCaseInsensitive = Variant::missing(),
      const Variant& vnFrameSize = Variant::missing(),
      const Variant& vnFileType = Variant::missing());
  // Opens the dictionary of sFileName when vnFileLevel is 2, its data section otherwise.
  [[nodiscard]] Ref<clsTarnFile> brOpenFileEx(const String& sFileName,
                                              const Variant& vnFileLevel = Variant::missing());
  // DELETE-FILE <name>, with (u when vbAlways is True.
  void brDeleteFile(const String& sFileName, const Variant& vbAlways = Variant::missing());
  // "Dict" after a dictionary-level brCreateFileEx, "" after a data-level one or before any.
  [[nodiscard]] const String& brDictFlag() const noexcept { return dictFlag_; }
  // The number of entries in the account's MD: exact (COUNT) when vbExact is True, otherwise
  // the server's estimate. vbDPntr is accepted and not used. 13 when the answer is no number.
  [[nodiscard]] std::int32_t brItemCount(const Variant& vbExact = Variant::missing(),
                                         const Variant& vbDPntr = Variant::missing());
  // The list of the account's files (MD entries of type D).
  [[nodiscard]] Ref<clsTarnSelectList> brSelect();
  // The MD entries whose type begins with D; TheDict is accepted and not used.
  [[nodiscard]] Ref<clsTarnSelectList> brSelectDict(Ref<clsTarnFile>& TheDict);
  // COMPILE base,file, name (o: true exactly when the server returned 241. Never raises.
  [[nodiscard]] bool brCompile(const String& sRuleBase, const String& sRuleFile,
                               const String& sRuleName);
  // CATALOG base,file, name: true exactly when the server returned 244. A failure is raised
  // again as it came, with gLastError reset to 0.
  [[nodiscard]] bool brCatalog(const String& sRuleBase, const String& sRuleFile,
                               const String& sRuleName);
  // Logs on to DM, runs UPDATE-MD <sName> (n and logs on again to the connection's database
  // text, as one command; returns true. Failures as for brCatalog. The last step names an
  // account only when the database text is one (a data source named after its account).
  bool brUpdateAccount(String& sName);

  // A new array holding the attributes and values of aDynamicArray sorted ordinally, joined by
  // whichever mark comes first in it; the input is unchanged. Throws 91 for no array.
  [[nodiscard]] Ref<clsTarnDynamicArray> brSort(const Ref<clsTarnDynamicArray>& aDynamicArray);

  // Asks the server to stop the request this connection is waiting on; for another thread (a
  // shell's interrupt key) while this one waits. A running subroutine stops at once with its
  // usual stopped status; a request the server cannot stop part-way runs to its end. Never
  // raises. C++ only: not in the late-bound interface.
  void rsCancel() noexcept;

 private:
  friend class clsTarnEnvironment;
  friend class clsTarnFile;
  friend class clsTarnSelectList;
  friend class clsTarnTclCommand;
  friend class clsTarnRuleModule;
  friend struct ConnectionInternals;
  clsTarnConnection();

  void rsInitialize(const Ref<clsTarnEnvironment>& environment);
  [[nodiscard]] const Ref<clsTarnODBC>& rsODBC() const noexcept { return oODBC; }
  [[nodiscard]] const String& rsCommand() const noexcept { return lastCommand_; }
  [[nodiscard]] const String& rsFileName() const noexcept { return lastFile_; }
  [[nodiscard]] const String& rsRuleName() const noexcept { return lastRule_; }
  [[nodiscard]] const Ref<clsTarnEnvironment>& rsEnvironment() const noexcept {
    return environment_;
  }
  // Lets the private command object go, so that nothing of the connection outlives the client's
  // references to it. Never fails.
  void rsCloseTclObj() noexcept;
  // The parts brCreateFile takes a file reference apart into.
  struct FileNameParts {
    String FullPath;
    String Dict;
    String Data;
    std::int16_t Level = 0;
  };
  // sDictFlag + " " + sFileName, trimmed and taken apart; nothing when that is empty.
  [[nodiscard]] static std::optional<FileNameParts> rsParseFileName(const String& sDictFlag,
                                                                    const String& sFileName);
  // The quicksort of brSort over the 1-based list; -2 stands for the list's own bound.
  static void rsQuickSort(std::vector<StringView>& list, std::int32_t low, std::int32_t high);
  // The private command object; 91 once rsCloseTclObj let it go.
  [[nodiscard]] clsTarnTclCommand& command();
  // The session's reply to request; failures raise under this class with operation(). A name
  // holding a mark is refused (1058) before anything is sent.
  template <class Operation>
  String request(String request, Operation&& operation, StringView name = {});

  String database_;
  String domain_;
  Ref<clsTarnODBC> oODBC;
  String lastCommand_;
  String lastFile_;
  String lastRule_;
  String dictFlag_;
  Ref<clsTarnEnvironment> environment_;
  Ref<clsTarnTclCommand> command_;
  String currency_;
  String grouping_;
  String decimal_;
  bool casing_ = false;
  String sOperation;
};

}  // namespace tarn
