#include "tarn/lists/rule_module.h"

#include <algorithm>
#include <vector>

#include "tarn/channel/envelope_internal.h"
#include "tarn/channel/odbc_session_internal.h"
#include "tarn/connection/connection.h"
#include "tarn/frame/enums.h"
#include "tarn/frame/error_internal.h"
#include "tarn/frame/handle.h"
#include "tarn/frame/numeric.h"

namespace tarn {

namespace {
constexpr char16_t kClassName[] = u"clsTarnRuleModule";
constexpr char16_t kMark = envelope::kAttributeMark;
// The largest exchange buffer a module keeps between calls, in characters.
constexpr std::size_t kKeptExchangeChars = 64 * 1024;

// The length that leads a result; a reply that has run out has length 0.
std::size_t leadingLength(StringView rest) {
  const std::int32_t n = numericPrefix(rest);
  if (n < 0) throw TarnError::platform(err::kInvalidCall);
  return static_cast<std::size_t>(n);
}
}  // namespace

Ref<clsTarnRuleModule> clsTarnRuleModule::create() {
  return Ref<clsTarnRuleModule>(new clsTarnRuleModule());
}

clsTarnRuleModule::~clsTarnRuleModule() {
  if (nState != ermsClosed && nModuleNumber >= 0 && oODBC) {
    try {
      String request = envelope::buildRequest(u'C', {nModuleNumber});
      oODBC->rsCmd(request);
    } catch (...) {
      // The module goes either way; the server frees it with the port at the latest.
    }
  }
  sName.clear();
  nModuleNumber = -1;
  nState = ermsClosed;
  oConnection.reset();
  oODBC.reset();
}

void clsTarnRuleModule::load() {
  if (!oODBC) throw TarnError::platform(err::kObjectNotSet);
  envelope::refuseMarks(sName);
  String request = envelope::buildRequest(u'L', {StringView(sName)});
  oODBC->rsCmd(request);
  nModuleNumber = Variant(std::move(request)).toInt32();
  nState = ermsOpened;
}

void clsTarnRuleModule::rsLoad(clsTarnConnection& conn) {
  withHandler(
      sOperation, kClassName, [&] { return u"rsLoad " + sName; },
      [&] {
        nState = ermsClosed;
        oConnection = Ref<clsTarnConnection>(&conn);
        oODBC = conn.rsODBC();
        sName = conn.rsRuleName();
        load();
      });
}

bool clsTarnRuleModule::brCall(VariantArray& vArgs) {
  return withHandler(
      sOperation, kClassName, [&] { return u"brRun " + sName; },
      [&] {
        if (nState == ermsClosed) load();

        // The walk stops at the first omitted argument; the count goes before the arguments.
        const std::vector<Variant>& elements = vArgs.elements();
        std::int32_t count = 0;
        while (static_cast<std::size_t>(count) < elements.size() &&
               !elements[static_cast<std::size_t>(count)].isMissing()) {
          ++count;
        }
        envelope::buildRequestInto(exchange_, u'M', {nModuleNumber, count});
        for (std::int32_t i = 0; i < count; ++i) {
          const String text = elements[static_cast<std::size_t>(i)].toString();
          exchange_ += kMark;
          exchange_ += decimalText(static_cast<std::int32_t>(text.size()));
          exchange_ += kMark;
          exchange_ += text;
        }
        oODBC->rsCmd(exchange_);

        if (count > 0) {
          // Each result: its length, a mark, its text, one separator.
          StringView rest = exchange_;
          std::size_t length = leadingLength(rest);
          for (std::int32_t position = 0; position < count; ++position) {
            const std::size_t mark = rest.find(kMark);
            String result;
            if (mark == StringView::npos) {
              rest = StringView();
            } else {
              rest.remove_prefix(mark + 1);
              result = String(rest.substr(0, length));
              rest.remove_prefix(std::min(rest.size(), length + 1));
            }
            vArgs.at(position) = Variant(std::move(result));
            length = leadingLength(rest);
          }
          nState = ermsCalled;
        }
        if (exchange_.capacity() > kKeptExchangeChars) String().swap(exchange_);
        return true;
      });
}

bool clsTarnRuleModule::brCall(Variant& vArgs) {
  return withHandler(
      sOperation, kClassName, [&] { return u"brRun " + sName; },
      [&] { return brCall(vArgs.array()); });
}

Variant clsTarnRuleModule::brHandle() const {
  return Variant(rsFormatHandle(TarnClassRM, static_cast<std::int32_t>(identity())));
}

}  // namespace tarn
