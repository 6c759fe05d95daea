// zorbel as a user gets it: the tree `cmake --install` puts below a prefix, and the .deb that
// cpack packs from the same install rules. Each holds exactly the expected files, a polkit action
// naming the program where it lies, and a program that runs a job when started through the link
// in bin/.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "tests/testsupport.h"

namespace fs = std::filesystem;
using testing_support::CommandResult;
using testing_support::ReadFile;
using testing_support::ReadTree;
using testing_support::TempFolder;
using testing_support::Tree;
using testing_support::WriteFile;
using testing_support::WriteJobFile;

namespace {

const fs::path kBuildFolder = ZORBEL_BUILD_DIR;
constexpr char kPolicyFile[] = "share/polkit-1/actions/org.olvandi.quorvane.policy";

// A command by its words: the program (on PATH or by its path), then its arguments.
CommandResult RunWords(const std::vector<std::string>& command,
                       const std::vector<std::string>& overrides = {}, int limitSeconds = 300) {
  return testing_support::RunCommand(command.front(), {command.begin() + 1, command.end()},
                                     overrides, {}, limitSeconds);
}

std::string Describe(const std::vector<std::string>& command, const CommandResult& outcome) {
  std::string text;
  for (const auto& word : command) text += word + " ";
  text += outcome.timedOut ? "was stopped after its time limit"
                           : "ended with " + std::to_string(outcome.status);
  return text + ":\n" + outcome.out + outcome.err;
}

// One line of output without its line feed.
std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

// Every file and link below a folder, by path relative to it: a file by its permissions as
// `ls -l` writes them, a link as "link " and its target. Folders are left out.
using Listing = std::map<std::string, std::string>;

std::string ModeText(fs::perms perms) {
  std::string text = "-";
  const std::pair<fs::perms, char> bits[] = {
      {fs::perms::owner_read, 'r'},  {fs::perms::owner_write, 'w'},  {fs::perms::owner_exec, 'x'},
      {fs::perms::group_read, 'r'},  {fs::perms::group_write, 'w'},  {fs::perms::group_exec, 'x'},
      {fs::perms::others_read, 'r'}, {fs::perms::others_write, 'w'}, {fs::perms::others_exec, 'x'}};
  for (const auto& [bit, letter] : bits) text += (perms & bit) != fs::perms::none ? letter : '-';
  return text;
}

Listing ListFolder(const fs::path& root) {
  Listing listing;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
       ++it) {
    const std::string rel = it->path().lexically_relative(root).string();
    const fs::file_status status = it->symlink_status();
    if (fs::is_symlink(status))
      listing[rel] = "link " + fs::read_symlink(it->path()).string();
    else if (!fs::is_directory(status))
      listing[rel] = ModeText(status.permissions());
  }
  return listing;
}

// The same from `dpkg-deb -c`, relative to ./usr/; an entry elsewhere keeps its whole path, and
// an owner other than root shows beside the mode.
Listing ListPackage(const std::string& contents) {
  Listing listing;
  std::istringstream lines(contents);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string mode, owner, size, date, time, path, arrow, target;
    fields >> mode >> owner >> size >> date >> time >> path >> arrow >> target;
    if (mode.starts_with('d')) continue;
    if (path.starts_with("./usr/")) path.erase(0, std::strlen("./usr/"));
    std::string value = mode.starts_with('l') ? "link " + target : mode;
    if (owner != "root/root") value += " owned by " + owner;
    listing[path] = value;
  }
  return listing;
}

// What the install rules put below the prefix.
Listing ExpectedListing() {
  const std::string file = "-rw-r--r--";
  const std::string program = "-rwxr-xr-x";
  Listing expected{
      {"bin/zorbel", "link ../lib/zorbel/zorbel"},
      {"bin/zorbel-submit", program},
      {"lib/zorbel/zorbel", program},
      {"share/applications/zorbel.desktop", file},
      {"share/icons/hicolor/16x16/apps/zorbel.png", file},
      {"share/icons/hicolor/24x24/apps/zorbel.png", file},
      {"share/icons/hicolor/32x32/apps/zorbel.png", file},
      {"share/icons/hicolor/48x48/apps/zorbel.png", file},
      {"share/icons/hicolor/64x64/apps/zorbel.png", file},
      {"share/icons/hicolor/scalable/apps/zorbel.svg", file},
      {kPolicyFile, file},
      {"share/man/man1/zorbel.1.gz", file},
      {"share/man/man1/zorbel-submit.1.gz", file},
  };
  // Every language file there is, beside the program.
  for (const auto& entry : fs::directory_iterator(ZORBEL_LANGUAGES_DIR))
    expected["lib/zorbel/Languages/" + entry.path().filename().string()] = file;
  return expected;
}

