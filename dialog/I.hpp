// The dialog framework: contexts created by name from the dialog catalogues, typed values
// exchanged through numbered AObjs, callbacks, modal loops, scheduled and idle tasks.
//
// Errors (section "I", I_ilibError; every operation clears it first and a failed
// operation leaves the context unchanged): 1 context name unknown, 2 AObj not found,
// 3 type or Generic size mismatch, 4 nil context or no display, 5 RObj not found,
// 6 widget attribute refused.
//
// Persistent values: an AObj whose layout carries config=1 keeps its value in the
// resource settings under "<context>_<AObj name>" (never a Generic one).
#pragma once

#include <cstdint>
#include <span>

#include "Ibase.hpp"
#include "Strings.hpp"

void I_Init();

extern std::uint8_t I_ilibError;

// ---- Catalogues and contexts ----
void I_UseContextCat(StrIn name);
I_Context I_Create(StrIn name, bool activate);
void I_Activate(I_Context ctx);
void I_Deactivate(I_Context ctx);
void I_Destroy(I_Context& ctx);
bool I_Active(I_Context ctx);
I_Context I_Nil();
bool I_Equal(I_Context a, I_Context b);
void I_SetCloseCallback(I_Context ctx, I_CloseProc proc, void* arg);
// The main application context (nil until one was activated).
I_Context I_MainContext();
unsigned I_ActiveCount();

// ---- Values ----
void I_PutBOOLEAN(I_Context ctx, std::int32_t id, bool value);
void I_PutINTEGER(I_Context ctx, std::int32_t id, std::int32_t value);
void I_PutCARDINAL(I_Context ctx, std::int32_t id, std::uint32_t value);
void I_PutREAL(I_Context ctx, std::int32_t id, double value);
void I_PutSTRING(I_Context ctx, std::int32_t id, StrIn text);
void I_PutGeneric(I_Context ctx, std::int32_t id, std::span<const std::uint8_t> bytes);
bool I_GetBOOLEAN(I_Context ctx, std::int32_t id);
std::int32_t I_GetINTEGER(I_Context ctx, std::int32_t id);
std::uint32_t I_GetCARDINAL(I_Context ctx, std::int32_t id);
double I_GetREAL(I_Context ctx, std::int32_t id);
void I_GetSTRING(I_Context ctx, std::int32_t id, StrOut text);
void I_GetGeneric(I_Context ctx, std::int32_t id, std::span<std::uint8_t> bytes);

// A list value: the reference to the first record as the bytes of a Generic AObj.
template <typename Rec>
void I_PutList(I_Context ctx, std::int32_t id, Rec* first) {
  I_PutGeneric(ctx, id, std::span(reinterpret_cast<const std::uint8_t*>(&first), sizeof first));
}
template <typename Rec>
Rec* I_GetList(I_Context ctx, std::int32_t id) {
  Rec* first = nullptr;
  I_GetGeneric(ctx, id, std::span(reinterpret_cast<std::uint8_t*>(&first), sizeof first));
  return first;
}

void I_SetBOOLEANcallback(I_Context ctx, std::int32_t id, I_BOOLEANProc proc, void* arg);
void I_SetINTEGERcallback(I_Context ctx, std::int32_t id, I_INTEGERProc proc, void* arg);
void I_SetCARDINALcallback(I_Context ctx, std::int32_t id, I_CARDINALProc proc, void* arg);
void I_SetREALcallback(I_Context ctx, std::int32_t id, I_REALProc proc, void* arg);
void I_SetSTRINGcallback(I_Context ctx, std::int32_t id, I_STRINGProc proc, void* arg);
void I_SetGenericCallback(I_Context ctx, std::int32_t id, I_GenericProc proc, void* arg);

// ---- Widgets and state ----
void I_Enable(I_Context ctx, std::int32_t id);
void I_Disable(I_Context ctx, std::int32_t id);
void I_SetEnabled(I_Context ctx, std::int32_t id, bool enabled);
Tk_Widget I_AccessWidget(I_Context ctx, std::int32_t robjId);
void I_SetReprAttr(I_Context ctx, std::int32_t robjId, int attribute,
                   std::span<const std::uint8_t> bytes);
bool I_WasDoubleClick();

// ---- Event loop and tasks ----
void I_MainLoop();
void I_Dialog(I_Context ctx);
// One loop iteration (the main and modal loops repeat it).
void I_LoopIteration();
void I_LeaveMainLoop();

inline constexpr std::int32_t I_nilTask = -1;
std::int32_t I_ScheduleTask(std::uint32_t milliseconds, I_TaskProc proc, void* arg);
std::int32_t I_RescheduleTask(std::uint32_t milliseconds);
void I_CancelScheduledTask(std::int32_t number);
void I_QueueIdleTask(I_TaskProc proc, void* arg);
// Called before a pointer button event is dispatched.
void I_SetButtonHook(void (*hook)());
