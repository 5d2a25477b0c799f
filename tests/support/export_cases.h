// Every export with the arguments of a case, the request text the service must receive and the
// status path: one table for the native export tests (against the scripted fake) and for the
// Windows ones (against each built DLL).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velmora::test_support {

struct ExportCase {
  const char* name;
  const char* exportName;
  int firstEdition;    // the first edition whose DLL exports it
  bool returnsStatus;  // false: the status is only the thread's last error
  std::vector<std::int32_t> numbers;
  std::vector<const char*> texts;
  std::string text;          // the request text the service receives
  std::string edition2Text;  // what edition 2 sends instead, when it cuts the text

  const std::string& Expected(int edition) const {
    return edition == 2 && !edition2Text.empty() ? edition2Text : text;
  }
};

const std::vector<ExportCase>& ExportCases();

}  // namespace velmora::test_support
