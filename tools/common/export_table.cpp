#include "export_table.h"

namespace velmora::tools {

Operand OperandKind(std::string_view word) {
  word = word.substr(0, word.find(' '));
  if (word == "JOB" || word == "N") return Operand::kNumber;
  return word == "on|off" ? Operand::kState : Operand::kText;
}

const ExportInfo* ExportNamed(std::string_view name) {
  for (const ExportInfo& info : kExports) {
    if (name == info.name) return &info;
  }
  return nullptr;
}

const ExportInfo* ExportSending(std::int32_t command, std::int32_t jobId) {
  const ExportInfo* found = nullptr;
  for (const ExportInfo& info : kExports) {
    if (!info.command || static_cast<std::int32_t>(*info.command) != command) continue;
    if (found == nullptr || info.SendsJob() == (jobId != kNoJob)) found = &info;
  }
  return found;
}

}  // namespace velmora::tools
