#include "tests/support/odbc_env.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace tarn::testing {

namespace {
std::string makeTempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tarncl-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  return pattern;
}
}  // namespace

TempDir::TempDir() : path_(makeTempDir()) {}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

OdbcTestEnvironment::OdbcTestEnvironment(const std::vector<OdbcDriverEntry>& drivers,
                                         const std::vector<OdbcDsnEntry>& dsns)
    : dir_(makeTempDir()) {
  {
    std::ofstream inst(dir_ + "/odbcinst.ini");
    for (const auto& d : drivers) {
      inst << "[" << d.name << "]\nDriver = " << d.path << "\nThreading = 0\n\n";
    }
  }
  {
    std::ofstream ini(dir_ + "/odbc.ini");
    for (const auto& s : dsns) {
      ini << "[" << s.name << "]\nDriver = " << s.driver << "\n";
      // Tests log on to fresh accounts on fresh systems; a data source of their own may say No.
      if (!s.attributes.contains("CreateAccount")) ini << "CreateAccount = Yes\n";
      for (const auto& [key, value] : s.attributes) ini << key << " = " << value << "\n";
      ini << "\n";
    }
  }
  setenv("ODBCSYSINI", dir_.c_str(), 1);
  setenv("ODBCINI", (dir_ + "/odbc.ini").c_str(), 1);
  setenv("HOME", dir_.c_str(), 1);  // keeps a user's ~/.odbc.ini out of the picture
}

OdbcTestEnvironment::~OdbcTestEnvironment() {
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

}  // namespace tarn::testing
