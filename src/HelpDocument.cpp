// The help document. Its text lives here once, as UTF-8, one entry a line;
// each line is converted into the bytes the program shows its texts in.
#include "HelpDocument.h"

#include <cstdint>
#include <iterator>
#include <string_view>

#include "DiskSpelling.h"
#include "Exceptions.h"
#include "VersionInfo.h"
#include "platform/Platform.h"

namespace {

// The values in a line: {P} product name, {V} product version, {G} version
// digit group, {B} base name, {X} the program file's extension (so that
// {B}{X} is the program's own file), {/} the option prefix.
constexpr const char* kDocument[] = {
    // 1: title
    "Kovrel {P} {V}",
    "ファイルのバックアップをするソフトです。",
    "",
    // 4
    "◆緒言",
    "フリーのバックアップソフトは数多くありますが、これもそのひとつです。",
    "ごくありふれた機能のソフトですが、ちょっとした特徴があります。",
    "",
    "その特徴は、バックアップを複数の段階に分けて行うことです。",
    "これにより、古いバージョンのファイルを何世代にもわたって残しておけます。",
    "",
    "ソフトウェアの開発や文書の作成では、少し前の版に戻したくなることがよくあります。",
    "そのようなとき、何世代か前までのファイルが残っていると助かります。",
    "同等の、あるいはもっと優れたソフトが既にあるかもしれませんが、",
    "自分で使うために作ったものを公開することにしました。",
    "",
    // 16
    "◆使い方",
    "このソフトには、操作のためのウィンドウがありません。",
    "コマンドプロンプトやバッチファイルから使います。",
    "",
    // 20
    "◆具体例",
    "たとえば、次のように実行したとします。",
    "  C>{B} DIR1 DIR2 DIR3 DIR4 <Enter>",
    "すると、DIR1 にあるファイルが、サブディレクトリの中のものも含めて",
    "DIR2 にバックアップされます。",
    "このとき、DIR2 に同じ名前の古いファイルがあると、",
    "そのファイルは先に DIR3 にバックアップされます。",
    "さらに DIR3 にも同じ名前のファイルがあると、",
    "そのファイルは先に DIR4 にバックアップされます。",
    "DIR4 にあった同じ名前のファイルは削除されます。",
    "バックアップディレクトリがいくつあっても、同じように順送りされます。",
    "",
    "つまり、DIR2 には最新のファイルが、DIR3 にはその一つ前のファイルが、",
    "DIR4 にはさらにその一つ前のファイルが保存されることになります。",
    "ファイルを更新してバックアップするたびに、古いものから順に押し出されていきます。",
    "",
    // 36
    "◆書式",
    " {B} 元ディレクトリ バックアップディレクトリ [オプション] <Enter>",
    "",
    // 39
    "◆元ディレクトリ",
    "バックアップするファイルのあるディレクトリを一つだけ指定します。絶対パスでも相対パスでもかまい"
    "ません。",
    "",
    // 42
    "◆バックアップディレクトリ",
    "バックアップ先のディレクトリを、半角スペースで区切って一つ以上指定します。",
    "複数指定すると、必要に応じて指定した順に使われます。",
    "絶対パスでも相対パスでもかまいません。",
    "",
    // 47
    "◆オプション",
    "{/}D 指定した日付のファイルのみを対象にします。詳細は後述します。",
    "{/}N 指定したファイル名のファイルのみを対象にします。詳細は後述します。",
    "{/}E 指定したファイル名のファイルを対象外にします。詳細は後述します。",
    "{/}A バックアップディレクトリにあり、元ディレクトリにないファイルを",
    "   バックアップディレクトリから削除しないようにします。詳細は後述します。",
    "{/}T "
    "実際にはバックアップせず、どのファイルが対象になるかの表示だけをします。詳細は後述します。",
    "{/}M バックアップしたファイルのリストを表示します。詳細は後述します。",
    "{/}? このドキュメントを作成・表示します。",
    "大文字と小文字は区別しません。つまり {/}d {/}n {/}e {/}a {/}t {/}m でも同様に機能します。",
    "",
    // 58
    "◆オプション {/}D の詳細",
    "{/}Dyy-mm-dd, {/}Dyy-mm-dd-, {/}D-yy-mm-dd, {/}Dyy-mm-dd-yy-mm-dd",
    "の四つの形式のいずれかで指定します。",
    "一つ目の形式では、その日に更新されたファイルだけを対象にします。",
    "二つ目の形式では、その日とそれ以降に更新されたファイルを対象にします。",
    "三つ目の形式では、その日とそれ以前に更新されたファイルを対象にします。",
    "四つ目の形式では、二つの日付の間の期間に更新されたファイルを対象にします。",
    "yy は年、mm は月、dd は日です。",
    "yy が 80～99 のときは 1980～1999 年、00～79 のときは 2000～2079 年とみなします。",
    "桁数はいくつでもかまいませんが、実在する日付でなければなりません。",
    "二つ目の形式の末尾の「-」、三つ目の形式の {/}D の直後の「-」、",
    "四つ目の形式の二つの日付の間の「-」は、半角のハイフンでなければなりません。",
    "一方、日付の中の年・月・日の区切りには、",
    "半角数字以外であればどんな文字でも使えます。",
    "全角の文字を区切りに使うこともできます。",
    "期間の指定では、前の日付の日と後の日付の日の両方を含みます。",
    "使い得る例： {/}D94-04-03  {/}D1960/00006/14-1961年9月28",
    "使えない例： {/}D2006-2-31",
    "",
    // 77
    "◆オプション {/}N の詳細",
    "{/}Nnamelist  と指定します。",
    "namelist に名前が含まれるファイルだけを対象にします。",
    "namelist には、ファイル名を半角の「;」で区切って複数指定できます。",
    "ファイル名には次のワイルドカードが使えます。",
    "  *  任意の文字列（0 文字でもかまいません）",
    "  ?  任意の半角 1 文字",
    "半角英字の大文字と小文字は区別しません。",
    "パス（ディレクトリ名）は含めずに、ファイル名だけを指定します。",
    "省略したときは「*.*」を指定したのと同じになります。",
    "例： {/}N*.ASM;*.BAS;*.CPP",
    "",
    // 89
    "◆オプション {/}E の詳細",
    "{/}Enamelist  と指定します。",
    "namelist に名前が含まれるファイルを対象外にします。",
    "{/}N と {/}E を両方指定すると、{/}N のいずれかの名前に一致し、",
    "{/}E のどの名前にも一致しないファイルだけが対象になります。",
    "namelist には、ファイル名を半角の「;」で区切って複数指定できます。",
    "ファイル名には次のワイルドカードが使えます。",
    "  *  任意の文字列（0 文字でもかまいません）",
    "  ?  任意の半角 1 文字",
    "半角英字の大文字と小文字は区別しません。",
    "パス（ディレクトリ名）は含めずに、ファイル名だけを指定します。",
    "省略したときは、対象外にするファイルはありません。",
    "例： {/}E*.$*;*.TMP",
    "",
    // 103
    "◆オプション {/}A の詳細",
    "{/}A  と指定します。",
    "このオプションを指定しないときは、バックアップディレクトリにあって",
    "元ディレクトリにないファイルは、最初のバックアップディレクトリから",
    "取り除かれます。",
    "バックアップディレクトリが二つ以上あるときは、そのファイルは",
    "二つ目以降のバックアップディレクトリに順送りされます。",
    "これにより、最初のバックアップディレクトリは元ディレクトリの最新の状態と同じになります。",
    "（ただし、他のオプションで対象を限定したときは、その範囲の中でのことです。）",
    "ハードディスクが壊れたときなどに、元の状態に戻すのに役立ちます。",
    "そのために空になったディレクトリも削除されます。",
    "",
    "このオプションを指定すると、そのようなファイルも削除せずに残します。",
    "すべてのファイルを残しておきたいときや、",
    "二つのフォルダの内容を一つにまとめたいときに役立ちます。",
    "空になったディレクトリも削除しません。",
    "",
    // 120
    "◆オプション {/}T の詳細",
    "{/}T  と指定します。",
    "実際にはバックアップをしません。",
    "どのファイルがバックアップされるか、または削除されるかを、",
    "{/}M を指定したときと同じように表示するだけです。",
    "",
    // 126
    "◆高速化のヒント",
    "二つ目以降のバックアップディレクトリへは、ファイルをコピーするのではなく",
    "移動することでバックアップします。",
    "そのため、バックアップディレクトリをすべて同じドライブに置くと、",
    "ディレクトリの情報を書き換えるだけで済むので高速になります。",
    "別々のドライブに置くと、移動のたびにファイルの内容をコピーすることになるので",
    "時間がかかります。",
    "",
    "ただし、ドライブの故障に備えるには、段階的なバックアップに頼るよりも、",
    "同じファイルを複数のドライブにバックアップするほうが確実です。",
    "大切なファイルは、別のドライブにもバックアップしておきましょう。",
    "",
    // 138: dates end in column 12, versions in column 21
    "◆変更履歴",
    "1989?                開発を始める。",
    "1990- 3-21  ver.1.0  最初の版。二つのディレクトリの間でだけ動作する。",
    "1990- 9- 2  ver.1.1  サブディレクトリに対応。",
    "1991正月    ver.1.2  バックアップディレクトリを三つまで指定できるようにした。",
    "1991- 6-15  ver.2.0  バックアップディレクトリの数の制限をなくした。",
    "1991-11- 3  ver.2.01 日付の比較の誤りを修正。",
    "1992節分    ver.2.1  日時が同じでサイズが違うファイルもバックアップするようにした。",
    "1992- 7- 7  ver.3.0  ディレクトリが深いときに止まることがある不具合を修正。",
    "1992?       ver.3.01 メッセージを見直した。",
    "1993- 5- 5  ver.4.00 全面的に書き直した。",
    "                     処理速度が以前の約 2 倍になった。",
    "1993七夕    ver.4.02 元ディレクトリにないファイルを順送りするようにした。",
    "1993-10-10  ver.4.04 空になったディレクトリを削除するようにした。",
    "1994元旦    ver.4.05 読み取り専用のファイルのバックアップに失敗する不具合を修正。",
    "1994- 3-21  ver.4.06 長いパスの扱いを改善した。",
    "                     ディレクトリの階層が深いときのメモリの使用量を減らした。",
    "                     バックアップの途中でディスクがいっぱいになったときも、",
    "                     それまでにバックアップしたファイルが残るようにした。",
    "1994- 9-23  ver.4.07 細かな不具合を修正。",
    "2005大晦日  ver.5.00 Windows 用に全面的に書き直した。オプションはない。",
    "2006- 3-21  ver.5.01 {/}D, {/}N, {/}E, {/}M, {/}? オプションを追加。",
    "2006- 4-29  ver.5.02 {/}A, {/}T オプションを追加。",
    "",
    // 162: general information
    "◆{P} の基本情報",
    "",
    "　この基本情報は、オンラインソフトウェア作者連絡会の",
    "「フリーウェア・シェアウェアに添付するドキュメントのガイドライン」",
    "に沿って記述しています。",
    "",
    // 168
    "１．基本項目",
    "（1）ファイル名",
    "（2）ソフトウェア名",
    "（3）著作権者名",
    "（4）対応機種／環境",
    "（5）使用条件／配布条件／改変条件",
    "（6）使用に対する対価",
    "（7）保証／免責",
    "（8）ソフトウェアの内容説明",
    "２．オプション項目",
    "（9）開発環境",
    "（10）ファイルリスト",
    "（11）ウィルスチェックの保証",
    "（12）連絡先",
    "",
    // 183
    "１．基本項目",
    "",
    // 185
    "（1）ファイル名",
    "",
    "{P} の配布状態では、そのファイル名は",
    "KVR{G}.lzh, KVR{G}.zip, または KVR{G}.exe ",
    "となっています。",
    "数字の部分はバージョンを表し、最初の 1 桁がメジャーバージョン、",
    "次の 2 桁がマイナーバージョン、最後の 2 桁がリビジョンです。",
    "どの形式も、中身は同じです。",
    "",
    ".lzh と .zip は一般的な圧縮形式のアーカイブで、",
    "展開するには対応した解凍ソフトが必要です。",
    ".exe は自己解凍形式のアーカイブで、",
    "実行するだけで解凍できます。",
    "",
    // 199
    "（2）ソフトウェア名",
    "",
    "正式名称は {P} といいます。",
    "",
    // 203
    "（3）著作権者名",
    "",
    "著作権者は、作者である 森川 晴彦 です。",
    "著作権者への連絡先は（12）をご覧ください。",
    "",
    // 208
    "（4）対応機種／環境",
    "",
    "Windows 95～XP で動作するように作っています。",
    "グラフィカルなユーザーインターフェイスはありません。",
    "",
    "動作の確認は Windows XP で行っています。",
    "",
    // 215
    "（5）使用条件／配布条件／改変条件",
    "",
    "{P} はフリーウェアです。",
    "個人・法人を問わず、どなたでも自由に使用することができます。",
    "",
    "{P} を配布するときは、アーカイブに含まれるすべてのファイルを",
    "改変せずにそのまま配布してください。配布に際して作者への連絡は不要です。",
    "ただし、配布によって対価を得ることはできません。",
    "",
    "{P} を改変したものを配布することはできません。",
    "",
    // 226
    "（6）使用に対する対価",
    "",
    "不要です。",
    "",
    // 230
    "（7）保証／免責",
    "",
    "{P} は、その機能や品質について一切の保証をいたしません。",
    "{P} を使用したことにより生じたいかなる損害についても、",
    "作者および配布者は一切の責任を負いません。",
    "",
    // 236
    "（8）ソフトウェアの内容説明",
    "",
    "ファイルのバックアップをするソフトです。",
    "",
    "フリーの バックアップ ソフトは数多くありますが、これもそのひとつです。",
    "ごくありふれた機能のソフトですが、ちょっとした特徴があります。",
    "その特徴は、バックアップを複数の段階に分けて行うことです。",
    "これにより、古いバージョンのファイルを何世代にもわたって残しておけます。",
    "",
    "ソフトウェアの開発や文書の作成では、少し前の版に戻したくなることがよくあります。",
    "そのようなとき、何世代か前までのファイルが残っていると助かります。",
    "同等の、あるいはもっと優れたソフトが既にあるかもしれませんが、",
    "自分で使うために作ったものを公開することにしました。",
    "",
    // 250
    "２．オプション項目",
    "",
    // 252
    "（9）開発環境",
    "",
    "パソコン　　　　：DOS/V (Pentium 4 2.4GHz)",
    "基本ソフト　　　：Windows XP Professional SP2",
    "メインメモリ　　：512MB",
    "開発言語　　　　：C++",
    "",
    // 259
    "（10）ファイルリスト",
    "",
    "配布状態の {P} を解凍すると、以下のファイルができます。",
    "",
    "　{B}{X}       本体。",
    "",
    "また {B}{X} を実行すると、{B}{X} と同じディレクトリに",
    "以下のファイルができる場合があります。",
    "",
    "　{B}.txt       基本情報を記したテキストファイル。",
    "     　                 {B}{X} に {/}? オプションを付けて",
    "     　                 実行することにより生成します。",
    "　{B}Temp*.txt  表示するメッセージの内容を含む一時ファイル。",
    "　                      １０分以上経過した後に再度 {B}{X} を",
    "　                      起動すると、自動的に削除されます。",
    "",
    // 275
    "（11）ウィルスチェックの保証",
    "",
    "{P} は、公開する前に、すべてのバージョンを市販のウィルスチェッカーで",
    "検査し、ウィルスに感染していないことを確認しています。",
    "",
    "ただし、すべてのウィルスを発見できるウィルスチェッカーはありませんので、",
    "ウィルスに感染していないことを完全に保証することはできません。",
    "あらかじめご了承ください。",
    "",
    // 284
    "（12）連絡先",
    "",
    "{P} の不具合、質問、意見、要望などがありましたら、",
    "著作権者である作者まで、",
    "次の連絡先にご連絡ください。",
    "　メール　　：morikawa@example.com",
    "",
    "{P} の基本情報の終わり",
};

static_assert(std::size(kDocument) == 291);

// The value a marker stands for, null for any other three bytes.
const std::string* MarkerValue(std::string_view marker, const UsageValues& v,
                               const std::string& prefix, const std::string& group) {
  if (marker == "{P}") return &v.productName;
  if (marker == "{V}") return &v.productVersion;
  if (marker == "{G}") return &group;
  if (marker == "{B}") return &v.baseName;
  if (marker == "{X}") return &v.exeSuffix;
  if (marker == "{/}") return &prefix;
  return nullptr;
}

// Fills in the values of one line. Only the literal text around them is
// converted: the values already are in the bytes they are shown in.
std::string ExpandLine(std::string_view line, const UsageValues& v, const std::string& group) {
  const std::string prefix(1, v.switchChar);
  std::string out;
  size_t start = 0;
  for (size_t i = 0; i < line.size(); ++i) {
    const std::string* value = MarkerValue(line.substr(i, 3), v, prefix, group);
    if (!value) continue;
    out += platform::ProgramText(line.substr(start, i - start));
    out += *value;
    i += 2;
    start = i + 1;
  }
  out += platform::ProgramText(line.substr(start));
  return out;
}

// StrToInt: an optional sign and decimal digits, within 32 bits.
int32_t ToInteger(const std::string& field) {
  size_t i = 0;
  const bool negative = !field.empty() && field[0] == '-';
  if (!field.empty() && (field[0] == '-' || field[0] == '+')) i = 1;
  int64_t v = 0;
  bool ok = i < field.size();
  for (; ok && i < field.size(); ++i) {
    ok = field[i] >= '0' && field[i] <= '9';
    v = v * 10 + (field[i] - '0');
    if (v > int64_t{INT32_MAX} + (negative ? 1 : 0)) ok = false;
  }
  if (!ok) {
    std::string message = platform::ProgramText("'%s' is not a valid integer value");
    message.replace(message.find("%s"), 2, field);
    throw EConvertError(message);
  }
  return static_cast<int32_t>(negative ? -v : v);
}

// The bytes before the first "." (empty when there is none), and `rest`
// without them and the dot.
std::string TakeField(std::string& rest) {
  const size_t dot = rest.find('.');
  std::string field = dot == std::string::npos ? std::string() : rest.substr(0, dot);
  if (dot != std::string::npos) rest.erase(0, dot + 1);
  return field;
}

// The last two characters of field + 100 in decimal.
std::string LastTwoDigits(const std::string& field) {
  const std::string sum = std::to_string(int64_t{ToInteger(field)} + 100);
  return sum.substr(sum.size() > 2 ? sum.size() - 2 : 0);
}

}  // namespace

