#include "transport/net/charset_table.h"

#include "base/text.h"

namespace appsrv::transport {
namespace {

struct CharsetRow {
  std::string_view name;
  int code_page;
};

// IANA charset names and their common aliases.
constexpr CharsetRow kCharsets[] = {
    {"utf-8", 65001}, {"utf8", 65001}, {"unicode-1-1-utf-8", 65001}, {"unicode-2-0-utf-8", 65001},
    {"x-unicode20utf8", 65001},
    {"utf-7", 65000}, {"utf7", 65000}, {"unicode-1-1-utf-7", 65000}, {"csunicode11utf7", 65000},
    {"x-unicode20utf7", 65000},
    {"utf-16", 1200}, {"utf-16le", 1200}, {"unicode", 1200}, {"ucs-2", 1200},
    {"iso-10646-ucs-2", 1200}, {"csunicode", 1200},
    {"utf-16be", 1201}, {"unicodefffe", 1201},
    {"utf-32", 12000}, {"utf-32le", 12000}, {"utf-32be", 12001},
    {"us-ascii", 20127}, {"ascii", 20127}, {"us", 20127}, {"ansi_x3.4-1968", 20127},
    {"ansi_x3.4-1986", 20127}, {"iso-ir-6", 20127}, {"iso646-us", 20127}, {"iso_646.irv:1991", 20127},
    {"cp367", 20127}, {"ibm367", 20127}, {"csascii", 20127},
    {"iso-8859-1", 28591}, {"iso8859-1", 28591}, {"iso_8859-1", 28591}, {"iso_8859-1:1987", 28591},
    {"latin1", 28591}, {"l1", 28591}, {"iso-ir-100", 28591}, {"ibm819", 28591}, {"cp819", 28591},
    {"csisolatin1", 28591},
    {"iso-8859-2", 28592}, {"iso_8859-2", 28592}, {"iso_8859-2:1987", 28592}, {"latin2", 28592},
    {"l2", 28592}, {"iso-ir-101", 28592}, {"csisolatin2", 28592},
    {"iso-8859-3", 28593}, {"iso_8859-3", 28593}, {"latin3", 28593}, {"l3", 28593},
    {"csisolatin3", 28593},
    {"iso-8859-4", 28594}, {"iso_8859-4", 28594}, {"latin4", 28594}, {"l4", 28594},
    {"csisolatin4", 28594},
    {"iso-8859-5", 28595}, {"iso_8859-5", 28595}, {"cyrillic", 28595}, {"csisolatincyrillic", 28595},
    {"iso-8859-6", 28596}, {"iso_8859-6", 28596}, {"arabic", 28596}, {"csisolatinarabic", 28596},
    {"ecma-114", 28596}, {"asmo-708", 708},
    {"iso-8859-7", 28597}, {"iso_8859-7", 28597}, {"greek", 28597}, {"greek8", 28597},
    {"ecma-118", 28597}, {"elot_928", 28597}, {"csisolatingreek", 28597},
    {"iso-8859-8", 28598}, {"iso_8859-8", 28598}, {"hebrew", 28598}, {"csisolatinhebrew", 28598},
    {"iso-8859-8-i", 38598}, {"logical", 38598}, {"visual", 28598},
    {"iso-8859-9", 28599}, {"iso_8859-9", 28599}, {"latin5", 28599}, {"l5", 28599},
    {"csisolatin5", 28599},
    {"iso-8859-13", 28603}, {"iso-8859-15", 28605}, {"iso_8859-15", 28605}, {"latin-9", 28605},
    {"latin9", 28605}, {"l9", 28605}, {"csisolatin9", 28605},
    {"windows-1250", 1250}, {"x-cp1250", 1250}, {"cp1250", 1250},
    {"windows-1251", 1251}, {"x-cp1251", 1251}, {"cp1251", 1251},
    {"windows-1252", 1252}, {"x-ansi", 1252}, {"cp1252", 1252},
    {"windows-1253", 1253}, {"cp1253", 1253},
    {"windows-1254", 1254}, {"cp1254", 1254},
    {"windows-1255", 1255}, {"cp1255", 1255},
    {"windows-1256", 1256}, {"cp1256", 1256},
    {"windows-1257", 1257}, {"cp1257", 1257},
    {"windows-1258", 1258}, {"cp1258", 1258},
    {"windows-874", 874}, {"tis-620", 874}, {"dos-874", 874},
    {"ibm437", 437}, {"cp437", 437}, {"437", 437}, {"cspc8codepage437", 437},
    {"ibm850", 850}, {"cp850", 850}, {"850", 850}, {"cspc850multilingual", 850},
    {"ibm852", 852}, {"cp852", 852}, {"ibm855", 855}, {"cp855", 855},
    {"ibm857", 857}, {"cp857", 857}, {"ibm860", 860}, {"cp860", 860},
    {"ibm861", 861}, {"cp861", 861}, {"ibm862", 862}, {"cp862", 862},
    {"ibm863", 863}, {"cp863", 863}, {"ibm864", 864}, {"cp864", 864},
    {"ibm865", 865}, {"cp865", 865}, {"ibm866", 866}, {"cp866", 866},
    {"ibm869", 869}, {"cp869", 869},
    {"koi8-r", 20866}, {"koi8", 20866}, {"cskoi8r", 20866}, {"koi", 20866},
    {"koi8-u", 21866}, {"koi8-ru", 21866},
    {"shift_jis", 932}, {"shift-jis", 932}, {"sjis", 932}, {"ms_kanji", 932}, {"csshiftjis", 932},
    {"x-sjis", 932}, {"windows-31j", 932}, {"cp932", 932},
    {"euc-jp", 51932}, {"x-euc-jp", 51932}, {"cseucpkdfmtjapanese", 51932},
    {"iso-2022-jp", 50220}, {"csiso2022jp", 50220},
    {"gb2312", 936}, {"gbk", 936}, {"cp936", 936}, {"x-gbk", 936}, {"csgb2312", 936},
    {"chinese", 936}, {"gb_2312-80", 936}, {"euc-cn", 936}, {"x-euc-cn", 936},
    {"gb18030", 54936},
    {"big5", 950}, {"big5-hkscs", 950}, {"cn-big5", 950}, {"csbig5", 950}, {"x-x-big5", 950},
    {"cp950", 950},
    {"ks_c_5601-1987", 949}, {"ks_c_5601", 949}, {"ks_c_5601-1989", 949}, {"korean", 949},
    {"csksc56011987", 949}, {"iso-ir-149", 949}, {"cp949", 949},
    {"euc-kr", 51949}, {"cseuckr", 51949}, {"iso-2022-kr", 50225}, {"csiso2022kr", 50225},
    {"macintosh", 10000}, {"mac", 10000}, {"csmacintosh", 10000}, {"x-mac-cyrillic", 10007},
};

struct CodePageRow {
  int code_page;
  const char* iconv_name;
};

constexpr CodePageRow kIconvNames[] = {
    {437, "CP437"},       {708, "ISO-8859-6"},  {850, "CP850"},        {852, "CP852"},
    {855, "CP855"},       {857, "CP857"},       {860, "CP860"},        {861, "CP861"},
    {862, "CP862"},       {863, "CP863"},       {864, "CP864"},        {865, "CP865"},
    {866, "CP866"},       {869, "CP869"},       {874, "CP874"},        {932, "CP932"},
    {936, "CP936"},       {949, "CP949"},       {950, "CP950"},        {1250, "CP1250"},
    {1251, "CP1251"},     {1252, "CP1252"},     {1253, "CP1253"},      {1254, "CP1254"},
    {1255, "CP1255"},     {1256, "CP1256"},     {1257, "CP1257"},      {1258, "CP1258"},
    {10000, "MACINTOSH"}, {10007, "MAC-CYRILLIC"}, {12000, "UTF-32LE"}, {12001, "UTF-32BE"},
    {20866, "KOI8-R"},    {21866, "KOI8-U"},    {28591, "ISO-8859-1"}, {28592, "ISO-8859-2"},
    {28593, "ISO-8859-3"}, {28594, "ISO-8859-4"}, {28595, "ISO-8859-5"}, {28596, "ISO-8859-6"},
    {28597, "ISO-8859-7"}, {28598, "ISO-8859-8"}, {28599, "ISO-8859-9"}, {28603, "ISO-8859-13"},
    {28605, "ISO-8859-15"}, {38598, "ISO-8859-8"}, {50220, "ISO-2022-JP"}, {50225, "ISO-2022-KR"},
    {51932, "EUC-JP"},    {51949, "EUC-KR"},    {54936, "GB18030"},
};

}  // namespace

int code_page_of_charset(std::string_view charset) {
  for (const CharsetRow& row : kCharsets) {
    if (base::iequals(row.name, charset)) {
      return row.code_page;
    }
  }
  return 0;
}

const char* iconv_name_of_code_page(int code_page) {
  for (const CodePageRow& row : kIconvNames) {
    if (row.code_page == code_page) {
      return row.iconv_name;
    }
  }
  return nullptr;
}

}  // namespace appsrv::transport
