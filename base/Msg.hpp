// The message system for code that works on NUL-terminated strings (the C-style
// layers: configuration files, dynamic strings, ...). The same error model as the
// Messages module: reasons on a stack, ignore brackets, texts by (section, number).
//
// Once the Messages module has started it plugs itself in (MsgPlugModula) and every
// function forwards to it. Until then a small built-in stack of 33 reasons stands in:
// nothing is fatal there, an error entry reads "(section, number) : <text>" with a
// placeholder text (no catalogue is open yet), and the reasons wait for ShowErrors.
// The modules of this layer keep their texts in the catalogue "LBASEmsg".
//
// Lengths: dst/len pairs follow the bounded-string rule, i.e. at most len characters
// are stored and a NUL follows only when there is room for it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Strings.hpp"

void Msg_Init();

void MsgError(const char* section, unsigned number);
void MsgIgnoreErrors(bool on);
unsigned MsgIgnoreLevel();
unsigned MsgErrorCount(bool sinceLevel);
// Pops the top reason into dst; 1 when an entry was popped, 0 on an empty stack.
int MsgErrorReason(char* dst, std::size_t len);
void MsgSupplyAdditionalInfo(const char* text);
void MsgAddInfo(const char* text);
// Pushes "::" followed by text cut to 125 characters.
void MsgAddIInfo(const char* text);
void MsgForgetErrorReasons();
void MsgUseMsgCat(const char* name);
// The text of (section, number), at most len characters of it into dst.
void MsgGetMessage(const char* section, unsigned number, char* dst, std::size_t len);
// Pops every reason and writes it as one line to standard error.
void ShowErrors();
// The same, appended to the file path. When it cannot be opened standard error gets
// "FShowErrors: cannot open '<path>' (<system error text>)" and the reasons stay.
void FShowErrors(const char* path);

// The operations of the message system that the functions above forward to.
struct MsgOperations {
  void (*error)(StrIn section, std::uint32_t number);
  void (*ignoreErrors)(bool on);
  unsigned (*ignoreLevel)();
  unsigned (*errorCount)(bool sinceLevel);
  bool (*errorReason)(StrOut text);
  void (*supplyAdditionalInfo)(StrIn text);
  void (*forgetErrorReasons)();
  void (*useMsgCat)(StrIn name);
  void (*getMessage)(StrIn section, std::uint32_t number);
};

// Registers the message system: message is the buffer that getMessage fills (of
// capacity messageSize). Reasons still on the built-in stack are handed over as
// additional information, oldest first, so that none is lost.
void MsgPlugModula(const char* message, std::size_t messageSize, const MsgOperations& ops);