// An installed tree: where it lies here, and the prefix it was made for (the same for an
// install, /usr for the unpacked package).
struct Layout {
  fs::path root;
  fs::path prefix;
  Listing listing;
  std::string failure;  // why the tree could not be made; empty when it was
};

const Layout& InstalledTree() {
  static TempFolder folder;
  static const Layout layout = [] {
    Layout made{folder / "prefix", folder / "prefix", {}, {}};
    const std::vector<std::string> install{ZORBEL_CMAKE, "--install", kBuildFolder.string(),
                                           "--prefix", made.prefix.string()};
    const CommandResult installed = RunWords(install);
    if (installed.status != 0)
      made.failure = Describe(install, installed);
    else
      made.listing = ListFolder(made.root);
    return made;
  }();
  return layout;
}

struct Package {
  fs::path file;
  Layout layout;
};

// Packed once for the process: cpack takes a while.
const Package& DebPackage() {
  static TempFolder folder;
  static const Package package = [] {
    Package made;
    made.layout.prefix = "/usr";
    const std::vector<std::string> pack{ZORBEL_CPACK,
                                        "-G",
                                        "DEB",
                                        "--config",
                                        (kBuildFolder / "CPackConfig.cmake").string(),
                                        "-B",
                                        (folder / "packages").string()};
    const CommandResult packed = RunWords(pack);
    if (packed.status != 0) {
      made.layout.failure = Describe(pack, packed);
      return made;
    }
    for (const auto& entry : fs::directory_iterator(folder / "packages"))
      if (entry.path().extension() == ".deb") made.file = entry.path();
    if (made.file.empty()) {
      made.layout.failure = "cpack made no .deb:\n" + packed.out + packed.err;
      return made;
    }
    const std::vector<std::string> list{"dpkg-deb", "-c", made.file.string()};
    const CommandResult listed = RunWords(list);
    const std::vector<std::string> unpack{"dpkg-deb", "-x", made.file.string(),
                                          (folder / "unpacked").string()};
    const CommandResult unpacked = RunWords(unpack);
    if (listed.status != 0)
      made.layout.failure = Describe(list, listed);
    else if (unpacked.status != 0)
      made.layout.failure = Describe(unpack, unpacked);
    made.layout.listing = ListPackage(listed.out);
    made.layout.root = folder / "unpacked/usr";
    return made;
  }();
  return package;
}

struct LayoutCase {
  std::string name;
  const Layout& (*make)();
};

void PrintTo(const LayoutCase& layout, std::ostream* out) { *out << layout.name; }

class Installed : public ::testing::TestWithParam<LayoutCase> {
 protected:
  void SetUp() override {
    layout_ = &GetParam().make();
    ASSERT_EQ(layout_->failure, "");
  }
  const Layout& layout() const { return *layout_; }

 private:
  const Layout* layout_ = nullptr;
};

TEST_P(Installed, HoldsExactlyTheExpectedFiles) { EXPECT_EQ(layout().listing, ExpectedListing()); }

TEST_P(Installed, PolicyLetsPkexecStartTheInstalledProgram) {
  const std::string policy = ReadFile(layout().root / kPolicyFile);
  // What follows the first `start`, up to the quote or tag that ends it.
  auto text = [&](const std::string& start) -> std::string {
    const std::size_t at = policy.find(start);
    if (at == std::string::npos) return "<missing>";
    const std::size_t begin = at + start.size();
    return policy.substr(begin, policy.find_first_of("\"<", begin) - begin);
  };
  const std::pair<std::string, std::string> elements[] = {
      {R"(<action id=")", "org.olvandi.quorvane.pkexec.zorbel"},
      {R"(<annotate key="org.freedesktop.policykit.exec.path">)",
       (layout().prefix / "lib/zorbel/zorbel").string()},
      {R"(<annotate key="org.freedesktop.policykit.exec.allow_gui">)", "true"},
      {"<allow_any>", "auth_admin"},
      {"<allow_inactive>", "auth_admin"},
      {"<allow_active>", "auth_admin_keep"},
  };
  for (const auto& [start, expected] : elements) EXPECT_EQ(text(start), expected) << start;
  EXPECT_TRUE(fs::is_regular_file(layout().root / "lib/zorbel/zorbel"));
}

TEST_P(Installed, ManPagesAreTheWrittenPagesCompressed) {
  for (const char* page : {"zorbel.1", "zorbel-submit.1"}) {
    const fs::path installed = layout().root / "share/man/man1" / (std::string(page) + ".gz");
    const CommandResult unpacked = RunWords({"gzip", "-dc", installed.string()});
    ASSERT_EQ(unpacked.status, 0) << unpacked.err;
    EXPECT_EQ(unpacked.out, ReadFile(fs::path(ZORBEL_MAN_DIR) / page)) << page;
  }
}

