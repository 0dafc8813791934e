// A private ODBC configuration for a test process: odbcinst.ini and odbc.ini in a temporary
// directory, named to unixODBC through ODBCSYSINI / ODBCINI. No system configuration, no root.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace tarn::testing {

struct OdbcDriverEntry {
  std::string name;  // section name in odbcinst.ini
  std::string path;  // the driver's shared library
};

struct OdbcDsnEntry {
  std::string name;                               // section name in odbc.ini
  std::string driver;                             // a driver entry's name
  std::map<std::string, std::string> attributes;  // further keys (System=, Account=, ...)
};

// Writes the two files and points the process's environment at them. Set it up once per test
// process, before the first ODBC call: the driver manager reads the files when it connects.
class OdbcTestEnvironment {
 public:
  OdbcTestEnvironment(const std::vector<OdbcDriverEntry>& drivers,
                      const std::vector<OdbcDsnEntry>& dsns);
  ~OdbcTestEnvironment();
  OdbcTestEnvironment(const OdbcTestEnvironment&) = delete;
  OdbcTestEnvironment& operator=(const OdbcTestEnvironment&) = delete;

  [[nodiscard]] const std::string& directory() const { return dir_; }

 private:
  std::string dir_;
};

// A fresh temporary directory (removed with its contents by the destructor).
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  [[nodiscard]] const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace tarn::testing
