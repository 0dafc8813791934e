#include "server/odbc/connect_settings.h"

#include <odbcinst.h>

#include <cctype>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>

namespace tarn::server::odbc {
namespace {

std::string_view trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

std::string upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

std::optional<std::string> lookup(const std::vector<std::pair<std::string, std::string>>& attrs,
                                  std::string_view key) {
  // The last occurrence wins, as later keys refine earlier ones.
  std::optional<std::string> found;
  for (const auto& [k, v] : attrs) {
    if (k == key && !v.empty()) found = v;
  }
  return found;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> parseConnectionString(std::string_view text) {
  std::vector<std::pair<std::string, std::string>> out;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t eq = text.find('=', pos);
    std::size_t semi = text.find(';', pos);
    if (eq == std::string_view::npos || (semi != std::string_view::npos && semi < eq)) {
      if (semi == std::string_view::npos) break;
      pos = semi + 1;
      continue;
    }
    std::string key = upper(trim(text.substr(pos, eq - pos)));
    std::size_t v = eq + 1;
    while (v < text.size() && text[v] == ' ') ++v;
    std::string value;
    if (v < text.size() && text[v] == '{') {
      std::size_t i = v + 1;
      for (; i < text.size(); ++i) {
        if (text[i] == '}') {
          if (i + 1 < text.size() && text[i + 1] == '}') {
            value.push_back('}');
            ++i;
            continue;
          }
          break;
        }
        value.push_back(text[i]);
      }
      semi = text.find(';', i);
    } else {
      semi = text.find(';', v);
      value = std::string(trim(text.substr(v, semi == std::string_view::npos ? semi : semi - v)));
    }
    if (!key.empty()) out.emplace_back(std::move(key), std::move(value));
    if (semi == std::string_view::npos) break;
    pos = semi + 1;
  }
  return out;
}

SettingsSources processSources() {
  SettingsSources sources;
  sources.profile = [](const std::string& dsn, const char* key) -> std::optional<std::string> {
    char buffer[4096];
    int n = SQLGetPrivateProfileString(dsn.c_str(), key, "", buffer, sizeof buffer, "odbc.ini");
    if (n <= 0 || buffer[0] == '\0') return std::nullopt;
    return std::string(buffer);
  };
  sources.environment = [](const char* name) -> std::optional<std::string> {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') return std::nullopt;
    return std::string(value);
  };
  return sources;
}

std::optional<ConnectSettings> resolveSettings(
    const std::vector<std::pair<std::string, std::string>>& attributes,
    const SettingsSources& sources) {
  ConnectSettings settings;
  settings.dsn = lookup(attributes, "DSN").value_or("");

  auto fromDsn = [&](const char* key) -> std::optional<std::string> {
    if (settings.dsn.empty() || !sources.profile) return std::nullopt;
    return sources.profile(settings.dsn, key);
  };
  auto env = [&](const char* name) -> std::optional<std::string> {
    return sources.environment ? sources.environment(name) : std::nullopt;
  };

  if (auto s = lookup(attributes, "SYSTEM")) {
    settings.system = *s;
  } else if (auto p = fromDsn("System")) {
    settings.system = *p;
  } else if (auto t = env("TARN_SYSTEM")) {
    settings.system = *t;
    settings.embeddedDefault = true;
  } else if (auto x = env("XDG_DATA_HOME"); x && x->front() == '/') {
    settings.system = *x + "/tarncl/system";
    settings.embeddedDefault = true;
  } else if (auto h = env("HOME")) {
    settings.system = *h + "/.local/share/tarncl/system";
    settings.embeddedDefault = true;
  } else {
    return std::nullopt;
  }

  std::optional<std::string> encoding = lookup(attributes, "ENCODING");
  settings.encodingStated = encoding.has_value();
  if (!encoding) encoding = fromDsn("Encoding");
  if (encoding && !parseEncoding(*encoding, settings.encoding)) {
    throw std::invalid_argument("Encoding '" + *encoding +
                                "' is not known: use UTF-8 or Windows-1252");
  }

  std::optional<std::string> escapes = lookup(attributes, "MARKESCAPES");
  if (!escapes) escapes = fromDsn("MarkEscapes");
  settings.markEscapes = escapes && (*escapes == "Yes" || *escapes == "YES" ||
                                     *escapes == "yes" || *escapes == "1");

  // Credentials come from the connection string only: a password does not belong in odbc.ini.
  settings.user = lookup(attributes, "UID").value_or("");
  settings.password = lookup(attributes, "PWD").value_or("");

  struct LimitKey {
    const char* key;    // as in the connection string (upper-case)
    const char* ini;    // as in odbc.ini
    std::size_t limit;  // the most the engine takes
    std::function<void(Limits&, std::size_t)> set;
  };
  const LimitKey keys[] = {
      {"MAXITEMSIZE", "MaxItemSize", SIZE_MAX, [](Limits& l, std::size_t v) { l.itemBytes = v; }},
      {"MAXELEMENTNUMBER", "MaxElementNumber", INT32_MAX,
       [](Limits& l, std::size_t v) { l.elementNumber = static_cast<long>(v); }},
      {"MAXREPLYSIZE", "MaxReplySize", SIZE_MAX,
       [](Limits& l, std::size_t v) { l.replyBytes = v; }},
      {"MAXSTACKEDCOMMANDS", "MaxStackedCommands", SIZE_MAX,
       [](Limits& l, std::size_t v) { l.stackedCommands = v; }},
      {"MAXCALLMEMORY", "MaxCallMemory", SIZE_MAX,
       [](Limits& l, std::size_t v) { l.callMemory = v; }},
  };
  for (const LimitKey& k : keys) {
    std::optional<std::string> text = lookup(attributes, k.key);
    if (!text) text = fromDsn(k.ini);
    if (!text) continue;
    std::size_t value = 0;
    const char* end = text->data() + text->size();
    auto [stop, ec] = std::from_chars(text->data(), end, value);
    if (ec != std::errc() || stop != end || value == 0 || value > k.limit) {
      if (settings.badLimit.empty()) settings.badLimit = k.ini;
      continue;
    }
    k.set(settings.limits, value);
  }

  if (auto a = lookup(attributes, "ACCOUNT")) {
    settings.account = *a;
  } else if (auto p = fromDsn("Account")) {
    settings.account = *p;
  } else if (!settings.dsn.empty()) {
    settings.account = settings.dsn;
  } else {
    settings.account = "DM";
  }

  std::optional<std::string> create = lookup(attributes, "CREATEACCOUNT");
  if (!create) create = fromDsn("CreateAccount");
  if (create) {
    const std::string& v = *create;
    auto is = [&](std::string_view word) {
      if (v.size() != word.size()) return false;
      for (std::size_t i = 0; i < v.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(v[i])) != word[i]) return false;
      return true;
    };
    settings.createAccount = is("yes") || is("true") || is("1");
  }

  std::optional<std::string> limit = lookup(attributes, "CALLTIMELIMIT");
  if (!limit) limit = fromDsn("CallTimeLimit");
  if (limit) {
    char* end = nullptr;
    double seconds = std::strtod(limit->c_str(), &end);
    if (end != limit->c_str() && *end == '\0' && seconds > 0 && seconds <= 86400)
      settings.callTimeLimit = std::chrono::milliseconds(static_cast<long>(seconds * 1000));
  }
  return settings;
}

}  // namespace tarn::server::odbc
