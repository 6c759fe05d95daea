#include "tests/testsupport.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace fs = std::filesystem;

namespace testing_support {

namespace {
// Tests started through sudo still run for root alone: the invoking user's own settings and
// Trash are never the ones a test or the program it starts works on.
[[maybe_unused]] const bool kForNoOtherUser =
    unsetenv("PKEXEC_UID") == 0 && unsetenv("SUDO_UID") == 0;
}  // namespace

TempFolder::TempFolder() {
  std::string pattern = (fs::temp_directory_path() / "zorbel-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  // Tests may leave read-only folders behind; make them removable first.
  for (auto it = fs::recursive_directory_iterator(path_, ignored);
       it != fs::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_directory(ignored) && !it->is_symlink(ignored))
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
  }
  fs::remove_all(path_, ignored);
}

ScopedEnv::ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
  if (const char* old = std::getenv(name)) old_ = old;
  if (value)
    setenv(name, value->c_str(), 1);
  else
    unsetenv(name);
}

ScopedEnv::~ScopedEnv() {
  if (old_)
    setenv(name_, old_->c_str(), 1);
  else
    unsetenv(name_);
}

void WriteFile(const fs::path& file, const std::string& bytes) {
  fs::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << bytes;
  if (!out) throw std::runtime_error("cannot write " + file.string());
}

std::string ReadFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + file.string());
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void WriteJobFile(const fs::path& settingsFolder, const fs::path& outputFolder,
                  const std::vector<std::string>& sources) {
  std::string text = "OutputFolder:" + outputFolder.string() + "\n";
  for (const auto& source : sources) text += source + "\n";
  WriteFile(settingsFolder / "zorbel.txt", text);
}

Tree ReadTree(const fs::path& root) {
  Tree tree;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
       ++it) {
    const std::string rel = it->path().lexically_relative(root).string();
    const auto status = it->symlink_status();
    if (fs::is_symlink(status))
      tree[rel] = "<link>" + fs::read_symlink(it->path()).string();
    else if (fs::is_directory(status))
      tree[rel] = "<dir>";
    else if (fs::is_regular_file(status))
      tree[rel] = ReadFile(it->path());
    else
      tree[rel] = "<special>";
  }
  return tree;
}

const fs::path& ProcessDataHome() {
  static TempFolder folder;
  static const bool set = setenv("XDG_DATA_HOME", folder.path().c_str(), 1) == 0;
  (void)set;
  return folder.path();
}

}  // namespace testing_support
