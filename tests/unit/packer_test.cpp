#include "packer.h"

#include <gtest/gtest.h>

#include <sstream>

#include "archive_fixtures.h"
#include "platform/fake/fake_os.h"
#include "shared/exe_utils.h"
#include "shared/pe_resources.h"
#include "shared/program_constants.h"

namespace tessel::shared {
namespace {

namespace fs = std::filesystem;

const std::string kDemo = TESSEL_SOURCE_DIR "/examples/demo";

struct PackRun {
  int code;
  std::string out;
  std::string err;
};

// A runtime image carries the runtime's mark somewhere in its data.
std::vector<uint8_t> MarkedAsRuntime(std::vector<uint8_t> image) {
  const std::string mark = RuntimeImageMark();
  std::copy(mark.begin(), mark.end(), image.end() - 0x100);
  return image;
}

PackRun Pack(const std::vector<std::string>& args) {
  std::ostringstream out;
  std::ostringstream err;
  const int code = RunPacker(args, out, err, false);
  return {code, out.str(), err.str()};
}

class PackerTest : public ::testing::Test {
 public:
  void SetUp() override {
    app_ = dir_.File("app");
    runtime_ = dir_.File("runtime");
    output_ = dir_.File("out/packed");
    fs::create_directories(Utf8ToPath(dir_.File("out")));
    test::WriteBytes(runtime_, MarkedAsRuntime(test::MakePe({{0x400, 0x200}, {0x600, 0x300}})));
    fs::permissions(Utf8ToPath(runtime_), fs::perms::owner_all | fs::perms::group_read);
    WriteApp("[App]\nID=com.example.app\nName=Example\nDirName=web\n");
  }

  void WriteApp(const std::string& ini) {
    test::WriteBytes(app_ + "/vtx.ini", ini);
    test::WriteBytes(app_ + "/web/index.html", std::string("<!DOCTYPE html>"));
  }

  // Whatever happened, the output folder holds no temporary files.
  std::vector<std::string> OutputFolder() const {
    std::vector<std::string> names;
    for (const auto& f : fs::directory_iterator(Utf8ToPath(dir_.File("out")))) {
      names.push_back(PathToUtf8(f.path().filename()));
    }
    return names;
  }

