#include <climits>
#include <new>

#include "common/secret_text.h"
#include "tarn/frame/error_internal.h"

namespace tarn {

std::int32_t gLastError = 0;

namespace {

constexpr char16_t kTitle[] = u"Tarn Class Library (ODBC Only)";

struct Message {
  std::int32_t code;
  const char16_t* text;
};

constexpr Message kMessages[] = {
    {1026, u"Item is missing"},
    {1029, u"File/Item is locked"},
    {1030, u"Invalid call"},
    {1031, u"Not a number"},
    {1032, u"File not present or is empty"},
    {1033, u"File not present"},
    {1034, u"Bad conversion"},
    {1035, u"Bad column (attribute) name/number"},
    {1039, u"Reached end of file/item"},
    {1041, u"Tried to call a main program as a subroutine"},
    {1043, u"Unable to open index"},
    {1046, u"No Index ID found"},
    {1058, u"Bad Parameters"},
    {1060, u"End of List"},
    {1281, u"Unidentified Internal Error"},
    {4091, u"Feature not implemented for ODBC connection."},
    {4092, u"Obsolete feature"},
    {4093, u"Unimplemented feature."},
    {4094, u"Reserved for future use."},
    {4095,
     u"Unknown System error. Required service may not be running.\n"
     u"Make sure either TarnKiln.Exe xor TarnLoom.Exe is running.\""},
    {65535, u"Error message unavailable"},
};

String platformText(std::int32_t number) {
  switch (number) {
    case err::kInvalidCall:
      return u"Invalid procedure call or argument";
    case err::kOverflow:
      return u"Overflow";
    case err::kOutOfMemory:
      return u"Out of memory";
    case err::kSubscript:
      return u"Subscript out of range";
    case err::kTypeMismatch:
      return u"Type mismatch";
    case err::kObjectNotSet:
      return u"Object variable not set";
    case err::kInvalidUseOfNull:
      return u"Invalid use of Null";
    default:
      return u"";
  }
}

}  // namespace

// An error's texts often quote a connection string; its passwords never go further than here.
TarnError::TarnError(std::int32_t number, String source, String description)
    : number_(number),
      source_(secrets::masked(StringView(source))),
      description_(secrets::masked(StringView(description))) {
  compose();
}

TarnError TarnError::platform(std::int32_t number) {
  return TarnError(number, u"TarnCL", platformText(number));
}

void TarnError::setDescription(String description) {
  description_ = secrets::masked(StringView(description));
  compose();
}

void TarnError::setDiagnostic(OdbcDiagnostic diagnostic) {
  diagnostic_ = std::move(diagnostic);
  diagnostic_.message = secrets::masked(StringView(diagnostic_.message));
  facts_ = serverFactsOf(diagnostic_);
  compose();
}

void TarnError::setDetail(String detail) {
  detail_ = secrets::masked(StringView(detail));
  compose();
}

void TarnError::compose() {
  what_ = toUtf8(source_) + ": " + toUtf8(description_) + " (" + std::to_string(number_) + ")";
  if (!detail_.empty()) what_ += ": " + toUtf8(detail_);
  if (!diagnostic_.sqlState.empty()) {
    what_ += " [" + toUtf8(diagnostic_.sqlState) + "] " + toUtf8(diagnostic_.message);
    if (diagnostic_.nativeError != 0)
      what_ += " (native " + std::to_string(diagnostic_.nativeError) + ")";
  }
  // One line, whatever the texts held.
  for (char& c : what_)
    if (c == '\n' || c == '\r') c = ' ';
}

namespace {

// The decimal number at the start of text; 0 when there is none.
std::int32_t leadingNumber(StringView text) {
  std::int64_t n = 0;
  std::size_t i = 0;
  for (; i < text.size() && i < 10 && text[i] >= u'0' && text[i] <= u'9'; ++i)
    n = n * 10 + (text[i] - u'0');
  return i == 0 || n > INT32_MAX ? 0 : static_cast<std::int32_t>(n);
}

}  // namespace

// The server words these facts in two fixed ways: "... is locked by port N (account A)." and,
// for a run-time error, "MODULE line N: what happened". A message the driver prefixed with its
// "[vendor][component]" tags is read after them.
ServerFacts serverFactsOf(const OdbcDiagnostic& d) {
  ServerFacts f;
  StringView text = d.message;
  while (text.starts_with(u"[")) {
    const std::size_t close = text.find(u']');
    if (close == StringView::npos) break;
    text.remove_prefix(close + 1);
  }
  constexpr StringView kByPort = u" is locked by port ";
  if (const std::size_t at = text.find(kByPort); at != StringView::npos) {
    StringView rest = text.substr(at + kByPort.size());
    f.lockPort = leadingNumber(rest);
    constexpr StringView kAccount = u" (account ";
    if (const std::size_t a = rest.find(kAccount); a != StringView::npos) {
      StringView name = rest.substr(a + kAccount.size());
      f.lockAccount = String(name.substr(0, name.find(u')')));
    }
    return f;
  }
  constexpr StringView kLine = u" line ";
  const std::size_t colon = text.find(u": ");
  const std::size_t at = text.find(kLine);
  if (at != StringView::npos && colon != StringView::npos && at < colon && at > 0) {
    f.line = leadingNumber(text.substr(at + kLine.size()));
    if (f.line > 0) f.module = String(text.substr(0, at));
  }
  return f;
}

String rsErrorText(std::int32_t number) {
  if (number > kLibraryErrorBase && number < 0) {
    const std::int32_t code = number - kLibraryErrorBase;
    for (const Message& m : kMessages) {
      if (m.code == code) return m.text;
    }
  }
  return String();
}

TarnError rsRaiseError(std::int32_t number, StringView className, StringView operationText) {
  String source = kTitle;
  source += u" (ODBC) ";
  source += className;
  source += u'.';
  source += operationText;
  gLastError = number;
  return TarnError(number, std::move(source), rsErrorText(number));
}

TarnError rsRaiseError(std::int32_t number, StringView className, StringView operationText,
                       OdbcDiagnostic diagnostic) {
  TarnError e = rsRaiseError(number, className, operationText);
  if (!diagnostic.sqlState.empty()) e.setDiagnostic(std::move(diagnostic));
  return e;
}

String caughtDetail() {
  try {
    throw;
  } catch (const TarnError& e) {
    return e.detail();
  } catch (...) {
    return String();
  }
}

OdbcDiagnostic caughtDiagnostic() noexcept {
  try {
    throw;
  } catch (const TarnError& e) {
    try {
      return e.odbcDiagnostic();
    } catch (...) {
      return OdbcDiagnostic();  // no memory for the copy: the number still travels
    }
  } catch (...) {
    return OdbcDiagnostic();
  }
}

std::int32_t caughtErrorNumber() noexcept {
  try {
    throw;
  } catch (const TarnError& e) {
    return e.number();
  } catch (const std::bad_alloc&) {
    return err::kOutOfMemory;
  } catch (...) {
    return err::kInternal;
  }
}

String caughtErrorDetail() {
  try {
    throw;
  } catch (const TarnError& e) {
    // Only words the library or its DAO layer wrote; platform numbers stay without words.
    const StringView source = e.source();
    const bool ours = source.starts_with(kTitle) || source.starts_with(u"DAO.");
    if (ours && rsErrorText(e.number()).empty()) return e.description();
  } catch (...) {
  }
  return String();
}

}  // namespace tarn
