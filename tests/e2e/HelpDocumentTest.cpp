// The help option of the built program: the document beside the installed
// binary, its bytes, the viewer, and a backup run after it.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "HelpDocument.h"
#include "platform/Platform.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;

// The program's texts as it writes them in a UTF-8 locale (POSIX) or in code
// page 932 (Windows, where the test process has the same code page).
const test::Env kLocale = {{"LC_ALL", "C.UTF-8"}};

std::string T(const std::string& utf8) {
  std::string saved = platform::SavedText({platform::ProgramText(utf8)});
  saved.resize(saved.size() - 2);  // its CR LF
  return saved;
}

std::vector<std::string> Lines(const std::string& text) { return test::CrLfLines(text); }

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t p = 0; (p = text.find(what, p)) != std::string::npos; p += what.size()) ++n;
  return n;
}

class HelpDocument : public ::testing::Test {
 protected:
  // Installs the program as `base` + the platform's extension.
  void Install(const std::string& base) {
    base_ = base;
    exe_ = test::InstallProgram(tmp_ / "bin", base + platform::ExeSuffix);
    doc_ = tmp_ / ("bin/" + base + ".txt");
  }

  void Run(const std::vector<std::string>& args) {
    const test::ProgramRun run = test::RunProgram(exe_, args, kLocale);
    ASSERT_EQ(0, run.exitCode) << run.stderrText;
  }

  // The viewer's requests once they have settled: the viewer is detached,
  // so a late one is given a moment to arrive.
  std::vector<std::string> Opened(size_t expected) {
    test::OpenedFiles(exe_, expected);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    return test::OpenedFiles(exe_, expected);
  }

  test::TempDir tmp_;
  std::string base_, exe_, doc_;
};

TEST_F(HelpDocument, WrittenBesideTheProgramAndOpenedOnce) {
  Install(fs::path(KOVREL_EXE).stem().string());
  Run({test::Opt("?")});
  ASSERT_TRUE(test::IsFile(doc_));
  const std::string text = test::ReadFile(doc_);
  EXPECT_EQ(291u, Count(text, "\r\n"));
  EXPECT_EQ(291u, Count(text, "\n"));
  EXPECT_EQ("\r\n", text.substr(text.size() - 2));
  const auto lines = Lines(text);
  ASSERT_EQ(291u, lines.size());
  // The program's own version values, and the document's own spellings.
  EXPECT_EQ(T("Kovrel " KOVREL_PRODUCT_NAME " " KOVREL_PRODUCT_VERSION), lines[0]);
  const std::string group = VersionDigitGroup(KOVREL_FILE_VERSION);
  EXPECT_EQ(T("KVR" + group + ".lzh, KVR" + group + ".zip, または KVR" + group + ".exe "),
            lines[187]);
  EXPECT_EQ(T("◆" KOVREL_PRODUCT_NAME " の基本情報"), lines[161]);
  EXPECT_EQ(T("  C>" + base_ + " DIR1 DIR2 DIR3 DIR4 <Enter>"), lines[21]);
  EXPECT_EQ(T("　" + base_ + platform::ExeSuffix + "       本体。"), lines[262]);
  EXPECT_EQ(T(test::Opt("? このドキュメントを作成・表示します。")), lines[54]);
  EXPECT_EQ(platform::SavedText(
                UsageLines({KOVREL_PRODUCT_NAME, KOVREL_PRODUCT_VERSION, KOVREL_FILE_VERSION, base_,
                            platform::SwitchChar, platform::ExeSuffix})),
            text);
  EXPECT_EQ((std::vector<std::string>{doc_}), Opened(1));
  // Nothing else lands beside the program.
  EXPECT_EQ(std::vector<std::string>({fs::path(exe_).filename().string(), base_ + ".txt"}), [&] {
    auto files = test::ListTree(tmp_ / "bin");
    std::erase(files, "opened.log");
    return files;
  }());
}