  test::TempDir dir_;
  std::string app_;
  std::string runtime_;
  std::string output_;
};

TEST_F(PackerTest, PacksTheDemoAppAndListsIt) {
  const PackRun run = Pack({kDemo, output_, "--runtime", runtime_});
  ASSERT_EQ(run.code, 0) << run.err;
  // The test runtime is a Windows image: the demo lacks the engine's loader.
  EXPECT_TRUE(
      run.err.starts_with("tessel-pack: warning: the app folder has no "
                          "WebView2LoaderWin64.dll"))
      << run.err;
  EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;

  // The runtime unchanged, then the archive of every file, sorted.
  const std::vector<uint8_t> runtime = test::ReadBytes(runtime_);
  const std::vector<uint8_t> packed = test::ReadBytes(output_);
  ASSERT_GT(packed.size(), runtime.size());
  EXPECT_TRUE(std::equal(runtime.begin(), runtime.end(), packed.begin()));

  TExeUtils utils(output_);
  std::vector<uint8_t> archive;
  utils.GetZipFromExe(archive);
  TExeZip zip;
  zip.SetPassword(std::string(kAppArchivePassword));
  zip.SetStream(archive);
  std::vector<std::string> expected;
  for (const auto& f : fs::recursive_directory_iterator(Utf8ToPath(kDemo))) {
    if (f.is_regular_file()) {
      expected.push_back(
          PathToUtf8(f.path().lexically_relative(Utf8ToPath(kDemo)).generic_u8string()));
    }
  }
  std::sort(expected.begin(), expected.end());
  std::vector<std::string> names;
  std::string listing;
  for (const TZipEntryInfo& e : zip.Entries()) {
    names.push_back(e.name);
    const std::vector<uint8_t> file = test::ReadBytes(kDemo + "/" + e.name);
    EXPECT_EQ(zip.ReadEntry(e.name), std::string(file.begin(), file.end())) << e.name;
    listing += e.name + " " + std::to_string(file.size()) + "\n";
  }
  EXPECT_EQ(names, expected);
  EXPECT_NE(std::find(names.begin(), names.end(), "webapp/index.html"), names.end());

  const PackRun list = Pack({"--list", output_});
  EXPECT_EQ(list.code, 0) << list.err;
  EXPECT_EQ(list.out, listing);

  EXPECT_EQ(fs::status(Utf8ToPath(output_)).permissions(),
            fs::status(Utf8ToPath(runtime_)).permissions());
  EXPECT_EQ(OutputFolder(), std::vector<std::string>{"packed"});
}

struct Failure {
  const char* name;
  std::function<void(PackerTest&)> arrange;
  const char* message_part;
};

TEST_F(PackerTest, BadInputFailsWithOneLineAndLeavesNoOutput) {
  auto ini = [](const char* text) { return [=](PackerTest& t) { t.WriteApp(text); }; };
  const std::vector<Failure> cases = {
      {"app folder missing", [](PackerTest& t) { fs::remove_all(Utf8ToPath(t.app_)); },
       "app folder"},
      {"missing vtx.ini", [](PackerTest& t) { fs::remove(Utf8ToPath(t.app_ + "/vtx.ini")); },
       "missing vtx.ini"},
      {"no ID", ini("[App]\nName=a\nDirName=web\n"), "no ID"},
      {"empty Name", ini("[App]\nID=a\nName=\nDirName=web\n"), "no Name"},
      {"DirName outside [App]", ini("DirName=web\n[App]\nID=a\nName=b\n"), "no DirName"},
      {"no DirName folder", ini("[App]\nID=a\nName=b\nDirName=site\n"),
       "the DirName folder 'site' is missing"},
      {"no start page", ini("[App]\nID=a\nName=b\nDirName=web\nIndexHtml=start.html\n"),
       "the start page 'web/start.html' is missing"},
      {"runtime without the mark",
       [](PackerTest& t) {
         test::WriteBytes(t.runtime_, test::MakePe({{0x400, 0x200}}));
       },
       "is not a Tessel runtime image"},
      {"runtime missing", [](PackerTest& t) { fs::remove(Utf8ToPath(t.runtime_)); }, "not found"},
      {"runtime not an executable",
       [](PackerTest& t) { test::WriteBytes(t.runtime_, std::string("#!/bin/sh\n")); },
       "is not an executable"},
      {"runtime already packed",
       [](PackerTest& t) {
         std::vector<uint8_t> b = test::MakePe({{0x400, 0x200}});
         b.insert(b.end(), {'P', 'K', 5, 6});
         test::WriteBytes(t.runtime_, b);
       },
       "already carries attached data (4 bytes"},
      {"runtime truncated",
       [](PackerTest& t) {
         std::vector<uint8_t> b = test::MakePe({{0x400, 0x200}});
         b.resize(0x500);
         test::WriteBytes(t.runtime_, b);
       },
       "truncated"},
      {"output is the runtime", [](PackerTest& t) { t.output_ = t.runtime_; }, "runtime itself"},
  };
  for (const Failure& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    test::WriteBytes(output_, std::string("previous"));
    c.arrange(*this);
    const PackRun run = Pack({app_, output_, "--runtime", runtime_});
    EXPECT_EQ(run.code, 1);
    EXPECT_NE(run.err.find(c.message_part), std::string::npos) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_EQ(run.out, "");
    // The previous output survives; nothing half-written lies beside it.
    EXPECT_EQ(test::ReadBytes(dir_.File("out/packed")),
              (std::vector<uint8_t>{'p', 'r', 'e', 'v', 'i', 'o', 'u', 's'}));
    EXPECT_EQ(OutputFolder(), std::vector<std::string>{"packed"});
    fs::remove_all(Utf8ToPath(app_));
  }
}

TEST_F(PackerTest, FileThatIsNotRegularFailsTheWholePack) {
  std::error_code ec;
  fs::create_symlink(Utf8ToPath(dir_.File("nowhere")), Utf8ToPath(app_ + "/web/dangling.js"), ec);
  if (ec) GTEST_SKIP() << "no symbolic links here";
  const PackRun run = Pack({app_, output_, "--runtime", runtime_});
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.err.find("web/dangling.js"), std::string::npos) << run.err;
  EXPECT_TRUE(OutputFolder().empty());
}

TEST_F(PackerTest, WarningsDoNotStopThePack) {
  WriteApp(
      "[App]\nID=a\nName=b\nDirName=web\nWidht=300\nfrobnicate=1\n[Other]\nX=1\n"
      "[Package]\nProductNme=x\nColour=red\n");
  test::WriteBytes(app_ + "/web/Logo.svg", std::string("<svg/>"));
  test::WriteBytes(app_ + "/web/logo.svg", std::string("<svg></svg>"));
  const bool case_sensitive = fs::file_size(Utf8ToPath(app_ + "/web/Logo.svg")) == 6;
  const PackRun run = Pack({app_, output_, "--runtime", runtime_});
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_NE(run.err.find("warning: vtx.ini: unknown key 'Widht' in [App]: did you mean Width?"),
            std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("unknown key 'frobnicate' in [App] (the runtime ignores it)"),
            std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("unknown key 'ProductNme' in [Package]: did you mean ProductName?"),
            std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("unknown key 'Colour' in [Package] (the packer ignores it)"),
            std::string::npos)
      << run.err;
  EXPECT_EQ(run.err.find("'X'"), std::string::npos) << "an author's own section is not checked";
  if (case_sensitive) {
    EXPECT_NE(run.err.find("'web/Logo.svg' and 'web/logo.svg' differ only in letter case"),
              std::string::npos)
        << run.err;
  }
  EXPECT_TRUE(fs::exists(Utf8ToPath(output_)));
}

TEST_F(PackerTest, DefaultRuntimeLivesBesideThePacker) {
  auto os = platform::MakeFakeOs();
  os->executable_path = dir_.File("bin/tessel-pack");
  platform::ScopedOs scoped(*os);
  const PackRun missing = Pack({app_, output_});
  EXPECT_EQ(missing.code, 1);
  EXPECT_NE(missing.err.find("no runtime beside the packer"), std::string::npos) << missing.err;

  fs::create_directories(Utf8ToPath(dir_.File("bin")));
  fs::copy_file(Utf8ToPath(runtime_), Utf8ToPath(dir_.File("bin/tessel-runtime")));
  const PackRun run = Pack({app_, output_});
  EXPECT_EQ(run.code, 0) << run.err;
}

TEST_F(PackerTest, UsageErrors) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {app_},
      {app_, output_, "extra"},
      {app_, output_, "--runtime"},
      {app_, output_, "--runtime="},
      {app_, output_, "--frobnicate"},
      {app_, output_, "--icon"},
      {app_, output_, "--version-info", "ProductName"},
      {app_, output_, "--version-info", "ProductNam=x"},
      {"--list", output_, "--icon", "a.ico"},
      {"--list"},
      {"--list", output_, "--runtime", runtime_},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(testing::PrintToString(args));
    const PackRun run = Pack(args);
    EXPECT_EQ(run.code, 2);
    EXPECT_NE(run.err.find("usage: tessel-pack"), std::string::npos);
  }
  EXPECT_NE(Pack({app_, output_, "--version-info", "ProductNam=x"})
                .err.find("unknown version key 'ProductNam': did you mean ProductName?"),
            std::string::npos);
  EXPECT_EQ(Pack({"--help"}).code, 0);
}

