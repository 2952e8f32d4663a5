// Order info files: the list of orders of an orders directory and the entries of one
// order that the backup tool uses.
//
// Entries of an order info file (container tags, see SAIF and SAIFinfo):
//   "ORDERINFO"           string   the description; marks the file as an order info file
//   "FOLVANE2000"         any      an order of the later edition of the layout
//                                  application: not listed
//   "ORDERNUM"            string   the order number
//   "FORM%03d/SHORTNAME"  string   name of form n
//   "FORM%03d/HOST"       string   host holding the form's job directory
//   "FORM%03d/STATUS"     integer  the form's state (see Oforms)
#pragma once

#include "Odirs.hpp"
#include "Oforms.hpp"
#include "Strings.hpp"

struct OOinfos_Info {
  char orderNumber[128];
  char description[128];
  Oforms_Form* forms;  // ascending by form number
};

// Result of the last OOinfos_Load.
enum OOinfos_Error : int {
  OOinfos_ok = 0,
  OOinfos_cannotOpen = 3,  // the file cannot be opened, or the path is empty
  OOinfos_reserved = 4,    // the order is reserved elsewhere
  OOinfos_unreadable = 5,  // the contents cannot be read
};
extern int OOinfos_error;

void OOinfos_Init();

// The orders of ordersDir, one entry "<order> -> <description>" per order info file,
// ascending; empty when the directory cannot be entered. The working directory is left
// as it was.
Odirs_NameList OOinfos_GetOrderlist(StrIn ordersDir);
// True when path is an order info file of this edition; description gets its
// "ORDERINFO". Reports nothing.
bool OOinfos_IsOrderInfo(StrIn path, StrOut description);
// Loads the order info file at path under a shared reservation of the order (nested in
// a hold of this process, released again at once). nil on failure, see OOinfos_error;
// the reasons of a file that cannot be read stay on the error stack (the file named).
OOinfos_Info* OOinfos_Load(StrIn path);
// Frees info with its forms and sets it to nullptr.
void OOinfos_Destroy(OOinfos_Info*& info);
