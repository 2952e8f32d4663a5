#include "Oforms.hpp"

#include "SPrintf.hpp"
#include "Strings.hpp"
#include "UCommon.hpp"

void Oforms_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "Oforms");
  if (!init) return;
  UCommon_Init();
  Strings_Init();
  SPrintf_Init();
}

std::string_view Oforms_StatusMark(std::int32_t status) {
  switch (status) {
    case 0:
      return "< >";
    case Oforms_statusInBackup:
      return "<+>";
    default:
      return "<?>";
  }
}

void Oforms_BuildName(Oforms_Form& form) {
  Oforms_Init();
  char number[128] = "%2d: ";
  SPrintf_Int(number, form.number);
  char tail[512] = " %s %s";
  SPrintf_String(tail, Oforms_StatusMark(form.status));
  SPrintf_String(tail, form.host);
  char text[1024];
  Strings_Concat(number, form.shortName, text);
  Strings_Concat(text, tail, text);
  Strings_Assign(text, form.text);
}

void Oforms_DestroyList(Oforms_Form*& list) {
  while (list != nullptr) {
    Oforms_Form* f = list;
    list = f->next;
    delete f;
  }
}
