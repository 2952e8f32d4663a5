// The dialog framework's data: value types, list records, callback forms and the record
// of a context with its AObjs and RObjs. Module I works on these; the scripted driver
// reads them to find the widgets a user would act on.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <vector>

#include "IdlgCat.hpp"
#include "Strings.hpp"
#include "Tk.hpp"

void Ibase_Init();

// AObj type codes.
enum I_Type : std::uint8_t {
  I_BOOLEAN = 0,
  I_INTEGER = 1,
  I_CARDINAL = 2,
  I_REAL = 3,
  I_STRING = 4,
  I_Generic = 5
};

inline constexpr std::size_t I_stringSize = 512;

// The fields every record shown in a list field begins with; a list value is a
// reference to the first record (a Generic AObj of the size of a reference).
struct I_Colour {
  std::uint32_t red, green, blue;
};
struct I_ListRec {
  I_ListRec* next;
  std::uint8_t selected;
  char text[128];
  I_Colour colour;
};

struct I_ContextRec;
using I_Context = I_ContextRec*;

using I_BOOLEANProc = void (*)(I_Context ctx, std::int32_t id, bool value, void* arg);
using I_INTEGERProc = void (*)(I_Context ctx, std::int32_t id, std::int32_t value, void* arg);
using I_CARDINALProc = void (*)(I_Context ctx, std::int32_t id, std::uint32_t value, void* arg);
using I_REALProc = void (*)(I_Context ctx, std::int32_t id, double value, void* arg);
using I_STRINGProc = void (*)(I_Context ctx, std::int32_t id, StrIn value, void* arg);
using I_GenericProc = void (*)(I_Context ctx, std::int32_t id, std::span<const std::uint8_t> value,
                               void* arg);
// leaving: the main loop is being left.
using I_CloseProc = void (*)(I_Context ctx, bool leaving, void* arg);
using I_TaskProc = void (*)(void* arg);

struct Ibase_RObj;

struct Ibase_AObj {
  const IdlgCat_AObj* def;
  std::int32_t number;
  I_Type type;
  std::size_t size;  // Generic: declared byte count
  bool b = false;
  std::int32_t i = 0;
  std::uint32_t c = 0;
  double r = 0;
  char s[I_stringSize] = {};
  std::vector<std::uint8_t> g;
  void* proc = nullptr;  // the callback of the AObj's type
  void* arg = nullptr;
  bool enabled = false;
  const char* key = nullptr;  // persistent values: the settings key
  std::vector<Ibase_RObj*> widgets;
};

struct Ibase_RObj {
  const IdlgCat_RObj* def;
  Tk_Kind kind;
  Tk_Widget widget = nullptr;
  I_ContextRec* ctx;
  Ibase_AObj* aobj = nullptr;
  int decimals = 2;
};

struct I_ContextRec {
  const IdlgCat_Context* tmpl;
  const char* name;
  std::map<std::int32_t, Ibase_AObj> aobjs;
  std::map<std::int32_t, Ibase_RObj> robjs;
  Tk_Widget shell = nullptr;
  bool active = false;
  int nesting = 0;  // running modal loops
  int busy = 0;     // callbacks running on its widgets
  bool destroyPending = false;
  I_CloseProc close = nullptr;
  void* closeArg = nullptr;
  I_ContextRec* parent = nullptr;
  std::vector<I_ContextRec*> children;
};

// Every context alive, in creation order.
std::vector<I_Context>& Ibase_Contexts();
// The most recently created active context of that name; nullptr when none.
I_Context Ibase_FindActive(StrIn name);
Ibase_AObj* Ibase_AObjOf(I_Context ctx, std::int32_t id);