// A Linux runtime takes its engine module along and refuses Windows-only
// options; the app's Windows defaults in [Package] do not stop it.
TEST_F(PackerTest, LinuxRuntimeCarriesItsEngineModule) {
  WriteApp("[App]\nID=a\nName=b\nDirName=web\n[Package]\nIcon=none.ico\nProductName=Notes\n");
  const std::string runtime = dir_.File("bin/tessel-runtime");
  fs::create_directories(Utf8ToPath(dir_.File("bin")));
  test::WriteBytes(runtime, MarkedAsRuntime(test::MakeElf({{0, 0x400}}, {})));
  const PackRun no_module = Pack({app_, output_, "--runtime", runtime});
  EXPECT_EQ(no_module.code, 1);
  EXPECT_NE(no_module.err.find("no engine module"), std::string::npos) << no_module.err;
  EXPECT_FALSE(fs::exists(Utf8ToPath(output_)));

  const PackRun without = Pack({app_, output_, "--runtime", runtime, "--no-engine-module"});
  EXPECT_EQ(without.code, 0) << without.err;
  EXPECT_EQ(without.err, "");

  test::WriteBytes(dir_.File("lib/libtessel-engine-webkit.so"), std::string("module"));
  const PackRun with = Pack({app_, output_, "--runtime", runtime});
  ASSERT_EQ(with.code, 0) << with.err;
  const std::vector<TZipEntryInfo> entries = ListPackagedApp(output_);
  EXPECT_TRUE(std::any_of(entries.begin(), entries.end(), [](const TZipEntryInfo& e) {
    return e.name == "libtessel-engine-webkit.so" && e.size == 6;
  }));

  for (const std::vector<std::string>& extra :
       {std::vector<std::string>{"--icon", "app.ico"}, {"--version-info", "ProductName=x"}}) {
    std::vector<std::string> args = {app_, dir_.File("out/linux"), "--runtime", runtime};
    args.insert(args.end(), extra.begin(), extra.end());
    const PackRun run = Pack(args);
    EXPECT_EQ(run.code, 1);
    EXPECT_NE(run.err.find("apply to Windows runtimes"), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(Utf8ToPath(dir_.File("out/linux"))));
  }
}

