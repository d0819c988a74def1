// The help document's lines: quoted texts, where the values stand, the
// column layout, the two spellings, and the version digit group.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "Characters.h"
#include "Exceptions.h"
#include "HelpDocument.h"
#include "platform/Platform.h"
#include "support/TestSupport.h"

namespace {

// One of the document's texts in the bytes the program shows it in.
std::string T(const std::string& utf8) { return platform::ProgramText(utf8); }

UsageValues Windows() { return {"GenBackup", "ver.5.02 rev.2", "5.2.2.0", "Kovrel", '/', ".exe"}; }

UsageValues Posix() { return {"GenBackup", "ver.5.02 rev.2", "5.2.2.0", "kovrel", '-', ""}; }

// The 1-based line n.
std::string Line(const std::vector<std::string>& lines, int n) { return lines.at(n - 1); }

// Width in a fixed-pitch font, as code page 932 lays it out: a character of
// more than one byte (CP932 double-byte, or multi-byte UTF-8 of the same
// text) takes two columns.
int Columns(std::string_view s) {
  int cols = 0;
  for (size_t p = 0; p < s.size();) {
    const size_t len = CharLength(s, p, platform::PathCharRule());
    cols += len == 1 ? 1 : 2;
    p += len;
  }
  return cols;
}

// The bytes of the first `n` columns; fails when a character straddles them.
std::string FirstColumns(const std::string& s, int n) {
  int cols = 0;
  size_t p = 0;
  while (p < s.size() && cols < n) {
    const size_t len = CharLength(s, p, platform::PathCharRule());
    cols += len == 1 ? 1 : 2;
    p += len;
  }
  EXPECT_EQ(n, cols) << s;
  return s.substr(0, p);
}

// The 1-based column where the text starts after a run of blanks and
// ideographic spaces.
int IndentColumns(const std::string& s) {
  const std::string wide = T("　");
  size_t p = 0;
  int cols = 0;
  for (;;) {
    if (s.compare(p, 1, " ") == 0) {
      p += 1;
      cols += 1;
    } else if (s.compare(p, wide.size(), wide) == 0) {
      p += wide.size();
      cols += 2;
    } else {
      return cols + 1;
    }
  }
}

TEST(UsageLines, ThreeBlocksOf291Lines) {
  const auto lines = UsageLines(Windows());
  ASSERT_EQ(291u, lines.size());
  // Every empty line the layout calls for.
  for (const int n : {3,   7,   10,  15,  19,  31,  35,  38,  41,  46,  57,  76,  88,  102, 114,
                      119, 125, 133, 137, 161, 163, 167, 182, 184, 186, 193, 198, 200, 202, 204,
                      207, 209, 212, 214, 216, 225, 227, 229, 231, 235, 237, 239, 244, 249, 251,
                      253, 258, 260, 262, 264, 267, 274, 276, 279, 283, 285, 290}) {
    EXPECT_EQ("", Line(lines, n)) << "line " << n;
  }
  // The fourteen section headings and the general information's, and no
  // other line beginning with the mark.
  const std::set<int> headings = {4, 16, 20, 36, 39, 42, 47, 58, 77, 89, 103, 120, 126, 138, 162};
  for (int n = 1; n <= 291; ++n) {
    EXPECT_EQ(headings.count(n) == 1, Line(lines, n).rfind(T("◆"), 0) == 0) << "line " << n;
  }
  // Described lines are never empty where the layout has text.
  for (const int n :
       {5,   6,   8,   9,   11,  14,  17,  18,  21,  23,  30,  32,  34,  40,  43,  45,  60,  73,
        79,  86,  91,  100, 105, 113, 115, 118, 122, 124, 127, 136, 164, 165, 166, 189, 192, 194,
        197, 205, 206, 210, 211, 213, 218, 234, 240, 248, 254, 257, 278, 280, 282, 287, 288, 289}) {
    EXPECT_NE("", Line(lines, n)) << "line " << n;
  }
}

TEST(UsageLines, QuotedLines) {
  const auto l = UsageLines(Windows());
  const std::map<int, std::string> quoted = {
      {1, "Kovrel GenBackup ver.5.02 rev.2"},
      {2, "ファイルのバックアップをするソフトです。"},
      {4, "◆緒言"},
      {16, "◆使い方"},
      {20, "◆具体例"},
      {22, "  C>Kovrel DIR1 DIR2 DIR3 DIR4 <Enter>"},
      {36, "◆書式"},
      {37, " Kovrel 元ディレクトリ バックアップディレクトリ [オプション] <Enter>"},
      {39, "◆元ディレクトリ"},
      {42, "◆バックアップディレクトリ"},
      {47, "◆オプション"},
      {48, "/D 指定した日付のファイルのみを対象にします。詳細は後述します。"},
      {49, "/N 指定したファイル名のファイルのみを対象にします。詳細は後述します。"},
      {50, "/E 指定したファイル名のファイルを対象外にします。詳細は後述します。"},
      {51, "/A バックアップディレクトリにあり、元ディレクトリにないファイルを"},
      {52, "   バックアップディレクトリから削除しないようにします。詳細は後述します。"},
      {53,
       "/T 実際にはバックアップせず、どのファイルが対象になるかの表示だけをします。詳細は後述し"
       "ます。"},
      {54, "/M バックアップしたファイルのリストを表示します。詳細は後述します。"},
      {55, "/? このドキュメントを作成・表示します。"},
      {56, "大文字と小文字は区別しません。つまり /d /n /e /a /t /m でも同様に機能します。"},
      {58, "◆オプション /D の詳細"},
      {59, "/Dyy-mm-dd, /Dyy-mm-dd-, /D-yy-mm-dd, /Dyy-mm-dd-yy-mm-dd"},
      {74, "使い得る例： /D94-04-03  /D1960/00006/14-1961年9月28"},
      {75, "使えない例： /D2006-2-31"},
      {77, "◆オプション /N の詳細"},
      {78, "/Nnamelist  と指定します。"},
      {87, "例： /N*.ASM;*.BAS;*.CPP"},
      {89, "◆オプション /E の詳細"},
      {90, "/Enamelist  と指定します。"},
      {101, "例： /E*.$*;*.TMP"},
      {103, "◆オプション /A の詳細"},
      {104, "/A  と指定します。"},
      {120, "◆オプション /T の詳細"},
      {121, "/T  と指定します。"},
      {126, "◆高速化のヒント"},
      {138, "◆変更履歴"},
      {162, "◆GenBackup の基本情報"},
      {168, "１．基本項目"},
      {169, "（1）ファイル名"},
      {170, "（2）ソフトウェア名"},
      {171, "（3）著作権者名"},
      {172, "（4）対応機種／環境"},
      {173, "（5）使用条件／配布条件／改変条件"},
      {174, "（6）使用に対する対価"},
      {175, "（7）保証／免責"},
      {176, "（8）ソフトウェアの内容説明"},
      {177, "２．オプション項目"},
      {178, "（9）開発環境"},
      {179, "（10）ファイルリスト"},
      {180, "（11）ウィルスチェックの保証"},
      {181, "（12）連絡先"},
      {183, "１．基本項目"},
      {185, "（1）ファイル名"},
      {187, "GenBackup の配布状態では、そのファイル名は"},
      {188, "KVR50202.lzh, KVR50202.zip, または KVR50202.exe "},
      {199, "（2）ソフトウェア名"},
      {201, "正式名称は GenBackup といいます。"},
      {203, "（3）著作権者名"},
      {208, "（4）対応機種／環境"},
      {215, "（5）使用条件／配布条件／改変条件"},
      {217, "GenBackup はフリーウェアです。"},
      {226, "（6）使用に対する対価"},
      {228, "不要です。"},
      {230, "（7）保証／免責"},
      {236, "（8）ソフトウェアの内容説明"},
      {238, "ファイルのバックアップをするソフトです。"},
      {250, "２．オプション項目"},
      {252, "（9）開発環境"},
      {259, "（10）ファイルリスト"},
      {261, "配布状態の GenBackup を解凍すると、以下のファイルができます。"},
      {263, "　Kovrel.exe       本体。"},
      {265, "また Kovrel.exe を実行すると、Kovrel.exe と同じディレクトリに"},
      {266, "以下のファイルができる場合があります。"},
      {268, "　Kovrel.txt       基本情報を記したテキストファイル。"},
      {269, "     　                 Kovrel.exe に /? オプションを付けて"},
      {270, "     　                 実行することにより生成します。"},
      {271, "　KovrelTemp*.txt  表示するメッセージの内容を含む一時ファイル。"},
      {272, "　                      １０分以上経過した後に再度 Kovrel.exe を"},
      {273, "　                      起動すると、自動的に削除されます。"},
      {275, "（11）ウィルスチェックの保証"},
      {284, "（12）連絡先"},
      {291, "GenBackup の基本情報の終わり"},
  };
  for (const auto& [n, text] : quoted) EXPECT_EQ(T(text), Line(l, n)) << "line " << n;
}

TEST(UsageLines, RepeatedPassages) {
  const auto l = UsageLines(Windows());
  // The /E section repeats the /N section's description of a name list.
  for (int k = 0; k < 6; ++k) EXPECT_EQ(Line(l, 80 + k), Line(l, 94 + k)) << k;
  // The description of the software repeats the introduction, with the word
  // for backup set apart and without the empty line after line 6.
  std::string first = Line(l, 5);
  const std::string word = T("バックアップ");
  first.replace(first.find(word), word.size(), " " + word + " ");
  EXPECT_EQ(first, Line(l, 240));
  EXPECT_EQ(Line(l, 6), Line(l, 241));
  for (int k = 0; k < 2; ++k) EXPECT_EQ(Line(l, 8 + k), Line(l, 242 + k));
  for (int k = 0; k < 4; ++k) EXPECT_EQ(Line(l, 11 + k), Line(l, 245 + k));
}

// Where each value stands: a value that nothing else contains marks its lines.
TEST(UsageLines, ValuesStandInTheirLines) {
  UsageValues v = Windows();
  v.productName = "@PN@";
  v.productVersion = "@PV@";
  v.baseName = "@BASE@";
  const auto l = UsageLines(v);
  auto linesWith = [&](const std::string& value) {
    std::map<int, int> found;  // line -> occurrences
    for (int n = 1; n <= 291; ++n) {
      for (size_t p = 0; (p = Line(l, n).find(value, p)) != std::string::npos; p += value.size())
        ++found[n];
    }
    return found;
  };
  EXPECT_EQ((std::map<int, int>{{1, 1}}), linesWith("@PV@"));
  // Line 1 is the title: "Kovrel", the product name and its version.
  EXPECT_EQ((std::map<int, int>{{1, 1},
                                {162, 1},
                                {187, 1},
                                {201, 1},
                                {217, 1},
                                {220, 1},
                                {224, 1},
                                {232, 1},
                                {233, 1},
                                {261, 1},
                                {277, 1},
                                {286, 1},
                                {291, 1}}),
            linesWith("@PN@"));
  EXPECT_EQ((std::map<int, int>{
                {22, 1}, {37, 1}, {263, 1}, {265, 2}, {268, 1}, {269, 1}, {271, 1}, {272, 1}}),
            linesWith("@BASE@"));
  EXPECT_EQ((std::map<int, int>{{188, 3}}), linesWith("50202"));
  // These lines begin with the product name.
  for (const int n : {187, 217, 220, 224, 232, 233, 277, 286, 291})
    EXPECT_EQ(0u, Line(l, n).find("@PN@")) << "line " << n;
}

TEST(UsageLines, EmptyProductName) {
  UsageValues v = Windows();
  v.productName = "";
  const auto l = UsageLines(v);
  EXPECT_EQ("Kovrel  ver.5.02 rev.2", Line(l, 1));
  EXPECT_EQ(T("◆ の基本情報"), Line(l, 162));
  EXPECT_EQ(T("正式名称は  といいます。"), Line(l, 201));
  EXPECT_EQ(T("配布状態の  を解凍すると、以下のファイルができます。"), Line(l, 261));
  EXPECT_EQ(T(" はフリーウェアです。"), Line(l, 217));
  for (const int n : {187, 217, 220, 224, 232, 233, 277, 286, 291})
    EXPECT_EQ(' ', Line(l, n)[0]) << "line " << n;
}

TEST(UsageLines, DottedBaseNameIsKeptWhole) {
  UsageValues v = Windows();
  v.baseName = "back.up";
  const auto l = UsageLines(v);
  EXPECT_EQ("  C>back.up DIR1 DIR2 DIR3 DIR4 <Enter>", Line(l, 22));
  EXPECT_EQ(T(" back.up 元ディレクトリ バックアップディレクトリ [オプション] <Enter>"),
            Line(l, 37));
  EXPECT_EQ(T("　back.up.exe       本体。"), Line(l, 263));
  EXPECT_EQ(T("　back.up.txt       基本情報を記したテキストファイル。"), Line(l, 268));
  EXPECT_EQ(T("　back.upTemp*.txt  表示するメッセージの内容を含む一時ファイル。"), Line(l, 271));
}

TEST(UsageLines, PosixSpellings) {
  const auto l = UsageLines(Posix());
  const std::map<int, std::string> quoted = {
      {22, "  C>kovrel DIR1 DIR2 DIR3 DIR4 <Enter>"},
      {48, "-D 指定した日付のファイルのみを対象にします。詳細は後述します。"},
      {55, "-? このドキュメントを作成・表示します。"},
      {56, "大文字と小文字は区別しません。つまり -d -n -e -a -t -m でも同様に機能します。"},
      {58, "◆オプション -D の詳細"},
      {59, "-Dyy-mm-dd, -Dyy-mm-dd-, -D-yy-mm-dd, -Dyy-mm-dd-yy-mm-dd"},
      {74, "使い得る例： -D94-04-03  -D1960/00006/14-1961年9月28"},
      {75, "使えない例： -D2006-2-31"},
      {78, "-Nnamelist  と指定します。"},
      {87, "例： -N*.ASM;*.BAS;*.CPP"},
      {101, "例： -E*.$*;*.TMP"},
      {104, "-A  と指定します。"},
      {121, "-T  と指定します。"},
      {188, "KVR50202.lzh, KVR50202.zip, または KVR50202.exe "},
      {263, "　kovrel       本体。"},
      {265, "また kovrel を実行すると、kovrel と同じディレクトリに"},
      {268, "　kovrel.txt       基本情報を記したテキストファイル。"},
      {269, "     　                 kovrel に -? オプションを付けて"},
      {271, "　kovrelTemp*.txt  表示するメッセージの内容を含む一時ファイル。"},
      {272, "　                      １０分以上経過した後に再度 kovrel を"},
  };
  for (const auto& [n, text] : quoted) EXPECT_EQ(T(text), Line(l, n)) << "line " << n;
  // No option is left in its Windows spelling, and ".exe" names only the
  // distribution archive.
  for (int n = 1; n <= 291; ++n) {
    const std::string& s = Line(l, n);
    for (const char* opt :
         {"/D", "/N", "/E", "/M", "/A", "/T", "/?", "/d", "/n", "/e", "/m", "/a", "/t"}) {
      EXPECT_EQ(std::string::npos, s.find(opt)) << "line " << n << ": " << s;
    }
    if (n != 188 && n != 196) {
      EXPECT_EQ(std::string::npos, s.find(".exe")) << "line " << n;
    }
  }
  // Everything else is the same text.
  const auto w = UsageLines(Windows());
  for (const int n : {2, 5, 23, 60, 139, 164, 189, 238, 254, 289})
    EXPECT_EQ(Line(w, n), Line(l, n));
}

// Lines 139-160: entry lines with the version in column 13 and the
// description in column 22; continuation lines indented by 21 blanks.
void CheckChangeHistory(const std::vector<std::string>& l) {
  std::vector<std::string> versions;
  std::vector<int> continuations;  // how many follow each entry
  for (int n = 139; n <= 160; ++n) {
    const std::string& s = Line(l, n);
    const std::string head = FirstColumns(s, 21);
    ASSERT_GT(s.size(), head.size()) << "line " << n;
    EXPECT_NE(' ', s[head.size()]) << "line " << n << ": description in column 22";
    if (head == std::string(21, ' ')) {
      ASSERT_FALSE(continuations.empty());
      ++continuations.back();
      continue;
    }
    const std::string date = FirstColumns(s, 12);
    EXPECT_NE(' ', date[0]) << "line " << n;
    const std::string version = head.substr(date.size());
    EXPECT_TRUE(version.rfind("ver.", 0) == 0 || version == std::string(9, ' '))
        << "line " << n << ": [" << version << "]";
    EXPECT_EQ(' ', version.back()) << "line " << n;
    versions.push_back(version.substr(0, version.find(' ')));
    continuations.push_back(0);
  }
  ASSERT_EQ(18u, versions.size());
  EXPECT_EQ("", versions.front());  // the start of development
  EXPECT_EQ("ver.1.0", versions[1]);
  EXPECT_EQ("ver.4.07", versions[14]);
  EXPECT_EQ("ver.5.00", versions[15]);
  EXPECT_EQ("ver.5.01", versions[16]);
  EXPECT_EQ("ver.5.02", versions[17]);
  int total = 0;
  for (size_t i = 0; i < versions.size(); ++i) {
    total += continuations[i];
    if (versions[i] == "ver.4.00") {
      EXPECT_EQ(1, continuations[i]);
    }
    if (versions[i] == "ver.4.06") {
      EXPECT_EQ(3, continuations[i]);
    }
  }
  EXPECT_EQ(4, total);
}

TEST(UsageLines, ChangeHistoryColumns) {
  CheckChangeHistory(UsageLines(Windows()));
  CheckChangeHistory(UsageLines(Posix()));
  const auto l = UsageLines(Posix());
  EXPECT_NE(std::string::npos, Line(l, 159).find(T("-D, -N, -E, -M, -?")));
  EXPECT_NE(std::string::npos, Line(l, 160).find(T("-A, -T")));
}

// Lines 263-273: the continuation lines keep a 24-column indent whatever the
// base name; the descriptions line up with them for an 11-column name.
TEST(UsageLines, FileListColumns) {
  for (const std::string& base :
       {std::string("Kovrel"), std::string("ABCDEFGHIJK"), T("バックアップ")}) {
    for (UsageValues v : {Windows(), Posix()}) {
      v.baseName = base;
      const auto l = UsageLines(v);
      for (const int n : {269, 270, 272, 273}) EXPECT_EQ(25, IndentColumns(Line(l, n))) << n;
      const int name = Columns(base);
      const std::string self = T("　") + base + v.exeSuffix + "       ";
      EXPECT_EQ(self, FirstColumns(Line(l, 263), Columns(self)));
      EXPECT_EQ(T("本体。"), Line(l, 263).substr(self.size()));
      const std::string txt = T("　") + base + ".txt       ";
      EXPECT_EQ(txt, FirstColumns(Line(l, 268), Columns(txt)));
      const std::string temp = T("　") + base + "Temp*.txt  ";
      EXPECT_EQ(temp, FirstColumns(Line(l, 271), Columns(temp)));
      // The descriptions start in the indent's column exactly when the name
      // is 11 columns wide (15 where the program's file has no extension).
      EXPECT_EQ(name + static_cast<int>(v.exeSuffix.size()) == 15, Columns(self) == 24) << base;
      EXPECT_EQ(name == 11, Columns(txt) == 24) << base;
      EXPECT_EQ(name == 11, Columns(temp) == 24) << base;
    }
  }
}

TEST(UsageLines, DevelopmentEnvironmentAndContactLayout) {
  const auto l = UsageLines(Windows());
  for (int n = 254; n <= 257; ++n) {
    const std::string& s = Line(l, n);
    const std::string label = FirstColumns(s, 16);
    for (size_t p = 0; p < label.size();) {
      const size_t len = CharLength(label, p, platform::PathCharRule());
      EXPECT_GT(len, 1u) << "line " << n << ": the label is full-width";
      p += len;
    }
    const std::string colon = T("：");
    ASSERT_EQ(0, s.compare(label.size(), colon.size(), colon)) << "line " << n;
    const std::string value = s.substr(label.size() + colon.size());
    EXPECT_FALSE(value.empty());
    for (const char c : value) EXPECT_LT(static_cast<unsigned char>(c), 0x80) << "line " << n;
  }
  const std::string contact = Line(l, 289);
  const std::string head = T("　メール　　：");
  ASSERT_EQ(0u, contact.rfind(head, 0));
  EXPECT_NE(std::string::npos, contact.find('@', head.size()));
}

TEST(UsageLines, DocumentEncoding) {
  // As it is saved: in code page 932 wherever the program's texts are.
  const std::string saved = platform::SavedText(UsageLines(Windows()));
  const auto l = test::CrLfLines(saved);
  if (platform::ActiveCharRule() == CharRule::Cp932) {
    EXPECT_NE("\xEF\xBB\xBF", saved.substr(0, 3));
    // ファイルのバックアップをするソフトです。
    EXPECT_EQ(
        "\x83\x74\x83\x40\x83\x43\x83\x8B\x82\xCC\x83\x6F\x83\x62\x83\x4E\x83\x41\x83\x62\x83\x76"
        "\x82\xF0\x82\xB7\x82\xE9\x83\x5C\x83\x74\x83\x67\x82\xC5\x82\xB7\x81\x42",
        Line(l, 2));
    // "～" is 81 60.
    EXPECT_EQ("Windows 95\x81\x60XP", Line(l, 210).substr(0, 14));
  } else {
    EXPECT_EQ("ファイルのバックアップをするソフトです。", Line(l, 2));
    EXPECT_EQ("Windows 95～XP", Line(l, 210).substr(0, 15));
  }
  // Every character of the text exists in code page 932: none became "?".
  for (int n = 1; n <= 291; ++n) {
    // The lines that have one of their own: "/?", the wildcard, undated years.
    if (n == 55 || n == 83 || n == 97 || n == 139 || n == 147 || n == 159 || n == 269) continue;
    EXPECT_EQ(std::string::npos, Line(l, n).find('?')) << "line " << n;
  }
}

TEST(VersionDigitGroup, Examples) {
  EXPECT_EQ("50202", VersionDigitGroup("5.2.2.0"));
  EXPECT_EQ("11003", VersionDigitGroup("1.10.3.7"));
  EXPECT_EQ("20000", VersionDigitGroup("12.0.100.0"));
  // The build number is never read, only its dot must be there.
  EXPECT_EQ("50202", VersionDigitGroup("5.2.2."));
  EXPECT_EQ("50202", VersionDigitGroup("5.2.2.x"));
  // The major field is not converted, and may be missing.
  EXPECT_EQ("x0102", VersionDigitGroup("x.1.2.0"));
  EXPECT_EQ("0102", VersionDigitGroup(".1.2.0"));
}

void ExpectConvertError(const std::string& fileVersion, const std::string& field) {
  try {
    VersionDigitGroup(fileVersion);
    ADD_FAILURE() << "no error for [" << fileVersion << "]";
  } catch (const EConvertError& e) {
    EXPECT_STREQ("EConvertError", e.ClassName());
    EXPECT_EQ("'" + field + "' is not a valid integer value", e.Message()) << fileVersion;
  }
}

TEST(VersionDigitGroup, FieldsThatDoNotConvert) {
  ExpectConvertError("5.2.2", "");
  ExpectConvertError("5.2", "");
  ExpectConvertError("", "");
  ExpectConvertError("5..2.0", "");
  ExpectConvertError("5.x.2.0", "x");
  ExpectConvertError("5.2.2b.0", "2b");
  ExpectConvertError("5. 2.2.0", " 2");
  ExpectConvertError("5.99999999999.2.0", "99999999999");
}

TEST(UsageLines, FileVersionThatDoesNotConvertFails) {
  UsageValues v = Windows();
  v.fileVersion = "5.2.2";
  EXPECT_THROW(UsageLines(v), EConvertError);
  v.fileVersion = "";
  EXPECT_THROW(UsageLines(v), EConvertError);
}

TEST(TrimBlanks, ControlBytesAndNulGo) {
  EXPECT_EQ("GenBackup", TrimBlanks(std::string("\t GenBackup \0", 13)));
  EXPECT_EQ("ver.5.02 rev.2", TrimBlanks(std::string("ver.5.02 rev.2\0", 15)));
  EXPECT_EQ("", TrimBlanks(std::string("\0\0 ", 3)));
  EXPECT_EQ("", TrimBlanks(""));
  // Bytes above 127, such as the lead byte of a double-byte blank, stay.
  EXPECT_EQ("\x81\x40x\x81\x40", TrimBlanks(" \x81\x40x\x81\x40\r\n"));
}

}  // namespace
