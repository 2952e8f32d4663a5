#include "SAIFinfo.hpp"

#include "BConvert.hpp"
#include "SAIF.hpp"
#include "Strings.hpp"
#include "UCommon.hpp"

namespace {

// The entry's text, terminated after its stored length; false when it does not exist.
bool LoadText(SAIF file, StrIn key, char (&buffer)[SAIFinfo_maxText + 1]) {
  std::size_t length = 0;
  SAIF_TagRetrieve(file, key, length, std::span<char>(buffer, SAIFinfo_maxText));
  buffer[length] = '\0';
  return length > 0;
}

}  // namespace

void SAIFinfo_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "SAIFinfo");
  if (!init) return;
  UCommon_Init();
  Strings_Init();
  BConvert_Init();
  SAIF_Init();
}

bool SAIFinfo_LoadString(SAIF file, StrIn key, StrOut text) {
  if (file == SAIF_Nil) return false;
  char buffer[SAIFinfo_maxText + 1];
  if (!LoadText(file, key, buffer)) return false;
  Strings_Assign(StrIn(buffer, SAIFinfo_maxText), text);
  return true;
}

bool SAIFinfo_SaveString(SAIF file, StrIn key, StrIn text) {
  if (file == SAIF_Nil) return false;
  const std::string_view v = text.view();
  static constexpr char kEmpty[1] = {'\0'};
  if (v.empty()) {
    SAIF_TagInsertOrReplace(file, key, 1, kEmpty);
  } else {
    SAIF_TagInsertOrReplace(file, key, v.size(), std::span<const char>(v.data(), v.size()));
  }
  return true;
}

bool SAIFinfo_LoadInteger(SAIF file, StrIn key, std::int32_t& value) {
  char text[SAIFinfo_maxText + 1];
  if (file == SAIF_Nil || !LoadText(file, key, text) || text[0] == '.') return false;
  std::int32_t v = 0;
  BConvert_StrToInt(text, v);
  if (!BConvert_done) return false;
  value = v;
  return true;
}

bool SAIFinfo_SaveInteger(SAIF file, StrIn key, std::int32_t value) {
  char text[32] = "";
  BConvert_IntToStr(text, value, 1);
  return SAIFinfo_SaveString(file, key, text);
}

bool SAIFinfo_LoadReal(SAIF file, StrIn key, double& value) {
  char text[SAIFinfo_maxText + 1];
  if (file == SAIF_Nil || !LoadText(file, key, text)) return false;
  double v = 0;
  BConvert_StrToReal(text, v);
  if (!BConvert_done) return false;
  value = v;
  return true;
}

bool SAIFinfo_SaveReal(SAIF file, StrIn key, double value) {
  char text[64] = "";
  BConvert_RealToStr(text, value, 20, -1);
  return SAIFinfo_SaveString(file, key, text);
}