#ifdef TESSEL_PE_FIXTURES
// A Windows runtime gets the app's icon and version texts before the archive
// is appended; texts that do not fit are refused before anything is written.
TEST_F(PackerTest, WindowsRuntimeTakesIconAndVersionTexts) {
  const std::string runtime = std::string(TESSEL_PE_FIXTURES) + "/template.exe";
  const std::string icon = std::string(TESSEL_PE_ICONS) + "/three.ico";
  const PackRun run = Pack({app_, output_, "--runtime", runtime, "--icon", icon, "--version-info",
                            "ProductName=Notes", "--version-info", "originalfilename=notes.exe"});
  ASSERT_EQ(run.code, 0) << run.err;
  std::vector<uint8_t> packed = test::ReadBytes(output_);
  const TImageLayout layout = ComputeAttachOffset(packed);
  packed.resize(layout.attach_offset);
  const TPeImage image(packed);
  EXPECT_EQ(image.Find(TResId::Id(kRtGroupIcon), TResId::Name(u"MAINICON"), kLangEnUs)->data[4], 3);
  const TResource* version = image.Find(TResId::Id(kRtVersion), TResId::Id(1), 0);
  ASSERT_NE(version, nullptr);
  for (const TVersionValue& v : ListVersionValues(version->data)) {
    if (v.key == u"ProductName") {
      EXPECT_EQ(version->data[v.offset], 'N');
    }
    if (v.key == u"OriginalFilename") {
      EXPECT_EQ(version->data[v.offset], 'n');
    }
  }
  ASSERT_FALSE(ListPackagedApp(output_).empty());

  test::WriteBytes(dir_.File("bad.ico"), std::string("MZ"));
  const std::vector<std::pair<std::vector<std::string>, std::string>> refusals = {
      {{"--version-info", "FileVersion=1.10.0.0"},
       "--version-info FileVersion is 8 characters long; the runtime has room for 7"},
      {{"--icon", dir_.File("bad.ico")}, "Icon file is invalid"},
      {{"--icon", dir_.File("none.ico")}, "not found"},
  };
  for (const auto& [extra, message] : refusals) {
    std::vector<std::string> args = {app_, dir_.File("out/win.exe"), "--runtime", runtime};
    args.insert(args.end(), extra.begin(), extra.end());
    const PackRun refused = Pack(args);
    EXPECT_EQ(refused.code, 1);
    EXPECT_NE(refused.err.find(message), std::string::npos) << refused.err;
    EXPECT_FALSE(fs::exists(Utf8ToPath(dir_.File("out/win.exe"))));
  }
}
#endif