TEST_F(HelpDocument, EncodedForTheProgramsTexts) {
  Install(fs::path(KOVREL_EXE).stem().string());
  Run({test::Opt("?")});
  const auto lines = Lines(test::ReadFile(doc_));
  ASSERT_EQ(291u, lines.size());
  if (platform::ExeSuffix == std::string(".exe")) {
    // Code page 932: ファイルのバックアップをするソフトです。
    EXPECT_EQ(
        "\x83\x74\x83\x40\x83\x43\x83\x8B\x82\xCC\x83\x6F\x83\x62\x83\x4E\x83\x41\x83\x62\x83\x76"
        "\x82\xF0\x82\xB7\x82\xE9\x83\x5C\x83\x74\x83\x67\x82\xC5\x82\xB7\x81\x42",
        lines[1]);
    EXPECT_EQ("/D94-04-03", lines[73].substr(lines[73].find('/'), 10));
  } else {
    EXPECT_EQ("ファイルのバックアップをするソフトです。", lines[1]);
    EXPECT_EQ("使い得る例： -D94-04-03  -D1960/00006/14-1961年9月28", lines[73]);
    EXPECT_EQ("　" + base_ + "       本体。", lines[262]);
    EXPECT_EQ("大文字と小文字は区別しません。つまり -d -n -e -a -t -m でも同様に機能します。",
              lines[55]);
  }
}

TEST_F(HelpDocument, TwiceOnOneCommandLineIsWrittenAndOpenedTwice) {
  Install(fs::path(KOVREL_EXE).stem().string());
  Run({test::Opt("?"), test::Opt("?")});
  EXPECT_EQ((std::vector<std::string>{doc_, doc_}), Opened(2));
  EXPECT_EQ(291u, Lines(test::ReadFile(doc_)).size());
}

TEST_F(HelpDocument, ThenTheBackupRuns) {
  Install(fs::path(KOVREL_EXE).stem().string());
  test::WriteFile(tmp_ / "src/sub/a.txt", "alpha");
  test::SetLocalMTime(tmp_ / "src/sub/a.txt", 2020, 1, 1);
  Run({tmp_ / "src", tmp_ / "bk1", test::Opt("?")});
  EXPECT_EQ((std::vector<std::string>{doc_}), Opened(1));
  EXPECT_EQ(291u, Lines(test::ReadFile(doc_)).size());
  EXPECT_EQ((std::vector<std::string>{"sub/a.txt"}), test::ListTree(tmp_ / "bk1"));
  EXPECT_EQ("alpha", test::ReadFile(tmp_ / "bk1/sub/a.txt"));
}

TEST_F(HelpDocument, DottedProgramNameKeepsItsDots) {
  Install("back.up");
  Run({test::Opt("?")});
  ASSERT_TRUE(test::IsFile(doc_)) << doc_;
  const auto lines = Lines(test::ReadFile(doc_));
  ASSERT_EQ(291u, lines.size());
  EXPECT_EQ("  C>back.up DIR1 DIR2 DIR3 DIR4 <Enter>", lines[21]);
  EXPECT_EQ(T("　back.up.txt       基本情報を記したテキストファイル。"), lines[267]);
  EXPECT_EQ((std::vector<std::string>{doc_}), Opened(1));
}

TEST_F(HelpDocument, LongerOldDocumentIsReplacedWhole) {
  Install(fs::path(KOVREL_EXE).stem().string());
  test::WriteFile(doc_, std::string(100000, 'x'));
  Run({test::Opt("?")});
  const std::string text = test::ReadFile(doc_);
  EXPECT_EQ(std::string::npos, text.find('x' + std::string(20, 'x')));
  EXPECT_EQ(291u, Lines(text).size());
  EXPECT_EQ("\r\n", text.substr(text.size() - 2));
}

TEST_F(HelpDocument, DocumentThatCannotBeCreatedStopsTheProgram) {
  Install(fs::path(KOVREL_EXE).stem().string());
  // A directory in the document's place cannot be opened for writing, not
  // even by an administrator.
  test::MakeDirs(doc_);
  const test::ProgramRun run = test::RunProgram(exe_, {test::Opt("?")}, kLocale);
  EXPECT_EQ(1, run.exitCode);
  EXPECT_TRUE(test::OpenedFiles(exe_, 0).empty());
  if (!run.stderrText.empty()) {
    EXPECT_NE(std::string::npos, run.stderrText.find("Exception EFCreateError in module "))
        << run.stderrText;
    EXPECT_NE(std::string::npos, run.stderrText.find(T("ファイル " + doc_ + " を作成できません")))
        << run.stderrText;
  }
}

}  // namespace