TEST_P(Installed, ProgramStartedThroughTheLinkRunsAJob) {
  const fs::path link = layout().root / "bin/zorbel";
  // The program looks for its Languages folder beside the link's target. A folder that is not
  // there only leaves the window English, which the run below cannot see.
  ASSERT_TRUE(fs::is_regular_file(fs::canonical(link).parent_path() / "Languages/German.lang.txt"));

  TempFolder root;
  const fs::path settings = root / "config/Olvandi/Quorvane";
  WriteFile(settings / "settings.ini", "[Settings]\nAction=1\nLanguageFile=German.lang.txt\n");
  WriteFile(root / "a/photo.jpg", "A");
  WriteFile(root / "a/2019/x.txt", "x");
  WriteFile(root / "b/photo.jpg", "B");
  WriteJobFile(settings, root / "out", {(root / "a").string(), (root / "b").string()});
  fs::create_directory(root / "runtime");
  fs::permissions(root / "runtime", fs::perms::owner_all, fs::perm_options::replace);

  const std::vector<std::string> environment{
      "XDG_CONFIG_HOME=" + (root / "config").string(), "XDG_DATA_HOME=" + (root / "data").string(),
      "XDG_RUNTIME_DIR=" + (root / "runtime").string(), "HOME=" + (root / "home").string(),
      "QT_QPA_PLATFORM=offscreen"};
  const CommandResult run =
      RunWords({link.string(), "createnumberedcopy", "autoclose"}, environment, 60);
  // Off screen an error box waits for a click that never comes, such as the one for a language
  // file that does not load.
  ASSERT_FALSE(run.timedOut) << "zorbel did not end and was stopped; is an error box waiting?\n"
                             << run.err;
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(ReadTree(root / "out"),
            Tree({{"photo.jpg", "A"}, {"photo (2).jpg", "B"}, {"x.txt", "x"}}));
  EXPECT_EQ(ReadFile(settings / "settings.ini"),
            "[Settings]\nAction=0\nLanguageFile=German.lang.txt\n");

  // zorbel-submit beside the link finds the same program and settings folder.
  const CommandResult submitted =
      RunWords({(layout().root / "bin/zorbel-submit").string(), "--wait", "--autoclose", "--tree",
                (root / "tree").string(), (root / "a").string()},
               environment, 60);
  ASSERT_EQ(submitted.status, 0) << submitted.err;
  EXPECT_EQ(submitted.out, "zorbel-submit: the run completed\n");
  EXPECT_EQ(ReadTree(root / "tree"),
            Tree({{"photo.jpg", "A"}, {"2019", "<dir>"}, {"2019/x.txt", "x"}}));
}

INSTANTIATE_TEST_SUITE_P(Layouts, Installed,
                         ::testing::Values(LayoutCase{"CmakeInstall", &InstalledTree},
                                           LayoutCase{"DebPackage",
                                                      []() -> const Layout& {
                                                        return DebPackage().layout;
                                                      }}),
                         [](const auto& info) { return info.param.name; });

class DebFile : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(DebPackage().layout.failure, ""); }

  // A field of the package's control file.
  static std::string Field(const std::string& name) {
    const CommandResult field = RunWords({"dpkg-deb", "-f", DebPackage().file.string(), name});
    return FirstLine(field.out);
  }
  static std::string Architecture() {
    return FirstLine(RunWords({"dpkg", "--print-architecture"}).out);
  }
};

TEST_F(DebFile, IsNamedByPackageVersionAndArchitecture) {
  EXPECT_EQ(DebPackage().file.filename(),
            "zorbel_" + std::string(ZORBEL_VERSION) + "_" + Architecture() + ".deb");
}

TEST_F(DebFile, ControlNamesThePackageAndWhatItNeeds) {
  EXPECT_EQ(Field("Package"), "zorbel");
  EXPECT_EQ(Field("Version"), ZORBEL_VERSION);
  EXPECT_EQ(Field("Architecture"), Architecture());
  EXPECT_EQ(Field("Section"), "utils");
  EXPECT_EQ(Field("Recommends"), "pkexec, sound-theme-freedesktop");

  // The package names of Depends, as dpkg-shlibdeps found them from the linked libraries.
  std::vector<std::string> depends;
  std::istringstream list(Field("Depends"));
  std::string item;
  while (std::getline(list, item, ',')) {
    std::istringstream words(item);
    std::string name;
    words >> name;
    depends.push_back(name);
  }
  for (const char* library : {"libqt6widgets6", "libqt6gui6", "libqt6dbus6", "libqt6core6",
                              "libicu72", "libglib2.0-0", "libcanberra0", "libstdc++6"})
    EXPECT_NE(std::find(depends.begin(), depends.end(), library), depends.end())
        << library << " missing from Depends: " << Field("Depends");
}

}  // namespace
