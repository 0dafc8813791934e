// The description against the installed headers: every public member a header declares is
// described with an arity that fits, every described member is declared, and every described
// enumeration matches the header's, value for value.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "tarn/typelib/bindings_internal.h"
#include "tarn/typelib/typelib.h"

namespace tarn::typelib {
namespace {

struct HeaderMember {
  std::string name;
  std::size_t arity;
};

std::string withoutComments(const std::string& text) {
  return std::regex_replace(text, std::regex("//[^\n]*"), "");
}

std::size_t arityOf(const std::string& params) {
  if (params.find_first_not_of(" \n") == std::string::npos) return 0;
  std::size_t commas = 0;
  int depth = 0;
  for (char c : params) {
    if (c == '(' || c == '<' || c == '{') ++depth;
    if (c == ')' || c == '>' || c == '}') --depth;
    if (c == ',' && depth == 0) ++commas;
  }
  return commas + 1;
}

// The public members of interface name shape (br..., Tarn...Chr, Initialize) of every class
// deriving from Object, and every 32-bit enumeration, across the library's public headers.
struct Headers {
  std::map<std::string, std::vector<HeaderMember>> classes;
  std::map<std::string, std::vector<EnumValue>> enums;
};

Headers readHeaders() {
  Headers h;
  const std::regex classStart(R"(\nclass (?:TARN_API )?(\w+)(?: final)? : public Object \{)");
  const std::regex memberDecl(R"(\b(br\w+|Tarn\w+Chr|Initialize)\(([^;{]*?)\)\s*(?:const)?)");
  const std::regex enumDecl(R"(enum (e\w+) : std::int32_t \{([^}]*)\})");
  const std::regex enumValue(R"((\w+) = (-?\d+))");
  for (const auto& entry :
       std::filesystem::recursive_directory_iterator(std::string(TARN_SOURCE_DIR) + "/tarn")) {
    const std::string path = entry.path().string();
    if (entry.path().extension() != ".h" || path.ends_with("_internal.h")) continue;
    std::ifstream in(path);
    std::stringstream buffer;
    buffer << in.rdbuf();
    const std::string text = withoutComments(buffer.str());
    for (std::sregex_iterator it(text.begin(), text.end(), classStart), end; it != end; ++it) {
      const std::size_t bodyStart = it->position() + it->length();
      const std::string body = text.substr(bodyStart, text.find("\n};", bodyStart) - bodyStart);
      std::string publicPart;
      bool isPublic = false;
      std::istringstream lines(body);
      for (std::string line; std::getline(lines, line);) {
        if (line.starts_with(" public:")) isPublic = true;
        if (line.starts_with(" private:") || line.starts_with(" protected:")) isPublic = false;
        if (isPublic) publicPart += line + "\n";
      }
      auto& members = h.classes[(*it)[1]];
      for (std::sregex_iterator m(publicPart.begin(), publicPart.end(), memberDecl), e; m != e;
           ++m) {
        members.push_back({(*m)[1], arityOf((*m)[2])});
      }
    }
    for (std::sregex_iterator it(text.begin(), text.end(), enumDecl), end; it != end; ++it) {
      const std::string values = (*it)[2];
      auto& out = h.enums[(*it)[1]];
      for (std::sregex_iterator v(values.begin(), values.end(), enumValue), e; v != e; ++v) {
        out.push_back({(*v)[1], std::stoi((*v)[2])});
      }
    }
  }
  return h;
}

bool fits(const Member& m, std::size_t arity) {
  return arity >= m.requiredCount() && arity <= m.params.size();
}

const Headers& headers() {
  static const Headers h = readHeaders();
  return h;
}

TEST(TypelibDrift, TheHeaderScanFindsTheClassesAndEnumerations) {
  // Guards the scan itself: a scan that finds nothing would make the other checks vacuous.
  EXPECT_GE(headers().classes.size(), 9u);
  EXPECT_GE(headers().enums.size(), 15u);
  EXPECT_EQ(headers().classes.at("clsTarnDynamicArray").size(), 32u);  // 28 and 4 integer overloads
}

TEST(TypelibDrift, EveryPublicHeaderMemberIsDescribedWithAFittingArity) {
  for (const auto& [className, members] : headers().classes) {
    const ClassInfo* cls = library().findClass(className);
    ASSERT_NE(cls, nullptr) << className << " is not described";
    for (const HeaderMember& hm : members) {
      bool described = false;
      for (const Member& m : cls->members) described |= m.name == hm.name && fits(m, hm.arity);
      EXPECT_TRUE(described) << className << "." << hm.name << " with " << hm.arity
                             << " parameters is not described";
    }
  }
}

TEST(TypelibDrift, EveryDescribedMemberIsDeclaredAndBound) {
  for (const ClassInfo& cls : library().classes) {
    auto found = headers().classes.find(cls.name);
    ASSERT_NE(found, headers().classes.end()) << cls.name << " has no header";
    for (const Member& m : cls.members) {
      bool declared = false;
      for (const HeaderMember& hm : found->second)
        declared |= hm.name == m.name && fits(m, hm.arity);
      EXPECT_TRUE(declared) << cls.name << "." << m.name << " is not declared to fit";
      EXPECT_TRUE(isBound(cls, m)) << cls.name << "." << m.name << " cannot be invoked";
    }
  }
}

TEST(TypelibDrift, EnumerationsMatchTheHeadersValueForValue) {
  EXPECT_EQ(library().enums.size(), headers().enums.size());
  for (const EnumInfo& e : library().enums) {
    auto found = headers().enums.find(e.name);
    ASSERT_NE(found, headers().enums.end()) << e.name << " is not declared";
    ASSERT_EQ(found->second.size(), e.values.size()) << e.name;
    for (std::size_t i = 0; i < e.values.size(); ++i) {
      EXPECT_EQ(found->second[i].name, e.values[i].name) << e.name;
      EXPECT_EQ(found->second[i].value, e.values[i].value) << e.values[i].name;
    }
  }
}

TEST(TypelibDescription, BadInterfaceTextIsRefusedWithItsLine) {
  const char* bad[] = {
      "class c : i\n  method m(Float x)\n",               // unknown type
      "class c : i\n  get m(\n",                          // unclosed parameters
      "class c : i\n  let m()\n",                         // an assignment without a value
      "class c : i\n  method m(opt Int32 a, Int32 b)\n",  // required after optional
      "enum e\n  x = 1.5\n",                              // not a 32-bit value
      "  method m()\n",                                   // outside a class
  };
  for (const char* text : bad) {
    EXPECT_THROW((void)parseDescription(text), std::invalid_argument) << text;
  }
  try {
    (void)parseDescription("library L\n\nclass c : i\n  method m(Float x)\n");
    FAIL();
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find("line 4"), std::string::npos) << e.what();
  }
}

}  // namespace
}  // namespace tarn::typelib