#ifdef TESSEL_PE_FIXTURES
// The app folder's [Package] section gives the icon (relative to the folder)
// and version texts; the command line wins key by key, and a text too long
// for its room is refused naming where it came from.
TEST_F(PackerTest, PackageSectionGivesWindowsDefaults) {
  const std::string runtime = std::string(TESSEL_PE_FIXTURES) + "/template.exe";
  test::WriteBytes(app_ + "/art/app.ico",
                   test::ReadBytes(std::string(TESSEL_PE_ICONS) + "/three.ico"));
  WriteApp(
      "[App]\nID=a\nName=b\nDirName=web\n"
      "[package]\nicon=art/app.ico\nCompanyName=Acme\nProductName=Ini\n");
  const PackRun run =
      Pack({app_, output_, "--runtime", runtime, "--version-info", "productname=Cli"});
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(run.err.find("[Package]"), std::string::npos) << run.err;
  std::vector<uint8_t> packed = test::ReadBytes(output_);
  packed.resize(ComputeAttachOffset(packed).attach_offset);
  const TPeImage image(packed);
  EXPECT_EQ(image.Find(TResId::Id(kRtGroupIcon), TResId::Name(u"MAINICON"), kLangEnUs)->data[4], 3);
  const TResource* version = image.Find(TResId::Id(kRtVersion), TResId::Id(1), 0);
  ASSERT_NE(version, nullptr);
  for (const TVersionValue& v : ListVersionValues(version->data)) {
    if (v.key == u"CompanyName") {
      EXPECT_EQ(version->data[v.offset], 'A');
    }
    if (v.key == u"ProductName") {
      EXPECT_EQ(version->data[v.offset], 'C');
    }
  }

  WriteApp("[App]\nID=a\nName=b\nDirName=web\n[Package]\nFileVersion=1.10.0.0\n");
  const PackRun refused = Pack({app_, dir_.File("out/win.exe"), "--runtime", runtime});
  EXPECT_EQ(refused.code, 1);
  EXPECT_NE(refused.err.find("vtx.ini [Package] FileVersion is 8 characters long"),
            std::string::npos)
      << refused.err;
  EXPECT_FALSE(fs::exists(Utf8ToPath(dir_.File("out/win.exe"))));
}
#endif

TEST_F(PackerTest, ListRefusesFilesWithoutAnArchive) {
  const PackRun bare = Pack({"--list", runtime_});
  EXPECT_EQ(bare.code, 1);
  EXPECT_NE(bare.err.find("carries no app archive"), std::string::npos) << bare.err;
  const PackRun missing = Pack({"--list", dir_.File("nothing")});
  EXPECT_EQ(missing.code, 1);
  EXPECT_NE(missing.err.find("not found"), std::string::npos) << missing.err;

  // An image followed by bytes that are no ZIP archive.
  std::vector<uint8_t> b = test::MakePe({{0x400, 0x200}});
  b.insert(b.end(), 100, 'x');
  test::WriteBytes(dir_.File("junk"), b);
  const PackRun junk = Pack({"--list", dir_.File("junk")});
  EXPECT_EQ(junk.code, 1);
  EXPECT_NE(junk.err.find("Not a zip archive"), std::string::npos) << junk.err;
}

}  // namespace
}  // namespace tessel::shared
