// The forms of an order as the order info file names them, and their display texts.
//
// A form's status decides whether it takes part in a backup: 1 (mark "<+>") does,
// 0 (mark "< >") and every other value (mark "<?>") do not.
#pragma once

#include <cstdint>
#include <string_view>

#include "Strings.hpp"

struct Oforms_Form {
  Oforms_Form* next;
  std::int32_t number;  // the n of the entries "FORM%03d/..."
  char shortName[128];
  char host[128];
  std::int32_t status;
  char text[128];  // display text, see Oforms_BuildName
};

inline constexpr std::int32_t Oforms_statusInBackup = 1;

void Oforms_Init();

// The mark of a status: "< >" for 0, "<+>" for 1, "<?>" otherwise.
std::string_view Oforms_StatusMark(std::int32_t status);
// form.text := the number as "%2d: ", the short name, then " %s %s" with the status mark
// and the host; form 3 with status 1 on hostA reads " 3: <name> <+> hostA".
void Oforms_BuildName(Oforms_Form& form);
// Frees every form of the list and sets it to nullptr.
void Oforms_DestroyList(Oforms_Form*& list);
