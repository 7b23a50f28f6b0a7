// ChangeExeIcon and UpdateExeInfo where the platform has no resource-update
// calls: the portable editor does the same edits.
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "shared/exe_utils.h"
#include "shared/pe_resources.h"
#include "shared/utf.h"

namespace tessel::shared {

void TExeUtils::ChangeExeIcon(const std::string& exe_path, const std::string& ico_path) {
  std::ifstream in(Utf8ToPath(ico_path), std::ios::binary | std::ios::ate);
  if (!in) throw std::runtime_error("Cannot open " + ico_path);
  if (static_cast<uint64_t>(in.tellg()) > kMaxIconFileSize) {
    throw std::runtime_error("Icon file is too large");
  }
  in.seekg(0);
  const std::vector<uint8_t> ico{std::istreambuf_iterator<char>(in),
                                 std::istreambuf_iterator<char>()};
  if (in.bad()) throw std::runtime_error("Cannot read " + ico_path);
  EditExeResources(exe_path, &ico, {});
}

bool TExeUtils::UpdateExeInfo(const std::string& exe_path, const std::string& company_name,
                              const std::string& file_description, const std::string& file_version,
                              const std::string& internal_name, const std::string& legal_copyright,
                              const std::string& legal_trademarks,
                              const std::string& original_file_name, const std::string& program_id,
                              const std::string& product_name, const std::string& product_version,
                              const std::string& comments) {
  const std::string* values[] = {&company_name,       &file_description, &file_version,
                                 &internal_name,      &legal_copyright,  &legal_trademarks,
                                 &original_file_name, &program_id,       &product_name,
                                 &product_version,    &comments};
  std::vector<TVersionText> texts;
  for (size_t i = 0; i < std::size(values); ++i) {
    texts.push_back({std::string(kVersionKeys[i]), utf::Utf8ToUtf16(*values[i])});
  }
  try {
    EditExeResources(exe_path, nullptr, texts);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace tessel::shared
