// End-to-end tests: each test logs on to an account of its own on a fresh system directory.
#pragma once

#include <gtest/gtest.h>

#include "tests/support/expect_error.h"

#include <string>

#include "tarn/frame/numeric.h"
#include "tarn/tarncl.h"

namespace tarn::e2e {

inline const String AM(1, kAM);
inline const String VM(1, kVM);

class EndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Another connection to the same account (the data source text of conn_, followed by further
  // attributes such as ";Encoding=UTF-8").
  [[nodiscard]] Ref<clsTarnConnection> connectAgain(const String& attributes = String());
  // Creates the file with its dictionary and data section and opens the data section.
  Ref<clsTarnFile> createFile(const String& name);
  // Writes an attribute-defining dictionary item: name -> attribute number.
  void defineAttribute(const String& file, const String& name, int number);
  [[nodiscard]] Ref<clsTarnDynamicArray> array(const String& text);
  // The System= value of every test's data source: a directory, or PostgreSQL's keywords.
  [[nodiscard]] static const std::string& systemLocation();

  Ref<clsTarnEnvironment> env_;
  Ref<clsTarnConnection> conn_;
  String dataSource_;
};

using testing::errorOf;
using testing::kSource;

}  // namespace tarn::e2e