std::string VersionDigitGroup(const std::string& fileVersion) {
  std::string rest = fileVersion;
  const std::string majorField = TakeField(rest);
  const std::string major =
      majorField.empty() ? std::string() : majorField.substr(majorField.size() - 1);
  const std::string minor = LastTwoDigits(TakeField(rest));
  const std::string revision = LastTwoDigits(TakeField(rest));
  return major + minor + revision;
}

std::string TrimBlanks(const std::string& s) {
  size_t first = 0, last = s.size();
  while (first < last && static_cast<unsigned char>(s[first]) <= 32) ++first;
  while (last > first && static_cast<unsigned char>(s[last - 1]) <= 32) --last;
  return s.substr(first, last - first);
}

std::vector<std::string> UsageLines(const UsageValues& values) {
  std::vector<std::string> lines;
  lines.reserve(std::size(kDocument));
  std::string group;
  bool haveGroup = false;
  for (const std::string_view line : kDocument) {
    if (!haveGroup && line.find("{G}") != std::string_view::npos) {
      group = VersionDigitGroup(values.fileVersion);
      haveGroup = true;
    }
    lines.push_back(ExpandLine(line, values, group));
  }
  return lines;
}

void ShowUsage() {
  platform::FileSystem& fs = platform::RealFileSystem();
  std::string dir, base;
  OutputDirAndBase(fs, dir, base);
  UsageValues values;
  values.productName = TrimBlanks(ReadVersionString(vkProductName));
  values.productVersion = TrimBlanks(ReadVersionString(vkProductVersion));
  values.fileVersion = TrimBlanks(ReadVersionString(vkFileVersion));
  values.baseName = base;
  values.switchChar = platform::SwitchChar;
  values.exeSuffix = platform::ExeSuffix;
  // Every line exists before the file is touched: a version that does not
  // convert leaves an earlier document as it was.
  const std::vector<std::string> lines = UsageLines(values);
  const std::string path = dir + base + ".txt";
  fs.SaveLines(path, lines);
  platform::ShellOpen(path);
}
