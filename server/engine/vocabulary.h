// The engine's shared words: the statuses a request answers with, the message numbers of the TCL
// verbs, the marks that structure an item, and the few small operations on them that every
// floor above needs. Nothing here knows of a store, a port or a request.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "server/engine/text/utf8.h"

namespace tarn::server {

inline constexpr char kAttributeMark = '\xFE';
inline constexpr char kValueMark = '\xFD';
inline constexpr char kSubValueMark = '\xFC';

// Statuses this engine answers with (the list for clients is in server/README.md).
namespace status {
inline constexpr int kOk = 0;
inline constexpr int kItemMissing = 2;
inline constexpr int kLocked = 5;
inline constexpr int kInvalidCall = 6;
inline constexpr int kNotANumber = 7;
inline constexpr int kFileNotPresent = 9;
inline constexpr int kBadConversion = 10;
inline constexpr int kBadAttribute = 11;
inline constexpr int kMainProgram = 17;
inline constexpr int kNoIndex = 19;
inline constexpr int kNoIndexEntry = 22;
inline constexpr int kBadParameters = 34;
inline constexpr int kEndOfList = 36;
inline constexpr int kOverLimit = 40;
inline constexpr int kDiskFull = 41;
inline constexpr int kReadOnly = 42;
inline constexpr int kCorrupt = 43;
inline constexpr int kBusy = 44;
inline constexpr int kStorageFailure = 45;
inline constexpr int kNotCompiled = 46;
inline constexpr int kRunFailed = 47;
inline constexpr int kCallStopped = 48;
inline constexpr int kNotLocked = 49;  // a change inside a transaction to an item not locked
}  // namespace status

// Message numbers of the TCL verbs, COMPILE and CATALOG (listed for administrators in
// server/README.md).
namespace msg {
inline constexpr int kIndexExists = 171;
inline constexpr int kIndexCreated = 172;
inline constexpr int kBadCorrelative = 173;
inline constexpr int kIndexDeleted = 174;
inline constexpr int kNoSuchIndex = 175;
inline constexpr int kNotAFile = 201;
inline constexpr int kNotAnAttribute = 202;
inline constexpr int kSyntax = 203;
inline constexpr int kStoreFailed = 209;
inline constexpr int kNotAnAccount = 210;
inline constexpr int kLoggedOn = 211;
inline constexpr int kVerbsUpdated = 212;
inline constexpr int kAccountCreated = 213;
inline constexpr int kAccountExists = 214;
inline constexpr int kBadAccountName = 215;
inline constexpr int kAccessRefused = 230;
inline constexpr int kAccountProtected = 231;
inline constexpr int kGranted = 232;
inline constexpr int kRevoked = 233;
inline constexpr int kNotYours = 234;
inline constexpr int kSystemDictionary = 235;
inline constexpr int kProtectDmFirst = 236;
inline constexpr int kCompiled = 241;
inline constexpr int kNotCompiled = 242;
inline constexpr int kNoSource = 243;
inline constexpr int kCataloged = 244;
inline constexpr int kNoObject = 245;
inline constexpr int kTransactionStarted = 270;
inline constexpr int kTransactionCommitted = 271;
inline constexpr int kTransactionRolledBack = 272;
inline constexpr int kTransactionActive = 273;
inline constexpr int kNoTransaction = 274;
inline constexpr int kCommitRefused = 275;
inline constexpr int kNoItems = 401;
inline constexpr int kSelected = 404;
inline constexpr int kListed = 405;
inline constexpr int kCounted = 407;
inline constexpr int kFileExists = 413;
inline constexpr int kBadFileName = 414;
inline constexpr int kMasterDictionary = 416;
inline constexpr int kFileCreated = 417;
inline constexpr int kFileDeleted = 418;
inline constexpr int kFileInUse = 419;
inline constexpr int kFileCleared = 420;
inline constexpr int kBadModulo = 421;
inline constexpr int kCaseShown = 431;
inline constexpr int kOverLimit = 450;
// The query verbs' own.
inline constexpr int kIndexesListed = 176;
inline constexpr int kBadExpression = 204;     // an I item that does not compile
inline constexpr int kExpressionFailed = 205;  // an I item that failed on an item
inline constexpr int kNoSuchItem = 206;
inline constexpr int kItemsCopied = 408;
inline constexpr int kItemNotCopied = 409;
inline constexpr int kItemsDeleted = 410;
inline constexpr int kFilesListed = 411;
inline constexpr int kItemLocked = 412;
inline constexpr int kListSaved = 460;
inline constexpr int kListDeleted = 461;
inline constexpr int kNoSuchList = 462;
inline constexpr int kNoActiveList = 463;
inline constexpr int kBadListName = 464;
}  // namespace msg

// Whether c is one of the marks (bytes 251-255).
[[nodiscard]] constexpr bool isMark(char c) noexcept {
  return text::isMarkByte(static_cast<unsigned char>(c));
}
// Whether text holds a mark. Such a request field can only be the last of its request: anywhere
// else its marks could not be told apart from the request's own separators.
[[nodiscard]] bool holdsMark(std::string_view text) noexcept;

// Whether text is a number, the one reading of numeric text in the engine (Corvex's arithmetic
// and comparisons, the query processor's criteria, sorts and totals): an optional sign, digits
// with at most one decimal point, at least one digit. "1e5", "inf" and "nan", which the C++
// readers take, are text here.
[[nodiscard]] bool parseNumeric(std::string_view text, double& out) noexcept;
// text without its leading and trailing blanks (only ' ': names and references never carry tabs).
[[nodiscard]] std::string_view trimBlanks(std::string_view text) noexcept;

// Attribute n (1-based) of an item's body, the item-id for 0; empty past the end or below 0.
[[nodiscard]] std::string_view attributeOf(std::string_view id, std::string_view body,
                                           long n) noexcept;
// The size body would have with attribute n (1-based) replaced by a value of valueSize bytes, so
// that a limit can refuse a far attribute number before the padding is allocated.
[[nodiscard]] std::size_t sizeAfterReplace(std::string_view body, long n,
                                           std::size_t valueSize) noexcept;
// body with attribute n (1-based) replaced, padded with marks when it is shorter.
void replaceAttribute(std::string& body, long n, std::string_view value);

}  // namespace tarn::server
