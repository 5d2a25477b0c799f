// Every export with the arguments of a case, the request text the service must receive and the
// status path: one table for the native export tests (against the scripted fake) and for the
// Windows ones (against each built DLL).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "export_table.h"

namespace velmora::test_support {

struct ExportCase {
  const char* name;
  const char* exportName;
  std::vector<std::int32_t> numbers;
  std::vector<const char*> texts;
  std::string text;          // the request text the service receives
  std::string edition2Text;  // what edition 2 sends instead, when it cuts the text

  // Its first edition, and whether it returns the status, from the tools' export table.
  const tools::ExportInfo& Info() const { return *tools::ExportNamed(exportName); }
  const std::string& Expected(int edition) const {
    return edition == 2 && !edition2Text.empty() ? edition2Text : text;
  }
};

const std::vector<ExportCase>& ExportCases();

}  // namespace velmora::test_support
